// Filters written on the bases the way a Windows filter writer would (a source with a
// streaming thread, a decoder holding a frame back, a renderer recording every DoRenderSample)
// played through the graph: looping by the event thread's sequence, frame-exact seeks while
// running and paused, the position while paused and running, rate changes, completion with
// several renderers, and destruction while streaming.
#include <gtest/gtest.h>

#include <limits>
#include <thread>

#include "directshow/frame_source.h"
#include "directshow/graph_fixture.h"
#include "directshow/test_decoder.h"

using namespace zyl::test;

namespace {

class Playback : public GraphTest {
protected:
    // source -> decoder -> renderer, connected by the graph.
    void Build(int frames, REFERENCE_TIME frameTime, int keyEvery) {
        recorder = Add<RecordingRenderer>(L"Recorder");
        decoder = Add<NumberDecoder>(L"Decoder");
        source = Add<FrameSource>(L"Source", frames, frameTime, keyEvery);
        ASSERT_EQ(graph->Render(&source->pin()), S_OK);
        ASSERT_TRUE(decoder->Output()->IsConnected());
    }
    // What the player's event thread does at the end of the stream.
    void Loop() {
        OAFilterState state;
        control->GetState(static_cast<LONG>(zyl::platform::kInfinite), &state);
        ASSERT_EQ(state, State_Running);
        control->Stop();
        LONGLONG current = 0, stop = 0;
        seeking->GetPositions(&current, &stop);
        current = 0;
        seeking->SetPositions(&current, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_AbsolutePositioning);
        control->Run();
    }

    FrameSource* source = nullptr;
    NumberDecoder* decoder = nullptr;
    RecordingRenderer* recorder = nullptr;
};

}  // namespace

TEST_F(Playback, HundredLoopsDeliverEveryFrameOnceAndNothingStale) {
    Build(5, 10 * MILLISECONDS, 2);
    Unclocked();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    for (int loop = 0; loop < 100; ++loop) {
        ASSERT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE) << "loop " << loop;
        Loop();
    }
    ASSERT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    control->Stop();
    const auto renders = recorder->Renders();
    ASSERT_EQ(renders.size(), 101u * 5);
    for (std::size_t i = 0; i < renders.size(); ++i) {
        ASSERT_EQ(renders[i].number, static_cast<int>(i % 5)) << "at " << i;
        ASSERT_EQ(renders[i].state, State_Running) << "nothing is rendered outside running";
    }
}

TEST_F(Playback, ClockedLoopsStartAgainWithFrameZeroOnce) {
    Build(4, 20 * MILLISECONDS, 1);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    for (int loop = 0; loop < 3; ++loop) {
        ASSERT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
        Loop();
    }
    ASSERT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    control->Stop();
    EXPECT_EQ(recorder->Frames(),
              (std::vector<int>{0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}));
}

TEST_F(Playback, SeekWhileRunningIsFrameExact) {
    Build(50, 20 * MILLISECONDS, 10);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(recorder->WaitFor(3));
    const std::size_t atSeek = recorder->Frames().size();
    ASSERT_EQ(SeekTo(27), S_OK);
    ASSERT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    control->Stop();
    const auto frames = recorder->Frames();
    std::size_t first = atSeek;
    while (first < frames.size() && frames[first] != 27) {
        ASSERT_EQ(frames[first], frames[first - 1] + 1) << "only the stream before the seek";
        ++first;
    }
    EXPECT_EQ(std::vector<int>(frames.begin() + static_cast<long>(first), frames.end()),
              Range(27, 50))
        << "the first frame after the seek is the one asked for, and none is garbage";
    EXPECT_GT(decoder->DroppedAsPreroll(), 0) << "frames 20 to 26 were decoded, not shown";
}

TEST_F(Playback, SeekWhilePausedShowsTheTargetWhenRunning) {
    Build(40, 20 * MILLISECONDS, 10);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    ASSERT_EQ(WaitForState(5000, State_Paused), S_OK);
    ASSERT_EQ(SeekTo(13 * 20 * MILLISECONDS), S_OK);
    ASSERT_EQ(WaitForState(5000, State_Paused), S_OK) << "paused again on the new frame";
    EXPECT_TRUE(recorder->Frames().empty()) << "nothing is rendered while paused";
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    control->Stop();
    EXPECT_EQ(recorder->Frames(), Range(13, 40));
}

TEST_F(Playback, CurrentPositionWhilePausedAndRunning) {
    Build(40, 20 * MILLISECONDS, 5);
    source->pin().readAhead = 3;  // the source answers three frames ahead of the screen
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    ASSERT_EQ(WaitForState(5000, State_Paused), S_OK);
    EXPECT_EQ(Position(), 0) << "what was rendered, not what was read";
    ASSERT_EQ(SeekTo(13), S_OK);
    EXPECT_EQ(Position(), 13);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(recorder->WaitFor(4));
    EXPECT_GE(Position(), 13 + 2) << "running: it moves with stream time";
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    const LONGLONG position = Position();
    EXPECT_GE(position, recorder->Frames().back()) << "never behind what was shown";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // deliberate: time passes
    EXPECT_EQ(Position(), position) << "paused: it stays";
    ASSERT_EQ(WaitForEvent(EC_COMPLETE, 0), -1) << "no completion while paused";
    control->Stop();
    EXPECT_EQ(Position(), position) << "a stop keeps the position for the next run";
}

