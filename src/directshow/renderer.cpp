#include "directshow/renderer.h"

#include <system_error>

#include "directshow/pos_passthru.h"
#include "directshow/time_scale.h"

// ---- CRendererInputPin ----

CRendererInputPin::CRendererInputPin(CBaseRenderer* renderer, HRESULT* hr, const wchar_t* name)
    : CBaseInputPin(L"renderer input", renderer, renderer->FilterLock(), hr, name),
      m_pRenderer(renderer) {}

HRESULT CRendererInputPin::CheckMediaType(const CMediaType* type) {
    return m_pRenderer->CheckMediaType(type);
}

HRESULT CRendererInputPin::SetMediaType(const CMediaType* type) {
    if (HRESULT hr = CBaseInputPin::SetMediaType(type); FAILED(hr))
        return hr;
    return m_pRenderer->SetMediaType(type);
}

HRESULT CRendererInputPin::CompleteConnect(IPin* receivePin) {
    return m_pRenderer->CompleteConnect(receivePin);
}

HRESULT CRendererInputPin::BreakConnect() {
    m_pRenderer->BreakConnect();
    return CBaseInputPin::BreakConnect();
}

HRESULT CRendererInputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator)
        return E_POINTER;
    if (m_pRenderer->ProposeAllocator(allocator) == S_OK && *allocator)
        return S_OK;
    return CBaseInputPin::GetAllocator(allocator);
}

HRESULT CRendererInputPin::Receive(IMediaSample* sample) {
    if (HRESULT hr = CBaseInputPin::Receive(sample); hr != S_OK)
        return hr;
    return m_pRenderer->Receive(sample);
}

HRESULT CRendererInputPin::EndOfStream() {
    if (IsStopped())
        return VFW_E_WRONG_STATE;
    if (IsFlushing())
        return S_OK;
    return m_pRenderer->EndOfStream();
}

HRESULT CRendererInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    return m_pRenderer->BeginFlush();
}

HRESULT CRendererInputPin::EndFlush() {
    m_pRenderer->EndFlush();
    return CBaseInputPin::EndFlush();
}

// ---- CBaseRenderer ----

CBaseRenderer::CBaseRenderer(REFCLSID clsid, const wchar_t* name, IUnknown* outer, HRESULT* hr)
    : CBaseFilter(name, outer, &m_InterfaceLock, clsid), m_pin(this, hr, L"In") {}

CBaseRenderer::~CBaseRenderer() {
    {
        std::lock_guard lock(m_RendererLock);
        CancelEndOfStreamTimerLocked();
        m_eosQuit = true;
    }
    m_eosEvent.set();
    if (m_eosTimer.joinable())
        m_eosTimer.join();
    if (m_pClock && m_dwAdvise)
        m_pClock->Unadvise(m_dwAdvise);
    if (CRendererPosPassThru* position = m_pPosition)
        position->NonDelegatingRelease();
}

HRESULT CBaseRenderer::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IMediaSeeking) {
        // Not under the filter lock: the streaming thread may ask while Stop waits for it.
        CRendererPosPassThru* position = m_pPosition;
        if (!position) {
            std::lock_guard lock(m_PositionLock);
            position = m_pPosition;
            if (!position) {
                HRESULT hr = S_OK;
                position = new CRendererPosPassThru(L"renderer seeking", GetOwner(), &hr, &m_pin);
                position->NonDelegatingAddRef();
                if (FAILED(hr)) {
                    position->NonDelegatingRelease();
                    return hr;
                }
                m_pPosition = position;
            }
        }
        return position->NonDelegatingQueryInterface(riid, object);
    }
    return CBaseFilter::NonDelegatingQueryInterface(riid, object);
}

CBasePin* CBaseRenderer::GetPin(int n) {
    return n == 0 ? &m_pin : nullptr;
}

bool CBaseRenderer::HasPendingSample() {
    std::lock_guard lock(m_RendererLock);
    return static_cast<bool>(m_pMediaSample);
}

HRESULT CBaseRenderer::Receive(IMediaSample* sample) {
    SampleTimes times;
    times.result = sample->GetTime(&times.start, &times.end);
    if (EndsBeforeSegment(sample, times))
        return S_OK;
    bool first = false;
    if (HRESULT hr = HoldSample(sample, &first); hr != S_OK)
        return hr == S_FALSE ? S_OK : hr;
    if (first)
        OnReceiveFirstSample(sample);
    const bool render = WaitUntilDue(sample, &times);
    if (render) {
        if (CRendererPosPassThru* position = m_pPosition)
            position->RegisterMediaTime(sample);
        // A renderer that cannot take this sample (a full buffer) drops it; the stream goes on.
        DoRenderSample(sample);
    }
    LetGoOfSample(render, times);
    return S_OK;
}

bool CBaseRenderer::EndsBeforeSegment(IMediaSample* sample, const SampleTimes& times) {
    // Times are relative to the segment start: a sample wholly before it, like a preroll
    // sample, only brought the decoder to the seek target and is never shown.
    if (sample->IsPreroll() == S_OK)
        return true;
    return (times.result == S_OK && (times.end < 0 || (times.end == 0 && times.start < 0))) ||
           (times.result == VFW_S_NO_STOP_TIME && times.start < 0);
}

