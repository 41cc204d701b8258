// CDecoderFilter through decoders written on it, between a hand-written packet source and a
// recording sink, driven by calling the streaming methods directly (no graph): the decode
// delay and the drain at the end of the stream, preroll after a seek, flushing, downstream
// refusals and codecs that throw; then the seeking pass-throughs over a connected input pin.
#include "directshow/decoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "directshow/pos_passthru.h"
#include "directshow/test_decoder.h"

using namespace zyl::test;

namespace {

constexpr REFERENCE_TIME kFrame = 40 * MILLISECONDS;

// A demuxer's output pin: sends packets with the key-frame and preroll flags, and answers
// IMediaSeeking itself (unless told not to), recording what it is asked.
class PacketPin final : public CBaseOutputPin, public IMediaSeeking {
public:
    PacketPin(CBaseFilter* filter, CCritSec* lock)
        : CBaseOutputPin(L"packet pin", filter, lock, nullptr, L"Out"),
          m_type(VideoType(MEDIASUBTYPE_TestPacket, 8, 8, kFrame)) {}

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IMediaSeeking && seekable)
            return GetInterface(static_cast<IMediaSeeking*>(this), object);
        return CBaseOutputPin::NonDelegatingQueryInterface(riid, object);
    }

    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type == m_type ? S_OK : S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = m_type;
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{4, kTestPacketBytes, 1, 0}, actual{};
        return allocator->SetProperties(&request, &actual);
    }

    // Sends a packet; a null start sends it untimed, a null end without a stop time.
    HRESULT SendTimes(int number, bool key, REFERENCE_TIME* start, REFERENCE_TIME* end,
                      bool preroll = false) {
        IMediaSample* sample = nullptr;
        if (HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0); FAILED(hr))
            return hr;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const std::int32_t packet[2] = {number, key ? 1 : 0};
        std::memcpy(data, packet, sizeof packet);
        sample->SetActualDataLength(kTestPacketBytes);
        sample->SetTime(start, start ? end : nullptr);
        sample->SetSyncPoint(key);
        sample->SetPreroll(preroll);
        const HRESULT hr = Deliver(sample);
        sample->Release();
        return hr;
    }
    HRESULT Send(int number, bool key, REFERENCE_TIME start, REFERENCE_TIME end,
                 bool preroll = false) {
        return SendTimes(number, key, &start, &end, preroll);
    }

    // IMediaSeeking, in reference time or frames.
    HRESULT GetCapabilities(DWORD* c) override {
        *c = capabilities;
        return S_OK;
    }
    HRESULT CheckCapabilities(DWORD* c) override { return (*c & ~capabilities) ? S_FALSE : S_OK; }
    HRESULT IsFormatSupported(const GUID* f) override {
        return *f == TIME_FORMAT_MEDIA_TIME || *f == TIME_FORMAT_FRAME ? S_OK : S_FALSE;
    }
    HRESULT QueryPreferredFormat(GUID* f) override {
        *f = TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    HRESULT GetTimeFormat(GUID* f) override {
        *f = format;
        return S_OK;
    }
    HRESULT IsUsingTimeFormat(const GUID* f) override { return *f == format ? S_OK : S_FALSE; }
    HRESULT SetTimeFormat(const GUID* f) override {
        if (IsFormatSupported(f) != S_OK)
            return E_INVALIDARG;
        format = *f;
        return S_OK;
    }
    HRESULT GetDuration(LONGLONG* d) override {
        *d = InFormat(duration);
        return S_OK;
    }
    HRESULT GetStopPosition(LONGLONG* s) override {
        *s = InFormat(stop);
        return S_OK;
    }
    HRESULT GetCurrentPosition(LONGLONG* c) override {
        *c = InFormat(current);
        return S_OK;
    }
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                              const GUID* sourceFormat) override {
        const GUID to = targetFormat ? *targetFormat : format;
        const GUID from = sourceFormat ? *sourceFormat : format;
        const REFERENCE_TIME t = from == TIME_FORMAT_FRAME ? source * kFrame : source;
        *target = to == TIME_FORMAT_FRAME ? t / kFrame : t;
        return S_OK;
    }
    HRESULT SetPositions(LONGLONG* c, DWORD cf, LONGLONG* s, DWORD sf) override {
        ++setPositionsCalls;
        setCurrent = c ? *c : -1;
        setCurrentFlags = cf;
        setStop = s ? *s : -1;
        setStopFlags = sf;
        return S_OK;
    }
    HRESULT GetPositions(LONGLONG* c, LONGLONG* s) override {
        GetCurrentPosition(c);
        return GetStopPosition(s);
    }
    HRESULT GetAvailable(LONGLONG* e, LONGLONG* l) override {
        *e = 0;
        return GetDuration(l);
    }
    HRESULT SetRate(double r) override {
        rate = r;
        return S_OK;
    }
    HRESULT GetRate(double* r) override {
        *r = rate;
        return S_OK;
    }
    HRESULT GetPreroll(LONGLONG* p) override {
        *p = 0;
        return S_OK;
    }

    bool seekable = true;
    DWORD capabilities = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration;
    GUID format = TIME_FORMAT_MEDIA_TIME;
    REFERENCE_TIME duration = 50 * kFrame;
    REFERENCE_TIME stop = 50 * kFrame;
    REFERENCE_TIME current = 0;
    double rate = 1.0;
    int setPositionsCalls = 0;
    LONGLONG setCurrent = 0, setStop = 0;
    DWORD setCurrentFlags = 0, setStopFlags = 0;

