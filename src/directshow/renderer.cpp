#include "directshow/renderer.h"

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

HRESULT CRendererInputPin::Receive(IMediaSample* sample) {
    if (HRESULT hr = CBaseInputPin::Receive(sample); hr != S_OK)
        return hr;
    return m_pRenderer->Receive(sample);
}

HRESULT CRendererInputPin::EndOfStream() {
    if (IsStopped() || IsFlushing())
        return IsFlushing() ? S_OK : VFW_E_WRONG_STATE;
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
    if (m_pClock && m_dwAdvise)
        m_pClock->Unadvise(m_dwAdvise);
}

CBasePin* CBaseRenderer::GetPin(int n) {
    return n == 0 ? &m_pin : nullptr;
}

bool CBaseRenderer::HasPendingSample() {
    std::lock_guard lock(m_RendererLock);
    return m_pMediaSample != nullptr;
}

HRESULT CBaseRenderer::Receive(IMediaSample* sample) {
    REFERENCE_TIME start = 0, end = 0;
    const bool timed = SUCCEEDED(sample->GetTime(&start, &end));
    {
        std::lock_guard lock(m_RendererLock);
        if (m_bEOS)
            return VFW_E_SAMPLE_REJECTED_EOS;
        if (m_pMediaSample)
            return E_UNEXPECTED;
        // A stop or flush under way stays in force: only a new pause or the end of the flush
        // clears it, or a sample slipping in meanwhile would wait for ever.
        if (m_bAbort || m_State == State_Stopped)
            return m_bAbort ? S_OK : VFW_E_WRONG_STATE;
        m_pMediaSample = sample;
        sample->AddRef();
        if (m_State == State_Paused && !m_bDrawnSincePause) {
            m_bDrawnSincePause = true;
            // The poster frame; drawn under the renderer lock so a flush cannot pass it.
            OnReceiveFirstSample(sample);
        }
        m_evComplete.set();
    }
    bool render = false;
    for (;;) {
        {
            std::lock_guard lock(m_RendererLock);
            if (m_pClock && m_dwAdvise) {
                m_pClock->Unadvise(m_dwAdvise);
                m_dwAdvise = 0;
            }
            if (m_bAbort)
                break;
            if (m_State == State_Running) {
                if (!m_pClock || !timed || ShouldDrawSampleNow(sample, &start, &end) == S_OK) {
                    render = true;
                    break;
                }
                REFERENCE_TIME now = 0;
                m_pClock->GetTime(&now);
                if (now >= m_tStart + start) {
                    render = true;
                    break;
                }
                m_pClock->AdviseTime(m_tStart, start, reinterpret_cast<HEVENT>(&m_renderEvent),
                                     &m_dwAdvise);
            } else if (m_State == State_Stopped) {
                break;
            }
        }
        // The clock's advise or a change of state wakes us.
        m_renderEvent.wait(zyl::platform::kInfinite);
    }
    const HRESULT hr = render ? DoRenderSample(sample) : S_OK;
    {
        std::lock_guard lock(m_RendererLock);
        m_pMediaSample = nullptr;
        if (m_bEOS && render)
            SendEndOfStreamLocked();
        if (m_State == State_Paused)
            m_evComplete.reset();
    }
    sample->Release();
    return FAILED(hr) ? hr : S_OK;
}

void CBaseRenderer::SendEndOfStreamLocked() {
    if (m_bEOSDelivered || m_State != State_Running)
        return;
    m_bEOSDelivered = true;
    NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
}

HRESULT CBaseRenderer::EndOfStream() {
    std::lock_guard lock(m_RendererLock);
    m_bEOS = true;
    m_evComplete.set();
    // With a sample still waiting, the end follows its rendering.
    if (!m_pMediaSample)
        SendEndOfStreamLocked();
    return S_OK;
}

HRESULT CBaseRenderer::BeginFlush() {
    {
        std::lock_guard lock(m_RendererLock);
        m_bAbort = true;
        m_bEOS = false;
        m_bEOSDelivered = false;
    }
    Wake();
    return S_OK;
}

HRESULT CBaseRenderer::EndFlush() {
    std::lock_guard lock(m_RendererLock);
    m_bAbort = false;
    m_bDrawnSincePause = false;
    if (m_State == State_Paused)
        m_evComplete.reset();
    return S_OK;
}

HRESULT CBaseRenderer::Stop() {
    CAutoLock lock(&m_InterfaceLock);
    {
        std::lock_guard renderer(m_RendererLock);
        m_bAbort = true;
        m_bEOS = false;
        m_bEOSDelivered = false;
    }
    Wake();
    const HRESULT hr = CBaseFilter::Stop();
    m_evComplete.reset();
    Wake();  // the state is now stopped for whoever looks again
    return hr;
}

HRESULT CBaseRenderer::Pause() {
    CAutoLock lock(&m_InterfaceLock);
    const bool fromStopped = m_State == State_Stopped;
    if (fromStopped) {
        std::lock_guard renderer(m_RendererLock);
        m_bAbort = false;
        m_bDrawnSincePause = false;
        if (!m_pin.IsConnected()) {
            m_evComplete.set();
        } else {
            m_evComplete.reset();
        }
    }
    const HRESULT hr = CBaseFilter::Pause();
    Wake();
    return hr;
}

HRESULT CBaseRenderer::Run(REFERENCE_TIME start) {
    CAutoLock lock(&m_InterfaceLock);
    if (m_State == State_Stopped) {
        if (HRESULT hr = Pause(); FAILED(hr))
            return hr;
    }
    const HRESULT hr = CBaseFilter::Run(start);
    {
        std::lock_guard renderer(m_RendererLock);
        if (m_bEOS && !m_pMediaSample)
            SendEndOfStreamLocked();
    }
    Wake();
    return hr;
}

HRESULT CBaseRenderer::SetSyncSource(IReferenceClock* clock) {
    CAutoLock lock(&m_InterfaceLock);
    std::lock_guard renderer(m_RendererLock);
    if (m_pClock && m_dwAdvise) {
        m_pClock->Unadvise(m_dwAdvise);
        m_dwAdvise = 0;
    }
    return CBaseFilter::SetSyncSource(clock);
}

HRESULT CBaseRenderer::GetState(DWORD milliseconds, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = m_State;
    // Pausing completes when a sample (or the end of the stream) has arrived.
    if (m_State == State_Paused && m_pin.IsConnected() &&
        m_evComplete.wait(milliseconds) != zyl::platform::WaitResult::Signaled) {
        return VFW_S_STATE_INTERMEDIATE;
    }
    return S_OK;
}
