// A recording renderer on CBaseVideoRenderer fed by a real streaming thread: poster frame,
// pacing against the clock, end of stream, flushing and stopping while a sample waits.
#include "directshow/renderer.h"

#include <gtest/gtest.h>

#include <thread>

#include "directshow/system_clock.h"
#include "directshow/test_filters.h"

using namespace zyl::test;

namespace {

class TimedRecorder final : public CBaseVideoRenderer {
public:
    TimedRecorder() : CBaseVideoRenderer(GUID_NULL, L"recorder", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Subtype() == MEDIASUBTYPE_RGB32 ? S_OK : S_FALSE;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        Rendered r;
        std::memcpy(&r.number, data, sizeof r.number);
        r.paused = m_State == State_Paused;
        r.at = MonotonicReferenceTime();
        std::lock_guard lock(mutex);
        rendered.push_back(r);
        return S_OK;
    }
    struct Rendered {
        int number;
        bool paused;
        REFERENCE_TIME at;
    };
    std::vector<Rendered> Snapshot() {
        std::lock_guard lock(mutex);
        return rendered;
    }
    std::mutex mutex;
    std::vector<Rendered> rendered;
};

// Stands in for the graph: records the events filters post.
class EventGraph final : public IFilterGraph, public IMediaEventSink {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IMediaEventSink)
            return GetInterface(static_cast<IMediaEventSink*>(this), object);
        if (riid == IID_IUnknown || riid == IID_IFilterGraph)
            return GetInterface(static_cast<IFilterGraph*>(this), object);
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT SetDefaultSyncSource() override { return E_NOTIMPL; }
    HRESULT Notify(LONG code, LONG_PTR, LONG_PTR) override {
        std::lock_guard lock(mutex);
        events.push_back(code);
        return S_OK;
    }
    std::vector<LONG> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
    virtual ~EventGraph() = default;
    std::mutex mutex;
    std::vector<LONG> events;
};

class Renderer : public ::testing::Test {
protected:
    void SetUp() override {
        source = Make<SourceFilter>();
        renderer = Make<TimedRecorder>();
        source->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
        ASSERT_EQ(source->pin().Connect(renderer->InputPin(), nullptr), S_OK);
        clock = new CSystemClock;
        clock->NonDelegatingAddRef();
        renderer->SetSyncSource(clock);
        renderer->JoinFilterGraph(&graph, L"recorder");
    }
    void TearDown() override {
        renderer->Stop();
        source->Stop();
        if (streamer.joinable())
            streamer.join();
        source->pin().Disconnect();
        renderer->InputPin()->Disconnect();
        renderer->JoinFilterGraph(nullptr, nullptr);
        renderer->SetSyncSource(nullptr);
        clock->NonDelegatingRelease();
        source->Release();
        renderer->Release();
        EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    }
    // Runs both filters with the stream starting `delay` from now.
    REFERENCE_TIME RunIn(REFERENCE_TIME delay) {
        const REFERENCE_TIME start = MonotonicReferenceTime() + delay;
        renderer->Run(start);
        source->Run(start);
        return start;
    }
    void Stream(std::vector<std::pair<int, REFERENCE_TIME>> samples, bool endOfStream = false) {
        streamer = std::thread([this, samples, endOfStream] {
            for (const auto& [number, at] : samples) {
                if (source->pin().Send(number, at, at + 1) != S_OK)
                    return;
            }
            if (endOfStream)
                source->pin().DeliverEndOfStream();
        });
    }
    const LONG before = CBaseObject::ObjectsActive();
    SourceFilter* source = nullptr;
    TimedRecorder* renderer = nullptr;
    CSystemClock* clock = nullptr;
    EventGraph graph;
    std::thread streamer;
};

}  // namespace

TEST_F(Renderer, PausingShowsThePosterFrameAndCompletesWithIt) {
    renderer->Pause();
    source->Pause();
    FILTER_STATE state;
    EXPECT_EQ(renderer->GetState(0, &state), VFW_S_STATE_INTERMEDIATE) << "no sample yet";
    Stream({{7, 0}});
    EXPECT_EQ(renderer->GetState(5000, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    const auto shown = renderer->Snapshot();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].number, 7);
    EXPECT_TRUE(shown[0].paused);
    EXPECT_TRUE(renderer->HasPendingSample()) << "held until the graph runs";
    RunIn(0);
    streamer.join();
    EXPECT_EQ(renderer->Snapshot().size(), 2u) << "rendered again at its time";
}

TEST_F(Renderer, SamplesAreNeverEarlyAndNotMuchLate) {
    constexpr REFERENCE_TIME kStep = 20 * MILLISECONDS;
    std::vector<std::pair<int, REFERENCE_TIME>> samples;
    for (int i = 0; i < 8; ++i)
        samples.emplace_back(i, i * kStep);
    const REFERENCE_TIME start = RunIn(10 * MILLISECONDS);
    Stream(samples, true);
    streamer.join();
    const auto shown = renderer->Snapshot();
    ASSERT_EQ(shown.size(), 8u);
    for (const auto& r : shown) {
        const REFERENCE_TIME due = start + r.number * kStep;
        EXPECT_GE(r.at, due) << "sample " << r.number << " early";
        EXPECT_LT(r.at - due, 50 * MILLISECONDS) << "sample " << r.number << " far too late";
    }
    EXPECT_EQ(graph.Events(), std::vector<LONG>{EC_COMPLETE});
}

TEST_F(Renderer, EndOfStreamWhilePausedCompletesOnRun) {
    renderer->Pause();
    source->Pause();
    Stream({}, true);
    streamer.join();
    FILTER_STATE state;
    EXPECT_EQ(renderer->GetState(1000, &state), S_OK)
        << "the end of the stream completes the pause";
    EXPECT_TRUE(graph.Events().empty());
    RunIn(0);
    EXPECT_EQ(graph.Events(), std::vector<LONG>{EC_COMPLETE});
}

TEST_F(Renderer, FlushAndStopReleaseAWaitingSample) {
    RunIn(0);
    Stream({{1, 3600 * UNITS}});  // due in an hour
    while (!renderer->HasPendingSample())
        std::this_thread::yield();
    renderer->InputPin()->BeginFlush();
    streamer.join();
    EXPECT_TRUE(renderer->Snapshot().empty()) << "flushed, not rendered";
    renderer->InputPin()->EndFlush();
    Stream({{2, 0}});
    streamer.join();
    ASSERT_EQ(renderer->Snapshot().size(), 1u);
    EXPECT_EQ(renderer->Snapshot()[0].number, 2);

    Stream({{3, 3600 * UNITS}});
    while (!renderer->HasPendingSample())
        std::this_thread::yield();
    renderer->Stop();
    streamer.join();
    EXPECT_EQ(renderer->Snapshot().size(), 1u);
}

TEST_F(Renderer, WithoutAClockSamplesRenderAtOnce) {
    renderer->SetSyncSource(nullptr);
    RunIn(3600 * UNITS);
    Stream({{1, 0}, {2, UNITS}});
    streamer.join();
    EXPECT_EQ(renderer->Snapshot().size(), 2u);
}
