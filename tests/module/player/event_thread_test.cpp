// The player's media event thread against recording stand-ins for the graph's control, seeking
// and event interfaces: the end of a running stream stops, rewinds and runs it again in that
// order, a paused graph stays, other events and every event's parameters are freed, a wake
// without an event frees nothing, stopping is prompt and refused from the thread itself, and
// missing interfaces or a missing event handle keep the thread from starting. References the
// thread takes are given back.
#include "module/player/EventThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "module/logging/capture_target.h"
#include "platform/sync.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 5s;

struct GraphEvent {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
    bool operator==(const GraphEvent&) const = default;
};

// What the thread did to the stand-ins, in order: calls on control and seeking by name, and the
// events it freed. The event thread writes, the test thread reads and waits.
class Record {
public:
    void Call(const char* name) {
        std::lock_guard lock(m_mutex);
        m_calls.emplace_back(name);
    }
    void Freed(const GraphEvent& event) {
        {
            std::lock_guard lock(m_mutex);
            m_freed.push_back(event);
        }
        m_changed.notify_all();
    }
    void Fetched() {
        {
            std::lock_guard lock(m_mutex);
            ++m_fetches;
        }
        m_changed.notify_all();
    }
    bool WaitFreed(std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [&] { return m_freed.size() >= count; });
    }
    bool WaitFetches(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [&] { return m_fetches >= count; });
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<GraphEvent> Freed() {
        std::lock_guard lock(m_mutex);
        return m_freed;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_calls;
    std::vector<GraphEvent> m_freed;
    int m_fetches = 0;
};

// Counts references without deleting: the stand-ins live in the fixture, which checks that
// every reference taken was given back.
template <class I>
class Counted : public I {
public:
    virtual ~Counted() = default;
    HRESULT QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override { return --m_references; }
    ULONG References() const { return m_references; }

private:
    std::atomic<ULONG> m_references{1};
};

class FakeControl final : public Counted<IMediaControl> {
public:
    explicit FakeControl(Record& record) : m_record(record) {}

    HRESULT GetTypeInfoCount(std::uint32_t*) override { return Note("GetTypeInfoCount"); }
    HRESULT GetTypeInfo(std::uint32_t, DWORD, void**) override { return Note("GetTypeInfo"); }
    HRESULT GetIDsOfNames(REFIID, wchar_t**, std::uint32_t, DWORD, LONG*) override {
        return Note("GetIDsOfNames");
    }
    HRESULT Invoke(LONG, REFIID, DWORD, std::uint16_t, void*, void*, void*,
                   std::uint32_t*) override {
        return Note("Invoke");
    }
    HRESULT Run() override { return Note("Run", S_OK); }
    HRESULT Pause() override { return Note("Pause", S_OK); }
    HRESULT Stop() override { return Note("Stop", S_OK); }
    HRESULT GetState(LONG milliseconds, OAFilterState* out) override {
        Note("GetState");
        stateTimeout = milliseconds;
        *out = state;
        if (onGetState)
            onGetState();
        return S_OK;
    }
    HRESULT RenderFile(BSTR) override { return Note("RenderFile"); }
    HRESULT AddSourceFilter(BSTR, IDispatch**) override { return Note("AddSourceFilter"); }
    HRESULT get_FilterCollection(IDispatch**) override { return Note("get_FilterCollection"); }
    HRESULT get_RegFilterCollection(IDispatch**) override {
        return Note("get_RegFilterCollection");
    }
    HRESULT StopWhenReady() override { return Note("StopWhenReady"); }

    std::atomic<OAFilterState> state{State_Running};
    std::atomic<LONG> stateTimeout{0};
    // Runs on the event thread inside GetState; set before the event that leads there is posted.
    std::function<void()> onGetState;

private:
    HRESULT Note(const char* name, HRESULT hr = E_NOTIMPL) {
        m_record.Call(name);
        return hr;
    }
    Record& m_record;
};

class FakeSeeking final : public Counted<IMediaSeeking> {
public:
    explicit FakeSeeking(Record& record) : m_record(record) {}