HRESULT CBaseRenderer::HoldSample(IMediaSample* sample, bool* first) {
    std::lock_guard lock(m_RendererLock);
    if (EndedLocked())
        return VFW_E_SAMPLE_REJECTED_EOS;
    if (m_bAbort)
        return S_FALSE;  // a flush or a stop is under way: dropped
    if (m_State == State_Stopped)
        return VFW_E_WRONG_STATE;
    if (m_pMediaSample)
        return E_UNEXPECTED;
    m_pMediaSample = ComPtr<IMediaSample>(sample);
    ++m_inReceive;
    *first = m_State == State_Paused && m_receivedAt != m_pauseSerial;
    m_receivedAt = m_pauseSerial;
    m_evComplete.set();  // a pause completes with its first sample
    return S_OK;
}

bool CBaseRenderer::WaitUntilDue(IMediaSample* sample, SampleTimes* times) {
    for (;;) {
        switch (NextStep(sample, times)) {
            case Step::Drop:
                return false;
            case Step::Render:
                return true;
            case Step::Wait:
                // Paused: a run, a stop or a flush wakes us; running: the clock's advise too.
                m_renderEvent.wait(zyl::platform::kInfinite);
                break;
        }
    }
}

CBaseRenderer::Step CBaseRenderer::NextStep(IMediaSample* sample, SampleTimes* times) {
    std::lock_guard lock(m_RendererLock);
    if (m_pClock && m_dwAdvise) {
        m_pClock->Unadvise(m_dwAdvise);
        m_dwAdvise = 0;
    }
    if (m_bAbort || m_State == State_Stopped)
        return Step::Drop;
    if (m_State != State_Running)
        return Step::Wait;  // held while paused
    const bool timed = SUCCEEDED(times->result);
    const HRESULT now =
        timed && m_pClock ? ShouldDrawSampleNow(sample, &times->start, &times->end) : S_OK;
    if (FAILED(now))
        return Step::Drop;  // the renderer does not want it drawn
    if (now == S_OK)
        return Step::Render;
    REFERENCE_TIME clock = 0;
    m_pClock->GetTime(&clock);
    // Late, or a time the clock cannot be asked for: at once rather than never.
    if (clock >= m_tStart + times->start ||
        FAILED(m_pClock->AdviseTime(m_tStart, times->start,
                                    reinterpret_cast<HEVENT>(&m_renderEvent), &m_dwAdvise))) {
        m_dwAdvise = 0;
        return Step::Render;
    }
    return Step::Wait;
}

bool CBaseRenderer::WaitUntilReady(const std::function<bool()>& ready) {
    for (;;) {
        {
            std::lock_guard lock(m_RendererLock);
            if (m_bAbort || m_State == State_Stopped)
                return false;
        }
        if (ready())
            return true;
        // Auto-reset: a Wake() between ready() and here is kept for this wait.
        m_renderEvent.wait(zyl::platform::kInfinite);
    }
}

void CBaseRenderer::LetGoOfSample(bool rendered, const SampleTimes& times) {
    {
        std::lock_guard lock(m_RendererLock);
        m_pMediaSample.Reset();
        --m_inReceive;
        if (rendered && SUCCEEDED(times.result)) {
            // The stream ends when the last sample shown has been shown for its time.
            m_signalTime = times.result == S_OK ? times.end : times.start;
            m_shownAt = m_flushSerial;
        }
        // The end arrived while this sample was held: it follows now, shown or dropped.
        if (EndedLocked())
            ScheduleEndOfStreamLocked();
    }
    m_receiveDone.notify_all();
}

void CBaseRenderer::SendEndOfStreamLocked() {
    if (CompleteSentLocked() || m_State != State_Running)
        return;
    m_completeAt = m_pauseSerial;
    NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
}

HRESULT CBaseRenderer::EndOfStream() {
    std::lock_guard lock(m_RendererLock);
    if (m_bAbort)
        return S_OK;
    m_eosAt = m_flushSerial;
    m_evComplete.set();  // the end of the stream completes a pause too
    if (CRendererPosPassThru* position = m_pPosition)
        position->EOS();
    // With a sample still waiting, the end follows its rendering.
    if (!m_pMediaSample)
        ScheduleEndOfStreamLocked();
    return S_OK;
}

void CBaseRenderer::ScheduleEndOfStreamLocked() {
    if (CompleteSentLocked() || m_State != State_Running)
        return;
    CancelEndOfStreamTimerLocked();
    // As DirectShow's renderer does with its end-of-stream timer: the completion waits for the
    // end time of the last sample shown, so the last frame lasts its time (and a one-frame
    // file loops at its rate).
    if (m_pClock && ShownLocked()) {
        REFERENCE_TIME clock = 0;
        m_pClock->GetTime(&clock);
        if (clock < AddTime(m_tStart, m_signalTime) && StartEndOfStreamTimerLocked() &&
            SUCCEEDED(m_pClock->AdviseTime(m_tStart, m_signalTime,
                                           reinterpret_cast<HEVENT>(&m_eosEvent), &m_eosAdvise)))
            return;
        m_eosAdvise = 0;
    }
    SendEndOfStreamLocked();
}

