#include "directshow/allocator.h"

#include <cstdlib>

#include "directshow/media_type.h"

CMediaSample::CMediaSample(const wchar_t*, CBaseAllocator* allocator, HRESULT* hr, BYTE* buffer,
                           LONG length)
    : m_pBuffer(buffer), m_cbBuffer(length), m_lActual(length), m_pAllocator(allocator) {
    if (hr && length < 0)
        *hr = VFW_E_BUFFER_OVERFLOW;
}

CMediaSample::~CMediaSample() {
    DeleteMediaType(m_pMediaType);
}

HRESULT CMediaSample::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMediaSample) {
        return GetInterface(static_cast<IMediaSample*>(this), object);
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CMediaSample::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

ULONG CMediaSample::Release() {
    const LONG left = --m_cRef;
    if (left == 0) {
        if (m_pAllocator) {
            m_pAllocator->ReleaseBuffer(this);
        } else {
            delete this;
        }
    }
    return static_cast<ULONG>(left);
}

HRESULT CMediaSample::GetPointer(BYTE** buffer) {
    if (!buffer)
        return E_POINTER;
    *buffer = m_pBuffer;
    return S_OK;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    if (!m_timeValid)
        return VFW_E_SAMPLE_TIME_NOT_SET;
    if (!start || !end)
        return E_POINTER;
    *start = m_start;
    *end = m_stopValid ? m_end : m_start + 1;
    return m_stopValid ? S_OK : VFW_S_NO_STOP_TIME;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    m_timeValid = start != nullptr;
    m_stopValid = start != nullptr && end != nullptr;
    if (start)
        m_start = *start;
    if (end)
        m_end = *end;
    return S_OK;
}

HRESULT CMediaSample::SetSyncPoint(BOOL sync) {
    m_sync = sync != 0;
    return S_OK;
}

HRESULT CMediaSample::SetPreroll(BOOL preroll) {
    m_preroll = preroll != 0;
    return S_OK;
}

HRESULT CMediaSample::SetActualDataLength(LONG length) {
    if (length < 0 || length > m_cbBuffer)
        return VFW_E_BUFFER_OVERFLOW;
    m_lActual = length;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** type) {
    if (!type)
        return E_POINTER;
    if (!m_pMediaType) {
        *type = nullptr;
        return S_FALSE;
    }
    *type = CreateMediaType(m_pMediaType);
    return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* type) {
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
    if (type) {
        m_pMediaType = CreateMediaType(type);
        if (!m_pMediaType)
            return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CMediaSample::SetDiscontinuity(BOOL discontinuity) {
    m_discontinuity = discontinuity != 0;
    return S_OK;
}

HRESULT CMediaSample::GetMediaTime(LONGLONG* start, LONGLONG* end) {
    if (!m_mediaTimeValid)
        return VFW_E_MEDIA_TIME_NOT_SET;
    if (!start || !end)
        return E_POINTER;
    *start = m_mediaStart;
    *end = m_mediaEnd;
    return S_OK;
}

HRESULT CMediaSample::SetMediaTime(LONGLONG* start, LONGLONG* end) {
    m_mediaTimeValid = start != nullptr && end != nullptr;
    if (m_mediaTimeValid) {
        m_mediaStart = *start;
        m_mediaEnd = *end;
    }
    return S_OK;
}

void CMediaSample::SetPointer(BYTE* buffer, LONG length) {
    m_pBuffer = buffer;
    m_cbBuffer = length;
    m_lActual = length;
}

void CMediaSample::ResetState() {
    m_timeValid = m_stopValid = m_mediaTimeValid = false;
    m_sync = m_preroll = m_discontinuity = false;
    m_lActual = m_cbBuffer;
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
}

CBaseAllocator::CBaseAllocator(const wchar_t* name, IUnknown* outer, HRESULT*)
    : CUnknown(name, outer) {}

CBaseAllocator::~CBaseAllocator() = default;

HRESULT CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IMemAllocator)
        return GetInterface(static_cast<IMemAllocator*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

HRESULT CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
    if (!request || !actual)
        return E_POINTER;
    std::lock_guard lock(m_mutex);
    if (m_committed)
        return VFW_E_ALREADY_COMMITTED;
    if (m_all.size() != m_free.size())
        return VFW_E_BUFFERS_OUTSTANDING;
    if (request->cbAlign <= 0 || (request->cbAlign & (request->cbAlign - 1)) != 0)
        return VFW_E_BADALIGN;
    if (request->cBuffers < 0 || request->cbBuffer < 0 || request->cbPrefix < 0)
        return E_INVALIDARG;
    m_lCount = request->cBuffers;
    m_lSize = request->cbBuffer;
    m_lAlignment = request->cbAlign;
    m_lPrefix = request->cbPrefix;
    m_changed = true;
    *actual = {m_lCount, m_lSize, m_lAlignment, m_lPrefix};
    return S_OK;
}

HRESULT CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* properties) {
    if (!properties)
        return E_POINTER;
    std::lock_guard lock(m_mutex);
    *properties = {m_lCount, m_lSize, m_lAlignment, m_lPrefix};
    return S_OK;
}

HRESULT CBaseAllocator::Commit() {
    std::lock_guard lock(m_mutex);
    if (m_committed)
        return S_OK;
    if (m_lCount <= 0 || m_lSize <= 0)
        return VFW_E_SIZENOTSET;
    m_decommitPending = false;
    // Samples still out from before a decommit keep their memory until they come back.
    if (m_all.empty() || m_changed) {
        if (m_all.size() != m_free.size())
            return VFW_E_BUFFERS_OUTSTANDING;
        if (!m_all.empty())
            Free();
        if (HRESULT hr = Alloc(); FAILED(hr))
            return hr;
        m_changed = false;
    }
    m_committed = true;
    return S_OK;
}

HRESULT CBaseAllocator::Decommit() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_committed)
            return S_OK;
        m_committed = false;
        if (m_free.size() == m_all.size()) {
            Free();
        } else {
            m_decommitPending = true;
        }
    }
    // Whoever waits in GetBuffer learns that no sample will come.
    m_freed.notify_all();
    return S_OK;
}

