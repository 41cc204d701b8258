// Both renderer filters as their streaming thread drives them: the connections each takes; video
// frames copied into the ring buffer (just the luma of NV12) or dropped, with the ring untouched;
// text samples handed to each subscriber in cookie order, also while subscriptions change.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "com/com_ptr.h"
#include "module/base/collections/RingBuffer.h"
#include "module/filters/DShowTarget.h"
#include "module/filters/DShowTextTarget.h"
#include "module/filters/sink_test.h"

using namespace zyl::test;

namespace {

using Ring = qnCollections::CRingBuffer;

std::shared_ptr<Ring> MakeRing(int elements, std::uint64_t size, std::uint8_t fill = 0x55) {
    auto ring = std::make_shared<Ring>();
    for (int i = 0; i < elements; ++i) {
        ring->AddBuffer(size, nullptr);
        std::uint8_t* data = nullptr;
        ring->GetBuffer(static_cast<std::uint16_t>(i), &data, &size);
        std::memset(data, fill, size);
    }
    return ring;
}

std::vector<BYTE> Element(Ring& ring, std::uint16_t index) {
    std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    ring.GetBuffer(index, &data, &size);
    return {data, data + size};
}

CMediaType Video(const GUID& subtype, LONG sampleSize, bool fixedSize = true) {
    CMediaType type = VideoType(subtype, 4, 2);
    type.lSampleSize = static_cast<ULONG>(sampleSize);
    type.bFixedSizeSamples = fixedSize ? TRUE : FALSE;
    return type;
}

// A sample whose memory cannot be had, as a broken allocator's would be.
class PointerlessSample final : public CMediaSample {
public:
    PointerlessSample() : CMediaSample(L"pointerless", nullptr, nullptr, nullptr, 16) { AddRef(); }
    HRESULT GetPointer(BYTE** buffer) override {
        *buffer = nullptr;
        return E_FAIL;
    }
};

using VideoTarget = Target<COM::CDShowTarget>;
using TextTarget = Target<COM::CDShowTextTarget>;

}  // namespace

TEST_F(VideoTarget, TakesFixedSizeRGBAndNV12OnlyWhenForced) {
    const CMediaType text(&MEDIATYPE_Text);
    const std::pair<CMediaType, HRESULT> cases[] = {
        {text, E_INVALIDARG},
        {Video(MEDIASUBTYPE_RGB24, 24, false), E_INVALIDARG},
        {Video(MEDIASUBTYPE_RGB8, 8, false), S_OK},  // one byte a pixel: any line fits
        {Video(MEDIASUBTYPE_RGB32, 32), S_OK},
        {Video(MEDIASUBTYPE_NV12, 12), E_INVALIDARG},
        {Video(FourCCGuid(0x32595559), 16), E_INVALIDARG},  // YUY2
    };
    for (const auto& [type, result] : cases)
        EXPECT_EQ(filter->CheckMediaType(&type), result) << GuidToString(*type.Subtype());
    filter->SetForceNV12ToMono8(true);
    const CMediaType nv12 = Video(MEDIASUBTYPE_NV12, 12);
    EXPECT_EQ(filter->CheckMediaType(&nv12), S_OK);
}

