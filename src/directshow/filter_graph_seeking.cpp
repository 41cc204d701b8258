// Seeking and audio at the graph: IMediaSeeking goes to each connected renderer, which passes
// it upstream to its stream's source; the current position is the graph's own, from stream
// time. IBasicAudio goes to the first filter that carries it.
#include <algorithm>

#include "directshow/filter_graph.h"
#include "directshow/graph_pins.h"
#include "directshow/time_scale.h"

std::vector<ComPtr<IMediaSeeking>> CFilterGraph::SeekingRenderers() {
    std::vector<ComPtr<IMediaSeeking>> renderers;
    for (const Entry& e : m_filters) {
        if (!dshow::graph::IsConnectedRenderer(e.filter))
            continue;
        ComPtr<IMediaSeeking> seeking;
        if (SUCCEEDED(e.filter->QueryInterface(IID_IMediaSeeking, seeking.PutVoid())) && seeking)
            renderers.push_back(std::move(seeking));
    }
    return renderers;
}

template <class F>
HRESULT CFilterGraph::Distribute(F&& call) {
    HRESULT firstError = S_OK;
    HRESULT firstSuccess = E_NOTIMPL;
    for (const auto& seeking : SeekingRenderers()) {
        const HRESULT hr = call(seeking.Get());
        if (hr == E_NOTIMPL)
            continue;
        if (FAILED(hr)) {
            if (SUCCEEDED(firstError))
                firstError = hr;
        } else if (firstSuccess == E_NOTIMPL) {
            firstSuccess = hr;
        }
    }
    return FAILED(firstError) ? firstError : firstSuccess;
}

template <class F>
HRESULT CFilterGraph::FirstAnswer(F&& call) {
    HRESULT result = E_NOTIMPL;
    for (const auto& seeking : SeekingRenderers()) {
        const HRESULT hr = call(seeking.Get());
        if (SUCCEEDED(hr))
            return hr;
        if (hr != E_NOTIMPL && result == E_NOTIMPL)
            result = hr;
    }
    return result;
}

HRESULT CFilterGraph::ToFormat(REFERENCE_TIME mediaTime, LONGLONG* value) {
    if (m_timeFormat == TIME_FORMAT_MEDIA_TIME) {
        *value = mediaTime;
        return S_OK;
    }
    return FirstAnswer([&](IMediaSeeking* s) {
        return s->ConvertTimeFormat(value, &m_timeFormat, mediaTime, &TIME_FORMAT_MEDIA_TIME);
    });
}

HRESULT CFilterGraph::ToMediaTime(LONGLONG value, REFERENCE_TIME* mediaTime) {
    if (m_timeFormat == TIME_FORMAT_MEDIA_TIME) {
        *mediaTime = value;
        return S_OK;
    }
    return FirstAnswer([&](IMediaSeeking* s) {
        return s->ConvertTimeFormat(mediaTime, &TIME_FORMAT_MEDIA_TIME, value, &m_timeFormat);
    });
}

REFERENCE_TIME CFilterGraph::CurrentMediaTimeLocked() {
    REFERENCE_TIME position = AddTime(m_segmentStart, ScaleTime(StreamTimeLocked(), m_rate));
    if (!m_clock) {
        // Unclocked, stream time says nothing about what was shown: the renderers know.
        LONGLONG shown = 0;
        REFERENCE_TIME media = 0;
        if (SUCCEEDED(
                FirstAnswer([&](IMediaSeeking* s) { return s->GetCurrentPosition(&shown); })) &&
            SUCCEEDED(ToMediaTime(shown, &media))) {
            position = media;
        }
    }
    // After the end, stream time goes on but the position stays at the stop.
    LONGLONG stop = 0;
    REFERENCE_TIME stopTime = 0;
    if (SUCCEEDED(GetStopPositionLocked(&stop)) && SUCCEEDED(ToMediaTime(stop, &stopTime)) &&
        position > stopTime && stopTime >= m_segmentStart) {
        position = stopTime;
    }
    return position;
}

REFERENCE_TIME CFilterGraph::NextFrameStartLocked(REFERENCE_TIME mediaTime) {
    LONGLONG frame = 0;
    REFERENCE_TIME next = -1;
    if (FAILED(FirstAnswer([&](IMediaSeeking* s) {
            return s->ConvertTimeFormat(&frame, &TIME_FORMAT_FRAME, mediaTime,
                                        &TIME_FORMAT_MEDIA_TIME);
        })) ||
        FAILED(FirstAnswer([&](IMediaSeeking* s) {
            return s->ConvertTimeFormat(&next, &TIME_FORMAT_MEDIA_TIME, frame + 1,
                                        &TIME_FORMAT_FRAME);
        })))
        return -1;  // no frames to count (sound alone)
    return next;
}