    HRESULT GetCapabilities(DWORD*) override { return Note("GetCapabilities"); }
    HRESULT CheckCapabilities(DWORD*) override { return Note("CheckCapabilities"); }
    HRESULT IsFormatSupported(const GUID*) override { return Note("IsFormatSupported"); }
    HRESULT QueryPreferredFormat(GUID*) override { return Note("QueryPreferredFormat"); }
    HRESULT GetTimeFormat(GUID*) override { return Note("GetTimeFormat"); }
    HRESULT IsUsingTimeFormat(const GUID*) override { return Note("IsUsingTimeFormat"); }
    HRESULT SetTimeFormat(const GUID*) override { return Note("SetTimeFormat"); }
    HRESULT GetDuration(LONGLONG*) override { return Note("GetDuration"); }
    HRESULT GetStopPosition(LONGLONG*) override { return Note("GetStopPosition"); }
    HRESULT GetCurrentPosition(LONGLONG*) override { return Note("GetCurrentPosition"); }
    HRESULT ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override {
        return Note("ConvertTimeFormat");
    }
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                         DWORD stopFlags) override {
        setCurrent = current ? *current : -1;
        setCurrentFlags = currentFlags;
        setStop = stop ? *stop : -1;
        setStopFlags = stopFlags;
        return Note("SetPositions", S_OK);
    }
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override {
        *current = kCurrent;
        *stop = kStop;
        return Note("GetPositions", S_OK);
    }
    HRESULT GetAvailable(LONGLONG*, LONGLONG*) override { return Note("GetAvailable"); }
    HRESULT SetRate(double) override { return Note("SetRate"); }
    HRESULT GetRate(double*) override { return Note("GetRate"); }
    HRESULT GetPreroll(LONGLONG*) override { return Note("GetPreroll"); }

    // Where GetPositions says the stream is: at its end, with a stop set before it.
    static constexpr LONGLONG kCurrent = 9'000'000;
    static constexpr LONGLONG kStop = 8'000'000;
    // What SetPositions was given; written before the record sees the call.
    std::atomic<LONGLONG> setCurrent{0}, setStop{0};
    std::atomic<DWORD> setCurrentFlags{0}, setStopFlags{0};

private:
    HRESULT Note(const char* name, HRESULT hr = E_NOTIMPL) {
        m_record.Call(name);
        return hr;
    }
    Record& m_record;
};

// What filters post events through; a notification lands in the host's queue, so it is a call.
class FakeEventSink final : public Counted<IMediaEventSink> {
public:
    explicit FakeEventSink(Record& record) : m_record(record) {}
    HRESULT Notify(LONG, LONG_PTR, LONG_PTR) override {
        m_record.Call("Notify");
        return S_OK;
    }

private:
    Record& m_record;
};

// The graph's event queue: its handle is set while events are queued, as the engine's is.
class FakeEvents final : public Counted<IMediaEventEx> {
public:
    explicit FakeEvents(Record& record) : m_record(record), m_sink(record) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IMediaEventSink) {
            m_sink.AddRef();
            *object = static_cast<IMediaEventSink*>(&m_sink);
            return S_OK;
        }
        return Counted<IMediaEventEx>::QueryInterface(riid, object);
    }

    void Post(const GraphEvent& event) {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(event);
        m_handle.set();
    }
    // Sets the handle with nothing queued.
    void Wake() { m_handle.set(); }

    HRESULT GetTypeInfoCount(std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(std::uint32_t, DWORD, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, wchar_t**, std::uint32_t, DWORD, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(LONG, REFIID, DWORD, std::uint16_t, void*, void*, void*,
                   std::uint32_t*) override {
        return E_NOTIMPL;
    }
    HRESULT GetEventHandle(OAEVENT* handle) override {
        if (FAILED(handleResult))
            return handleResult;
        *handle = reinterpret_cast<OAEVENT>(&m_handle);
        return S_OK;
    }
    HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG) override {
        HRESULT hr = E_ABORT;
        {
            std::lock_guard lock(m_mutex);
            if (!m_queue.empty()) {
                *code = m_queue.front().code;
                *param1 = m_queue.front().param1;
                *param2 = m_queue.front().param2;
                m_queue.pop_front();
                hr = S_OK;
            }
            if (m_queue.empty())
                m_handle.reset();
        }
        m_record.Fetched();
        return hr;
    }
    HRESULT WaitForCompletion(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT CancelDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT RestoreDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) override {
        m_record.Freed({code, param1, param2});
        return S_OK;
    }
    HRESULT SetNotifyWindow(OAHWND, LONG, LONG_PTR) override { return E_NOTIMPL; }
    HRESULT SetNotifyFlags(LONG) override { return E_NOTIMPL; }
    HRESULT GetNotifyFlags(LONG*) override { return E_NOTIMPL; }

    HRESULT handleResult = S_OK;

private:
    Record& m_record;
    FakeEventSink m_sink;
    std::mutex m_mutex;
    std::deque<GraphEvent> m_queue;
    zyl::platform::Event m_handle{zyl::platform::Event::Reset::Manual};
};

