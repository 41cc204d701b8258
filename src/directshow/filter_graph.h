// The filter graph manager (CLSID_FilterGraph): filters and connections, intelligent connect
// and rendering (filter_graph_build.cpp), state changes and the clock (filter_graph_state.cpp),
// the event queue (filter_graph_events.cpp), seeking and audio forwarded to the renderers
// (filter_graph_seeking.cpp). Where it departs from Windows, src/directshow/README.md says so.
//
// Threads: application threads call every interface; filters post events from their
// streaming threads. Locks: the graph lock (m_lock) serialises every graph call, as on
// Windows; it is held while filters change state and seek, never while GetState or GetEvent
// wait. A Run whose pause is not complete yet (a renderer still waits for its first sample)
// leaves the filters paused and lets the starter thread run them once they are cued, so stream
// time starts with the first frame ready ("the graph will run automatically when it is
// ready"); the starter waits without the graph lock and takes it to start the filters. The
// event lock (m_eventLock) guards the queue and the completion count and is a leaf:
// nothing is called while it is held, so filters may post under locks of their own. The graph
// holds a reference to each filter; filters point back weakly.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "com/com_ptr.h"
#include "directshow/filter.h"
#include "platform/sync.h"

struct IFileSourceFilter : IUnknown {
    virtual HRESULT Load(LPCWSTR fileName, const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetCurFile(LPWSTR* fileName, AM_MEDIA_TYPE* type) = 0;

protected:
    ~IFileSourceFilter() = default;
};
inline constexpr IID IID_IFileSourceFilter = QuartzIid(0x56A868A6);

// The engine's own: a source that, once it has loaded its file, names itself in the graph
// ("AVI Splitter" for an AVI file) instead of taking the file's name.
struct ISourceFilterName : IUnknown {
    // A CoTaskMemAlloc'ed name the caller frees.
    virtual HRESULT GetSourceName(LPWSTR* name) = 0;

protected:
    ~ISourceFilterName() = default;
};
inline constexpr IID IID_ISourceFilterName{
    0x8C41E0D7, 0x2B6A, 0x4F53, {0x9E, 0x0C, 0x61, 0x7A, 0xD2, 0x35, 0x48, 0xB1}};

class CFilterGraph final : public CUnknown,
                           public IGraphBuilder,
                           public IMediaControl,
                           public IMediaEventEx,
                           public IMediaEventSink,
                           public IMediaFilter,
                           public IMediaSeeking,
                           public IBasicAudio {
public:
    explicit CFilterGraph(IUnknown* outer);
    ~CFilterGraph() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // IFilterGraph
    HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) override;
    HRESULT RemoveFilter(IBaseFilter* filter) override;
    HRESULT EnumFilters(IEnumFilters** filters) override;
    HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) override;
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin* pin) override;
    HRESULT SetDefaultSyncSource() override;
    // IGraphBuilder
    HRESULT Connect(IPin* out, IPin* in) override;
    HRESULT Render(IPin* out) override;
    HRESULT RenderFile(LPCWSTR file, LPCWSTR playList) override;
    HRESULT AddSourceFilter(LPCWSTR file, LPCWSTR name, IBaseFilter** filter) override;
    HRESULT SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT Abort() override { return S_OK; }
    HRESULT ShouldOperationContinue() override { return S_OK; }

    // IDispatch (shared by the automation interfaces): not offered here.
    HRESULT GetTypeInfoCount(std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(std::uint32_t, DWORD, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, wchar_t**, std::uint32_t, DWORD, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(LONG, REFIID, DWORD, std::uint16_t, void*, void*, void*,
                   std::uint32_t*) override {
        return E_NOTIMPL;
    }

    // IMediaControl (Stop and Pause are shared with IMediaFilter)
    HRESULT Run() override;
    HRESULT Pause() override;
    HRESULT Stop() override;
    HRESULT GetState(LONG milliseconds, OAFilterState* state) override;
    HRESULT RenderFile(BSTR file) override { return RenderFile(file, nullptr); }
    HRESULT AddSourceFilter(BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT get_FilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT get_RegFilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT StopWhenReady() override;

    // IMediaEvent, IMediaEventEx
    HRESULT GetEventHandle(OAEVENT* handle) override;
    HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG milliseconds) override;
    HRESULT WaitForCompletion(LONG milliseconds, LONG* code) override;
    HRESULT CancelDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT RestoreDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }
    HRESULT SetNotifyWindow(OAHWND, LONG, LONG_PTR) override { return E_NOTIMPL; }
    HRESULT SetNotifyFlags(LONG) override { return E_NOTIMPL; }
    HRESULT GetNotifyFlags(LONG* flags) override;
    // IMediaEventSink: what filters post.
    HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override;

    // IPersist, IMediaFilter
    HRESULT GetClassID(CLSID* clsid) override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;

    // IMediaSeeking: forwarded to the filters that seek.
    HRESULT GetCapabilities(DWORD* capabilities) override;
    HRESULT CheckCapabilities(DWORD* capabilities) override;
    HRESULT IsFormatSupported(const GUID* format) override;
    HRESULT QueryPreferredFormat(GUID* format) override;
    HRESULT GetTimeFormat(GUID* format) override;
    HRESULT IsUsingTimeFormat(const GUID* format) override;
    HRESULT SetTimeFormat(const GUID* format) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                              const GUID* sourceFormat) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                         DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    HRESULT SetRate(double rate) override;
    HRESULT GetRate(double* rate) override;
    HRESULT GetPreroll(LONGLONG* preroll) override;

    // IBasicAudio: forwarded to an audio renderer in the graph.
    HRESULT put_Volume(LONG volume) override;
    HRESULT get_Volume(LONG* volume) override;
    HRESULT put_Balance(LONG balance) override;
    HRESULT get_Balance(LONG* balance) override;

    // Makes CLSID_FilterGraph available through CoCreateInstance.
    static void RegisterClass();