private:
    LONGLONG InFormat(REFERENCE_TIME t) const {
        return format == TIME_FORMAT_FRAME ? t / kFrame : t;
    }
    CMediaType m_type;
};

class PacketSource final : public CBaseFilter {
public:
    PacketSource()
        : CBaseFilter(L"packet source", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    PacketPin& pin() { return m_pin; }

private:
    CCritSec m_lock;
    PacketPin m_pin;
};

struct Frame {
    int number;
    HRESULT timing;
    REFERENCE_TIME start, end;
    bool discontinuity;
};

// Records the frames it receives with their times and flags, and the other streaming calls.
// It can refuse samples, hold on to them, or block in Receive until a flush begins.
class RecordPin final : public CBaseInputPin {
public:
    RecordPin(CBaseFilter* filter, CCritSec* lock)
        : CBaseInputPin(L"record pin", filter, lock, nullptr, L"In") {}
    ~RecordPin() override { ReleaseHeld(); }

    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Type() == MEDIATYPE_Video && *type->Subtype() == MEDIASUBTYPE_RGB32 ? S_OK
                                                                                          : S_FALSE;
    }
    HRESULT Receive(IMediaSample* sample) override {
        if (HRESULT hr = CBaseInputPin::Receive(sample); hr != S_OK)
            return hr;
        std::unique_lock lock(m_mutex);
        if (m_blockNext) {
            m_blockNext = false;
            m_blocked = true;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return IsFlushing(); });
            m_blocked = false;
            return S_FALSE;
        }
        if (!m_answers.empty()) {
            const HRESULT answer = m_answers.front();
            m_answers.pop_front();
            if (answer != S_OK)
                return answer;
        }
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        Frame frame{};
        std::memcpy(&frame.number, data, sizeof frame.number);
        frame.timing = sample->GetTime(&frame.start, &frame.end);
        frame.discontinuity = sample->IsDiscontinuity() == S_OK;
        m_frames.push_back(frame);
        if (m_hold) {
            sample->AddRef();
            m_held.push_back(sample);
        }
        return S_OK;
    }
    HRESULT EndOfStream() override {
        std::lock_guard lock(m_mutex);
        m_endOfStream.push_back(m_frames.size());
        return S_OK;
    }
    HRESULT BeginFlush() override {
        CBaseInputPin::BeginFlush();
        std::lock_guard lock(m_mutex);
        ++m_beginFlushes;
        m_changed.notify_all();
        return S_OK;
    }
    HRESULT EndFlush() override {
        {
            std::lock_guard lock(m_mutex);
            ++m_endFlushes;
        }
        return CBaseInputPin::EndFlush();
    }
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override {
        {
            std::lock_guard lock(m_mutex);
            m_segments.push_back(start);
        }
        return CBaseInputPin::NewSegment(start, stop, rate);
    }

    // What the next Receive calls answer instead of taking the sample (S_OK takes it).
    void Answer(std::vector<HRESULT> answers) {
        std::lock_guard lock(m_mutex);
        m_answers.assign(answers.begin(), answers.end());
    }
    // Keeps every sample received, as a renderer keeps the one it waits with.
    void Hold() {
        std::lock_guard lock(m_mutex);
        m_hold = true;
    }
    void ReleaseHeld() {
        std::vector<IMediaSample*> held;
        {
            std::lock_guard lock(m_mutex);
            held.swap(m_held);
            m_hold = false;
        }
        for (IMediaSample* sample : held)
            sample->Release();
    }
    void BlockNextReceive() {
        std::lock_guard lock(m_mutex);
        m_blockNext = true;
    }
    void WaitUntilBlocked() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_blocked; });
    }

    std::vector<Frame> Frames() {
        std::lock_guard lock(m_mutex);
        return m_frames;
    }
    std::vector<int> Numbers() {
        std::vector<int> numbers;
        for (const Frame& frame : Frames())
            numbers.push_back(frame.number);
        return numbers;
    }
    // How many frames had arrived at each end of stream.
    std::vector<std::size_t> EndsOfStream() {
        std::lock_guard lock(m_mutex);
        return m_endOfStream;
    }
    int BeginFlushes() {
        std::lock_guard lock(m_mutex);
        return m_beginFlushes;
    }
    int EndFlushes() {
        std::lock_guard lock(m_mutex);
        return m_endFlushes;
    }
    std::vector<REFERENCE_TIME> Segments() {
        std::lock_guard lock(m_mutex);
        return m_segments;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Frame> m_frames;
    std::vector<std::size_t> m_endOfStream;
    std::vector<REFERENCE_TIME> m_segments;
    std::deque<HRESULT> m_answers;
    std::vector<IMediaSample*> m_held;
    bool m_hold = false;
    bool m_blockNext = false;
    bool m_blocked = false;
    int m_beginFlushes = 0;
    int m_endFlushes = 0;
};