class EventThread : public zyl::test::LoggingTest {
protected:
    void SetUp() override {
        LoggingTest::SetUp();
        qnLogging::set_level_mask(qnLogging::root_logger(), qnLogging::mask::all);
        log = capture();
    }
    void TearDown() override {
        EXPECT_EQ(control.References(), 1u) << "control";
        EXPECT_EQ(seeking.References(), 1u) << "seeking";
        EXPECT_EQ(events.References(), 1u) << "events";
        LoggingTest::TearDown();
    }
    bool Initialise(ZYL::CAVIPlayerEventThread& thread) {
        return thread.Initialise(&control, &seeking, &events);
    }
    bool Start(ZYL::CAVIPlayerEventThread& thread) {
        return Initialise(thread) && thread.StartThread();
    }
    std::vector<std::string> Logged(std::uint32_t level) const {
        std::vector<std::string> texts;
        for (const auto& m : log->messages()) {
            if (m.level == level)
                texts.push_back(m.text);
        }
        return texts;
    }

    Record record;
    FakeControl control{record};
    FakeSeeking seeking{record};
    FakeEvents events{record};
    std::shared_ptr<zyl::test::CaptureTarget> log;
};

using Calls = std::vector<std::string>;

}  // namespace

TEST_F(EventThread, TheEndOfARunningStreamStopsRewindsAndRunsItAgain) {
    ZYL::CAVIPlayerEventThread thread;
    ASSERT_TRUE(Start(thread));
    events.Post({EC_COMPLETE, 11, 22});
    ASSERT_TRUE(record.WaitFreed(1));
    EXPECT_EQ(record.Calls(), (Calls{"GetState", "Stop", "GetPositions", "SetPositions", "Run"}));
    EXPECT_EQ(control.stateTimeout.load(), -1) << "INFINITE";
    EXPECT_EQ(seeking.setCurrent.load(), 0);
    EXPECT_EQ(seeking.setCurrentFlags.load(), AM_SEEKING_AbsolutePositioning);
    EXPECT_EQ(seeking.setStop.load(), FakeSeeking::kStop) << "the stop position stays";
    EXPECT_EQ(seeking.setStopFlags.load(), AM_SEEKING_AbsolutePositioning);
    EXPECT_EQ(record.Freed(), (std::vector<GraphEvent>{{EC_COMPLETE, 11, 22}}));
    thread.StopThread();

    bool started = false;
    for (const auto& m : log->messages()) {
        started |= m.text == "Event thread has started." && m.level == qnLogging::level::info &&
                   m.logger == "ZYL::CAVIPlayerEventThread::ThreadLoop";
    }
    EXPECT_TRUE(started);
}

TEST_F(EventThread, APausedOrStoppedGraphIsOnlyAskedForItsState) {
    ZYL::CAVIPlayerEventThread thread;
    control.state = State_Paused;
    ASSERT_TRUE(Start(thread));
    events.Post({EC_COMPLETE, 0, 0});
    ASSERT_TRUE(record.WaitFreed(1));
    control.state = State_Stopped;
    events.Post({EC_COMPLETE, 0, 0});
    ASSERT_TRUE(record.WaitFreed(2));
    EXPECT_EQ(record.Calls(), (Calls{"GetState", "GetState"}));
}

TEST_F(EventThread, OtherEventsAreFreedWithoutACallToControlOrSeeking) {
    ZYL::CAVIPlayerEventThread thread;
    ASSERT_TRUE(Start(thread));
    const std::vector<GraphEvent> posted = {{EC_USERABORT, 1, 2},
                                            {EC_ERRORABORT, static_cast<LONG_PTR>(E_FAIL), 0},
                                            {EC_PAUSED, 0, 0},
                                            {EC_REPAINT, 3, 4},
                                            {EC_CLOCK_CHANGED, 5, 6}};
    for (const GraphEvent& event : posted)
        events.Post(event);
    ASSERT_TRUE(record.WaitFreed(posted.size()));
    EXPECT_EQ(record.Freed(), posted);
    EXPECT_TRUE(record.Calls().empty());
}

