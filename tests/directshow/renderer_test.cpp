// A recording renderer on CBaseVideoRenderer fed by a real streaming thread: poster frame,
// pacing against the clock, end of stream, flushing and stopping while a sample waits.
#include "directshow/renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "directshow/graph_fixture.h"
#include "directshow/system_clock.h"

using namespace zyl::test;

namespace {

// A renderer of class R fed by a source pin the test streams from, with the system clock and a
// graph recording the events it posts.
template <class R>
class RendererOf : public OwnedFilters {
protected:
    void SetUp() override {
        clock = new CSystemClock;
        clock->NonDelegatingAddRef();
        renderer = Own<R>();
        source = Own<SourceFilter>();
        source->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
        ASSERT_EQ(source->pin().Connect(renderer->InputPin(), nullptr), S_OK);
        renderer->SetSyncSource(clock);
        renderer->JoinFilterGraph(&graph, L"recorder");
    }
    void TearDown() override {
        clock->NonDelegatingRelease();  // a renderer still using it holds a reference of its own
        OwnedFilters::TearDown();
    }
    // Runs both filters with the stream starting `delay` from now.
    REFERENCE_TIME RunIn(REFERENCE_TIME delay) {
        const REFERENCE_TIME start = MonotonicReferenceTime() + delay;
        renderer->Run(start);
        source->Run(start);
        return start;
    }
    void Stream(std::vector<std::pair<int, REFERENCE_TIME>> samples, bool endOfStream = false,
                REFERENCE_TIME length = 1) {
        streamers.emplace_back([this, samples, endOfStream, length] {
            for (const auto& [number, at] : samples) {
                if (source->pin().Send(number, at, at + length) != S_OK)
                    return;
            }
            if (endOfStream)
                source->pin().DeliverEndOfStream();
        });
    }
    SourceFilter* source = nullptr;
    R* renderer = nullptr;
    CSystemClock* clock = nullptr;
    EventGraph graph;
};

using Renderer = RendererOf<RecordingRenderer>;

}  // namespace

TEST_F(Renderer, AFlushWhilePausedRendersNothingUntilTheNextRun) {
    renderer->Pause();
    source->Pause();
    Stream({{1, 0}});
    FILTER_STATE state;
    ASSERT_EQ(renderer->GetState(5000, &state), S_OK);
    renderer->InputPin()->BeginFlush();
    renderer->InputPin()->EndFlush();
    JoinStreamers();
    EXPECT_EQ(renderer->GetState(0, &state), VFW_S_STATE_INTERMEDIATE)
        << "after a flush the pause waits for a new sample";
    Stream({{2, 0}});
    ASSERT_EQ(renderer->GetState(5000, &state), S_OK);
    EXPECT_TRUE(renderer->Renders().empty()) << "a seek while paused draws nothing";
    RunIn(0);
    JoinStreamers();
    const auto shown = renderer->Renders();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].number, 2) << "the sample from before the flush is gone";
}

TEST_F(Renderer, AFailingDoRenderSampleDoesNotStopTheStream) {
    renderer->failWith = E_OUTOFMEMORY;  // a sink whose buffer is full
    RunIn(0);
    std::vector<HRESULT> answers;
    streamers.emplace_back([&] {
        for (int i = 0; i < 3; ++i)
            answers.push_back(source->pin().Send(i, 0, 1));
        source->pin().DeliverEndOfStream();
    });
    JoinStreamers();
    EXPECT_EQ(answers, (std::vector<HRESULT>{S_OK, S_OK, S_OK}));
    EXPECT_EQ(renderer->Renders().size(), 3u);
    EXPECT_EQ(graph.Events(), std::vector<LONG>{EC_COMPLETE});
}

TEST_F(Renderer, StopReleasesAThreadWaitingForThePauseToComplete) {
    renderer->Pause();
    source->Pause();
    std::atomic<bool> returned{false};
    HRESULT answer = E_FAIL;
    std::thread waiter([&] {
        FILTER_STATE state;
        answer = renderer->GetState(zyl::platform::kInfinite, &state);
        returned = true;
    });
    // Deliberate: gives the waiter time to block; the test holds either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned) << "still waiting for a first sample";
    renderer->Stop();
    waiter.join();
    EXPECT_EQ(answer, S_OK);
}