class RecordSink final : public CBaseFilter {
public:
    RecordSink() : CBaseFilter(L"record sink", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    RecordPin& pin() { return m_pin; }

private:
    CCritSec m_lock;
    RecordPin m_pin;
};

// Checks, after everything declared later in the scope is gone, that no object is left.
struct LeakCheck {
    LONG before = CBaseObject::ObjectsActive();
    ~LeakCheck() { EXPECT_EQ(CBaseObject::ObjectsActive(), before); }
};

// Source, decoder and sink connected and paused, as a graph would leave them; torn down in
// the graph's order.
template <class Decoder>
struct Chain {
    Chain() {
        source = Make<PacketSource>();
        decoder = Make<Decoder>();
        sink = Make<RecordSink>();
        EXPECT_EQ(source->pin().Connect(decoder->Input(), nullptr), S_OK);
        EXPECT_EQ(decoder->Output()->Connect(&sink->pin(), nullptr), S_OK);
        EXPECT_EQ(sink->Pause(), S_OK);
        EXPECT_EQ(decoder->Pause(), S_OK);
        EXPECT_EQ(source->Pause(), S_OK);
    }
    ~Chain() {
        out().ReleaseHeld();
        source->Stop();
        decoder->Stop();
        sink->Stop();
        source->pin().Disconnect();
        decoder->Input()->Disconnect();
        decoder->Output()->Disconnect();
        sink->pin().Disconnect();
        source->Release();
        decoder->Release();
        sink->Release();
    }
    PacketPin& in() { return source->pin(); }
    RecordPin& out() { return sink->pin(); }