HRESULT CBaseAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                  DWORD flags) {
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    CMediaSample* taken = nullptr;
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (!m_committed)
                return VFW_E_NOT_COMMITTED;
            if (!m_free.empty())
                break;
            if (flags & AM_GBF_NOWAIT)
                return VFW_E_TIMEOUT;
            m_freed.wait(lock);
        }
        taken = m_free.back();
        m_free.pop_back();
    }
    taken->m_cRef = 1;
    if (start || end)
        taken->SetTime(start, end);
    // An outstanding sample keeps its allocator alive.
    NonDelegatingAddRef();
    *sample = taken;
    return S_OK;
}

HRESULT CBaseAllocator::ReleaseBuffer(IMediaSample* sample) {
    auto* returned = static_cast<CMediaSample*>(sample);
    returned->ResetState();
    {
        std::lock_guard lock(m_mutex);
        m_free.push_back(returned);
        if (m_decommitPending && m_free.size() == m_all.size()) {
            m_decommitPending = false;
            Free();
        }
    }
    m_freed.notify_one();
    NonDelegatingRelease();
    return S_OK;
}

LONG CBaseAllocator::FreeCount() {
    std::lock_guard lock(m_mutex);
    return static_cast<LONG>(m_free.size());
}

CMemAllocator::CMemAllocator(const wchar_t* name, IUnknown* outer, HRESULT* hr)
    : CBaseAllocator(name, outer, hr) {}

CMemAllocator::~CMemAllocator() {
    std::lock_guard lock(m_mutex);
    if (!m_all.empty())
        Free();
}

HRESULT CMemAllocator::Alloc() {
    const LONG aligned = (m_lSize + m_lPrefix + m_lAlignment - 1) / m_lAlignment * m_lAlignment;
    m_pBuffer = static_cast<BYTE*>(
        std::aligned_alloc(static_cast<std::size_t>(m_lAlignment),
                           static_cast<std::size_t>(aligned) * static_cast<std::size_t>(m_lCount)));
    if (!m_pBuffer)
        return E_OUTOFMEMORY;
    for (LONG i = 0; i < m_lCount; ++i) {
        auto* sample = new CMediaSample(L"sample", this, nullptr,
                                        m_pBuffer + i * aligned + m_lPrefix, m_lSize);
        m_all.push_back(sample);
        m_free.push_back(sample);
    }
    return S_OK;
}

void CMemAllocator::Free() {
    for (CMediaSample* sample : m_all)
        delete sample;
    m_all.clear();
    m_free.clear();
    std::free(m_pBuffer);
    m_pBuffer = nullptr;
}
