// The graph's state changes, stream time and clock.
#include <algorithm>
#include <functional>

#include "directshow/filter_graph.h"
#include "directshow/graph_pins.h"
#include "directshow/system_clock.h"

using dshow::graph::FilterOf;
using dshow::graph::PinsOf;

namespace {

// Stream time starts a little after Run, so every filter is running when it does. Telling a
// handful of filters to run takes microseconds here; 2 ms covers a busy machine and keeps the
// first frame of a camera from waiting longer than its decoding.
constexpr REFERENCE_TIME kStartDelay = 2 * MILLISECONDS;

}  // namespace

std::vector<IBaseFilter*> CFilterGraph::DownstreamFirst() {
    std::vector<IBaseFilter*> order;
    std::function<void(IBaseFilter*)> visit = [&](IBaseFilter* filter) {
        if (std::find(order.begin(), order.end(), filter) != order.end())
            return;
        for (const auto& pin : PinsOf(filter, PINDIR_OUTPUT, false)) {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) == S_OK) {
                if (IBaseFilter* next = FilterOf(peer.Get()))
                    visit(next);
            }
        }
        if (std::find(order.begin(), order.end(), filter) == order.end())
            order.push_back(filter);
    };
    for (const Entry& e : m_filters)
        visit(e.filter);
    return order;
}

std::size_t CFilterGraph::CountRenderers() {
    return static_cast<std::size_t>(
        std::count_if(m_filters.begin(), m_filters.end(),
                      [](const Entry& e) { return dshow::graph::IsConnectedRenderer(e.filter); }));
}

REFERENCE_TIME CFilterGraph::ClockTimeLocked() {
    REFERENCE_TIME now = 0;
    if (m_clock && SUCCEEDED(m_clock->GetTime(&now)))
        return now;
    return MonotonicReferenceTime();
}

REFERENCE_TIME CFilterGraph::StreamTimeLocked() {
    if (m_state != State_Running)
        return m_pausedStreamTime;
    return std::max<REFERENCE_TIME>(0, ClockTimeLocked() - m_streamStart);
}

bool CFilterGraph::TransitionIncomplete() {
    for (const Entry& e : m_filters) {
        FILTER_STATE s;
        if (e.filter->GetState(0, &s) == VFW_S_STATE_INTERMEDIATE)
            return true;
    }
    return false;
}

HRESULT CFilterGraph::ChangeState(FILTER_STATE target) {
    if (target == m_state) {
        return target != State_Stopped && TransitionIncomplete() ? S_FALSE : S_OK;
    }
    if (target != State_Stopped && m_state == State_Stopped && !m_clockChosen)
        SetDefaultSyncSource();
    // Running passes through paused on the way up, and on the way down to stopped.
    if ((target == State_Running && m_state == State_Stopped) ||
        (target == State_Stopped && m_state == State_Running)) {
        if (HRESULT hr = ChangeState(State_Paused); FAILED(hr))
            return hr;
    }
    // Running does not wait for the pause to complete, but says that it has not.
    const bool pauseIncomplete = target == State_Running && TransitionIncomplete();
    // Filters are given their start in the time of the clock they were given.
    const REFERENCE_TIME now = ClockTimeLocked();
    REFERENCE_TIME stoppedAt = 0;
    if (target == State_Running) {
        // Stream time goes on from where a pause left it.
        m_streamStart = now - m_pausedStreamTime + (m_pausedStreamTime == 0 ? kStartDelay : 0);
        const std::size_t renderers = CountRenderers();
        std::lock_guard events(m_eventLock);
        m_renderersRunning = renderers;
        m_completed.clear();
        m_running = true;
    } else if (target == State_Paused) {
        if (m_state == State_Running)
            m_pausedStreamTime = std::max<REFERENCE_TIME>(0, now - m_streamStart);
    } else {
        stoppedAt = CurrentMediaTimeLocked();
        std::lock_guard events(m_eventLock);
        m_running = false;
    }
    HRESULT result = S_OK;
    for (IBaseFilter* filter : DownstreamFirst()) {
        const HRESULT hr = target == State_Stopped  ? filter->Stop()
                           : target == State_Paused ? filter->Pause()
                                                    : filter->Run(m_streamStart);
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
    }
    if (target == State_Paused) {
        // Renderers still at the end send their completion again at the next Run; one still
        // queued from this run would make the application rewind twice.
        std::lock_guard events(m_eventLock);
        m_running = false;
        std::erase_if(m_events, [](const Event& e) { return e.code == EC_COMPLETE; });
        if (m_events.empty())
            m_eventHandle.reset();
    }
    m_state = target;
    if (target == State_Stopped) {
        // A later Run resumes where this stop left the stream, not where the sources had read
        // to: they are sent back there while nothing streams.
        LONGLONG position = 0;
        if (SUCCEEDED(ToFormat(stoppedAt, &position))) {
            SetPositionsLocked(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                               AM_SEEKING_NoPositioning);
        }
        m_segmentStart = stoppedAt;
        m_pausedStreamTime = 0;
    }
    if (FAILED(result))
        return result;
    return target != State_Stopped && (pauseIncomplete || TransitionIncomplete()) ? S_FALSE : S_OK;
}