    PacketSource* source;
    Decoder* decoder;
    RecordSink* sink;
};

// Frames n in [from, to] with a key frame every 5, timed relative to frame `zero`.
void SendRun(PacketPin& pin, int from, int to, int zero) {
    for (int n = from; n <= to; ++n) {
        EXPECT_EQ(pin.Send(n, n % 5 == 0, (n - zero) * kFrame, (n - zero + 1) * kFrame), S_OK)
            << "frame " << n;
    }
}

using Numbers = std::vector<int>;

}  // namespace

// ---- decode delay and end of stream ----

TEST(DecoderFilter, FirstInputGivesNothingAndEndOfStreamDrainsTheLastFrame) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    EXPECT_EQ(c.in().Send(0, true, 0, kFrame), S_OK);
    EXPECT_TRUE(c.out().Numbers().empty()) << "the codec holds its first frame back";
    EXPECT_EQ(c.in().Send(1, false, kFrame, 2 * kFrame), S_OK);
    EXPECT_EQ(c.out().Numbers(), Numbers{0});

    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    const std::vector<Frame> frames = c.out().Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].number, 1) << "the held frame comes out at the end of the stream";
    EXPECT_EQ(frames[1].timing, S_OK);
    EXPECT_EQ(frames[1].start, kFrame) << "a frame keeps its packet's times, one input later";
    EXPECT_EQ(frames[1].end, 2 * kFrame);
    EXPECT_EQ(c.out().EndsOfStream(), std::vector<std::size_t>{2})
        << "end of stream once, after the drained frame";
    EXPECT_TRUE(frames[0].discontinuity) << "the first frame of the stream";
    EXPECT_FALSE(frames[1].discontinuity);
    EXPECT_EQ(c.decoder->Inputs(), 2);
    EXPECT_EQ(c.decoder->Delivered(), 2);
}

TEST(DecoderFilter, EndOfStreamWithNothingDecodedStillReachesDownstream) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    EXPECT_TRUE(c.out().Numbers().empty());
    EXPECT_EQ(c.out().EndsOfStream(), std::vector<std::size_t>{0});
}

// ---- preroll after a seek ----

TEST(DecoderSeek, WithoutTheFramesBeforeTheTargetTheCodecGivesGarbage) {
    // What the preroll below is for: a seek to frame 7 that sent only 7 onwards.
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    SendRun(c.in(), 7, 10, 7);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(c.out().Numbers(), (Numbers{-1, -1, -1, 10}));
}

TEST(DecoderSeek, FramesBeforeTheSegmentStartAreDecodedButNotDelivered) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    // A seek to frame 7: the source starts at the key frame before it, with times relative
    // to frame 7, so 5 and 6 lie before 0.
    EXPECT_EQ(c.in().DeliverNewSegment(7 * kFrame, 10 * kFrame, 1.0), S_OK);
    SendRun(c.in(), 5, 9, 7);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);

    const std::vector<Frame> frames = c.out().Frames();
    ASSERT_EQ(c.out().Numbers(), (Numbers{7, 8, 9})) << "7 decoded from 5 and 6, not -1";
    EXPECT_EQ(frames[0].start, 0);
    EXPECT_TRUE(frames[0].discontinuity);
    EXPECT_EQ(c.decoder->Inputs(), 5);
    EXPECT_EQ(c.decoder->DroppedAsPreroll(), 2);
    EXPECT_EQ(c.decoder->SegmentStart(), 7 * kFrame);
    EXPECT_EQ(c.out().Segments(), std::vector<REFERENCE_TIME>{7 * kFrame});
    EXPECT_EQ(c.out().EndsOfStream(), std::vector<std::size_t>{3});
}

TEST(DecoderSeek, SamplesMarkedPrerollAreDecodedButNotDelivered) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    // This source times its packets from the key frame and marks those before the target
    // preroll instead; frame 6 leaves the codec only while 7, not marked, is received.
    EXPECT_EQ(c.in().Send(5, true, 0, kFrame, true), S_OK);
    EXPECT_EQ(c.in().Send(6, false, kFrame, 2 * kFrame, true), S_OK);
    EXPECT_EQ(c.in().Send(7, false, 2 * kFrame, 3 * kFrame), S_OK);
    EXPECT_EQ(c.in().Send(8, false, 3 * kFrame, 4 * kFrame), S_OK);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(c.out().Numbers(), (Numbers{7, 8}));
    EXPECT_EQ(c.decoder->DroppedAsPreroll(), 2);
}

