// Renderer base classes: CBaseRenderer with its input pin CRendererInputPin, and
// CBaseVideoRenderer, which draws the first sample while paused (the poster frame).
//
// The streaming thread enters Receive and holds there with the sample until its time comes:
// no clock or a late sample renders at once; otherwise the renderer asks the clock to signal
// its render event at the sample's time. State changes (run, pause, stop, flush) signal the
// same event so the waiting thread re-evaluates. Locks: the filter lock for state changes, the
// renderer lock (taken after it, never the other way round) for the pending sample and the
// end-of-stream flags; rendering itself happens without either.
#pragma once

#include "directshow/filter.h"
#include "platform/sync.h"

class CBaseRenderer;

class CRendererInputPin : public CBaseInputPin {
public:
    CRendererInputPin(CBaseRenderer* renderer, HRESULT* hr, const wchar_t* name);

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT BreakConnect() override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;

private:
    CBaseRenderer* m_pRenderer;
};

class CBaseRenderer : public CBaseFilter {
public:
    CBaseRenderer(REFCLSID clsid, const wchar_t* name, IUnknown* outer, HRESULT* hr);
    ~CBaseRenderer() override;

    // What a renderer writer supplies.
    virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
    virtual HRESULT DoRenderSample(IMediaSample* sample) = 0;
    virtual HRESULT SetMediaType(const CMediaType*) { return S_OK; }
    virtual HRESULT CompleteConnect(IPin*) { return S_OK; }
    virtual HRESULT BreakConnect() { return S_OK; }
    // A sample arrived while paused and nothing was drawn since the pause.
    virtual void OnReceiveFirstSample(IMediaSample*) {}
    // S_OK to draw a sample at once, S_FALSE to schedule it by the clock.
    virtual HRESULT ShouldDrawSampleNow(IMediaSample*, REFERENCE_TIME*, REFERENCE_TIME*) {
        return S_FALSE;
    }

    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) override;
    // The clock is read on the streaming thread under the renderer lock, so it changes under it.
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    HRESULT Receive(IMediaSample* sample);
    HRESULT EndOfStream();
    HRESULT BeginFlush();
    HRESULT EndFlush();

    bool HasPendingSample();
    CRendererInputPin* InputPin() { return &m_pin; }

protected:
    // Posts EC_COMPLETE once the stream has ended while running.
    void SendEndOfStreamLocked();
    void Wake() { m_renderEvent.set(); }

    CCritSec m_InterfaceLock;
    std::mutex m_RendererLock;
    zyl::platform::Event m_renderEvent{zyl::platform::Event::Reset::Auto};
    zyl::platform::Event m_evComplete{zyl::platform::Event::Reset::Manual};
    IMediaSample* m_pMediaSample = nullptr;
    DWORD_PTR m_dwAdvise = 0;
    bool m_bEOS = false;
    bool m_bEOSDelivered = false;
    bool m_bAbort = false;
    bool m_bDrawnSincePause = false;
    CRendererInputPin m_pin;
};

class CBaseVideoRenderer : public CBaseRenderer {
public:
    using CBaseRenderer::CBaseRenderer;
    void OnReceiveFirstSample(IMediaSample* sample) override { DoRenderSample(sample); }
};
