#include "directshow/pos_passthru.h"

#include "directshow/filter.h"
#include "directshow/time_scale.h"

// ---- CPosPassThru ----

CPosPassThru::CPosPassThru(const wchar_t* name, IUnknown* outer, HRESULT* hr, IPin* inputPin)
    : CUnknown(name, outer, hr), m_pPin(inputPin) {
    if (hr && !inputPin)
        *hr = E_POINTER;
}

HRESULT CPosPassThru::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IMediaSeeking)
        return GetInterface(static_cast<IMediaSeeking*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

HRESULT CPosPassThru::GetPeerSeeking(IMediaSeeking** seeking) {
    if (!seeking)
        return E_POINTER;
    *seeking = nullptr;
    if (!m_pPin)
        return VFW_E_NOT_CONNECTED;
    IPin* peer = nullptr;
    if (FAILED(m_pPin->ConnectedTo(&peer)) || !peer)
        return VFW_E_NOT_CONNECTED;
    const HRESULT hr = peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(seeking));
    peer->Release();
    if (FAILED(hr) || !*seeking) {
        *seeking = nullptr;
        return E_NOTIMPL;
    }
    return S_OK;
}

template <class Call>
HRESULT CPosPassThru::Forward(Call&& call) {
    IMediaSeeking* peer = nullptr;
    if (HRESULT hr = GetPeerSeeking(&peer); FAILED(hr))
        return hr;
    const HRESULT hr = call(peer);
    peer->Release();
    return hr;
}

HRESULT CPosPassThru::GetCapabilities(DWORD* capabilities) {
    if (!capabilities)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->GetCapabilities(capabilities); });
}

HRESULT CPosPassThru::CheckCapabilities(DWORD* capabilities) {
    if (!capabilities)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->CheckCapabilities(capabilities); });
}

HRESULT CPosPassThru::IsFormatSupported(const GUID* format) {
    if (!format)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->IsFormatSupported(format); });
}

HRESULT CPosPassThru::QueryPreferredFormat(GUID* format) {
    if (!format)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->QueryPreferredFormat(format); });
}

HRESULT CPosPassThru::GetTimeFormat(GUID* format) {
    if (!format)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->GetTimeFormat(format); });
}

HRESULT CPosPassThru::IsUsingTimeFormat(const GUID* format) {
    if (!format)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->IsUsingTimeFormat(format); });
}

HRESULT CPosPassThru::SetTimeFormat(const GUID* format) {
    if (!format)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->SetTimeFormat(format); });
}

HRESULT CPosPassThru::GetDuration(LONGLONG* duration) {
    if (!duration)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->GetDuration(duration); });
}

HRESULT CPosPassThru::GetStopPosition(LONGLONG* stop) {
    if (!stop)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->GetStopPosition(stop); });
}

HRESULT CPosPassThru::GetMediaTime(LONGLONG*, LONGLONG*) {
    return E_FAIL;
}

HRESULT CPosPassThru::GetCurrentPosition(LONGLONG* current) {
    if (!current)
        return E_POINTER;
    LONGLONG start = 0, end = 0;
    if (GetMediaTime(&start, &end) == S_OK) {
        *current = start;
        return S_OK;
    }
    return Forward([&](IMediaSeeking* s) { return s->GetCurrentPosition(current); });
}

HRESULT CPosPassThru::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                        const GUID* sourceFormat) {
    if (!target)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) {
        return s->ConvertTimeFormat(target, targetFormat, source, sourceFormat);
    });
}

HRESULT CPosPassThru::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                   DWORD stopFlags) {
    return Forward(
        [&](IMediaSeeking* s) { return s->SetPositions(current, currentFlags, stop, stopFlags); });
}

HRESULT CPosPassThru::GetPositions(LONGLONG* current, LONGLONG* stop) {
    return Forward([&](IMediaSeeking* s) { return s->GetPositions(current, stop); });
}

HRESULT CPosPassThru::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    return Forward([&](IMediaSeeking* s) { return s->GetAvailable(earliest, latest); });
}