TEST(DecoderSeek, OnlyFramesWhollyBeforeTheStartAreDropped) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    // The target falls inside frame 6: it is on screen at 0, so it is delivered.
    const REFERENCE_TIME half = kFrame / 2;
    EXPECT_EQ(c.in().Send(5, true, -half - kFrame, -half), S_OK);
    EXPECT_EQ(c.in().Send(6, false, -half, half), S_OK);
    EXPECT_EQ(c.in().SendTimes(7, false, nullptr, nullptr), S_OK);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(c.out().Numbers(), (Numbers{6, 7})) << "untimed frames are never preroll";

    // Without stop times: before 0 is preroll, 0 is the first frame.
    EXPECT_EQ(c.in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(c.in().DeliverEndFlush(), S_OK);
    REFERENCE_TIME before = -1, atZero = 0;
    EXPECT_EQ(c.in().SendTimes(5, true, &before, nullptr), S_OK);
    EXPECT_EQ(c.in().SendTimes(6, false, &atZero, nullptr), S_OK);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    const std::vector<Frame> frames = c.out().Frames();
    ASSERT_EQ(c.out().Numbers(), (Numbers{6, 7, 6}));
    EXPECT_EQ(frames[2].timing, VFW_S_NO_STOP_TIME);
    EXPECT_EQ(c.out().EndsOfStream(), (std::vector<std::size_t>{2, 3}));
}

// ---- flushing ----

TEST(DecoderFlush, NothingFromBeforeTheFlushArrivesAfterIt) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    SendRun(c.in(), 0, 2, 0);
    EXPECT_EQ(c.out().Numbers(), (Numbers{0, 1})) << "2 is held in the codec";

    EXPECT_EQ(c.in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(c.in().DeliverEndFlush(), S_OK);
    EXPECT_EQ(c.decoder->Flushes(), 1);
    EXPECT_EQ(c.out().BeginFlushes(), 1);
    EXPECT_EQ(c.out().EndFlushes(), 1);

    EXPECT_EQ(c.in().DeliverNewSegment(5 * kFrame, 10 * kFrame, 1.0), S_OK);
    SendRun(c.in(), 5, 6, 5);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    const std::vector<Frame> frames = c.out().Frames();
    ASSERT_EQ(c.out().Numbers(), (Numbers{0, 1, 5, 6})) << "the held frame 2 is gone";
    EXPECT_TRUE(frames[2].discontinuity) << "the first frame after the flush";
    EXPECT_FALSE(frames[3].discontinuity);
    EXPECT_EQ(c.out().EndsOfStream(), std::vector<std::size_t>{4});
}

TEST(DecoderFlush, BeginFlushReachesAReceiveBlockedDownstream) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    EXPECT_EQ(c.in().Send(0, true, 0, kFrame), S_OK);
    c.out().BlockNextReceive();
    std::future<HRESULT> streaming = std::async(std::launch::async, [&] {
        return c.in().Send(1, false, kFrame, 2 * kFrame);  // delivers 0, which waits downstream
    });
    c.out().WaitUntilBlocked();
    // Had the decoder serialised BeginFlush with Receive, this would wait for ever.
    EXPECT_EQ(c.in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(streaming.get(), S_FALSE) << "downstream's refusal goes back upstream";
    EXPECT_EQ(c.in().DeliverEndFlush(), S_OK);

    SendRun(c.in(), 5, 5, 0);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(c.out().Numbers(), Numbers{5});
}

// ---- delivery ----

TEST(DecoderDelivery, DownstreamRefusalsGoBackUpstream) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    c.out().Answer({S_FALSE, E_FAIL});
    EXPECT_EQ(c.in().Send(0, true, 0, kFrame), S_OK);
    EXPECT_EQ(c.in().Send(1, false, kFrame, 2 * kFrame), S_FALSE) << "stop sending";
    EXPECT_EQ(c.in().Send(2, false, 2 * kFrame, 3 * kFrame), E_FAIL);
    EXPECT_EQ(c.in().Send(3, false, 3 * kFrame, 4 * kFrame), S_OK);
    EXPECT_EQ(c.out().Numbers(), Numbers{2});
    EXPECT_EQ(c.decoder->Delivered(), 1);
}

