// The video target in a real graph, fed by a test source: which connections it takes, frames
// copied into the ring buffer (exactly the element for NV12 forced to Mono8), frames dropped
// when every element is locked or no ring buffer is there yet, a sample whose memory cannot be
// had, and what a client reads from the filter itself.
#include <gtest/gtest.h>

#include <memory>

#include "module/base/collections/RingBuffer.h"
#include "module/filters/DShowTarget.h"
#include "module/filters/sink_graph.h"

using namespace zyl::test;

namespace {

constexpr const char* kNoFreeElement = "No free ring buffer element available -> frame skipped.";
constexpr const char* kNoRingBuffer = "Media sample arrived but ring buffer is not available.";

std::shared_ptr<qnCollections::CRingBuffer> MakeRing(int elements, std::uint64_t size,
                                                     std::uint8_t fill = 0x55) {
    auto ring = std::make_shared<qnCollections::CRingBuffer>();
    for (int i = 0; i < elements; ++i) {
        ring->AddBuffer(size, nullptr);
        std::uint8_t* data = nullptr;
        std::uint64_t bytes = 0;
        ring->GetBuffer(static_cast<std::uint16_t>(i), &data, &bytes);
        std::memset(data, fill, bytes);
    }
    return ring;
}

std::vector<BYTE> Element(qnCollections::CRingBuffer& ring, std::uint16_t index) {
    std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    ring.GetBuffer(index, &data, &size);
    return {data, data + size};
}

constexpr GUID kYUY2 = FourCCGuid(0x32595559);

CMediaType Video(const GUID& subtype, LONG width, LONG height, LONG sampleSize,
                 bool fixedSize = true) {
    CMediaType type = VideoType(subtype, width, height);
    type.lSampleSize = static_cast<ULONG>(sampleSize);
    type.bFixedSizeSamples = fixedSize ? TRUE : FALSE;
    return type;
}

// A sample whose memory cannot be had, as a broken allocator's would be.
class PointerlessSample final : public IMediaSample {
public:
    virtual ~PointerlessSample() = default;
    HRESULT QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetPointer(BYTE** buffer) override {
        *buffer = nullptr;
        return E_FAIL;
    }
    LONG GetSize() override { return 16; }
    HRESULT GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    HRESULT SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return S_OK; }
    HRESULT IsSyncPoint() override { return S_OK; }
    HRESULT SetSyncPoint(BOOL) override { return S_OK; }
    HRESULT IsPreroll() override { return S_FALSE; }
    HRESULT SetPreroll(BOOL) override { return S_OK; }
    LONG GetActualDataLength() override { return 16; }
    HRESULT SetActualDataLength(LONG) override { return S_OK; }
    HRESULT GetMediaType(AM_MEDIA_TYPE** type) override {
        *type = nullptr;
        return S_FALSE;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT IsDiscontinuity() override { return S_FALSE; }
    HRESULT SetDiscontinuity(BOOL) override { return S_OK; }
    HRESULT GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }
};

class VideoTarget : public SinkTest {
protected:
    void SetUp() override {
        SinkTest::SetUp();
        target = Make<COM::CDShowTarget>(nullptr, nullptr);
        graph = std::make_unique<SinkGraph>(target);
    }
    void TearDown() override {
        graph.reset();
        target->Release();
        EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "no object or reference left behind";
        SinkTest::TearDown();
    }
    HRESULT Connect(const CMediaType& type) { return graph->Connect(type, target->InputPin()); }
    void Hand(const std::shared_ptr<qnCollections::CRingBuffer>& ring, const CMediaType& type) {
        target->SetRingBuffer(ring, type, 4, 2);
    }
    // The numbers the "Media sample N (size: S bytes) arrived." lines carry, with their sizes.
    std::vector<std::pair<unsigned long long, long>> Arrivals() const {
        std::vector<std::pair<unsigned long long, long>> arrivals;
        for (const auto& text : Logged(qnLogging::level::info)) {
            unsigned long long number = 0;
            long size = 0;
            if (std::sscanf(text.c_str(), "Media sample %llu (size: %ld bytes) arrived.", &number,
                            &size) == 2)
                arrivals.emplace_back(number, size);
        }
        return arrivals;
    }

    const LONG before = CBaseObject::ObjectsActive();
    COM::CDShowTarget* target = nullptr;
    std::unique_ptr<SinkGraph> graph;
};

}  // namespace