HRESULT CPosPassThru::SetRate(double rate) {
    return Forward([&](IMediaSeeking* s) { return s->SetRate(rate); });
}

HRESULT CPosPassThru::GetRate(double* rate) {
    if (!rate)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->GetRate(rate); });
}

HRESULT CPosPassThru::GetPreroll(LONGLONG* preroll) {
    if (!preroll)
        return E_POINTER;
    return Forward([&](IMediaSeeking* s) { return s->GetPreroll(preroll); });
}

// ---- CRendererPosPassThru ----

CRendererPosPassThru::CRendererPosPassThru(const wchar_t* name, IUnknown* outer, HRESULT* hr,
                                           IPin* inputPin)
    : CPosPassThru(name, outer, hr, inputPin) {}

HRESULT CRendererPosPassThru::RegisterMediaTime(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    REFERENCE_TIME start = 0, stop = 0;
    const HRESULT hr = sample->GetTime(&start, &stop);
    if (FAILED(hr))
        return VFW_E_MEDIA_TIME_NOT_SET;
    if (hr != S_OK)
        stop = start;  // no stop time: a moment
    return RegisterMediaTime(start, stop);
}

HRESULT CRendererPosPassThru::RegisterMediaTime(REFERENCE_TIME start, REFERENCE_TIME stop) {
    // Sample times count from the segment start at the segment's rate; positions count from
    // the start of the stream. The segment is read on the thread that delivers NewSegment.
    REFERENCE_TIME segmentStart = 0;
    double rate = 1.0;
    if (const auto* pin = dynamic_cast<const CBasePin*>(m_pPin)) {
        segmentStart = pin->CurrentStartTime();
        rate = pin->CurrentRate();
    }
    const auto position = [&](REFERENCE_TIME t) {
        return AddTime(segmentStart, rate == 1.0 ? t : ScaleTime(t, rate));
    };
    std::lock_guard lock(m_lock);
    m_start = position(start);
    m_stop = position(stop);
    m_cached = Cached::Times;
    return S_OK;
}

HRESULT CRendererPosPassThru::ResetMediaTime() {
    std::lock_guard lock(m_lock);
    m_cached = Cached::None;
    m_start = m_stop = 0;
    return S_OK;
}

HRESULT CRendererPosPassThru::EOS() {
    // The stop position is asked for when someone wants it: asking upstream from the streaming
    // thread could wait on a source that is itself waiting for this thread (a seek).
    std::lock_guard lock(m_lock);
    m_cached = Cached::End;
    return S_OK;
}

HRESULT CRendererPosPassThru::GetMediaTime(LONGLONG* start, LONGLONG* end) {
    if (!start)
        return E_POINTER;
    Cached cached;
    REFERENCE_TIME from, to;
    {
        std::lock_guard lock(m_lock);
        cached = m_cached;
        from = m_start;
        to = m_stop;
    }
    if (cached == Cached::None) {
        *start = 0;
        if (end)
            *end = 0;
        return S_FALSE;
    }
    if (cached == Cached::End) {
        LONGLONG stop = 0;
        if (HRESULT hr = GetStopPosition(&stop); FAILED(hr))
            return hr;
        *start = stop;
        if (end)
            *end = stop;
        return S_OK;
    }
    // Cached in reference time; answered in whatever format the stream is being seeked in.
    GUID format = TIME_FORMAT_MEDIA_TIME;
    if (FAILED(GetTimeFormat(&format)) || format == TIME_FORMAT_MEDIA_TIME) {
        *start = from;
        if (end)
            *end = to;
        return S_OK;
    }
    LONGLONG converted = 0;
    if (HRESULT hr = ConvertTimeFormat(&converted, &format, from, &TIME_FORMAT_MEDIA_TIME);
        FAILED(hr)) {
        return hr;
    }
    *start = converted;
    if (end) {
        if (HRESULT hr = ConvertTimeFormat(&converted, &format, to, &TIME_FORMAT_MEDIA_TIME);
            FAILED(hr)) {
            return hr;
        }
        *end = converted;
    }
    return S_OK;
}