namespace {

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

}  // namespace

TEST(DecoderDelivery, FramesLeftByARefusalGoOutBeforeTheNextInput) {
    LeakCheck leaks;
    Chain<TripleDecoder> c;
    c.out().Answer({S_OK, S_FALSE});
    EXPECT_EQ(c.in().Send(0, true, 0, kFrame), S_FALSE) << "frame 1 refused, 2 still decoded";
    EXPECT_EQ(c.in().Send(1, true, kFrame, 2 * kFrame), S_OK);
    EXPECT_EQ(c.out().Numbers(), (Numbers{0, 2, 3, 4, 5}));
}

TEST(DecoderDelivery, NoBufferIsTakenWhileNoFrameIsReady) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    // Downstream keeps every sample, so both of the decoder's buffers are out.
    c.out().Hold();
    SendRun(c.in(), 0, 2, 0);
    ASSERT_EQ(c.out().Numbers(), (Numbers{0, 1}));
    EXPECT_EQ(c.in().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(c.in().DeliverEndFlush(), S_OK);

    // The first packet after the flush gives no frame: nothing to wait for a buffer for.
    std::future<HRESULT> streaming =
        std::async(std::launch::async, [&] { return c.in().Send(5, true, 0, kFrame); });
    const bool returned = streaming.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    c.out().ReleaseHeld();  // frees the buffers either way
    EXPECT_TRUE(returned) << "Receive waited for a buffer it had nothing to put in";
    EXPECT_EQ(streaming.get(), S_OK);
    EXPECT_EQ(c.in().DeliverEndOfStream(), S_OK);
    EXPECT_EQ(c.out().Numbers(), (Numbers{0, 1, 5}));
}

TEST(DecoderDelivery, ExceptionsFromTheCodecBecomeErrors) {
    LeakCheck leaks;
    Chain<ThrowingDecoder> c;
    c.decoder->onSend = ThrowingDecoder::Throw::BadAlloc;
    EXPECT_EQ(c.in().Send(0, true, 0, kFrame), E_OUTOFMEMORY);
    c.decoder->onSend = ThrowingDecoder::Throw::Other;
    EXPECT_EQ(c.in().Send(1, true, kFrame, 2 * kFrame), E_FAIL);

    EXPECT_EQ(c.in().DeliverEndOfStream(), E_FAIL) << "the drain threw";
    EXPECT_EQ(c.out().EndsOfStream(), std::vector<std::size_t>{0})
        << "downstream still learns that the stream ended";

    c.decoder->onFlush = ThrowingDecoder::Throw::Other;
    EXPECT_EQ(c.in().DeliverBeginFlush(), S_OK);
    c.in().DeliverEndFlush();
    EXPECT_EQ(c.out().EndFlushes(), 1) << "downstream still leaves its flush";
}

// ---- seeking pass-through ----

namespace {

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

}  // namespace

