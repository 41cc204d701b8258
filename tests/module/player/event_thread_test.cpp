// The player's media event thread against stand-ins for the graph: looping at the end of a running
// stream, every event freed, a prompt stop (with events queued too), a stop from the thread itself
// refused instead of deadlocking, no start without the interfaces, every reference given back.
#include "module/player/EventThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

#include "directshow/source_seeking.h"
#include "platform/sync.h"

using namespace std::chrono_literals;

namespace {

struct GraphEvent {
    LONG code;
    LONG_PTR param1, param2;
    bool operator==(const GraphEvent&) const = default;
};

// Counts references without deleting: the stand-ins live in the fixture, which checks that
// every reference taken was given back. IDispatch is not used.
template <class I>
class Counted : public I {
public:
    virtual ~Counted() = default;
    HRESULT QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override { return --references; }
    HRESULT GetTypeInfoCount(std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(std::uint32_t, DWORD, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, wchar_t**, std::uint32_t, DWORD, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(LONG, REFIID, DWORD, std::uint16_t, void*, void*, void*,
                   std::uint32_t*) override {
        return E_NOTIMPL;
    }
    std::atomic<ULONG> references{1};
};

class FakeControl final : public Counted<IMediaControl> {
public:
    HRESULT Run() override { return ++runs, state = State_Running, S_OK; }
    HRESULT Pause() override { return E_NOTIMPL; }
    HRESULT Stop() override { return ++stops, state = State_Stopped, S_OK; }
    HRESULT GetState(LONG, OAFilterState* out) override {
        *out = state;
        if (onGetState)
            onGetState();
        return S_OK;
    }
    HRESULT RenderFile(BSTR) override { return E_NOTIMPL; }
    HRESULT AddSourceFilter(BSTR, IDispatch**) override { return E_NOTIMPL; }
    HRESULT get_FilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT get_RegFilterCollection(IDispatch**) override { return E_NOTIMPL; }
    HRESULT StopWhenReady() override { return E_NOTIMPL; }

    std::atomic<OAFilterState> state{State_Running};
    std::atomic<int> runs{0}, stops{0};
    // Runs on the event thread inside GetState; set before the event that leads there is posted.
    std::function<void()> onGetState;
};

// A source's seeking on the engine's base, at the end with a stop position set before the end
// of the file; its owner counts the references the thread takes.
class FakeSeeking final : public CSourceSeeking {
public:
    FakeSeeking() : CSourceSeeking(L"seeking", &m_owner, nullptr) {
        m_rtDuration = 10'000'000;
        m_rtStart = 9'000'000;
        m_rtStop = 8'000'000;
    }
    std::atomic<ULONG>& references = m_owner.references;
    std::atomic<int> seeks{0};

private:
    HRESULT ChangeStart() override { return ++seeks, S_OK; }
    HRESULT ChangeStop() override { return S_OK; }
    HRESULT ChangeRate() override { return S_OK; }
    struct Owner final : IUnknown {
        virtual ~Owner() = default;
        HRESULT QueryInterface(REFIID, void** object) override {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG AddRef() override { return ++references; }
        ULONG Release() override { return --references; }
        std::atomic<ULONG> references{1};
    } m_owner;
};

// The graph's event queue: its handle is set while events are queued, as the engine's is.
class FakeEvents final : public Counted<IMediaEventEx> {
public:
    void Post(const GraphEvent& event) {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(event);
        m_handle.set();
    }
    // Sets the handle with nothing queued; the fetches so far.
    int Wake() {
        std::lock_guard lock(m_mutex);
        m_handle.set();
        return m_fetches;
    }
    std::vector<GraphEvent> WaitFreed(std::size_t count) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 5s, [&] { return m_freed.size() >= count; });
        return m_freed;
    }
    bool WaitFetches(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] { return m_fetches >= count; });
    }

    HRESULT GetEventHandle(OAEVENT* handle) override {
        *handle = reinterpret_cast<OAEVENT>(&m_handle);
        return handleResult;
    }
    HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG) override {
        std::lock_guard lock(m_mutex);
        ++m_fetches;
        m_changed.notify_all();
        if (m_queue.empty()) {
            m_handle.reset();
            return E_ABORT;
        }
        *code = m_queue.front().code;
        *param1 = m_queue.front().param1;
        *param2 = m_queue.front().param2;
        m_queue.pop_front();
        if (m_queue.empty())
            m_handle.reset();
        return S_OK;
    }
    HRESULT WaitForCompletion(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT CancelDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT RestoreDefaultHandling(LONG) override { return E_NOTIMPL; }
    HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) override {
        std::lock_guard lock(m_mutex);
        m_freed.push_back({code, param1, param2});
        m_changed.notify_all();
        return S_OK;
    }
    HRESULT SetNotifyWindow(OAHWND, LONG, LONG_PTR) override { return E_NOTIMPL; }
    HRESULT SetNotifyFlags(LONG) override { return E_NOTIMPL; }
    HRESULT GetNotifyFlags(LONG*) override { return E_NOTIMPL; }

    HRESULT handleResult = S_OK;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<GraphEvent> m_queue;
    std::vector<GraphEvent> m_freed;
    int m_fetches = 0;
    zyl::platform::Event m_handle{zyl::platform::Event::Reset::Manual};
};