TEST_F(Renderer, AfterEndFlushNoSampleFromBeforeItIsRenderedOrInTheWay) {
    RunIn(0);
    for (int round = 0; round < 200; ++round) {
        const int scheduled = renderer->Scheduled();
        Stream({{round, 3600 * UNITS}});  // due in an hour
        ASSERT_TRUE(renderer->WaitScheduled(scheduled + 1));
        renderer->InputPin()->BeginFlush();
        renderer->InputPin()->EndFlush();
        EXPECT_FALSE(renderer->HasPendingSample()) << "round " << round;
        JoinStreamers();
    }
    Stream({{1000, 0}});
    JoinStreamers();
    const auto shown = renderer->Renders();
    ASSERT_EQ(shown.size(), 1u) << "the first sample after the flush is taken";
    EXPECT_EQ(shown[0].number, 1000);
}

TEST_F(Renderer, PrerollAndEarlySamplesAreDroppedWithoutWaiting) {
    source->pin().NewSegment(0, 10 * UNITS, 1.0);
    renderer->InputPin()->NewSegment(0, 10 * UNITS, 1.0);
    RunIn(0);
    streamers.emplace_back([&] {
        source->pin().Send(1, 0, 40 * MILLISECONDS, true);              // preroll
        source->pin().Send(2, -80 * MILLISECONDS, -40 * MILLISECONDS);  // before the segment
        source->pin().Send(3, -3600 * UNITS, -3599 * UNITS);            // far before it
        source->pin().Send(4, -20 * MILLISECONDS, 20 * MILLISECONDS);   // on screen at 0
        source->pin().DeliverEndOfStream();
    });
    JoinStreamers();
    const auto shown = renderer->Renders();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].number, 4);
    EXPECT_TRUE(graph.WaitFor(EC_COMPLETE, std::chrono::seconds(5)));
    EXPECT_EQ(graph.Events(), std::vector<LONG>{EC_COMPLETE});
}

TEST_F(Renderer, TheStreamCompletesWhenItsLastSampleHasBeenShownForItsTime) {
    // As DirectShow's end-of-stream timer does: a one-frame stream looping on EC_COMPLETE
    // would otherwise run as fast as it can. The streaming thread is not held for it.
    const REFERENCE_TIME start = RunIn(0);
    Stream({{1, 0}}, true, 300 * MILLISECONDS);
    JoinStreamers();
    const auto completed = graph.WaitFor(EC_COMPLETE, std::chrono::seconds(5));
    ASSERT_TRUE(completed);
    EXPECT_GE(*completed, start + 300 * MILLISECONDS) << "not before the sample's end";
    EXPECT_EQ(graph.Events(), std::vector<LONG>{EC_COMPLETE});
}

TEST_F(Renderer, ACompletionStillToComeWaitsOutAPauseAndIsForgottenByAFlushOrAStop) {
    // The last sample lasts an hour: its completion is still to come whatever the machine's
    // speed. Running again with the hour behind the stream's start makes it due at once.
    constexpr REFERENCE_TIME kHour = 3600 * UNITS;
    const auto completedWithin = [&](int milliseconds) {
        return graph.WaitFor(EC_COMPLETE, std::chrono::milliseconds(milliseconds)).has_value();
    };
    RunIn(0);
    Stream({{1, 0}}, true, kHour);
    JoinStreamers();
    renderer->Pause();
    source->Pause();
    EXPECT_FALSE(completedWithin(0));
    RunIn(-kHour);
    EXPECT_TRUE(completedWithin(5000)) << "the pause kept the completion for the run";

    for (const bool flush : {true, false}) {
        SCOPED_TRACE(flush ? "flush" : "stop");
        renderer->Stop();
        source->Stop();
        graph.Clear();
        RunIn(0);
        Stream({{1, 0}}, true, kHour);
        JoinStreamers();
        if (flush) {
            renderer->InputPin()->BeginFlush();
            renderer->InputPin()->EndFlush();
        } else {
            renderer->Stop();
            source->Stop();
        }
        RunIn(-kHour);  // due at once, had the end of the stream been kept
        EXPECT_FALSE(completedWithin(100));
    }
}

TEST_F(Renderer, ASampleWaitingForItsTimeIsDroppedByStopAndDrawnOnceTheClockGoes) {
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stop" : "clock removed");
        RunIn(0);
        const int scheduled = renderer->Scheduled();
        Stream({{1, 3600 * UNITS}});  // due in an hour
        ASSERT_TRUE(renderer->WaitScheduled(scheduled + 1));
        if (stop) {
            renderer->Stop();
            source->Stop();
        } else {
            renderer->SetSyncSource(nullptr);  // unclocked now: due at once
        }
        JoinStreamers();  // the streaming thread is let go either way
        EXPECT_EQ(renderer->Frames(), stop ? std::vector<int>{} : std::vector<int>{1});
    }
}

