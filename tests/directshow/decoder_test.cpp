// CDecoderFilter through decoders written on it, between a packet source and a recording sink,
// driven by calling the streaming methods directly (no graph): the decode delay and the drain at
// the end of the stream, preroll after a seek, flushing, downstream refusals and codecs that
// throw; then the seeking pass-throughs over a connected input pin.
#include "directshow/decoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <latch>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "directshow/frame_source.h"
#include "directshow/graph_fixture.h"
#include "directshow/pos_passthru.h"
#include "directshow/test_decoder.h"

using namespace zyl::test;

namespace {

constexpr REFERENCE_TIME kFrame = 40 * MILLISECONDS;

using Kind = PinEvent::Kind;

// A packet source, the decoder and a recording sink, connected and paused as a graph would leave
// them. The source's pin answers for seeking with a stopped frame source's: 50 frames.
template <class Decoder>
class ChainOf : public OwnedFilters {
protected:
    void SetUp() override {
        sink = Own<RecordingSink>();
        decoder = Own<Decoder>();
        source = Own<SourceFilter>();
        in().offers = {VideoType(MEDIASUBTYPE_TestPacket, 8, 8, kFrame)};
        ASSERT_EQ(in().Connect(decoder->Input(), nullptr), S_OK);
        ASSERT_EQ(decoder->Output()->Connect(&out(), nullptr), S_OK);
        for (CBaseFilter* f : owned)
            ASSERT_EQ(f->Pause(), S_OK);
        upstream = Own<FrameSource>(50, kFrame);
        in().seeking = upstream->seeking();
    }
    void TearDown() override {
        out().ReleaseKept();
        OwnedFilters::TearDown();
    }
    SourcePin& in() { return source->pin(); }
    RecordingPin& out() { return sink->pin(); }

    SourceFilter* source = nullptr;
    Decoder* decoder = nullptr;
    RecordingSink* sink = nullptr;
    FrameSource* upstream = nullptr;
};

// Frames n in [from, to] with a key frame every 5, timed relative to frame `zero`.
void SendRun(SourcePin& pin, int from, int to, int zero) {
    for (int n = from; n <= to; ++n) {
        EXPECT_EQ(pin.SendPacket(n, n % 5 == 0, (n - zero) * kFrame, (n - zero + 1) * kFrame), S_OK)
            << "frame " << n;
    }
}

using Numbers = std::vector<int>;
using DecoderFilter = ChainOf<NumberDecoder>;
using DecoderSeek = ChainOf<NumberDecoder>;
using DecoderFlush = ChainOf<NumberDecoder>;
using DecoderDelivery = ChainOf<NumberDecoder>;
using PosPassThru = ChainOf<NumberDecoder>;
using RendererPosPassThru = ChainOf<NumberDecoder>;

// ---- decode delay and end of stream ----

TEST_F(DecoderFilter, EndOfStreamWithNothingDecodedStillReachesDownstream) {
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);
    EXPECT_TRUE(out().Numbers().empty());
    EXPECT_EQ(out().EndsOfStream(), std::vector<std::size_t>{0});
}

// ---- preroll after a seek ----

TEST_F(DecoderSeek, FramesBeforeTheSegmentStartAreDecodedButNotDelivered) {
    // A seek to frame 7: the source starts at the key frame before it, with times relative
    // to frame 7, so 5 and 6 lie before 0.
    EXPECT_EQ(in().DeliverNewSegment(7 * kFrame, 10 * kFrame, 1.0), S_OK);
    SendRun(in(), 5, 9, 7);
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);

    const std::vector<PinEvent> frames = out().Samples();
    // Predicted frames decode only after their reference: without 5 and 6, 7 would be -1.
    ASSERT_EQ(out().Numbers(), (Numbers{7, 8, 9})) << "7 decoded from 5 and 6";
    EXPECT_EQ(frames[0].start, 0);
    EXPECT_TRUE(frames[0].discontinuity);
    EXPECT_EQ(decoder->DroppedAsPreroll(), 2);
    EXPECT_EQ(decoder->SegmentStart(), 7 * kFrame);
    const std::vector<PinEvent> segments = OfKind(out().Events(), Kind::NewSegment);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].start, 7 * kFrame);
    EXPECT_EQ(out().EndsOfStream(), std::vector<std::size_t>{3});
}