class EventThread : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(control.references.load(), 1u) << "control";
        EXPECT_EQ(seeking.references.load(), 1u) << "seeking";
        EXPECT_EQ(events.references.load(), 1u) << "events";
    }
    bool Start(ZYL::CAVIPlayerEventThread& thread) {
        return thread.Initialise(&control, &seeking, &events) && thread.StartThread();
    }
    // Stops the thread and fails a stop that hangs rather than one that is slow.
    static void StopPromptly(ZYL::CAVIPlayerEventThread& thread) {
        const auto start = std::chrono::steady_clock::now();
        thread.StopThread();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }

    FakeControl control;
    FakeSeeking seeking;
    FakeEvents events;
};

}  // namespace

// Other events and a wake without an event change nothing; every event is freed once, with its
// own parameters, also several found queued at once.
TEST_F(EventThread, TheEndOfARunningStreamPlaysItAgainFromTheStartAndAPausedOneStays) {
    std::vector<GraphEvent> freed;
    for (const OAFilterState state : {State_Running, State_Paused, State_Stopped}) {
        SCOPED_TRACE(state);
        control.state = state;
        control.runs = control.stops = seeking.seeks = 0;
        ZYL::CAVIPlayerEventThread thread;
        ASSERT_TRUE(thread.Initialise(&control, &seeking, &events));
        for (const GraphEvent& event : {GraphEvent{EC_PAUSED, 7, 8},
                                        {EC_COMPLETE, 11, 22},
                                        {EC_ERRORABORT, static_cast<LONG_PTR>(E_FAIL), 0}}) {
            events.Post(event);
            freed.push_back(event);
        }
        ASSERT_TRUE(thread.StartThread());
        ASSERT_EQ(events.WaitFreed(freed.size()), freed);
        ASSERT_TRUE(events.WaitFetches(events.Wake() + 1));
        events.Post({EC_COMPLETE, 13, 14});
        freed.push_back({EC_COMPLETE, 13, 14});
        ASSERT_EQ(events.WaitFreed(freed.size()), freed);
        const int loops = state == State_Running ? 2 : 0;
        EXPECT_EQ(control.runs.load(), loops);
        EXPECT_EQ(control.stops.load(), loops) << "stopped before the seek";
        EXPECT_EQ(seeking.seeks.load(), loops);
        if (loops) {
            LONGLONG current = -1, stop = -1;
            seeking.GetPositions(&current, &stop);
            EXPECT_EQ(current, 0);
            EXPECT_EQ(stop, 8'000'000) << "the stop position stays";
        }
    }
}

TEST_F(EventThread, StoppingIsPromptAndDestructionGivesEverythingBack) {
    {
        ZYL::CAVIPlayerEventThread thread;
        ASSERT_TRUE(Start(thread));
        EXPECT_EQ(events.references.load(), 2u) << "a reference of its own";
        StopPromptly(thread);
        thread.StopThread();  // nothing left to join
    }
    {
        // With events still queued: the thread leaves them to the graph.
        ZYL::CAVIPlayerEventThread thread;
        // Deliberate: a slow graph, so events are still queued when the thread is stopped.
        control.onGetState = [] { std::this_thread::sleep_for(1ms); };
        for (int i = 0; i < 1000; ++i)
            events.Post({EC_COMPLETE, i, 0});
        ASSERT_TRUE(Start(thread));
        ASSERT_TRUE(events.WaitFetches(1));
        StopPromptly(thread);
    }
    {
        // Destroyed while it runs: the destructor stops and joins it before letting go.
        ZYL::CAVIPlayerEventThread thread;
        ASSERT_TRUE(Start(thread));
    }
    // The fixture checks that every reference went back.
}

TEST_F(EventThread, StoppingFromTheThreadItselfIsRefusedAsADeadlock) {
    ZYL::CAVIPlayerEventThread thread;
    std::error_code refused;
    control.state = State_Paused;
    control.onGetState = [&] {
        try {
            thread.StopThread();
        } catch (const std::system_error& e) {
            refused = e.code();
        }
    };
    ASSERT_TRUE(Start(thread));
    events.Post({EC_COMPLETE, 0, 0});
    ASSERT_EQ(events.WaitFreed(1).size(), 1u);
    EXPECT_EQ(refused, std::errc::resource_deadlock_would_occur);
    StopPromptly(thread);
}

TEST_F(EventThread, AMissingInterfaceOrEventHandleKeepsTheThreadFromStarting) {
    ZYL::CAVIPlayerEventThread never;
    EXPECT_FALSE(never.StartThread()) << "never initialised";
    ZYL::CAVIPlayerEventThread seekless;
    EXPECT_FALSE(seekless.Initialise(&control, nullptr, &events));
    EXPECT_FALSE(seekless.StartThread());
    events.handleResult = E_FAIL;
    ZYL::CAVIPlayerEventThread handleless;
    ASSERT_TRUE(handleless.Initialise(&control, &seeking, &events));
    EXPECT_FALSE(handleless.StartThread());
}