TEST_F(EventThread, EveryQueuedEventIsFreedWithItsOwnParameters) {
    ZYL::CAVIPlayerEventThread thread;
    ASSERT_TRUE(Initialise(thread));
    // Queued before the thread runs, so it finds several at once.
    const std::vector<GraphEvent> posted = {
        {EC_PAUSED, 7, 8}, {EC_COMPLETE, 9, 10}, {EC_USERABORT, 11, 12}, {EC_COMPLETE, 13, 14}};
    for (const GraphEvent& event : posted)
        events.Post(event);
    ASSERT_TRUE(thread.StartThread());
    ASSERT_TRUE(record.WaitFreed(posted.size()));
    EXPECT_EQ(record.Freed(), posted);
    EXPECT_EQ(record.Calls(), (Calls{"GetState", "Stop", "GetPositions", "SetPositions", "Run",
                                     "GetState", "Stop", "GetPositions", "SetPositions", "Run"}));
}

TEST_F(EventThread, AWakeWithoutAnEventFreesNothing) {
    ZYL::CAVIPlayerEventThread thread;
    ASSERT_TRUE(Start(thread));
    events.Wake();
    ASSERT_TRUE(record.WaitFetches(1));
    events.Post({EC_USERABORT, 1, 2});
    ASSERT_TRUE(record.WaitFreed(1));
    thread.StopThread();
    EXPECT_EQ(record.Freed(), (std::vector<GraphEvent>{{EC_USERABORT, 1, 2}}));
    EXPECT_TRUE(record.Calls().empty());
}

TEST_F(EventThread, StoppingWithoutEventsIsPromptAndDestructionGivesEverythingBack) {
    {
        ZYL::CAVIPlayerEventThread thread;
        ASSERT_TRUE(Start(thread));
        EXPECT_EQ(control.References(), 2u) << "one reference of its own to each";
        EXPECT_EQ(seeking.References(), 2u);
        EXPECT_EQ(events.References(), 2u);
        const auto start = std::chrono::steady_clock::now();
        thread.StopThread();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "a hang, not a slow stop";
        thread.StopThread();  // nothing left to join
    }
    {
        // Destroyed while it runs: the destructor stops and joins it before letting go.
        ZYL::CAVIPlayerEventThread thread;
        ASSERT_TRUE(Start(thread));
    }
    EXPECT_TRUE(record.Calls().empty()) << "no call, and nothing posted into the host's queue";
    // The fixture checks that every reference went back.
}

TEST_F(EventThread, StoppingFromTheThreadItselfIsRefusedAsADeadlock) {
    ZYL::CAVIPlayerEventThread thread;
    std::error_code refused;
    bool threw = false;
    control.state = State_Paused;
    control.onGetState = [&] {
        try {
            thread.StopThread();
        } catch (const std::system_error& e) {
            threw = true;
            refused = e.code();
        }
    };
    ASSERT_TRUE(Start(thread));
    events.Post({EC_COMPLETE, 0, 0});
    ASSERT_TRUE(record.WaitFreed(1));
    EXPECT_TRUE(threw);
    EXPECT_EQ(refused, std::errc::resource_deadlock_would_occur);
    const auto start = std::chrono::steady_clock::now();
    thread.StopThread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(EventThread, AMissingInterfaceOrEventHandleKeepsTheThreadFromStarting) {
    {
        ZYL::CAVIPlayerEventThread thread;
        EXPECT_FALSE(thread.StartThread()) << "never initialised";
    }
    const std::string missing = "IMediaControl or IMediaSeeking or IMediaEventEx handle was NULL.";
    {
        ZYL::CAVIPlayerEventThread thread;
        EXPECT_FALSE(thread.Initialise(nullptr, &seeking, &events));
        EXPECT_FALSE(thread.StartThread());
    }
    {
        ZYL::CAVIPlayerEventThread thread;
        EXPECT_FALSE(thread.Initialise(&control, nullptr, &events));
        EXPECT_FALSE(thread.StartThread());
    }
    {
        ZYL::CAVIPlayerEventThread thread;
        EXPECT_FALSE(thread.Initialise(&control, &seeking, nullptr));
        EXPECT_FALSE(thread.StartThread());
    }
    EXPECT_EQ(Logged(qnLogging::level::fatal), (Calls{missing, missing, missing}));
    {
        ZYL::CAVIPlayerEventThread thread;
        events.handleResult = E_FAIL;
        ASSERT_TRUE(Initialise(thread));
        EXPECT_FALSE(thread.StartThread());
    }
    EXPECT_EQ(Logged(qnLogging::level::err),
              (Calls{"Unable to retrieve the DirectShow event from IMediaEventEx. (80004005)"}));
    EXPECT_TRUE(Logged(qnLogging::level::info).empty()) << "no thread ever started";
    EXPECT_TRUE(record.Calls().empty());
    // The fixture checks that the references of the refused and the unstarted ones went back.
}
