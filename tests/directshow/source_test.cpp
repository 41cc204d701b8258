// CSource, CSourceStream and CSourceSeeking through a source written on them: the seeking
// arithmetic and flags on a stopped filter, then its streaming thread feeding a recording sink
// (end of stream, a seek while streaming, stopping, a failing FillBuffer, the last release).
#include "directshow/source_seeking.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "directshow/frame_source.h"
#include "directshow/graph_fixture.h"

using namespace zyl::test;

namespace {

constexpr REFERENCE_TIME kFrame = 40 * MILLISECONDS;
// Samples: a time format the source does not offer.
constexpr GUID kTimeFormatSample{
    0x7B785572, 0x8C82, 0x11CF, {0xBC, 0x0C, 0x00, 0xAA, 0x00, 0xAC, 0x74, 0xF6}};

// ---- Seeking arithmetic on a stopped source (no thread) ----

class SourceSeeking : public OwnedFilters {
protected:
    HRESULT Seek(LONGLONG start, LONGLONG stop) {
        return seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                     AM_SEEKING_AbsolutePositioning);
    }
    std::pair<LONGLONG, LONGLONG> Positions() {
        LONGLONG current = -1, stop = -1;
        EXPECT_EQ(seeking->GetPositions(&current, &stop), S_OK);
        return {current, stop};
    }
    FrameSource* source = Own<FrameSource>(50, kFrame, 5);  // 2 s, a key frame every 5 frames
    IMediaSeeking* seeking = source->seeking();
};

using Span = std::pair<LONGLONG, LONGLONG>;