private:
    struct Entry {
        IBaseFilter* filter;
        std::wstring name;
    };
    struct Event {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };

    // Seeking is sent to each connected renderer, which passes it upstream once per stream.
    std::vector<ComPtr<IMediaSeeking>> SeekingRenderers();
    // Calls every renderer's seeking; the first error wins, E_NOTIMPL only when all say so.
    template <class F>
    HRESULT Distribute(F&& call);
    // The first renderer's answer that succeeds.
    template <class F>
    HRESULT FirstAnswer(F&& call);
    HRESULT GetStopPositionLocked(LONGLONG* stop);
    HRESULT SetPositionsLocked(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                               DWORD stopFlags);
    // The graph's clock, or the monotonic clock for an unclocked graph.
    REFERENCE_TIME ClockTimeLocked();
    // Stream time: what has played since the last start or seek, frozen while paused.
    REFERENCE_TIME StreamTimeLocked();
    // The media time on screen: where the last seek started plus stream time at the rate.
    REFERENCE_TIME CurrentMediaTimeLocked();
    HRESULT ToFormat(REFERENCE_TIME mediaTime, LONGLONG* value);
    // The start of the frame after the one at the time (media time), or -1 when the streams
    // count no frames.
    REFERENCE_TIME NextFrameStartLocked(REFERENCE_TIME mediaTime);
    HRESULT ToMediaTime(LONGLONG value, REFERENCE_TIME* mediaTime);
    // Whether some filter has not finished its pause, asked without waiting.
    bool TransitionIncomplete();

    // The source class for a file: the registry's extension table, the built-in one, then the
    // file's first bytes; *failure says why when there is none.
    std::optional<CLSID> SourceFor(const std::wstring& path, HRESULT* failure);
    HRESULT ConnectVia(IPin* out, IPin* in, std::size_t depth);
    // Creates registered and built-in filters (best merit first) whose inputs take one of
    // out's types, adds each to the graph and keeps the first for which attempt succeeds.
    HRESULT TryRegistered(IPin* out, const std::function<HRESULT(IBaseFilter*)>& attempt);
    HRESULT RenderPin(IPin* out, std::size_t depth);
    // Filters ordered downstream first, the order state changes go in.
    std::vector<IBaseFilter*> DownstreamFirst();
    HRESULT ChangeState(FILTER_STATE target);
    // Under the graph lock: stream time starts now and every filter runs.
    void StartFiltersLocked();
    // Under the graph lock: the starter runs the filters once their pause is complete.
    void StartWhenCuedLocked();
    void CancelStartLocked();
    // The starter thread's body, and its end (the destructor, after the last Stop).
    void Starter();
    void EndStarter();
    // Filters with a reference each, for waits without the graph lock.
    std::vector<ComPtr<IBaseFilter>> FilterSnapshot();
    std::size_t CountRenderers();
    void PostEvent(const Event& event);

    CCritSec m_lock;
    std::vector<Entry> m_filters;
    FILTER_STATE m_state = State_Stopped;
    IReferenceClock* m_clock = nullptr;
    bool m_clockChosen = false;
    REFERENCE_TIME m_streamStart = 0;       // clock time of stream time zero while running
    REFERENCE_TIME m_pausedStreamTime = 0;  // stream time reached when paused or stopped
    REFERENCE_TIME m_segmentStart = 0;      // media time at stream time zero
    // Running, its filters still paused until cued: written under the graph lock, read anywhere.
    std::atomic<bool> m_startPending{false};
    HRESULT m_startResult = S_OK;  // the filters' answer to the last start (graph lock)
    double m_rate = 1.0;
    GUID m_timeFormat = TIME_FORMAT_MEDIA_TIME;

    std::mutex m_eventLock;
    std::deque<Event> m_events;
    zyl::platform::Event m_eventHandle{zyl::platform::Event::Reset::Manual};
    bool m_running = false;  // completions count only while the graph runs
    std::size_t m_renderersRunning = 0;
    std::vector<LONG_PTR> m_completed;  // the renderers that completed in this run
    HRESULT m_completionStatus = S_OK;  // the first failure a renderer reported

    // The starter: made at the first deferred start, ended by the destructor. A request is a
    // serial; a cancel moves it on, so the starter starts only the request it waited for.
    std::mutex m_starterLock;
    std::condition_variable m_starterWake;  // a request, or the end (m_starterLock)
    std::condition_variable m_started;      // a deferred start happened or was cancelled
    std::atomic<std::uint64_t> m_startSerial{0};
    std::uint64_t m_startWanted = 0;  // the serial the starter is asked for (m_starterLock)
    bool m_starterQuit = false;       // (m_starterLock)
    std::thread m_starter;
};