TEST_F(VideoTarget, VariableSizeRGB8ConnectsAndItsFramesAreCopiedWhole) {
    const CMediaType type = Video(MEDIASUBTYPE_RGB8, 4, 2, 8, false);
    ASSERT_EQ(Connect(type), S_OK);
    EXPECT_EQ(CountLogged("Connection to RGB8 video stream accepted by ZYL Direct Show Target."),
              1u);
    // Elements larger than the samples: what a sample does not cover stays as it was.
    auto ring = MakeRing(2, 12);
    Hand(ring, type);
    ASSERT_TRUE(SUCCEEDED(graph->control->Run())) << "S_FALSE while the renderer waits";
    ASSERT_EQ(graph->Send({1, 2, 3, 4, 5, 6, 7, 8}, 5), S_OK);
    ASSERT_EQ(graph->Send({9, 9, 9, 9, 9, 9, 9, 9}, 8), S_OK);
    EXPECT_TRUE(graph->EndAndComplete());
    EXPECT_EQ(Element(*ring, 0),
              (std::vector<BYTE>{1, 2, 3, 4, 5, 6, 7, 8, 0x55, 0x55, 0x55, 0x55}))
        << "the whole sample buffer, whatever its actual length";
    EXPECT_EQ(Element(*ring, 1),
              (std::vector<BYTE>{9, 9, 9, 9, 9, 9, 9, 9, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_EQ(ring->GetUnreadCount(), 2u) << "both committed";
    const auto arrivals = Arrivals();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0].second, 5) << "the log reports the actual data length";
    EXPECT_EQ(arrivals[1].second, 8);
    EXPECT_EQ(arrivals[1].first, arrivals[0].first + 1) << "one module-wide count";
}

TEST_F(VideoTarget, ConnectionsItRefusesAndTheOnesItTakes) {
    ASSERT_NE(Connect(Video(MEDIASUBTYPE_RGB24, 4, 2, 24, false)), S_OK);
    EXPECT_EQ(CountLogged("Connection with non-fixed-size-samples is not acceptable"), 1u);
    EXPECT_FALSE(target->InputPin()->IsConnected());

    struct Case {
        CMediaType type;
        HRESULT result;
        const char* line;
    };
    CMediaType text(&MEDIATYPE_Text);
    const Case cases[] = {
        {text, E_INVALIDARG, "Tried to connect non-video data to ZYL Direct Show Target Filter."},
        {Video(MEDIASUBTYPE_RGB24, 4, 2, 24, false), E_INVALIDARG,
         "Connection with non-fixed-size-samples is not acceptable"},
        {Video(MEDIASUBTYPE_RGB24, 4, 2, 24), S_OK,
         "Connection to RGB24 video stream accepted by ZYL Direct Show Target."},
        {Video(MEDIASUBTYPE_RGB32, 4, 2, 32), S_OK,
         "Connection to RGB32 video stream accepted by ZYL Direct Show Target."},
        {Video(MEDIASUBTYPE_NV12, 4, 2, 12), E_INVALIDARG,
         "Connection failed because no appropriate video subtype was available."},
        {Video(kYUY2, 4, 2, 12), E_INVALIDARG,
         "Connection failed because no appropriate video subtype was available."},
    };
    for (const Case& c : cases) {
        const auto logged = log->messages().size();
        EXPECT_EQ(target->CheckMediaType(&c.type), c.result) << c.line;
        const auto messages = log->messages();
        ASSERT_EQ(messages.size(), logged + 1) << "every outcome is logged once: " << c.line;
        EXPECT_EQ(messages.back().text, c.line);
        EXPECT_EQ(messages.back().level, qnLogging::level::info);
    }
    ASSERT_EQ(Connect(Video(MEDIASUBTYPE_RGB32, 4, 2, 32)), S_OK);
}

TEST_F(VideoTarget, NV12IsTakenOnlyWhenForcedAndThenExactlyItsLumaIsCopied) {
    const CMediaType nv12 = Video(MEDIASUBTYPE_NV12, 4, 2, 12);
    ASSERT_NE(Connect(nv12), S_OK);
    EXPECT_EQ(CountLogged("Connection failed because no appropriate video subtype was available."),
              1u);
    target->SetForceNV12ToMono8(true);
    ASSERT_EQ(Connect(nv12), S_OK);
    EXPECT_EQ(CountLogged("Connection to NV12 video stream accepted by ZYL Direct Show Target."),
              1u);
    auto ring = MakeRing(2, 8, 0x00);  // Mono8: one byte per pixel
    Hand(ring, nv12);
    ASSERT_TRUE(SUCCEEDED(graph->control->Run())) << "S_FALSE while the renderer waits";
    const std::vector<BYTE> luma = {10, 11, 12, 13, 20, 21, 22, 23};
    std::vector<BYTE> frame = luma;
    frame.insert(frame.end(), {0xC0, 0xC1, 0xC2, 0xC3});  // the interleaved chroma
    ASSERT_EQ(graph->Send(frame, 12), S_OK);
    EXPECT_TRUE(graph->EndAndComplete());
    EXPECT_EQ(Element(*ring, 0), luma);
    EXPECT_EQ(Element(*ring, 1), std::vector<BYTE>(8, 0x00)) << "the chroma went nowhere";
}

TEST_F(VideoTarget, WithEveryElementLockedEachFrameIsDroppedAndTheStreamStillEnds) {
    const CMediaType type = Video(MEDIASUBTYPE_RGB32, 1, 2, 8);
    ASSERT_EQ(Connect(type), S_OK);
    auto ring = MakeRing(2, 8);
    Hand(ring, type);
    ASSERT_TRUE(SUCCEEDED(graph->control->Run())) << "S_FALSE while the renderer waits";
    // No consumer: the two frames committed stay locked.
    ASSERT_EQ(graph->Send({1, 1, 1, 1, 1, 1, 1, 1}, 8), S_OK);
    ASSERT_EQ(graph->Send({2, 2, 2, 2, 2, 2, 2, 2}, 8), S_OK);
    ASSERT_TRUE(ring->IsLocked(0) && ring->IsLocked(1));
    EXPECT_EQ(CountLogged(kNoFreeElement), 0u);
    for (BYTE n = 3; n < 6; ++n)
        EXPECT_EQ(graph->Send(std::vector<BYTE>(8, n), 8), S_OK) << "the graph streams on";
    EXPECT_EQ(CountLogged(kNoFreeElement), 3u) << "one warning per dropped frame";
    for (const auto& m : log->messages()) {
        if (m.text == kNoFreeElement) {
            EXPECT_EQ(m.level, qnLogging::level::warn);
        }
    }
    IMediaSample* sample = nullptr;
    ASSERT_EQ(graph->source->pin().GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(target->DoRenderSample(sample), E_OUTOFMEMORY);
    sample->Release();
    EXPECT_TRUE(graph->EndAndComplete());
    EXPECT_EQ(Element(*ring, 0), std::vector<BYTE>(8, 1)) << "the ring buffer is unchanged";
    EXPECT_EQ(Element(*ring, 1), std::vector<BYTE>(8, 2));
    EXPECT_EQ(ring->GetUnreadCount(), 2u);
}

TEST_F(VideoTarget, ASampleBeforeTheRingBufferIsRefusedAndCopiesNothing) {
    const CMediaType type = Video(MEDIASUBTYPE_RGB32, 1, 2, 8);
    ASSERT_EQ(Connect(type), S_OK);
    ASSERT_TRUE(SUCCEEDED(graph->control->Run())) << "S_FALSE while the renderer waits";
    ASSERT_EQ(graph->Send(std::vector<BYTE>(8, 7), 8), S_OK);
    EXPECT_EQ(CountLogged(kNoRingBuffer), 1u);
    EXPECT_TRUE(Arrivals().empty()) << "refused before it is counted";
    IMediaSample* sample = nullptr;
    ASSERT_EQ(graph->source->pin().GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(target->DoRenderSample(sample), E_UNEXPECTED);
    sample->Release();
    auto ring = MakeRing(1, 8);
    Hand(ring, type);
    ASSERT_EQ(graph->Send(std::vector<BYTE>(8, 9), 8), S_OK);
    EXPECT_TRUE(graph->EndAndComplete());
    EXPECT_EQ(Element(*ring, 0), std::vector<BYTE>(8, 9)) << "only the frame after the hand-over";
    EXPECT_EQ(target->DoRenderSample(nullptr), E_POINTER);
}

TEST_F(VideoTarget, ASampleWithoutMemoryIsDroppedAndItsElementStaysFree) {
    auto ring = MakeRing(1, 8);
    Hand(ring, Video(MEDIASUBTYPE_RGB32, 1, 2, 8));
    PointerlessSample broken;
    EXPECT_FALSE(SUCCEEDED(target->DoRenderSample(&broken)));
    EXPECT_EQ(CountLogged("Unable to retrieve sample base pointer"), 1u);
    EXPECT_EQ(Logged(qnLogging::level::err).size(), 1u);
    EXPECT_EQ(ring->GetUnreadCount(), 0u) << "nothing published";
    EXPECT_FALSE(ring->IsLocked(0));
    EXPECT_EQ(Element(*ring, 0), std::vector<BYTE>(8, 0x55)) << "nothing copied";
}

TEST_F(VideoTarget, WhatAClientReadsFromTheFilter) {
    LPWSTR vendor = nullptr;
    ASSERT_EQ(target->QueryVendorInfo(&vendor), S_OK);
    EXPECT_STREQ(vendor, L"Quarnet GmbH");
    CoTaskMemFree(vendor);
    CLSID clsid{};
    ASSERT_EQ(target->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, COM::CLSID_ZYLDirectShowTarget);
    HRESULT hr = S_OK;
    CUnknown* created = COM::CDShowTarget::CreateInstance(nullptr, &hr);
    EXPECT_EQ(CountLogged("Create CDShow target filter"), 1u);
    created->NonDelegatingAddRef();
    EXPECT_EQ(created->NonDelegatingRelease(), 0u);
    EXPECT_EQ(CountLogged("Final release of CDShowTarget object occured"), 1u);
}