TEST_F(Renderer, NoRenderingRunsOnceStopHasReturned) {
    renderer->renderTime = std::chrono::milliseconds(50);
    renderer->SetSyncSource(nullptr);
    RunIn(0);
    Stream({{1, 0}, {2, 0}, {3, 0}});
    ASSERT_TRUE(renderer->WaitFor(1));
    ASSERT_TRUE(renderer->rendering) << "a render of 50 ms is under way";
    renderer->Stop();
    EXPECT_FALSE(renderer->rendering) << "Stop waits for the sample being rendered";
    const std::size_t atStop = renderer->Renders().size();
    JoinStreamers();
    EXPECT_EQ(renderer->Renders().size(), atStop);
}

TEST_F(Renderer, SamplesAreNeverEarlyAndNotMuchLate) {
    constexpr REFERENCE_TIME kStep = 20 * MILLISECONDS;
    std::vector<std::pair<int, REFERENCE_TIME>> samples;
    for (int i = 0; i < 8; ++i)
        samples.emplace_back(i, i * kStep);
    const REFERENCE_TIME start = RunIn(10 * MILLISECONDS);
    Stream(samples, true);
    JoinStreamers();
    const auto shown = renderer->Renders();
    ASSERT_EQ(shown.size(), 8u);
    for (const auto& r : shown) {
        const REFERENCE_TIME due = start + r.number * kStep;
        EXPECT_GE(r.at, due) << "sample " << r.number << " early";
        EXPECT_LT(r.at - due, 50 * MILLISECONDS) << "sample " << r.number << " far too late";
    }
    EXPECT_EQ(graph.Events(), std::vector<LONG>{EC_COMPLETE});
}

// A poster hook that calls out (posts an event, asks for the renderer's seeking) while Stop and
// flushes come from another thread: nothing may deadlock, whatever the interleaving.
class CallingPoster final : public CBaseVideoRenderer {
public:
    CallingPoster() : CBaseVideoRenderer(GUID_NULL, L"poster", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT DoRenderSample(IMediaSample*) override { return S_OK; }
    void OnReceiveFirstSample(IMediaSample*) override {
        NotifyEvent(EC_PAUSED, S_OK, 0);
        IMediaSeeking* seeking = nullptr;
        if (SUCCEEDED(QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking))))
            seeking->Release();
        ++posters;
    }
    std::atomic<int> posters{0};
};

using RendererPoster = RendererOf<CallingPoster>;

TEST_F(RendererPoster, CallingOutFromThePosterRacesStopAndFlushSafely) {
    for (int round = 0; round < 50; ++round) {
        renderer->Pause();
        source->Pause();
        Stream({{0, 0}, {1, 0}, {2, 0}});
        // Sometimes the sample is held by the time the stop comes, sometimes not.
        FILTER_STATE state;
        if (round % 3 == 0) {
            EXPECT_EQ(renderer->GetState(5000, &state), S_OK);
        }
        if (round % 2) {
            renderer->InputPin()->BeginFlush();
            renderer->InputPin()->EndFlush();
        }
        renderer->Stop();
        source->Stop();
        JoinStreamers();
    }
    EXPECT_GT(renderer->posters.load(), 0);
}

// A sample may carry a new media type; one the pin refuses is not rendered, and the stream ends
// with an error, as CBaseInputPin::Receive does.
TEST_F(Renderer, ASampleWithANewTypeThePinRefusesIsRejectedAndAbortsTheStream) {
    RunIn(0);
    std::vector<HRESULT> answers;
    streamers.emplace_back([&] {
        for (const auto& [number, subtype] :
             {std::pair{1, MEDIASUBTYPE_RGB32}, std::pair{2, MEDIASUBTYPE_RGB24}}) {
            IMediaSample* sample = nullptr;
            ASSERT_EQ(source->pin().GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            std::memcpy(data, &number, sizeof number);
            REFERENCE_TIME start = 0, end = 1;
            sample->SetTime(&start, &end);
            CMediaType type = VideoType(subtype, 8, 8);
            sample->SetMediaType(&type);
            answers.push_back(source->pin().Deliver(sample));
            sample->Release();
        }
    });
    JoinStreamers();
    EXPECT_EQ(answers, (std::vector<HRESULT>{S_OK, VFW_E_INVALIDMEDIATYPE}));
    const auto shown = renderer->Renders();
    ASSERT_EQ(shown.size(), 1u) << "the refused sample never reaches DoRenderSample";
    EXPECT_EQ(shown[0].number, 1);
    const auto events = graph.Events();
    EXPECT_NE(std::find(events.begin(), events.end(), EC_ERRORABORT), events.end());
}