HRESULT CFilterGraph::GetStopPositionLocked(LONGLONG* stop) {
    // The longest stream decides where the graph ends.
    LONGLONG latest = 0;
    const HRESULT hr = Distribute([&](IMediaSeeking* s) {
        LONGLONG mine = 0;
        const HRESULT r = s->GetStopPosition(&mine);
        if (SUCCEEDED(r))
            latest = std::max(latest, mine);
        return r;
    });
    if (SUCCEEDED(hr))
        *stop = latest;
    return hr;
}

HRESULT CFilterGraph::GetCurrentPosition(LONGLONG* current) {
    if (!current)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return ToFormat(CurrentMediaTimeLocked(), current);
}

HRESULT CFilterGraph::GetPositions(LONGLONG* current, LONGLONG* stop) {
    CAutoLock lock(&m_lock);
    if (current) {
        if (HRESULT hr = ToFormat(CurrentMediaTimeLocked(), current); FAILED(hr))
            return hr;
    }
    if (stop)
        return GetStopPositionLocked(stop);
    return S_OK;
}

HRESULT CFilterGraph::SetPositionsLocked(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                         DWORD stopFlags) {
    const DWORD positioning = currentFlags & AM_SEEKING_PositioningBitsMask;
    const bool moves = current && positioning != AM_SEEKING_NoPositioning;
    LONGLONG target = 0;
    DWORD flags = currentFlags;
    if (moves) {
        // Relative to what is on screen, which only the graph knows: the sources are sent an
        // absolute position.
        target = *current;
        if (positioning != AM_SEEKING_AbsolutePositioning) {
            LONGLONG now = 0;
            if (HRESULT hr = ToFormat(CurrentMediaTimeLocked(), &now); FAILED(hr))
                return hr;
            target += now;
        }
        flags = (currentFlags & ~AM_SEEKING_PositioningBitsMask) | AM_SEEKING_AbsolutePositioning;
    }
    const FILTER_STATE before = m_state;
    if (moves && before == State_Running)
        ChangeState(State_Paused);
    bool answered = false;
    LONGLONG currentReturned = target, stopReturned = stop ? *stop : 0;
    const HRESULT hr = Distribute([&](IMediaSeeking* s) {
        LONGLONG c = target, e = stop ? *stop : 0;
        const HRESULT r =
            s->SetPositions(moves ? &c : nullptr, flags, stop ? &e : nullptr, stopFlags);
        if (SUCCEEDED(r) && !answered) {
            currentReturned = c;
            stopReturned = e;
            answered = true;
        }
        return r;
    });
    if (moves && SUCCEEDED(hr)) {
        // A seek restarts stream time at the new position.
        REFERENCE_TIME media = 0;
        if (SUCCEEDED(ToMediaTime(target, &media)))
            m_segmentStart = media;
        m_pausedStreamTime = 0;
        std::lock_guard events(m_eventLock);
        m_completed.clear();
    }
    if (moves && (currentFlags & AM_SEEKING_ReturnTime))
        *current = currentReturned;
    if (stop && (stopFlags & AM_SEEKING_ReturnTime))
        *stop = stopReturned;
    if (moves && before == State_Running)
        ChangeState(State_Running);
    return hr;
}

HRESULT CFilterGraph::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                   DWORD stopFlags) {
    CAutoLock lock(&m_lock);
    return SetPositionsLocked(current, currentFlags, stop, stopFlags);
}

HRESULT CFilterGraph::SetRate(double rate) {
    if (!(rate > 0))
        return E_INVALIDARG;
    CAutoLock lock(&m_lock);
    if (rate == m_rate)
        return S_OK;
    // As on Windows: the graph stopped at the current position (which a stop keeps), the rate
    // set, the state restored; stream time starts again at the new rate.
    const FILTER_STATE before = m_state;
    // Running, the frame at the current position is on show: the stream goes on at the new
    // rate from the next one, so no frame is shown twice. (Paused, the position is the next
    // frame's already.)
    REFERENCE_TIME next = -1;
    if (before == State_Running)
        next = NextFrameStartLocked(CurrentMediaTimeLocked());
    ChangeState(State_Stopped);
    const HRESULT hr = Distribute([&](IMediaSeeking* s) { return s->SetRate(rate); });
    if (SUCCEEDED(hr)) {
        m_rate = rate;
        if (LONGLONG position = 0;
            next > m_segmentStart && SUCCEEDED(ToFormat(next, &position)) &&
            SUCCEEDED(SetPositionsLocked(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                         AM_SEEKING_NoPositioning)))
            m_segmentStart = next;
    }
    if (before != State_Stopped)
        ChangeState(before);
    return hr;
}

HRESULT CFilterGraph::GetRate(double* rate) {
    if (!rate)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *rate = m_rate;
    return S_OK;
}