TEST(PosPassThru, ForwardsCallsToTheUpstreamOutputPin) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    Seeking<CPosPassThru> s(c.decoder->Input());
    c.in().current = 3 * kFrame;

    LONGLONG current = 7 * kFrame, stop = 9 * kFrame;
    EXPECT_EQ(s->SetPositions(&current, AM_SEEKING_AbsolutePositioning, &stop,
                              AM_SEEKING_AbsolutePositioning),
              S_OK);
    EXPECT_EQ(c.in().setPositionsCalls, 1);
    EXPECT_EQ(c.in().setCurrent, 7 * kFrame);
    EXPECT_EQ(c.in().setStop, 9 * kFrame);
    EXPECT_EQ(c.in().setCurrentFlags, AM_SEEKING_AbsolutePositioning);

    LONGLONG duration = 0, position = 0;
    EXPECT_EQ(s->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 50 * kFrame);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 3 * kFrame);
    DWORD capabilities = 0;
    EXPECT_EQ(s->GetCapabilities(&capabilities), S_OK);
    EXPECT_EQ(capabilities, c.in().capabilities);
    EXPECT_EQ(s->SetRate(2.0), S_OK);
    EXPECT_DOUBLE_EQ(c.in().rate, 2.0);

    EXPECT_EQ(s->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(s->IsUsingTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(s->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 50);
    EXPECT_EQ(s->SetTimeFormat(&TIME_FORMAT_NONE), E_INVALIDARG) << "upstream's answer";
}

TEST(PosPassThru, WithoutASeekableUpstreamPinItSaysWhy) {
    LeakCheck leaks;
    {
        NumberDecoder* lone = Make<NumberDecoder>();
        {
            Seeking<CPosPassThru> s(lone->Input());
            LONGLONG current = 0, duration = 0;
            EXPECT_EQ(s->SetPositions(&current, AM_SEEKING_AbsolutePositioning, nullptr,
                                      AM_SEEKING_NoPositioning),
                      VFW_E_NOT_CONNECTED);
            EXPECT_EQ(s->GetDuration(&duration), VFW_E_NOT_CONNECTED);
            EXPECT_EQ(s->GetCurrentPosition(&current), VFW_E_NOT_CONNECTED);
        }
        lone->Release();
    }
    Chain<NumberDecoder> c;
    c.in().seekable = false;
    Seeking<CPosPassThru> s(c.decoder->Input());
    LONGLONG duration = 0;
    EXPECT_EQ(s->GetDuration(&duration), E_NOTIMPL);
}

TEST(RendererPosPassThru, CurrentPositionFollowsTheSamplesRendered) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    Seeking<CRendererPosPassThru> s(c.decoder->Input());
    c.in().current = 123 * MILLISECONDS;  // the source reads ahead of the screen
    LONGLONG position = 0;
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 123 * MILLISECONDS) << "nothing rendered yet: upstream's position";

    EXPECT_EQ(s.pass->RegisterMediaTime(2 * kFrame, 3 * kFrame), S_OK);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 2 * kFrame);

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

    // In the position's time format.
    EXPECT_EQ(s->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 4);
    EXPECT_EQ(s->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);

    // Sample times count from the segment start, at the segment's rate.
    EXPECT_EQ(c.in().DeliverNewSegment(10 * kFrame, 20 * kFrame, 2.0), S_OK);
    EXPECT_EQ(s.pass->RegisterMediaTime(kFrame, 2 * kFrame), S_OK);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 12 * kFrame);

    EXPECT_EQ(s.pass->ResetMediaTime(), S_OK);
    EXPECT_EQ(s.pass->GetMediaTime(&mediaStart, &mediaEnd), S_FALSE);
    EXPECT_EQ(mediaStart, 0);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 123 * MILLISECONDS) << "after a flush or stop: upstream's again";

    c.in().stop = 30 * kFrame;
    EXPECT_EQ(s.pass->EOS(), S_OK);
    EXPECT_EQ(s->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 30 * kFrame) << "at the end: the stop position";
}

TEST(RendererPosPassThru, TheApplicationReadsWhileTheStreamingThreadRegisters) {
    LeakCheck leaks;
    Chain<NumberDecoder> c;
    Seeking<CRendererPosPassThru> s(c.decoder->Input());
    std::atomic<bool> done{false};
    std::thread streaming([&] {
        for (REFERENCE_TIME i = 0; i < 2000; ++i)
            s.pass->RegisterMediaTime(i * kFrame, (i + 1) * kFrame);
        done = true;
    });
    int torn = 0, backwards = 0;
    LONGLONG last = -1;
    while (!done) {
        LONGLONG start = 0, end = 0;
        if (s.pass->GetMediaTime(&start, &end) != S_OK)
            continue;
        torn += end - start != kFrame;
        backwards += start < last;
        last = start;
    }
    streaming.join();
    EXPECT_EQ(torn, 0) << "start and end always from the same sample";
    EXPECT_EQ(backwards, 0);
}
