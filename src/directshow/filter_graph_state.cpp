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
// How long a start waits for filters to finish their pause, and in what slices.
constexpr REFERENCE_TIME kCueLimit = 10000 * MILLISECONDS;
constexpr DWORD kCueSlice = 20;

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
    if (m_state != State_Running || m_startPending)
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
    if (m_startPending && target != State_Running) {
        // Never started: the filters are paused where the pause left them, stream time too.
        CancelStartLocked();
        m_state = State_Paused;
    }
    if (target == m_state) {
        if (m_startPending)
            return S_FALSE;
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
    if (target == State_Running) {
        m_state = State_Running;
        // As IMediaControl::Run documents: while a filter has not finished its pause, "the
        // graph is preparing to run" and "will run automatically when it is ready". Stream
        // time starts then, so the first frame after a start or a seek is not late by its
        // decoding, and the position does not run on while it decodes.
        if (TransitionIncomplete()) {
            StartWhenCuedLocked();
            return S_FALSE;
        }
        StartFiltersLocked();
        return m_startResult;
    }
    // Filters are given their start in the time of the clock they were given.
    const REFERENCE_TIME now = ClockTimeLocked();
    REFERENCE_TIME stoppedAt = 0;
    if (target == State_Paused) {
        if (m_state == State_Running)
            m_pausedStreamTime = std::max<REFERENCE_TIME>(0, now - m_streamStart);
    } else {
        stoppedAt = CurrentMediaTimeLocked();
        std::lock_guard events(m_eventLock);
        m_running = false;
    }
    HRESULT result = S_OK;
    for (IBaseFilter* filter : DownstreamFirst()) {
        const HRESULT hr = target == State_Stopped ? filter->Stop() : filter->Pause();
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
    return target != State_Stopped && TransitionIncomplete() ? S_FALSE : S_OK;
}

void CFilterGraph::StartFiltersLocked() {
    const REFERENCE_TIME now = ClockTimeLocked();
    // Stream time goes on from where a pause left it.
    m_streamStart = now - m_pausedStreamTime + (m_pausedStreamTime == 0 ? kStartDelay : 0);
    {
        const std::size_t renderers = CountRenderers();
        std::lock_guard events(m_eventLock);
        m_renderersRunning = renderers;
        m_completed.clear();
        m_running = true;
    }
    m_startPending = false;
    m_startResult = S_OK;
    for (IBaseFilter* filter : DownstreamFirst()) {
        const HRESULT hr = filter->Run(m_streamStart);
        if (FAILED(hr) && SUCCEEDED(m_startResult))
            m_startResult = hr;
    }
    if (SUCCEEDED(m_startResult) && TransitionIncomplete())
        m_startResult = S_FALSE;
}

void CFilterGraph::StartWhenCuedLocked() {
    m_startPending = true;
    {
        std::lock_guard lock(m_starterLock);
        m_startWanted = ++m_startSerial;
        if (!m_starter.joinable()) {
            try {
                m_starter = std::thread([this] { Starter(); });
            } catch (const std::system_error&) {
                // No thread to wait with: the filters run now, as they would have before.
                m_startPending = false;
            }
        }
    }
    if (!m_startPending) {
        StartFiltersLocked();
        return;
    }
    m_starterWake.notify_all();
}

void CFilterGraph::CancelStartLocked() {
    m_startPending = false;
    {
        std::lock_guard lock(m_starterLock);
        m_startWanted = ++m_startSerial;
    }
    m_started.notify_all();
}

std::vector<ComPtr<IBaseFilter>> CFilterGraph::FilterSnapshot() {
    std::vector<ComPtr<IBaseFilter>> filters;
    CAutoLock lock(&m_lock);
    for (const Entry& e : m_filters)
        filters.emplace_back(e.filter);
    return filters;
}

void CFilterGraph::Starter() {
    std::uint64_t handled = 0;
    for (;;) {
        std::uint64_t wanted = 0;
        {
            std::unique_lock lock(m_starterLock);
            m_starterWake.wait(lock, [&] { return m_starterQuit || m_startWanted != handled; });
            if (m_starterQuit)
                return;
            wanted = handled = m_startWanted;
        }
        // Waited for in short slices, so a cancel or a new request is seen soon; a filter
        // that never completes its pause is started after kCueLimit, as it was before.
        const REFERENCE_TIME deadline = MonotonicReferenceTime() + kCueLimit;
        for (bool cued = false; !cued && m_startSerial == wanted;) {
            cued = true;
            for (const auto& filter : FilterSnapshot()) {
                FILTER_STATE state;
                if (filter->GetState(kCueSlice, &state) == VFW_S_STATE_INTERMEDIATE)
                    cued = false;
                if (m_startSerial != wanted)
                    break;
            }
            if (MonotonicReferenceTime() > deadline)
                break;
        }
        {
            CAutoLock lock(&m_lock);
            if (m_startPending && m_startSerial == wanted) {
                StartFiltersLocked();
                // Run has answered long ago: a filter that failed to run now says so as the
                // graph's error, as a failure while streaming would.
                if (FAILED(m_startResult))
                    PostEvent({EC_ERRORABORT, m_startResult, 0});
            }
        }
        // Through the lock, so a GetState between its test and its wait cannot miss this.
        { std::lock_guard lock(m_starterLock); }
        m_started.notify_all();
    }
}

void CFilterGraph::EndStarter() {
    {
        std::lock_guard lock(m_starterLock);
        m_starterQuit = true;
    }
    m_starterWake.notify_all();
    if (m_starter.joinable())
        m_starter.join();
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
    // A start waiting for its cue follows at once once the filters are cued: waited for too.
    if (result == S_OK && m_startPending) {
        const std::uint64_t serial = m_startSerial;
        std::unique_lock lock(m_starterLock);
        const auto done = [&] { return m_startSerial != serial || !m_startPending; };
        if (forever) {
            m_started.wait(lock, done);
        } else {
            const REFERENCE_TIME left =
                std::max<REFERENCE_TIME>(0, deadline - MonotonicReferenceTime());
            m_started.wait_for(lock, std::chrono::microseconds(left / 10), done);
        }
    }
    // The state now, not when the wait began: a Stop may be what ended it.
    CAutoLock lock(&m_lock);
    *state = m_state;
    return m_startPending ? VFW_S_STATE_INTERMEDIATE : result;
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
