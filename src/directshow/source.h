// CSource, a source filter that owns an array of output pins, and CSourceStream, an output pin
// that pushes samples from a streaming thread of its own.
//
// Threads: the application (or graph) thread changes the filter's state and sends requests to
// each pin's thread; the pin's streaming thread fills and delivers samples. Active (the filter
// leaving the stopped state) creates the thread and tells it to pause; Inactive (the filter
// stopping) tells it to stop and to exit, and joins it.
//
// Locks, in the order they are taken: the filter lock (CSource::m_cStateLock, held by every
// state change while it waits for the thread), then a pin's queue lock (its requests, their
// answers and the thread's handle; held only briefly, never while waiting for an answer or
// joining). The streaming thread never takes the filter lock: a state change holding it waits
// for the thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "directshow/filter.h"

class CSourceStream;

class CSource : public CBaseFilter {
public:
    CSource(const wchar_t* name, IUnknown* outer, REFCLSID clsid, HRESULT* hr = nullptr);
    // Deletes the pins it still holds: pins are made with new and add themselves.
    ~CSource() override;

    // The last release stops the filter first, so the streaming threads end while every part
    // of the derived filter and its pins still exists.
    ULONG NonDelegatingRelease() override;

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    // Pins are identified by their number: the first is "1", the second "2", and so on.
    HRESULT FindPin(LPCWSTR id, IPin** pin) override;
    // The pin's index (from zero), or -1 when the pin is not this filter's.
    int FindPinNumber(IPin* pin);

    HRESULT AddPin(CSourceStream* pin);
    // Takes the pin out of the array without deleting it; S_FALSE when it was not there.
    HRESULT RemovePin(CSourceStream* pin);

    CCritSec* pStateLock() { return &m_cStateLock; }

protected:
    CCritSec m_cStateLock;
    std::vector<CSourceStream*> m_paStreams;
};

class CSourceStream : public CBaseOutputPin {
public:
    enum Command : int { CMD_INIT, CMD_PAUSE, CMD_RUN, CMD_STOP, CMD_EXIT };

    CSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter, const wchar_t* pinName);
    ~CSourceStream() override;

    // IPin
    HRESULT QueryId(LPWSTR* id) override;

    // The filter's state changes; the filter calls them under its lock.
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Accepts exactly the types GetMediaType offers.
    HRESULT CheckMediaType(const CMediaType* type) override;

    // Requests to the streaming thread. Each waits for the thread's answer; E_UNEXPECTED when
    // there is no thread.
    HRESULT Init() { return CallWorker(CMD_INIT); }
    HRESULT Exit() { return CallWorker(CMD_EXIT); }
    using CBaseOutputPin::Run;
    HRESULT Run() { return CallWorker(CMD_RUN); }
    HRESULT Pause() { return CallWorker(CMD_PAUSE); }
    HRESULT Stop() { return CallWorker(CMD_STOP); }

    bool ThreadExists();

protected:
    // Puts the next sample's data and times in the sample: S_OK to deliver it, S_FALSE at the
    // end of the stream, an error to abort it. Streaming thread.
    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    // Streaming thread, on the init request; a failure ends the thread and fails the pause.
    virtual HRESULT OnThreadCreate() { return S_OK; }
    // Streaming thread, just before it ends.
    virtual HRESULT OnThreadDestroy() { return S_OK; }
    // Streaming thread, before the first sample of each play.
    virtual HRESULT OnThreadStartPlay() { return S_OK; }

    // Gets, fills and delivers samples until a request comes, the stream ends or fails.
    virtual HRESULT DoBufferProcessingLoop();
    virtual DWORD ThreadProc();

    // The request queue (after CAMThread). CallWorker is the requesting side: it queues the
    // request and waits for its answer. GetRequest (blocking), CheckRequest (not blocking,
    // leaves the request queued) and Reply are the thread's.
    HRESULT CallWorker(Command command);
    Command GetRequest();
    bool CheckRequest(Command* command);
    void Reply(HRESULT hr);

    // The last request the thread accepted: after a pause or run request it is streaming, or
    // idle at the end of its stream until the next request.
    Command LastCommand();

private:
    friend class CSource;

    HRESULT CreateThread();
    // The one way a streaming thread ends: stop and exit requests, then the join.
    void ShutDownThread();
    // Reports a failed stream: EC_ERRORABORT to the graph, end of stream downstream.
    HRESULT AbortStream(HRESULT hr);

    struct Request {
        Command command;
        std::promise<HRESULT> answer;
    };
    std::mutex m_queueLock;  // guards everything below
    std::condition_variable m_queued;
    std::deque<Request> m_queue;
    std::optional<std::promise<HRESULT>> m_taken;  // the request GetRequest took, unanswered
    std::thread m_thread;
    bool m_threadEnded = false;  // it left after an exit request or a failed start
    Command m_lastCommand = CMD_EXIT;

    bool m_bDetached = false;  // its filter is being destroyed and already let it go
};