TEST_F(SourceSeeking, FramePositionsAndTheFormatChangesOnlyWhileStopped) {
    EXPECT_EQ(seeking->IsFormatSupported(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(seeking->IsFormatSupported(&kTimeFormatSample), S_FALSE);
    GUID preferred{};
    ASSERT_EQ(seeking->QueryPreferredFormat(&preferred), S_OK);
    EXPECT_EQ(preferred, TIME_FORMAT_MEDIA_TIME);
    EXPECT_EQ(seeking->SetTimeFormat(&kTimeFormatSample), E_INVALIDARG);
    LONGLONG frame = 0;  // from the current format, media time
    EXPECT_EQ(seeking->ConvertTimeFormat(&frame, &TIME_FORMAT_FRAME, 22 * kFrame - 1, nullptr),
              S_OK);
    EXPECT_EQ(frame, 21) << "a frame's last 100 ns are its own";
    EXPECT_EQ(seeking->ConvertTimeFormat(&frame, &kTimeFormatSample, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(seeking->ConvertTimeFormat(nullptr, &TIME_FORMAT_FRAME, 0, nullptr), E_POINTER);

    ASSERT_EQ(source->Pause(), S_OK);  // not connected: no thread, but not stopped either
    EXPECT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), VFW_E_WRONG_STATE);
    EXPECT_EQ(seeking->IsUsingTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    ASSERT_EQ(source->Stop(), S_OK);

    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG duration = -1, stop = -1;
    ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 50);
    ASSERT_EQ(Seek(10, 20), S_OK);
    ASSERT_EQ(seeking->GetStopPosition(&stop), S_OK);
    EXPECT_EQ(stop, 20);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(Positions(), Span(10 * kFrame, 20 * kFrame));
}

TEST_F(SourceSeeking, SetPositionsFromTenToThirty) {
    constexpr DWORD kAbs = AM_SEEKING_AbsolutePositioning, kRel = AM_SEEKING_RelativePositioning,
                    kInc = AM_SEEKING_IncrementalPositioning, kNone = AM_SEEKING_NoPositioning,
                    kKey = AM_SEEKING_SeekToKeyFrame, kBack = AM_SEEKING_ReturnTime;
    constexpr LONGLONG kNull = std::numeric_limits<LONGLONG>::min();  // a null pointer
    constexpr LONGLONG kFar = std::numeric_limits<LONGLONG>::max();
    // Values in frames, given in the frame format or as media time; what ReturnTime writes
    // back is media time (-1: not asked for).
    struct Case {
        bool inFrames;
        LONGLONG start;
        DWORD startFlags;
        LONGLONG stop;
        DWORD stopFlags;
        HRESULT hr;
        Span after, returned = {-1, -1};
    } cases[] = {
        {false, 5, kRel, kNull, kNone, S_OK, {15, 30}},
        {false, kNull, kNone, -10, kRel, S_OK, {10, 20}},
        {false, 5, kAbs, 3, kInc, S_OK, {5, 8}},  // the stop counts from the new start
        {true, 2, kRel, kNull, kNone, S_OK, {12, 30}},
        {true, 7, kAbs | kKey | kBack, 20, kAbs | kBack, S_OK, {5, 20}, {5, 20}},  // key frame
        {true, 7, kAbs | kBack, kNull, kNone, S_OK, {7, 30}, {7, -1}},
        {false, 125, kAbs | kBack, 225, kAbs | kBack, S_OK, {50, 50}, {50, 50}},  // past the end
        {false, -1, kAbs | kBack, kNull, kNone, S_OK, {0, 30}, {0, -1}},
        {false, kNull, kNone, kFar, kRel | kBack, S_OK, {10, 50}, {-1, 50}},  // saturates
        {false, kNull, kNone, kNull, kNone, S_FALSE, {10, 30}},
        {false, 1, kInc, kNull, kNone, E_INVALIDARG, {10, 30}},
        {false, kNull, kAbs, kNull, kNone, E_POINTER, {10, 30}},
        {false, 25, kAbs, 15, kAbs, E_INVALIDARG, {10, 30}},     // start after stop
        {false, kNull, kNone, 5, kAbs, E_INVALIDARG, {10, 30}},  // stop before the start
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        const Case& c = cases[i];
        const auto given = [&](LONGLONG v) {
            return c.inFrames || v == kFar || v == kNull ? v : v * kFrame;
        };
        ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
        ASSERT_EQ(Seek(10 * kFrame, 30 * kFrame), S_OK);
        ASSERT_EQ(seeking->SetTimeFormat(c.inFrames ? &TIME_FORMAT_FRAME : &TIME_FORMAT_MEDIA_TIME),
                  S_OK);
        LONGLONG start = given(c.start), stop = given(c.stop);
        EXPECT_EQ(seeking->SetPositions(c.start == kNull ? nullptr : &start, c.startFlags,
                                        c.stop == kNull ? nullptr : &stop, c.stopFlags),
                  c.hr);
        if (c.returned.first >= 0) {
            EXPECT_EQ(start, c.returned.first * kFrame);
        }
        if (c.returned.second >= 0) {
            EXPECT_EQ(stop, c.returned.second * kFrame);
        }
        ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
        EXPECT_EQ(Positions(), Span(c.after.first * kFrame, c.after.second * kFrame));
    }
}

TEST_F(SourceSeeking, CheckCapabilitiesKeepsOnlyThePresentOnes) {
    DWORD all = 0;
    ASSERT_EQ(seeking->GetCapabilities(&all), S_OK);
    const struct {
        DWORD asked;
        HRESULT hr;
        DWORD kept;
    } cases[] = {
        {AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration, S_OK,
         AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration},
        {AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanPlayBackwards, S_FALSE,
         AM_SEEKING_CanSeekAbsolute},
        {AM_SEEKING_CanPlayBackwards | AM_SEEKING_CanDoSegments, E_FAIL, 0},
    };
    for (const auto& c : cases) {
        DWORD asked = c.asked;
        EXPECT_EQ(seeking->CheckCapabilities(&asked), c.hr);
        EXPECT_EQ(asked, c.kept);
    }
    EXPECT_EQ(seeking->CheckCapabilities(nullptr), E_POINTER);

    // The current position is the graph's to work out: neither claimed nor answered here.
    EXPECT_EQ(all & AM_SEEKING_CanGetCurrentPos, 0u);
    LONGLONG current = 0;
    EXPECT_EQ(seeking->GetCurrentPosition(&current), E_NOTIMPL);
}

TEST_F(SourceSeeking, PinsAreNumberedAndSeekThroughTheirOwnIdentity) {
    IPin* pin = nullptr;
    ASSERT_EQ(source->FindPin(L"1", &pin), S_OK);
    EXPECT_EQ(pin, static_cast<IPin*>(&source->pin()));
    LPWSTR id = nullptr;
    ASSERT_EQ(pin->QueryId(&id), S_OK);
    EXPECT_STREQ(id, L"1");
    CoTaskMemFree(id);
    IPin* none = nullptr;
    EXPECT_EQ(source->FindPin(L"2", &none), VFW_E_NOT_FOUND);
    EXPECT_EQ(source->FindPin(L"Output", &none), VFW_E_NOT_FOUND);
    EXPECT_EQ(none, nullptr);

    IUnknown *fromPin = nullptr, *fromSeeking = nullptr;
    pin->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromPin));
    seeking->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromSeeking));
    EXPECT_EQ(fromPin, fromSeeking) << "one object behind both interfaces";
    fromPin->Release();
    fromSeeking->Release();
    pin->Release();
}

// ---- The streaming thread against a recording sink ----

using Kind = PinEvent::Kind;

class SourceStreaming : public OwnedFilters {
protected:
    void Connect(int frames, int keyEvery = 1) {
        sink = Own<RecordingSink>();
        source = Own<FrameSource>(frames, kFrame, keyEvery);
        sink->pin().accepted = MEDIASUBTYPE_TestPacket;
        ASSERT_EQ(source->pin().Connect(&sink->pin(), nullptr), S_OK);
    }
    // Downstream first, as the graph changes states; the sink has no clock.
    void Play() {
        ASSERT_EQ(sink->Pause(), S_OK);
        ASSERT_EQ(source->Pause(), S_OK);
    }
    void StopBoth() {
        EXPECT_EQ(sink->Stop(), S_OK);
        EXPECT_EQ(source->Stop(), S_OK);  // joins the thread: nothing arrives afterwards
    }
    FrameSource* source = nullptr;
    RecordingSink* sink = nullptr;
    EventGraph graph;
};