TEST_F(VideoTarget, EachFrameIsCopiedWholeIntoTheNextElementAndForcedNV12AsItsLuma) {
    // Elements larger than the samples: what a sample does not cover stays as it was.
    auto ring = MakeRing(2, 12);
    filter->SetRingBuffer(ring, Video(MEDIASUBTYPE_RGB8, 8, false), 4, 2);
    ASSERT_EQ(Render({1, 2, 3, 4, 5, 6, 7, 8}, 5), S_OK);
    ASSERT_EQ(Render({9, 9, 9, 9, 9, 9, 9, 9}, 8), S_OK);
    EXPECT_EQ(Element(*ring, 0),
              (std::vector<BYTE>{1, 2, 3, 4, 5, 6, 7, 8, 0x55, 0x55, 0x55, 0x55}))
        << "the whole sample buffer, whatever its actual length";
    EXPECT_EQ(Element(*ring, 1),
              (std::vector<BYTE>{9, 9, 9, 9, 9, 9, 9, 9, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(ring->GetUnreadCount(), 2u) << "both committed";

    filter->SetForceNV12ToMono8(true);
    ring = MakeRing(2, 8, 0x00);  // Mono8: one byte per pixel
    filter->SetRingBuffer(ring, Video(MEDIASUBTYPE_NV12, 12), 4, 2);
    const std::vector<BYTE> luma = {10, 11, 12, 13, 20, 21, 22, 23};
    std::vector<BYTE> frame = luma;
    frame.insert(frame.end(), {0xC0, 0xC1, 0xC2, 0xC3});  // the interleaved chroma
    ASSERT_EQ(Render(frame, 12), S_OK);
    EXPECT_EQ(Element(*ring, 0), luma);
    EXPECT_EQ(Element(*ring, 1), std::vector<BYTE>(8, 0x00)) << "the chroma went nowhere";
}

TEST_F(VideoTarget, WithEveryElementLockedEachFrameIsDroppedAndTheRingKeptAsItWas) {
    auto ring = MakeRing(2, 8);
    filter->SetRingBuffer(ring, Video(MEDIASUBTYPE_RGB32, 8), 1, 2);
    // No consumer: the two frames committed stay locked.
    ASSERT_EQ(Render(std::vector<BYTE>(8, 1), 8), S_OK);
    ASSERT_EQ(Render(std::vector<BYTE>(8, 2), 8), S_OK);
    ASSERT_TRUE(ring->IsLocked(0) && ring->IsLocked(1));
    for (BYTE n = 3; n < 6; ++n)
        EXPECT_TRUE(FAILED(Render(std::vector<BYTE>(8, n), 8)));
    EXPECT_EQ(
        Logged(qnLogging::level::warn),
        std::vector<std::string>(3, "No free ring buffer element available -> frame skipped."))
        << "the user's one sign of each dropped frame";
    EXPECT_EQ(Element(*ring, 0), std::vector<BYTE>(8, 1));
    EXPECT_EQ(Element(*ring, 1), std::vector<BYTE>(8, 2));
}

TEST_F(VideoTarget, ASampleBeforeTheRingBufferOrWithoutMemoryCopiesNothing) {
    EXPECT_TRUE(FAILED(Render(std::vector<BYTE>(8, 7), 8))) << "no ring buffer yet";
    auto ring = MakeRing(1, 8);
    filter->SetRingBuffer(ring, Video(MEDIASUBTYPE_RGB32, 8), 1, 2);
    auto* broken = new PointerlessSample;
    EXPECT_TRUE(FAILED(filter->DoRenderSample(broken)));
    broken->Release();
    EXPECT_EQ(ring->GetUnreadCount(), 0u) << "nothing published";
    EXPECT_FALSE(ring->IsLocked(0)) << "the element stays free";
    EXPECT_EQ(Element(*ring, 0), std::vector<BYTE>(8, 0x55));
    ASSERT_EQ(Render(std::vector<BYTE>(8, 9), 8), S_OK);
    EXPECT_EQ(Element(*ring, 0), std::vector<BYTE>(8, 9)) << "only the frame after the hand-over";
}

TEST_F(VideoTarget, AFrameDecodedIntoALentElementIsCommittedThereAndNoOtherFrameTouchesIt) {
    auto ring = MakeRing(3, 8);
    filter->SetRingBuffer(ring, Video(MEDIASUBTYPE_RGB32, 8), 1, 2);
    ComPtr<IMemAllocator> allocator;
    ASSERT_EQ(filter->InputPin()->GetAllocator(allocator.Put()), S_OK);
    ALLOCATOR_PROPERTIES request{3, 8, 1, 0}, actual{};
    ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    const auto take = [&](BYTE fill, std::uint8_t** memory) {
        IMediaSample* sample = nullptr;
        EXPECT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
        sample->GetPointer(memory);
        std::memset(*memory, fill, 8);
        return sample;
    };
    const auto address = [&](std::uint16_t index) {
        std::uint8_t* data = nullptr;
        return ring->GetBufferAddress(index, &data);
    };
    std::uint8_t* memory = nullptr;
    IMediaSample* first = take(1, &memory);
    EXPECT_EQ(memory, address(0)) << "the next free element is lent";
    EXPECT_EQ(filter->DoRenderSample(first), S_OK);
    first->Release();
    // Delivered out of order: the element the later sample would go to is still being filled.
    IMediaSample* lender = take(2, &memory);
    EXPECT_EQ(memory, address(1));
    IMediaSample* early = take(3, &memory);
    EXPECT_NE(memory, address(1)) << "one element, one sample";
    EXPECT_TRUE(FAILED(filter->DoRenderSample(early))) << "dropped, not written under the lender";
    EXPECT_EQ(filter->DroppedFrames(), 1u);
    EXPECT_EQ(filter->DoRenderSample(lender), S_OK);
    early->Release();
    lender->Release();
    EXPECT_EQ(Element(*ring, 0), std::vector<BYTE>(8, 1));
    EXPECT_EQ(Element(*ring, 1), std::vector<BYTE>(8, 2));
    // A flushed frame leaves its element as free and unread as it was.
    take(4, &memory)->Release();
    EXPECT_EQ(memory, address(2));
    EXPECT_FALSE(ring->IsLocked(2));
    EXPECT_EQ(ring->GetUnreadCount(), 2u);
    EXPECT_EQ(ring->WaitForNextBuffer(0), 0u);
    EXPECT_EQ(ring->WaitForNextBuffer(0), 1u);
    // Without locks the host may be reading any element: nothing is lent.
    ring->SetLockMode(qnCollections::NoLock);
    IMediaSample* unlocked = take(5, &memory);
    for (std::uint16_t i = 0; i < 3; ++i)
        EXPECT_NE(memory, address(i));
    unlocked->Release();
    EXPECT_EQ(allocator->Decommit(), S_OK);
}

TEST_F(TextTarget, SubscribersAreCalledInCookieOrderAndAFailureStopsNobody) {
    const CMediaType video = VideoType(MEDIASUBTYPE_RGB32, 4, 2);
    EXPECT_EQ(filter->CheckMediaType(&video), E_INVALIDARG);
    CMediaType text(&MEDIATYPE_Text);
    text.SetSubtype(&MEDIASUBTYPE_RGB8);
    EXPECT_EQ(filter->CheckMediaType(&text), S_OK) << "any text subtype, even a video one";
    EXPECT_EQ(Render({'a', 0}, 2), S_OK) << "nobody listens yet";

    SnapRecorder recorder;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(filter->FindConnectionPoint(COM::IID_IZYLTextTransfer, point.Put()), S_OK);
    // Subscribes a sink owned by its subscription alone.
    const auto subscribe = [&](int id, HRESULT answer) {
        auto* sink = new TextSink(id, recorder, answer);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(sink->Unknown(), &cookie), S_OK);
        sink->Release();
        return cookie;
    };
    // Cookie 1 is freed and taken again by a later subscriber, which is then called before
    // the one holding cookie 2 although it subscribed after it; it fails, the rest still hear.
    EXPECT_EQ(subscribe(10, E_FAIL), 0u);
    EXPECT_EQ(subscribe(11, S_OK), 1u);
    EXPECT_EQ(subscribe(12, S_OK), 2u);
    ASSERT_EQ(point->Unadvise(1), S_OK);
    ASSERT_EQ(point->Unadvise(0), S_OK);
    EXPECT_EQ(subscribe(13, E_FAIL), 1u);
    EXPECT_EQ(subscribe(14, S_OK), 3u);
    ASSERT_EQ(Render({'o', 'n', 'e', 0}, 4), S_OK);
    ASSERT_EQ(Render({'t', 'w', 'o', 0, 'x'}, 4), S_OK);
    const std::string one("one\0", 4), two("two\0", 4);
    EXPECT_EQ(recorder.Calls(),
              (std::vector<std::pair<int, std::string>>{
                  {13, one}, {12, one}, {14, one}, {13, two}, {12, two}, {14, two}}));
}

// Subscriptions change on the player's thread while the streaming thread delivers text.
TEST_F(TextTarget, AdviseAndUnadviseWhileSamplesFlow) {
    SnapRecorder recorder;
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(filter->FindConnectionPoint(COM::IID_IZYLTextTransfer, point.Put()), S_OK);
    auto* steady = new TextSink(0, recorder);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(steady->Unknown(), &cookie), S_OK);
    steady->Release();
    constexpr int kSamples = 200;
    std::atomic<bool> done{false};
    std::thread streaming([&] {
        for (int i = 0; i < kSamples; ++i)
            Render({'t', 0}, 2);
        done = true;
    });
    for (int rounds = 0; !done || rounds < 10; ++rounds) {
        auto* passing = new TextSink(1, recorder);
        EXPECT_EQ(point->Advise(passing->Unknown(), &cookie), S_OK);
        passing->Release();
        ComPtr<IEnumConnections> connections;
        point->EnumConnections(connections.Put());
        connections->Skip(1);
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
    }
    streaming.join();
    int steadyCalls = 0;
    for (const auto& call : recorder.Calls())
        steadyCalls += call.first == 0;
    EXPECT_EQ(steadyCalls, kSamples) << "the steady subscriber saw every sample";
}