TEST_F(DecoderSeek, SamplesMarkedPrerollAreDecodedButNotDelivered) {
    // This source times its packets from the key frame and marks those before the target
    // preroll instead; frame 6 leaves the codec only while 7, not marked, is received.
    EXPECT_EQ(in().SendPacket(5, true, 0, kFrame, true), S_OK);
    EXPECT_EQ(in().SendPacket(6, false, kFrame, 2 * kFrame, true), S_OK);
    EXPECT_EQ(in().SendPacket(7, false, 2 * kFrame, 3 * kFrame), S_OK);
    EXPECT_EQ(in().SendPacket(8, false, 3 * kFrame, 4 * kFrame), S_OK);
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(out().Numbers(), (Numbers{7, 8}));
    EXPECT_EQ(decoder->DroppedAsPreroll(), 2);
}

TEST_F(DecoderSeek, OnlyFramesWhollyBeforeTheStartAreDropped) {
    // The target falls inside frame 6: it is on screen at 0, so it is delivered.
    const REFERENCE_TIME half = kFrame / 2;
    EXPECT_EQ(in().SendPacket(5, true, -half - kFrame, -half), S_OK);
    EXPECT_EQ(in().SendPacket(6, false, -half, half), S_OK);
    EXPECT_EQ(in().SendPacket(7, false, std::nullopt, std::nullopt), S_OK);
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(out().Numbers(), (Numbers{6, 7})) << "untimed frames are never preroll";

    // Without stop times: before 0 is preroll, 0 is the first frame.
    EXPECT_EQ(in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(in().DeliverEndFlush(), S_OK);
    EXPECT_EQ(in().SendPacket(5, true, -1, std::nullopt), S_OK);
    EXPECT_EQ(in().SendPacket(6, false, 0, std::nullopt), S_OK);
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);
    const std::vector<PinEvent> frames = out().Samples();
    ASSERT_EQ(out().Numbers(), (Numbers{6, 7, 6}));
    EXPECT_EQ(frames[2].timing, VFW_S_NO_STOP_TIME);
    EXPECT_EQ(out().EndsOfStream(), (std::vector<std::size_t>{2, 3}));
}

// ---- flushing ----

TEST_F(DecoderFlush, NothingFromBeforeTheFlushArrivesAfterIt) {
    SendRun(in(), 0, 2, 0);
    EXPECT_EQ(out().Numbers(), (Numbers{0, 1})) << "2 is held in the codec";

    EXPECT_EQ(in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(in().DeliverEndFlush(), S_OK);
    EXPECT_EQ(Count(out().Events(), Kind::BeginFlush), 1);
    EXPECT_EQ(Count(out().Events(), Kind::EndFlush), 1);

    EXPECT_EQ(in().DeliverNewSegment(5 * kFrame, 10 * kFrame, 1.0), S_OK);
    SendRun(in(), 5, 6, 5);
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);
    const std::vector<PinEvent> frames = out().Samples();
    ASSERT_EQ(out().Numbers(), (Numbers{0, 1, 5, 6})) << "the held frame 2 is gone";
    EXPECT_TRUE(frames[2].discontinuity) << "the first frame after the flush";
    EXPECT_FALSE(frames[3].discontinuity);
    EXPECT_EQ(out().EndsOfStream(), std::vector<std::size_t>{4});
}

