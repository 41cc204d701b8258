// Renderer base classes: CBaseRenderer with its input pin CRendererInputPin, and
// CBaseVideoRenderer.
//
// The streaming thread enters Receive and holds there with the sample until its time comes:
// no clock or a late sample renders at once; otherwise the renderer asks the clock to signal
// its render event at the sample's time. A sample that arrives while paused is held (the pause
// completes with it) and rendered once when the graph runs; OnReceiveFirstSample does nothing
// unless a renderer overrides it. Preroll samples and samples that end before the segment
// start are dropped without waiting. DoRenderSample's result stays here: the stream goes on.
//
// Threads: state changes come from the graph's thread, Receive/EndOfStream/flushing from the
// upstream streaming thread. Locks, in this order: the filter lock (m_InterfaceLock, state
// changes), then the renderer lock (m_RendererLock: the pending sample, the flags). The
// writer's OnReceiveFirstSample and DoRenderSample run under neither; ShouldDrawSampleNow runs
// under the renderer lock. Stop and BeginFlush wait, without the renderer lock, until no thread
// is inside Receive, so once they return no sample from before them is rendered. Hence the
// writer's contract: DoRenderSample and OnReceiveFirstSample must never wait for anything the
// caller of Stop, Pause or a seek may hold. EC_COMPLETE is posted under the renderer lock; the
// graph's event lock is a leaf, so that is safe. A pause forgets that EC_COMPLETE was sent:
// the next Run sends it again if the stream is still at its end. EC_COMPLETE waits for the
// end time of the last sample shown, on the clock: an end-of-stream timer thread posts it then
// (EndOfStream itself returns at once, as DirectShow's does).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>

#include "com/com_ptr.h"
#include "directshow/filter.h"
#include "platform/sync.h"

class CBaseRenderer;
class CRendererPosPassThru;

class CRendererInputPin : public CBaseInputPin {
public:
    CRendererInputPin(CBaseRenderer* renderer, HRESULT* hr, const wchar_t* name);

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT BreakConnect() override;
    HRESULT GetAllocator(IMemAllocator** allocator) override;
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

    // IMediaSeeking is answered by a pass-through to the upstream filters, made on first use.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // What a renderer writer supplies.
    virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
    virtual HRESULT DoRenderSample(IMediaSample* sample) = 0;
    virtual HRESULT SetMediaType(const CMediaType*) { return S_OK; }
    virtual HRESULT CompleteConnect(IPin*) { return S_OK; }
    virtual HRESULT BreakConnect() { return S_OK; }
    // The allocator the input pin offers upstream, with a reference, for a renderer that owns
    // the memory its frames end in; S_FALSE (the default) offers the pin's own.
    virtual HRESULT ProposeAllocator(IMemAllocator** allocator) {
        *allocator = nullptr;
        return S_FALSE;
    }
    // A sample arrived while paused and nothing was received since the pause.
    virtual void OnReceiveFirstSample(IMediaSample*) {}
    // S_OK to draw a sample at once, S_FALSE to schedule it by the clock, an error to drop it.
    virtual HRESULT ShouldDrawSampleNow(IMediaSample*, REFERENCE_TIME*, REFERENCE_TIME*) {
        return S_FALSE;
    }

    // The clock is read on the streaming thread under the renderer lock, so it changes under it.
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    HRESULT Receive(IMediaSample* sample);
    virtual HRESULT EndOfStream();
    // A renderer that keeps rendered samples of its own (a queue) drops them in its override,
    // after calling these: once BeginFlush returns, nothing from before it is rendered.
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();

    bool HasPendingSample();
    CRendererInputPin* InputPin() { return &m_pin; }

protected:
    // The state machine's hooks (filter lock held). A pause completes (S_OK) once a sample is
    // held or the stream has ended; until then it answers S_FALSE and WaitState waits.
    HRESULT InitStream() override;
    HRESULT PauseStream(FILTER_STATE from) override;
    HRESULT StartStream(REFERENCE_TIME start) override;
    HRESULT CleanupStream(FILTER_STATE from) override;
    HRESULT WaitState(DWORD milliseconds) override;

    // Receive's steps.
    struct SampleTimes {
        HRESULT result = E_FAIL;  // GetTime's
        REFERENCE_TIME start = 0;
        REFERENCE_TIME end = 0;
    };
    enum class Step { Drop, Render, Wait };
    // Preroll, or over before the segment starts: never shown, never waited for.
    static bool EndsBeforeSegment(IMediaSample* sample, const SampleTimes& times);
    // Takes the sample as the one pending (S_OK); S_FALSE drops it (a flush or stop is under
    // way), an error refuses it.
    HRESULT HoldSample(IMediaSample* sample, bool* first);
    // Holds while paused and waits for the sample's time while running; false when a flush,
    // a stop or the renderer drops it. Both waits are on m_renderEvent, which every state
    // change, flush and the clock's advise set.
    bool WaitUntilDue(IMediaSample* sample, SampleTimes* times);
    Step NextStep(IMediaSample* sample, SampleTimes* times);
    // Lets the pending sample go; a rendered one's end is where the stream's end is due.
    void LetGoOfSample(bool rendered, const SampleTimes& times);