void CBaseRenderer::CancelEndOfStreamTimerLocked() {
    if (m_pClock && m_eosAdvise)
        m_pClock->Unadvise(m_eosAdvise);
    m_eosAdvise = 0;
}

bool CBaseRenderer::StartEndOfStreamTimerLocked() {
    if (m_eosTimer.joinable())
        return true;
    try {
        m_eosTimer = std::thread([this] { EndOfStreamTimer(); });
        return true;
    } catch (const std::system_error&) {
        return false;  // no thread to wait with: the stream completes at once
    }
}

void CBaseRenderer::EndOfStreamTimer() {
    for (;;) {
        m_eosEvent.wait(zyl::platform::kInfinite);
        std::lock_guard lock(m_RendererLock);
        if (m_eosQuit)
            return;
        if (!m_eosAdvise || !m_pClock)
            continue;
        // A cancelled advise may still have set the event: only the time counts.
        REFERENCE_TIME clock = 0;
        m_pClock->GetTime(&clock);
        if (clock < AddTime(m_tStart, m_signalTime))
            continue;
        m_eosAdvise = 0;  // a one-shot advise that has fired
        if (EndedLocked() && !m_bAbort)
            SendEndOfStreamLocked();
    }
}

void CBaseRenderer::AbortAndWaitForReceive() {
    {
        std::lock_guard lock(m_RendererLock);
        m_bAbort = true;
        // Forgets the stream's end, the last sample shown and a completion sent.
        ++m_flushSerial;
        ++m_pauseSerial;
        CancelEndOfStreamTimerLocked();
    }
    Wake();
    std::unique_lock lock(m_RendererLock);
    m_receiveDone.wait(lock, [this] { return m_inReceive == 0; });
}

HRESULT CBaseRenderer::BeginFlush() {
    AbortAndWaitForReceive();
    return S_OK;
}

HRESULT CBaseRenderer::EndFlush() {
    std::lock_guard lock(m_RendererLock);
    m_bAbort = false;
    if (CRendererPosPassThru* position = m_pPosition)
        position->ResetMediaTime();
    // A pause after a flush waits for data from the new position.
    if (m_State == State_Paused)
        m_evComplete.reset();
    return S_OK;
}

bool CBaseRenderer::CompleteStateChangeLocked(FILTER_STATE oldState) {
    // Disconnected or at the end there is nothing to wait for; after a stop, fresh data is.
    const bool complete =
        !m_pin.IsConnected() || EndedLocked() || (m_pMediaSample && oldState != State_Stopped);
    if (complete) {
        m_evComplete.set();
    } else {
        m_evComplete.reset();
    }
    return complete;
}

HRESULT CBaseRenderer::InitStream() {
    std::lock_guard renderer(m_RendererLock);
    m_bAbort = false;
    return S_OK;
}

HRESULT CBaseRenderer::PauseStream(FILTER_STATE from) {
    bool complete;
    {
        std::lock_guard renderer(m_RendererLock);
        // The next sample is a first one, and the graph forgets completions when it pauses: the
        // next Run tells it again.
        ++m_pauseSerial;
        CancelEndOfStreamTimerLocked();
        complete = CompleteStateChangeLocked(from);
    }
    Wake();
    return complete ? S_OK : S_FALSE;
}

HRESULT CBaseRenderer::StartStream(REFERENCE_TIME) {
    {
        std::lock_guard renderer(m_RendererLock);
        if (EndedLocked() && !m_pMediaSample)
            ScheduleEndOfStreamLocked();
    }
    Wake();
    return S_OK;
}

HRESULT CBaseRenderer::CleanupStream(FILTER_STATE) {
    AbortAndWaitForReceive();
    {
        std::lock_guard renderer(m_RendererLock);
        if (CRendererPosPassThru* position = m_pPosition)
            position->ResetMediaTime();
        m_evComplete.set();  // whoever waits for a pause to complete looks again
    }
    Wake();
    return S_OK;
}

HRESULT CBaseRenderer::SetSyncSource(IReferenceClock* clock) {
    CAutoLock lock(&m_InterfaceLock);
    HRESULT hr;
    {
        std::lock_guard renderer(m_RendererLock);
        if (m_pClock && m_dwAdvise) {
            m_pClock->Unadvise(m_dwAdvise);
            m_dwAdvise = 0;
        }
        CancelEndOfStreamTimerLocked();
        hr = CBaseFilter::SetSyncSource(clock);
        // A completion still to come is timed by the new clock, or sent now without one.
        if (EndedLocked() && !m_pMediaSample)
            ScheduleEndOfStreamLocked();
    }
    Wake();  // a waiting sample is timed by the new clock, or by none
    return hr;
}

HRESULT CBaseRenderer::WaitState(DWORD milliseconds) {
    return m_evComplete.wait(milliseconds) == zyl::platform::WaitResult::Signaled
               ? S_OK
               : VFW_S_STATE_INTERMEDIATE;
}