TEST_F(DecoderFlush, BeginFlushReachesAReceiveBlockedDownstream) {
    EXPECT_EQ(in().SendPacket(0, true, 0, kFrame), S_OK);
    out().HoldAt(0);
    std::future<HRESULT> streaming = std::async(std::launch::async, [&] {
        return in().SendPacket(1, false, kFrame,
                               2 * kFrame);  // delivers 0, which waits downstream
    });
    EXPECT_TRUE(out().WaitHolding());
    // Had the decoder serialised BeginFlush with Receive, this would wait for ever.
    EXPECT_EQ(in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(streaming.get(), S_FALSE) << "downstream's refusal goes back upstream";
    EXPECT_EQ(in().DeliverEndFlush(), S_OK);

    SendRun(in(), 5, 5, 0);
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(out().Numbers(), (Numbers{0, 5}));
}

// ---- delivery ----

TEST_F(DecoderDelivery, DownstreamRefusalsGoBackUpstream) {
    out().Answer({S_FALSE, E_FAIL});
    EXPECT_EQ(in().SendPacket(0, true, 0, kFrame), S_OK);
    EXPECT_EQ(in().SendPacket(1, false, kFrame, 2 * kFrame), S_FALSE) << "stop sending";
    EXPECT_EQ(in().SendPacket(2, false, 2 * kFrame, 3 * kFrame), E_FAIL);
    EXPECT_EQ(in().SendPacket(3, false, 3 * kFrame, 4 * kFrame), S_OK);
    EXPECT_EQ(out().Numbers(), Numbers{2});
    EXPECT_EQ(decoder->Delivered(), 1);
}

// Three frames per packet (3n, 3n+1, 3n+2), untimed; like a send/receive codec, it takes no
// input while a frame waits to be taken.
class TripleDecoder final : public PacketDecoder {
public:
    TripleDecoder() : PacketDecoder(L"triple decoder") {}
    HRESULT SendInput(IMediaSample* in) override {
        if (!in)
            return S_OK;
        if (!m_ready.empty())
            return S_FALSE;
        std::int32_t number = 0, key = 0;
        if (!ReadPacket(in, &number, &key))
            return E_INVALIDARG;
        for (std::int32_t i = 0; i < 3; ++i)
            m_ready.push_back(3 * number + i);
        return S_OK;
    }
    bool OutputReady() override { return !m_ready.empty(); }
    HRESULT ReceiveOutput(IMediaSample* out) override {
        if (m_ready.empty())
            return S_FALSE;
        const std::int32_t number = m_ready.front();
        m_ready.pop_front();
        return WriteFrame(out, number);
    }
    void FlushCodec() override { m_ready.clear(); }

private:
    std::deque<std::int32_t> m_ready;
};

// Throws from its hooks when told to, as codec wrappers that allocate may.
class ThrowingDecoder final : public PacketDecoder {
public:
    enum class Throw { Nothing, BadAlloc, Other };
    ThrowingDecoder() : PacketDecoder(L"throwing decoder") {}
    HRESULT SendInput(IMediaSample*) override {
        Raise(onSend);
        return S_OK;
    }
    bool OutputReady() override { return false; }
    HRESULT ReceiveOutput(IMediaSample*) override { return S_FALSE; }
    void FlushCodec() override { Raise(onFlush); }

    Throw onSend = Throw::Nothing;
    Throw onFlush = Throw::Nothing;

private:
    static void Raise(Throw what) {
        if (what == Throw::BadAlloc)
            throw std::bad_alloc();
        if (what == Throw::Other)
            throw std::runtime_error("codec failure");
    }
};

using TripleDecoderDelivery = ChainOf<TripleDecoder>;

TEST_F(TripleDecoderDelivery, FramesLeftByARefusalGoOutBeforeTheNextInput) {
    out().Answer({S_OK, S_FALSE});
    EXPECT_EQ(in().SendPacket(0, true, 0, kFrame), S_FALSE) << "frame 1 refused, 2 still decoded";
    EXPECT_EQ(in().SendPacket(1, true, kFrame, 2 * kFrame), S_OK);
    EXPECT_EQ(out().Numbers(), (Numbers{0, 2, 3, 4, 5}));
}

TEST_F(DecoderDelivery, NoBufferIsTakenWhileNoFrameIsReady) {
    // Downstream keeps every sample, so both of the decoder's buffers are out.
    out().Keep();
    SendRun(in(), 0, 2, 0);
    ASSERT_EQ(out().Numbers(), (Numbers{0, 1}));
    EXPECT_EQ(in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(in().DeliverEndFlush(), S_OK);

    // The first packet after the flush gives no frame: nothing to wait for a buffer for.
    std::future<HRESULT> streaming =
        std::async(std::launch::async, [&] { return in().SendPacket(5, true, 0, kFrame); });
    const bool returned = streaming.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    out().ReleaseKept();  // frees the buffers either way
    EXPECT_TRUE(returned) << "Receive waited for a buffer it had nothing to put in";
    EXPECT_EQ(streaming.get(), S_OK);
    EXPECT_EQ(in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(out().Numbers(), (Numbers{0, 1, 5}));
}

using ThrowingDecoderDelivery = ChainOf<ThrowingDecoder>;

TEST_F(ThrowingDecoderDelivery, ExceptionsFromTheCodecBecomeErrors) {
    decoder->onSend = ThrowingDecoder::Throw::BadAlloc;
    EXPECT_EQ(in().SendPacket(0, true, 0, kFrame), E_OUTOFMEMORY);
    decoder->onSend = ThrowingDecoder::Throw::Other;
    EXPECT_EQ(in().SendPacket(1, true, kFrame, 2 * kFrame), E_FAIL);

    EXPECT_EQ(in().DeliverEndOfStream(), E_FAIL) << "the drain threw";
    EXPECT_EQ(out().EndsOfStream(), std::vector<std::size_t>{0})
        << "downstream still learns that the stream ended";

    decoder->onFlush = ThrowingDecoder::Throw::Other;
    EXPECT_EQ(in().DeliverBeginFlush(), S_OK);
    in().DeliverEndFlush();
    EXPECT_EQ(Count(out().Events(), Kind::EndFlush), 1) << "downstream still leaves its flush";
}

// ---- seeking pass-through ----

// A pass-through over an input pin, with the IMediaSeeking it shows.
template <class PassThru>
struct Seeking {
    explicit Seeking(IPin* inputPin) {
        HRESULT hr = S_OK;
        pass = new PassThru(L"pass-through", nullptr, &hr, inputPin);
        pass->NonDelegatingAddRef();
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(pass->NonDelegatingQueryInterface(IID_IMediaSeeking,
                                                    reinterpret_cast<void**>(&seeking)),
                  S_OK);
    }
    ~Seeking() {
        if (seeking)
            seeking->Release();
        pass->NonDelegatingRelease();
    }
    IMediaSeeking* operator->() { return seeking; }
    PassThru* pass = nullptr;
    IMediaSeeking* seeking = nullptr;
};

TEST_F(PosPassThru, WithoutAConnectedUpstreamPinItSaysWhy) {
    Seeking<CPosPassThru> s(Own<NumberDecoder>()->Input());
    LONGLONG current = 0, duration = 0;
    EXPECT_EQ(s->SetPositions(&current, AM_SEEKING_AbsolutePositioning, nullptr,
                              AM_SEEKING_NoPositioning),
              VFW_E_NOT_CONNECTED);
    EXPECT_EQ(s->GetDuration(&duration), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(s->GetCurrentPosition(&current), VFW_E_NOT_CONNECTED);
}

TEST_F(RendererPosPassThru, CurrentPositionFollowsTheSamplesRendered) {
    Seeking<CRendererPosPassThru> s(decoder->Input());
    upstream->pin().readAhead = 3;  // the source reads ahead of the screen
    LONGLONG position = 0;
    BYTE buffer[16] = {};
    HRESULT hr = S_OK;
    auto* sample =
        new CMediaSample(L"sample", nullptr, &hr, buffer, static_cast<LONG>(sizeof buffer));
    sample->AddRef();
    REFERENCE_TIME start = 4 * kFrame, end = 5 * kFrame;
    sample->SetTime(&start, &end);
    EXPECT_EQ(s.pass->RegisterMediaTime(sample), S_OK);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 4 * kFrame);
    LONGLONG mediaStart = 0, mediaEnd = 0;
    EXPECT_EQ(s.pass->GetMediaTime(&mediaStart, &mediaEnd), S_OK);
    EXPECT_EQ(mediaEnd, 5 * kFrame);
    sample->SetTime(nullptr, nullptr);
    EXPECT_EQ(s.pass->RegisterMediaTime(sample), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 4 * kFrame) << "an untimed sample leaves the position alone";
    sample->Release();

    // Sample times count from the segment start, at the segment's rate.
    EXPECT_EQ(in().DeliverNewSegment(10 * kFrame, 20 * kFrame, 2.0), S_OK);
    EXPECT_EQ(s.pass->RegisterMediaTime(kFrame, 2 * kFrame), S_OK);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 12 * kFrame);

    EXPECT_EQ(s.pass->ResetMediaTime(), S_OK);
    EXPECT_EQ(s.pass->GetMediaTime(&mediaStart, &mediaEnd), S_FALSE);
    EXPECT_EQ(mediaStart, 0);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 3 * kFrame) << "after a flush or stop: upstream's again";

    LONGLONG stop = 30 * kFrame;
    ASSERT_EQ(upstream->seeking()->SetPositions(nullptr, AM_SEEKING_NoPositioning, &stop,
                                                AM_SEEKING_AbsolutePositioning),
              S_OK);
    EXPECT_EQ(s.pass->EOS(), S_OK);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 30 * kFrame) << "at the end: the stop position";
}

TEST_F(RendererPosPassThru, TheApplicationReadsWhileTheStreamingThreadRegisters) {
    Seeking<CRendererPosPassThru> s(decoder->Input());
    ASSERT_EQ(s.pass->RegisterMediaTime(0, kFrame), S_OK);
    std::latch reading(1);
    std::atomic<bool> done{false};
    std::thread streaming([&] {
        reading.wait();  // the application is reading by now
        for (REFERENCE_TIME i = 1; i < 2000; ++i)
            s.pass->RegisterMediaTime(i * kFrame, (i + 1) * kFrame);
        done = true;
    });
    int torn = 0, backwards = 0;
    LONGLONG last = -1;
    while (!done) {
        LONGLONG start = 0, end = 0;
        const HRESULT hr = s.pass->GetMediaTime(&start, &end);
        if (last < 0)
            reading.count_down();
        torn += hr != S_OK || end - start != kFrame;
        backwards += start < last;
        last = start;
    }
    streaming.join();
    EXPECT_EQ(torn, 0) << "start and end always from the same sample";
    EXPECT_EQ(backwards, 0);
}

}  // namespace
