// A transform written on CTransformFilter between the push source and a recording renderer:
// the graph puts it in between by intelligent connect, samples pass through it changed, the end
// of the stream follows them, and streaming calls keep their order through it.
#include "directshow/transform.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "directshow/graph_fixture.h"

using namespace zyl::test;

namespace {

using Transform = GraphTest;

}  // namespace

TEST_F(Transform, IntelligentConnectPutsItInBetween) {
    auto* source = Add<PushSource>(L"source", 5);
    auto* middle = Add<TenTimes>(L"ten times");
    auto* recorder = Add<RecordingRenderer>(L"recorder", MEDIASUBTYPE_RGB24);
    EXPECT_TRUE(FAILED(middle->Output()->Connect(recorder->InputPin(), nullptr))) << "input first";
    ASSERT_EQ(graph->Connect(&source->pin(), recorder->InputPin()), S_OK);
    EXPECT_TRUE(middle->Input()->IsConnected());
    EXPECT_EQ(*middle->Output()->CurrentMediaType().Subtype(), MEDIASUBTYPE_RGB24);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    LONG code = 0;
    EXPECT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE) << "the end of the stream passed through the transform";
    EXPECT_EQ(recorder->Frames(), (std::vector<int>{0, 10, 20, 30, 40}));
}

namespace {

// A transform whose Transform waits until the test lets it go.
class HeldTransform final : public CTransformFilter {
public:
    HeldTransform() : CTransformFilter(L"held", nullptr, GUID_NULL) {}
    HRESULT CheckInputType(const CMediaType*) override { return S_OK; }
    HRESULT CheckTransform(const CMediaType*, const CMediaType*) override { return S_OK; }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = VideoType(MEDIASUBTYPE_RGB32, 8, 8);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{2, 8 * 8 * 4, 1, 0}, actual{};
        return allocator->SetProperties(&request, &actual);
    }
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
        {
            std::unique_lock lock(mutex);
            inside = true;
            changed.notify_all();
            changed.wait(lock, [this] { return released; });
        }
        BYTE *from = nullptr, *to = nullptr;
        in->GetPointer(&from);
        out->GetPointer(&to);
        std::memcpy(to, from, 8);  // a packet: the number and the key flag
        return S_OK;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool released = false;
};

}  // namespace

TEST_F(Transform, StreamingCallsDoNotOvertakeASampleOnItsWay) {
    auto* source = Add<SourceFilter>(L"source");
    auto* held = Add<HeldTransform>(L"held");
    auto* sink = Add<RecordingSink>(L"sink");
    source->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
    ASSERT_EQ(graph->ConnectDirect(&source->pin(), held->Input(), nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(held->Output(), &sink->pin(), nullptr), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    std::thread streamer([&] { source->pin().Send(1, 0, 1); });
    {
        std::unique_lock lock(held->mutex);
        held->changed.wait(lock, [&] { return held->inside; });
    }
    // From another thread, as a second stream of the same source would: they must wait.
    std::thread ender([&] {
        held->Input()->NewSegment(0, 10, 1.0);
        held->Input()->EndOfStream();
    });
    // Deliberate: gives the ender the time to overtake, were it able to.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard lock(held->mutex);
        held->released = true;
    }
    held->changed.notify_all();
    streamer.join();
    ender.join();
    using Kind = PinEvent::Kind;
    std::vector<Kind> order;
    for (const PinEvent& e : sink->pin().Events())
        order.push_back(e.kind);
    EXPECT_EQ(order, (std::vector<Kind>{Kind::Sample, Kind::NewSegment, Kind::EndOfStream}));
}