HRESULT CFilterGraph::Run() {
    CAutoLock lock(&m_lock);
    return ChangeState(State_Running);
}

HRESULT CFilterGraph::Pause() {
    CAutoLock lock(&m_lock);
    return ChangeState(State_Paused);
}

HRESULT CFilterGraph::Stop() {
    CAutoLock lock(&m_lock);
    return ChangeState(State_Stopped);
}

HRESULT CFilterGraph::StopWhenReady() {
    return Stop();
}

HRESULT CFilterGraph::Run(REFERENCE_TIME) {
    return Run();
}

HRESULT CFilterGraph::GetState(LONG milliseconds, OAFilterState* state) {
    FILTER_STATE s = State_Stopped;
    const HRESULT hr = GetState(static_cast<DWORD>(milliseconds), &s);
    if (state)
        *state = s;
    return hr;
}

HRESULT CFilterGraph::GetState(DWORD milliseconds, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    std::vector<ComPtr<IBaseFilter>> filters;
    {
        CAutoLock lock(&m_lock);
        for (const Entry& e : m_filters)
            filters.emplace_back(e.filter);
    }
    // Waited for without the graph lock, with one time-out for the whole graph: a filter
    // completing its pause may need to post an event, and Stop must be able to release it.
    const bool forever = milliseconds == zyl::platform::kInfinite;
    const REFERENCE_TIME deadline =
        MonotonicReferenceTime() + static_cast<REFERENCE_TIME>(milliseconds) * MILLISECONDS;
    HRESULT result = S_OK;
    for (const auto& filter : filters) {
        DWORD wait = milliseconds;
        if (!forever) {
            const REFERENCE_TIME left = deadline - MonotonicReferenceTime();
            wait = left > 0 ? static_cast<DWORD>(left / MILLISECONDS) : 0;
        }
        FILTER_STATE s;
        const HRESULT hr = filter->GetState(wait, &s);
        if (FAILED(hr))
            return hr;
        if (hr == VFW_S_STATE_INTERMEDIATE)
            result = hr;
    }
    // The state now, not when the wait began: a Stop may be what ended it.
    CAutoLock lock(&m_lock);
    *state = m_state;
    return result;
}

HRESULT CFilterGraph::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_FilterGraph;
    return S_OK;
}

HRESULT CFilterGraph::SetSyncSource(IReferenceClock* clock) {
    CAutoLock lock(&m_lock);
    if (m_state != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (clock)
        clock->AddRef();
    if (m_clock)
        m_clock->Release();
    m_clock = clock;
    m_clockChosen = true;
    for (const Entry& e : m_filters)
        e.filter->SetSyncSource(m_clock);
    return S_OK;
}

HRESULT CFilterGraph::GetSyncSource(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *clock = m_clock;
    if (m_clock)
        m_clock->AddRef();
    return S_OK;
}