TEST_F(Playback, RateChangeWhileRunningGoesOnFromThePosition) {
    Build(400, 10 * MILLISECONDS, 4);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(recorder->WaitFor(5));
    ASSERT_EQ(seeking->SetRate(2.0), S_OK);
    const std::size_t atChange = recorder->Frames().size();
    double rate = 0;
    EXPECT_EQ(seeking->GetRate(&rate), S_OK);
    EXPECT_EQ(rate, 2.0);
    ASSERT_TRUE(recorder->WaitFor(atChange + 10));
    EXPECT_EQ(recorder->InputPin()->CurrentRate(), 2.0);
    control->Stop();
    const auto frames = recorder->Frames();
    for (std::size_t i = 1; i < frames.size(); ++i) {
        ASSERT_NE(frames[i], -1);
        // The frame on screen at the change may show once more; nothing goes back further.
        ASSERT_GE(frames[i], frames[i - 1]) << "at " << i;
    }
    for (const double bad : {0.0, -1.0, 0.2, 17.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(seeking->SetRate(bad), E_INVALIDARG) << bad;
}

TEST_F(Playback, CompletionWaitsForEveryConnectedRendererOnly) {
    Build(5, 10 * MILLISECONDS, 1);
    auto* second = Add<RecordingRenderer>(L"Second");
    Add<NumberDecoder>(L"Second decoder");
    auto* longer = Add<FrameSource>(L"Longer", 12, 10 * MILLISECONDS, 1);
    auto* idle = Add<RecordingRenderer>(L"Idle");  // in the graph, connected to nothing
    ASSERT_EQ(graph->Render(&longer->pin()), S_OK);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        ASSERT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
        EXPECT_EQ(recorder->Frames().size(), 5u * static_cast<std::size_t>(round + 1));
        EXPECT_EQ(second->Frames().size(), 12u * static_cast<std::size_t>(round + 1))
            << "the longer stream had ended too";
        EXPECT_EQ(WaitForEvent(EC_COMPLETE, 50), -1) << "one completion for the graph";
        control->Stop();
        SeekTo(0);
    }
    EXPECT_TRUE(idle->Frames().empty());
}

TEST_F(Playback, SeekingReachesEachSourceOnceAndCombinesAnswers) {
    Build(10, 10 * MILLISECONDS, 1);
    AddSilentStream(L"Plain");  // a second stream whose source cannot seek
    control->Pause();           // the source's thread is there, so a seek moves its reader at once
    const int seeksBefore = source->pin().seeks;
    EXPECT_EQ(SeekTo(3 * 10 * MILLISECONDS), S_OK)
        << "E_NOTIMPL from one stream does not hide the other's success";
    EXPECT_EQ(source->pin().seeks - seeksBefore, 1) << "through the decoder, once";
    LONGLONG duration = 0;
    EXPECT_EQ(seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 100 * MILLISECONDS);
    LONGLONG bad = 50 * MILLISECONDS, badStop = 20 * MILLISECONDS;
    EXPECT_TRUE(FAILED(seeking->SetPositions(&bad, AM_SEEKING_AbsolutePositioning, &badStop,
                                             AM_SEEKING_AbsolutePositioning)))
        << "an error from one stream is the graph's answer";
    control->Stop();
}

TEST_F(Playback, ReleasedWhileStreamingAndWhileSeeking) {
    Build(200, 5 * MILLISECONDS, 3);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(recorder->WaitFor(1));
    // The seeker holds the graph's last references: it dies on that thread, mid-stream.
    std::thread seeker([mine = seeking, keep = graph]() mutable {
        for (int i = 0; i < 20; ++i) {
            LONGLONG target = (i * 7 % 200) * 5 * MILLISECONDS;
            mine->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr,
                               AM_SEEKING_NoPositioning);
        }
        mine.Reset();
        keep.Reset();
    });
    control.Reset();
    events.Reset();
    seeking.Reset();
    graph.Reset();
    seeker.join();
}

TEST_F(Playback, ACompletionStillQueuedWhenPausedIsSentOnceAfterTheNextRun) {
    Build(5, 5 * MILLISECONDS, 1);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    OAEVENT handle = 0;
    ASSERT_EQ(events->GetEventHandle(&handle), S_OK);
    auto* queued = reinterpret_cast<zyl::platform::Event*>(handle);
    ASSERT_EQ(queued->wait(10000), zyl::platform::WaitResult::Signaled);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE) << "still at the end: complete again";
    EXPECT_EQ(WaitForEvent(EC_COMPLETE, 100), -1) << "and only once";
    control->Stop();
}

TEST_F(Playback, RateAndTimeFormatReachEachSourceOnce) {
    Build(10, 10 * MILLISECONDS, 1);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    ASSERT_EQ(seeking->SetRate(2.0), S_OK);
    EXPECT_EQ(source->pin().timeFormatsSet.load(), 1);
    EXPECT_EQ(source->pin().ratesSet.load(), 1);
    GUID format{};
    EXPECT_EQ(source->seeking()->GetTimeFormat(&format), S_OK);
    EXPECT_EQ(format, TIME_FORMAT_FRAME);
}

TEST_F(Playback, AReadFailureAbortsTheStream) {
    Build(20, 5 * MILLISECONDS, 1);
    source->FailAt(6);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(WaitForEvent(EC_ERRORABORT), EC_ERRORABORT);
    control->Stop();
    // Frame 5 may still be on its way out of the decoder when the abort is read.
    const auto frames = recorder->Frames();
    EXPECT_GE(frames.size(), 5u);
    EXPECT_EQ(frames, Range(0, static_cast<int>(std::min<std::size_t>(frames.size(), 6))));
}
