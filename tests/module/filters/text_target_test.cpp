// The text target in a real graph: which connections it takes, every text sample handed to
// each subscriber in cookie order (also when one fails), and samples with nobody listening.
#include <gtest/gtest.h>

#include "module/filters/DShowTextTarget.h"
#include "module/filters/sink_graph.h"

using namespace zyl::test;

namespace {

constexpr const char* kRefused =
    "Tried to connect non-text data to ZYL Direct Show TextTarget Filter.";

std::vector<BYTE> Text(const std::string& text) {
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

class TextTarget : public SinkTest {
protected:
    void SetUp() override {
        SinkTest::SetUp();
        target = Make<COM::CDShowTextTarget>(nullptr, nullptr);
        graph = std::make_unique<SinkGraph>(target);
        ASSERT_EQ(target->FindConnectionPoint(COM::IID_IZYLTextTransfer, point.Put()), S_OK);
    }
    void TearDown() override {
        point.Reset();
        graph.reset();
        target->Release();
        EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "no object or reference left behind";
        SinkTest::TearDown();
    }
    // A text type of some subtype, as splitters label their text streams.
    static CMediaType TextType(const GUID& subtype) {
        CMediaType type(&MEDIATYPE_Text);
        type.SetSubtype(&subtype);
        type.lSampleSize = 32;
        return type;
    }
    // Subscribes a sink owned by its subscription alone.
    DWORD Subscribe(int id, HRESULT answer = S_OK) {
        auto* sink = new TextSink(COM::IID_IZYLTextTransfer, id, recorder, answer);
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(static_cast<COM::CBasicIUnknown*>(sink), &cookie), S_OK);
        sink->Release();
        return cookie;
    }

    const LONG before = CBaseObject::ObjectsActive();
    COM::CDShowTextTarget* target = nullptr;
    std::unique_ptr<SinkGraph> graph;
    ComPtr<IConnectionPoint> point;
    SnapRecorder recorder;
};

}  // namespace

TEST_F(TextTarget, AnyTextSubtypeConnectsAndVideoIsRefused) {
    const CMediaType video = VideoType(MEDIASUBTYPE_RGB32, 4, 2);
    EXPECT_EQ(target->CheckMediaType(&video), E_INVALIDARG);
    EXPECT_EQ(CountLogged(kRefused), 1u);
    ASSERT_NE(graph->Connect(video, target->InputPin()), S_OK);
    EXPECT_EQ(CountLogged(kRefused), 2u);
    for (const GUID& subtype : {GUID_NULL, MEDIASUBTYPE_RGB8, FourCCGuid(0x74787473)}) {
        const CMediaType text = TextType(subtype);
        EXPECT_EQ(target->CheckMediaType(&text), S_OK);
    }
    EXPECT_EQ(log->messages().size(), 2u) << "an accepted text type logs nothing";
    ASSERT_EQ(graph->Connect(TextType(FourCCGuid(0x74787473)), target->InputPin()), S_OK);
    CLSID clsid{};
    ASSERT_EQ(target->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, COM::CLSID_ZYLDirectShowTextTarget);
}

TEST_F(TextTarget, SubscribersAreCalledInCookieOrderAndAFailureStopsNobody) {
    ASSERT_EQ(graph->Connect(TextType(GUID_NULL), target->InputPin()), S_OK);
    // Cookie 1 is freed and taken again by a later subscriber, which is then called before
    // the one holding cookie 2 although it subscribed after it; it fails, the rest still hear.
    EXPECT_EQ(Subscribe(10, E_FAIL), 0u);
    EXPECT_EQ(Subscribe(11), 1u);
    EXPECT_EQ(Subscribe(12), 2u);
    ASSERT_EQ(point->Unadvise(1), S_OK);
    ASSERT_EQ(point->Unadvise(0), S_OK);
    EXPECT_EQ(Subscribe(13, E_FAIL), 1u);
    EXPECT_EQ(Subscribe(14), 3u);
    ASSERT_TRUE(SUCCEEDED(graph->control->Run())) << "S_FALSE while the renderer waits";
    ASSERT_EQ(graph->Send(Text("first"), 6), S_OK);
    ASSERT_EQ(graph->Send(Text("second"), 7), S_OK);
    EXPECT_TRUE(graph->EndAndComplete());
    std::vector<std::pair<int, std::string>> calls;
    for (const auto& call : recorder.Calls())
        calls.emplace_back(call.sink, call.text);
    const std::string first("first\0", 6), second("second\0", 7);
    EXPECT_EQ(
        calls,
        (std::vector<std::pair<int, std::string>>{
            {13, first}, {12, first}, {14, first}, {13, second}, {12, second}, {14, second}}));
}

TEST_F(TextTarget, WithNobodySubscribedASampleIsLoggedAndDropped) {
    ASSERT_EQ(graph->Connect(TextType(GUID_NULL), target->InputPin()), S_OK);
    ASSERT_TRUE(SUCCEEDED(graph->control->Run())) << "S_FALSE while the renderer waits";
    ASSERT_EQ(graph->Send(Text("ab"), 3), S_OK);
    ASSERT_EQ(graph->Send(Text("abcd"), 5), S_OK);
    IMediaSample* sample = nullptr;
    ASSERT_EQ(graph->source->pin().GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
    sample->SetActualDataLength(1);
    EXPECT_EQ(target->DoRenderSample(sample), S_OK);
    sample->Release();
    EXPECT_EQ(target->DoRenderSample(nullptr), E_POINTER);
    EXPECT_TRUE(graph->EndAndComplete());
    std::vector<std::pair<unsigned long long, long>> arrivals;
    for (const auto& text : Logged(qnLogging::level::info)) {
        unsigned long long number = 0;
        long size = 0;
        if (std::sscanf(text.c_str(), "Media sample %llu (size: %ld bytes) arrived.", &number,
                        &size) == 2)
            arrivals.emplace_back(number, size);
    }
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_EQ(arrivals[0].second, 3);
    EXPECT_EQ(arrivals[1].second, 5);
    EXPECT_EQ(arrivals[2].second, 1);
    EXPECT_EQ(arrivals[1].first, arrivals[0].first + 1);
    EXPECT_EQ(arrivals[2].first, arrivals[1].first + 1);
}
