// Media samples and the pooled memory allocator.
//
// A CMediaSample belongs to its allocator: when its last reference goes it returns to the
// allocator's free list instead of dying. CBaseAllocator owns the samples and one mutex-guarded
// free list; GetBuffer blocks (outside the lock) until a sample is free or the allocator is
// decommitted. Samples are handed between the streaming threads of adjacent filters.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "directshow/unknown.h"

class CBaseAllocator;

inline constexpr DWORD AM_GBF_PREVFRAMESKIPPED = 1;
inline constexpr DWORD AM_GBF_NOTASYNCPOINT = 2;
inline constexpr DWORD AM_GBF_NOWAIT = 4;

class CMediaSample : public IMediaSample {
public:
    CMediaSample(const wchar_t* name, CBaseAllocator* allocator, HRESULT* hr,
                 BYTE* buffer = nullptr, LONG length = 0);
    virtual ~CMediaSample();

    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetPointer(BYTE** buffer) override;
    LONG GetSize() override { return m_cbBuffer; }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT IsSyncPoint() override { return m_sync ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL sync) override;
    HRESULT IsPreroll() override { return m_preroll ? S_OK : S_FALSE; }
    HRESULT SetPreroll(BOOL preroll) override;
    LONG GetActualDataLength() override { return m_lActual; }
    HRESULT SetActualDataLength(LONG length) override;
    HRESULT GetMediaType(AM_MEDIA_TYPE** type) override;
    HRESULT SetMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT IsDiscontinuity() override { return m_discontinuity ? S_OK : S_FALSE; }
    HRESULT SetDiscontinuity(BOOL discontinuity) override;
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end) override;
    HRESULT SetMediaTime(LONGLONG* start, LONGLONG* end) override;

    // The allocator sets the memory and clears the state when the sample comes back.
    void SetPointer(BYTE* buffer, LONG length);
    void ResetState();

private:
    friend class CBaseAllocator;
    BYTE* m_pBuffer;
    LONG m_cbBuffer;
    LONG m_lActual;
    REFERENCE_TIME m_start = 0, m_end = 0;
    LONGLONG m_mediaStart = 0, m_mediaEnd = 0;
    bool m_timeValid = false, m_stopValid = false, m_mediaTimeValid = false;
    bool m_sync = false, m_preroll = false, m_discontinuity = false;
    AM_MEDIA_TYPE* m_pMediaType = nullptr;
    CBaseAllocator* m_pAllocator;
    std::atomic<LONG> m_cRef{0};
};

class CBaseAllocator : public CUnknown, public IMemAllocator {
public:
    CBaseAllocator(const wchar_t* name, IUnknown* outer, HRESULT* hr);
    ~CBaseAllocator() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* properties) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                      DWORD flags) override;
    HRESULT ReleaseBuffer(IMediaSample* sample) override;

    LONG FreeCount();

protected:
    // Makes the samples (m_lCount of m_lSize bytes); called by Commit under the lock.
    virtual HRESULT Alloc() = 0;
    // Frees them; called once every sample is back after a decommit.
    virtual void Free() = 0;

    std::mutex m_mutex;
    std::condition_variable m_freed;
    std::vector<CMediaSample*> m_free;
    std::vector<CMediaSample*> m_all;
    LONG m_lCount = 0, m_lSize = 0, m_lAlignment = 1, m_lPrefix = 0;
    bool m_committed = false;
    bool m_decommitPending = false;
    bool m_changed = false;
};

// The allocator of the base classes: one block of memory cut into the samples.
class CMemAllocator : public CBaseAllocator {
public:
    CMemAllocator(const wchar_t* name, IUnknown* outer, HRESULT* hr);
    ~CMemAllocator() override;

protected:
    HRESULT Alloc() override;
    void Free() override;

private:
    BYTE* m_pBuffer = nullptr;
};
