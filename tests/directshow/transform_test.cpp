// A transform written on CTransformFilter between the push source and a recording renderer:
// the graph puts it in between by intelligent connect, samples pass through it changed, and
// end of stream and seeking flushes travel through it.
#include "directshow/transform.h"

#include <gtest/gtest.h>

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