    // Under the renderer lock: posts EC_COMPLETE once the stream has ended while running.
    void SendEndOfStreamLocked();
    // Under the renderer lock: whether a pause (or run) has what it needs to be complete, as the
    // state was before the change; sets or clears the state-complete event accordingly.
    bool CompleteStateChangeLocked(FILTER_STATE oldState);
    // Under the renderer lock, at the end of the stream while running: posts EC_COMPLETE now,
    // or when the last sample shown has ended on the clock (the end-of-stream timer).
    void ScheduleEndOfStreamLocked();
    void CancelEndOfStreamTimerLocked();
    // Aborts a waiting sample and waits until the streaming thread has left Receive.
    void AbortAndWaitForReceive();
    void Wake() { m_renderEvent.set(); }
    // For DoRenderSample of a renderer that holds a sample back rather than drop it: waits,
    // without any lock of the base, until ready() says the sample can go (true) or a flush or a
    // stop drops it (false). Whatever makes ready() true must call Wake().
    bool WaitUntilReady(const std::function<bool()>& ready);
    // The end-of-stream timer thread: made on first use (false when no thread can be made),
    // ended and joined by ~CBaseRenderer, after the derived class is gone (it touches only
    // this base's members).
    bool StartEndOfStreamTimerLocked();
    void EndOfStreamTimer();

    CCritSec m_InterfaceLock;
    std::mutex m_RendererLock;
    std::condition_variable m_receiveDone;  // m_inReceive fell (renderer lock)
    zyl::platform::Event m_renderEvent{zyl::platform::Event::Reset::Auto};
    zyl::platform::Event m_evComplete{zyl::platform::Event::Reset::Manual};
    // All below are guarded by the renderer lock. "Streaming" is the upstream thread in
    // Receive/EndOfStream; "control" is whoever changes the state or flushes. What streaming
    // learns is stamped with the control serial current then, and control forgets it by moving
    // the serial on, never by writing streaming's stamps. m_dwAdvise (also cleared by a new
    // clock) and m_completeAt (also written by the end-of-stream timer and a Run) are the
    // exceptions the comments name.
    ComPtr<IMediaSample> m_pMediaSample;  // the sample in Receive (streaming)
    int m_inReceive = 0;                  // threads inside Receive (streaming)
    DWORD_PTR m_dwAdvise =
        0;                  // the clock's advise for that sample (streaming; a new clock drops it)
    bool m_bAbort = false;  // a flush or stop is under way (control)
    uint64_t m_flushSerial = 1;       // moves at every flush and stop (control)
    uint64_t m_pauseSerial = 1;       // moves at every pause, flush and stop (control)
    uint64_t m_eosAt = 0;             // m_flushSerial when the stream ended (EndOfStream)
    uint64_t m_receivedAt = 0;        // m_pauseSerial at the last sample held (HoldSample)
    uint64_t m_completeAt = 0;        // m_pauseSerial when EC_COMPLETE went (SendEndOfStreamLocked)
    uint64_t m_shownAt = 0;           // m_flushSerial when a sample was last shown (LetGoOfSample)
    REFERENCE_TIME m_signalTime = 0;  // that sample's end, in stream time (LetGoOfSample)
    bool EndedLocked() const { return m_eosAt == m_flushSerial; }
    bool CompleteSentLocked() const { return m_completeAt == m_pauseSerial; }
    bool ShownLocked() const { return m_shownAt == m_flushSerial; }
    // The end-of-stream timer: a thread of its own, made at the first delayed completion,
    // woken by the clock's advise on m_eosEvent; it takes the renderer lock to post.
    DWORD_PTR m_eosAdvise = 0;
    bool m_eosQuit = false;
    zyl::platform::Event m_eosEvent{zyl::platform::Event::Reset::Auto};
    std::thread m_eosTimer;
    // Made on the first query (under its own lock), read by the streaming thread.
    std::mutex m_PositionLock;
    std::atomic<CRendererPosPassThru*> m_pPosition{nullptr};
    CRendererInputPin m_pin;
};

class CBaseVideoRenderer : public CBaseRenderer {
public:
    using CBaseRenderer::CBaseRenderer;
};