TEST_F(SourceStreaming, SeekWhileStreamingFlushesAndRestartsAtTheKeyFrameBefore) {
    Connect(50, 5);
    ASSERT_EQ(source->seeking()->SetRate(2.0), S_OK);
    sink->pin().HoldAt(3);
    Play();
    ASSERT_TRUE(sink->pin().WaitHolding()) << "the thread waits downstream with frame 3";

    LONGLONG start = 22 * kFrame, stop = 30 * kFrame;
    ASSERT_EQ(source->seeking()->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &stop,
                                              AM_SEEKING_AbsolutePositioning),
              S_OK);
    ASSERT_TRUE(sink->pin().WaitEndOfStream());
    StopBoth();

    const auto events = sink->pin().Events();
    const std::size_t begin = IndexOf(events, Kind::BeginFlush);
    const std::size_t end = IndexOf(events, Kind::EndFlush, begin);
    ASSERT_LT(begin, events.size());
    ASSERT_LT(end, events.size());
    EXPECT_EQ(Count(events, Kind::BeginFlush), 1);
    EXPECT_EQ(Count(events, Kind::EndFlush), 1);
    EXPECT_EQ(FramesOf(events, 0, begin), Range(0, 4));
    EXPECT_EQ(events[1].start, 0);
    EXPECT_EQ(events[2].start, kFrame / 2) << "rate 2 from the first segment on";
    EXPECT_TRUE(FramesOf(events, begin, end).empty()) << "nothing while flushing";

    // The new segment opens before its first sample, with the new start, stop and rate.
    ASSERT_LT(end + 2, events.size());
    const PinEvent& segment = events[end + 1];
    ASSERT_EQ(segment.kind, Kind::NewSegment);
    EXPECT_EQ(segment.start, 22 * kFrame);
    EXPECT_EQ(segment.stop, 30 * kFrame);
    EXPECT_EQ(segment.rate, 2.0);

    // It resumes at the key frame before the target; what precedes the target is preroll,
    // timed before the segment's start; the stop ends the stream.
    EXPECT_EQ(FramesOf(events, end), Range(20, 30));
    const PinEvent& first = events[end + 2];
    EXPECT_EQ(first.frame, 20);
    EXPECT_TRUE(first.key);
    EXPECT_TRUE(first.sync);
    EXPECT_TRUE(first.discontinuity);
    for (std::size_t i = end + 2; i < events.size(); ++i) {
        const PinEvent& e = events[i];
        if (e.kind != Kind::Sample)
            continue;
        EXPECT_EQ(e.start, (e.frame - 22) * kFrame / 2) << "frame " << e.frame;
        EXPECT_EQ(e.preroll, e.frame < 22) << "frame " << e.frame;
    }
    EXPECT_EQ(Count(events, Kind::EndOfStream), 1);
    EXPECT_EQ(events.back().kind, Kind::EndOfStream);
    EXPECT_EQ(source->threads->created.load(), 1)
        << "a seek parks the thread, it does not replace it";
}

TEST_F(SourceStreaming, StopWhileDeliveringJoinsTheThread) {
    Connect(100);
    sink->pin().HoldAt(2);
    Play();
    ASSERT_TRUE(sink->pin().WaitHolding());
    EXPECT_EQ(source->threads->created.load(), 1);
    EXPECT_EQ(source->threads->destroyed.load(), 0);

    // The source stops while its thread is inside Receive downstream; the stop completes
    // once Receive returns.
    std::thread stopper([this] { EXPECT_EQ(source->Stop(), S_OK); });
    sink->pin().LetGo();
    stopper.join();
    EXPECT_EQ(source->threads->created.load(), 1);
    EXPECT_EQ(source->threads->destroyed.load(), 1);
}

TEST_F(SourceStreaming, FillBufferFailurePostsErrorAbortAndEndsTheStream) {
    Connect(10);
    ASSERT_EQ(source->JoinFilterGraph(&graph, L"source"), S_OK);
    source->FailAt(5);
    Play();
    ASSERT_TRUE(sink->pin().WaitEndOfStream());
    StopBoth();

    const auto events = sink->pin().Events();
    EXPECT_EQ(FramesOf(events), Range(0, 5));
    EXPECT_EQ(Count(events, Kind::EndOfStream), 1);
    const auto posted = graph.Posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].first, EC_ERRORABORT);
    EXPECT_EQ(posted[0].second, static_cast<LONG_PTR>(E_FAIL));
}

TEST_F(SourceStreaming, LastReleaseOfAPausedSourceEndsItsThread) {
    Connect(100);
    const auto threads = source->threads;
    sink->pin().HoldAt(2);
    Play();
    ASSERT_TRUE(sink->pin().WaitHolding());

    // The peer lets go (it must be stopped to disconnect); the source itself stays paused.
    ASSERT_EQ(sink->Stop(), S_OK);
    ASSERT_EQ(sink->pin().Disconnect(), S_OK);
    ASSERT_EQ(source->State(), State_Paused);
    owned.pop_back();
    source->Release();
    EXPECT_EQ(threads->created.load(), 1);
    EXPECT_EQ(threads->destroyed.load(), 1);
    // TearDown releases the sink and checks that no object is left.
}

}  // namespace