HRESULT CFilterGraph::SetTimeFormat(const GUID* format) {
    if (!format)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    if (m_state != State_Stopped && *format != m_timeFormat)
        return VFW_E_WRONG_STATE;
    const HRESULT hr = Distribute([&](IMediaSeeking* s) { return s->SetTimeFormat(format); });
    if (SUCCEEDED(hr))
        m_timeFormat = *format;
    return hr;
}

HRESULT CFilterGraph::GetTimeFormat(GUID* format) {
    if (!format)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *format = m_timeFormat;
    return S_OK;
}

HRESULT CFilterGraph::IsUsingTimeFormat(const GUID* format) {
    if (!format)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return *format == m_timeFormat ? S_OK : S_FALSE;
}

HRESULT CFilterGraph::GetCapabilities(DWORD* capabilities) {
    if (!capabilities)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    // What every stream can do; the position is always known, from stream time.
    DWORD all = ~0u;
    bool any = false;
    for (const auto& seeking : SeekingRenderers()) {
        DWORD mine = 0;
        if (SUCCEEDED(seeking->GetCapabilities(&mine))) {
            all &= mine;
            any = true;
        }
    }
    if (!any)
        return E_NOTIMPL;
    *capabilities = all | AM_SEEKING_CanGetCurrentPos;
    return S_OK;
}

HRESULT CFilterGraph::CheckCapabilities(DWORD* capabilities) {
    if (!capabilities)
        return E_POINTER;
    DWORD mine = 0;
    if (HRESULT hr = GetCapabilities(&mine); FAILED(hr))
        return hr;
    const DWORD asked = *capabilities;
    *capabilities &= mine;
    if (*capabilities == asked)
        return S_OK;
    return *capabilities ? S_FALSE : E_FAIL;
}

HRESULT CFilterGraph::IsFormatSupported(const GUID* format) {
    CAutoLock lock(&m_lock);
    return FirstAnswer([&](IMediaSeeking* s) { return s->IsFormatSupported(format); });
}
HRESULT CFilterGraph::QueryPreferredFormat(GUID* format) {
    CAutoLock lock(&m_lock);
    return FirstAnswer([&](IMediaSeeking* s) { return s->QueryPreferredFormat(format); });
}
HRESULT CFilterGraph::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                        const GUID* sourceFormat) {
    CAutoLock lock(&m_lock);
    return FirstAnswer([&](IMediaSeeking* s) {
        return s->ConvertTimeFormat(target, targetFormat, source, sourceFormat);
    });
}

// The longest stream decides when the graph ends.
HRESULT CFilterGraph::GetDuration(LONGLONG* duration) {
    if (!duration)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    LONGLONG longest = 0;
    const HRESULT hr = Distribute([&](IMediaSeeking* s) {
        LONGLONG d = 0;
        const HRESULT r = s->GetDuration(&d);
        if (SUCCEEDED(r))
            longest = std::max(longest, d);
        return r;
    });
    if (SUCCEEDED(hr))
        *duration = longest;
    return hr;
}

HRESULT CFilterGraph::GetStopPosition(LONGLONG* stop) {
    if (!stop)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return GetStopPositionLocked(stop);
}

HRESULT CFilterGraph::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    CAutoLock lock(&m_lock);
    return FirstAnswer([&](IMediaSeeking* s) { return s->GetAvailable(earliest, latest); });
}

HRESULT CFilterGraph::GetPreroll(LONGLONG* preroll) {
    CAutoLock lock(&m_lock);
    return FirstAnswer([&](IMediaSeeking* s) { return s->GetPreroll(preroll); });
}

// ---- IBasicAudio ----

template <class F>
static HRESULT FirstAudio(const std::vector<IBaseFilter*>& filters, F&& call) {
    for (IBaseFilter* filter : filters) {
        ComPtr<IBasicAudio> audio;
        if (SUCCEEDED(filter->QueryInterface(IID_IBasicAudio, audio.PutVoid())) && audio)
            return call(audio.Get());
    }
    return E_NOTIMPL;
}

HRESULT CFilterGraph::put_Volume(LONG v) {
    CAutoLock lock(&m_lock);
    return FirstAudio(DownstreamFirst(), [&](IBasicAudio* a) { return a->put_Volume(v); });
}
HRESULT CFilterGraph::get_Volume(LONG* v) {
    CAutoLock lock(&m_lock);
    return FirstAudio(DownstreamFirst(), [&](IBasicAudio* a) { return a->get_Volume(v); });
}
HRESULT CFilterGraph::put_Balance(LONG b) {
    CAutoLock lock(&m_lock);
    return FirstAudio(DownstreamFirst(), [&](IBasicAudio* a) { return a->put_Balance(b); });
}
HRESULT CFilterGraph::get_Balance(LONG* b) {
    CAutoLock lock(&m_lock);
    return FirstAudio(DownstreamFirst(), [&](IBasicAudio* a) { return a->get_Balance(b); });
}
