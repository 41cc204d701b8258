#include "directshow/media_type.h"

#include <cstring>

#include "com/runtime.h"

void FreeMediaType(AM_MEDIA_TYPE& type) {
    if (type.cbFormat != 0 || type.pbFormat != nullptr) {
        CoTaskMemFree(type.pbFormat);
        type.cbFormat = 0;
        type.pbFormat = nullptr;
    }
    if (type.pUnk != nullptr) {
        type.pUnk->Release();
        type.pUnk = nullptr;
    }
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
    if (!target || !source)
        return E_POINTER;
    *target = *source;
    if (source->cbFormat != 0 && source->pbFormat != nullptr) {
        target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
        if (!target->pbFormat) {
            target->cbFormat = 0;
            target->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
    } else {
        target->cbFormat = 0;
        target->pbFormat = nullptr;
    }
    if (target->pUnk)
        target->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) {
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!type)
        return nullptr;
    if (FAILED(CopyMediaType(type, source))) {
        CoTaskMemFree(type);
        return nullptr;
    }
    return type;
}

void DeleteMediaType(AM_MEDIA_TYPE* type) {
    if (!type)
        return;
    FreeMediaType(*type);
    CoTaskMemFree(type);
}

CMediaType::CMediaType() : AM_MEDIA_TYPE{} {
    InitMediaType();
}

CMediaType::CMediaType(const GUID* major) : CMediaType() {
    if (major)
        majortype = *major;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : AM_MEDIA_TYPE{} {
    if (FAILED(CopyMediaType(this, &other)))
        InitMediaType();
}

CMediaType::CMediaType(const CMediaType& other)
    : CMediaType(static_cast<const AM_MEDIA_TYPE&>(other)) {}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other) {
    if (&other != this) {
        FreeMediaType(*this);
        if (FAILED(CopyMediaType(this, &other)))
            InitMediaType();
    }
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& other) {
    return *this = static_cast<const AM_MEDIA_TYPE&>(other);
}

CMediaType::~CMediaType() {
    FreeMediaType(*this);
}

void CMediaType::InitMediaType() {
    majortype = GUID_NULL;
    subtype = GUID_NULL;
    formattype = GUID_NULL;
    bFixedSizeSamples = 1;
    bTemporalCompression = 0;
    lSampleSize = 1;
    pUnk = nullptr;
    cbFormat = 0;
    pbFormat = nullptr;
}

bool CMediaType::operator==(const CMediaType& other) const {
    return majortype == other.majortype && subtype == other.subtype &&
           formattype == other.formattype && cbFormat == other.cbFormat &&
           (cbFormat == 0 || std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0);
}

bool CMediaType::SetFormat(const BYTE* format, ULONG length) {
    if (!ReallocFormatBuffer(length) && length != 0)
        return false;
    if (length)
        std::memcpy(pbFormat, format, length);
    return true;
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length) {
    if (length == cbFormat && pbFormat)
        return pbFormat;
    if (length == 0) {
        ResetFormatBuffer();
        return nullptr;
    }
    auto* fresh = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!fresh)
        return nullptr;
    if (pbFormat) {
        std::memcpy(fresh, pbFormat, cbFormat < length ? cbFormat : length);
        CoTaskMemFree(pbFormat);
    }
    pbFormat = fresh;
    cbFormat = length;
    return pbFormat;
}

void CMediaType::ResetFormatBuffer() {
    CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

bool CMediaType::IsPartiallySpecified() const {
    return majortype == GUID_NULL || formattype == GUID_NULL;
}

bool CMediaType::MatchesPartial(const CMediaType* partial) const {
    if (!(partial->majortype == GUID_NULL) && !(majortype == partial->majortype))
        return false;
    if (!(partial->subtype == GUID_NULL) && !(subtype == partial->subtype))
        return false;
    if (!(partial->formattype == GUID_NULL)) {
        if (!(formattype == partial->formattype) || cbFormat != partial->cbFormat)
            return false;
        if (cbFormat && std::memcmp(pbFormat, partial->pbFormat, cbFormat) != 0)
            return false;
    }
    return true;
}
