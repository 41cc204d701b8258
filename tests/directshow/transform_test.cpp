// A transform written on CTransformFilter between the push source and a recording renderer:
// the graph puts it in between by intelligent connect, samples pass through it changed, and
// end of stream and seeking flushes travel through it.
#include "directshow/transform.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/platform_classes.h"
#include "directshow/push_source.h"
#include "directshow/renderer.h"
#include "support/temp_dir.h"

using namespace zyl::test;

namespace {

// Turns RGB32 frames into RGB24 frames carrying ten times the frame number.
class TenTimes final : public CTransformFilter {
public:
    TenTimes() : CTransformFilter(L"ten times", nullptr, GUID_NULL) {}
    HRESULT CheckInputType(const CMediaType* type) override {
        return *type->Subtype() == MEDIASUBTYPE_RGB32 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT CheckTransform(const CMediaType*, const CMediaType* out) override {
        return *out->Subtype() == MEDIASUBTYPE_RGB24 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = VideoType(MEDIASUBTYPE_RGB24, 8, 8);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{2, 8 * 8 * 3, 1, 0}, actual{};
        return allocator->SetProperties(&request, &actual);
    }
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
        BYTE *from = nullptr, *to = nullptr;
        in->GetPointer(&from);
        out->GetPointer(&to);
        int number;
        std::memcpy(&number, from, sizeof number);
        number *= 10;
        std::memcpy(to, &number, sizeof number);
        return S_OK;
    }
};

}  // namespace

TEST(Transform, IntelligentConnectPutsItInBetween) {
    const LONG before = CBaseObject::ObjectsActive();
    zyl::test::TempDir dir;
    zyl::test::ScopedEnv registry("ZYLON_REGISTRY", dir.file("r.reg"));
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    dshow::RegisterPlatformClasses();
    {
        ComPtr<IGraphBuilder> graph;
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_ALL, IID_IGraphBuilder,
                                   graph.PutVoid()),
                  S_OK);
        auto* source = Make<PushSource>(5);
        auto* middle = Make<TenTimes>();
        auto* recorder = Make<RecordingRenderer>(MEDIASUBTYPE_RGB24);
        graph->AddFilter(source, L"source");
        graph->AddFilter(middle, L"ten times");
        graph->AddFilter(recorder, L"recorder");
        EXPECT_TRUE(FAILED(middle->Output()->Connect(recorder->InputPin(), nullptr)))
            << "input first";
        ASSERT_EQ(graph->Connect(&source->pin(), recorder->InputPin()), S_OK);
        EXPECT_TRUE(middle->Input()->IsConnected());
        EXPECT_EQ(*middle->Output()->CurrentMediaType().Subtype(), MEDIASUBTYPE_RGB24);
        ComPtr<IMediaControl> control;
        ComPtr<IMediaEventEx> events;
        graph.As(control, IID_IMediaControl);
        graph.As(events, IID_IMediaEventEx);
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        LONG code = 0;
        EXPECT_EQ(events->WaitForCompletion(5000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE) << "the end of the stream passed through the transform";
        EXPECT_EQ(recorder->Frames(), (std::vector<int>{0, 10, 20, 30, 40}));
        control->Stop();
        source->Release();
        middle->Release();
        recorder->Release();
    }
    CoUninitialize();
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
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
        std::memcpy(to, from, sizeof(int));
        return S_OK;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool released = false;
};

// Records the order in which samples and the end of the stream arrive.
class OrderPin final : public CBaseInputPin {
public:
    OrderPin(CBaseFilter* filter, CCritSec* lock)
        : CBaseInputPin(L"order pin", filter, lock, nullptr, L"In") {}
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT Receive(IMediaSample* sample) override {
        if (HRESULT hr = CBaseInputPin::Receive(sample); hr != S_OK)
            return hr;
        std::lock_guard lock(mutex);
        order.push_back("sample");
        return S_OK;
    }
    HRESULT EndOfStream() override {
        std::lock_guard lock(mutex);
        order.push_back("end");
        return S_OK;
    }
    HRESULT NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override {
        std::lock_guard lock(mutex);
        order.push_back("segment");
        return S_OK;
    }
    std::mutex mutex;
    std::vector<std::string> order;
};

class OrderSink final : public CBaseFilter {
public:
    OrderSink() : CBaseFilter(L"order sink", nullptr, &m_lock, GUID_NULL), pin(this, &m_lock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &pin : nullptr; }
    CCritSec m_lock;
    OrderPin pin;
};

}  // namespace

TEST(Transform, StreamingCallsDoNotOvertakeASampleOnItsWay) {
    const LONG before = CBaseObject::ObjectsActive();
    auto* source = Make<SourceFilter>();
    auto* held = Make<HeldTransform>();
    auto* sink = Make<OrderSink>();
    source->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
    ASSERT_EQ(source->pin().Connect(held->Input(), nullptr), S_OK);
    ASSERT_EQ(held->Output()->Connect(&sink->pin, nullptr), S_OK);
    sink->Pause();
    held->Pause();
    source->Pause();
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
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard lock(held->mutex);
        held->released = true;
    }
    held->changed.notify_all();
    streamer.join();
    ender.join();
    EXPECT_EQ(sink->pin.order, (std::vector<std::string>{"sample", "segment", "end"}));
    source->Stop();
    held->Stop();
    sink->Stop();
    source->pin().Disconnect();
    held->Input()->Disconnect();
    held->Output()->Disconnect();
    sink->pin.Disconnect();
    source->Release();
    held->Release();
    sink->Release();
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}
