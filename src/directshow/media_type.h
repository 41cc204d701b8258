// Media type helpers with the base classes' names: freeing, copying, creating and deleting an
// AM_MEDIA_TYPE (its format block lives in task memory), and CMediaType, an AM_MEDIA_TYPE that
// owns its format block and its pUnk reference. Plain values; no locks.
#pragma once

#include "directshow/dshow_types.h"

void FreeMediaType(AM_MEDIA_TYPE& type);
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);
void DeleteMediaType(AM_MEDIA_TYPE* type);

class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType();
    explicit CMediaType(const GUID* major);
    CMediaType(const AM_MEDIA_TYPE& other);  // NOLINT: implicit by design, like the original
    CMediaType(const CMediaType& other);
    CMediaType& operator=(const AM_MEDIA_TYPE& other);
    CMediaType& operator=(const CMediaType& other);
    ~CMediaType();

    bool operator==(const CMediaType& other) const;
    bool operator!=(const CMediaType& other) const { return !(*this == other); }

    bool IsValid() const { return !(majortype == GUID_NULL); }
    const GUID* Type() const { return &majortype; }
    void SetType(const GUID* type) { majortype = *type; }
    const GUID* Subtype() const { return &subtype; }
    void SetSubtype(const GUID* type) { subtype = *type; }
    const GUID* FormatType() const { return &formattype; }
    void SetFormatType(const GUID* type) { formattype = *type; }
    BYTE* Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
    // Replaces the format block with a copy of the given bytes.
    bool SetFormat(const BYTE* format, ULONG length);
    // Makes room for a format block of the given length (contents kept up to the smaller size).
    BYTE* ReallocFormatBuffer(ULONG length);
    void ResetFormatBuffer();
    void InitMediaType();
    bool MatchesPartial(const CMediaType* partial) const;
    bool IsPartiallySpecified() const;
};
