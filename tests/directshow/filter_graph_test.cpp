// The filter graph manager with a push source and a recording renderer: building, running,
// events, seeking, looping by rewinding, running unclocked, and concurrent control.
#include "directshow/filter_graph.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <thread>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/platform_classes.h"
#include "directshow/push_source.h"
#include "directshow/registration.h"
#include "directshow/renderer.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

using namespace zyl::test;

namespace {

class Graph : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        dshow::RegisterPlatformClasses();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        ASSERT_EQ(graph.As(control, IID_IMediaControl), S_OK);
        ASSERT_EQ(graph.As(events, IID_IMediaEventEx), S_OK);
        ASSERT_EQ(graph.As(seeking, IID_IMediaSeeking), S_OK);
        source = Make<PushSource>();
        recorder = Make<RecordingRenderer>();
    }
    void TearDown() override {
        control.Reset();
        events.Reset();
        seeking.Reset();
        graph.Reset();  // the graph stops and lets go of its filters
        source->Release();
        recorder->Release();
        EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "no object or reference left behind";
        CoUninitialize();
    }
    void Build() {
        ASSERT_EQ(graph->AddFilter(recorder, L"Recorder"), S_OK);
        ASSERT_EQ(graph->AddFilter(source, L"Source"), S_OK);
        ASSERT_EQ(graph->Render(&source->pin()), S_OK);
    }
    LONG WaitForEvent(LONG wanted, LONG milliseconds = 5000) {
        for (;;) {
            LONG code;
            LONG_PTR p1, p2;
            if (FAILED(events->GetEvent(&code, &p1, &p2, milliseconds)))
                return -1;
            events->FreeEventParams(code, p1, p2);
            if (code == wanted)
                return code;
        }
    }
    const LONG before = CBaseObject::ObjectsActive();
    zyl::test::TempDir registryDir;
    zyl::test::ScopedEnv registry{"ZYLON_REGISTRY", registryDir.file("r.reg")};
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<IMediaSeeking> seeking;
    PushSource* source = nullptr;
    RecordingRenderer* recorder = nullptr;
};

}  // namespace

TEST_F(Graph, FiltersNamesAndRendering) {
    EXPECT_EQ(graph->AddFilter(recorder, L"Same"), S_OK);
    EXPECT_EQ(graph->AddFilter(source, L"Same"), VFW_S_DUPLICATE_NAME);
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"Same 0001", found.Put()), S_OK);
    EXPECT_EQ(found.Get(), static_cast<IBaseFilter*>(source));
    ComPtr<IEnumFilters> all;
    ASSERT_EQ(graph->EnumFilters(all.Put()), S_OK);
    IBaseFilter* listed[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(all->Next(3, listed, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(listed[0], static_cast<IBaseFilter*>(recorder)) << "in the order added";
    listed[0]->Release();
    listed[1]->Release();
    EXPECT_EQ(graph->Render(&source->pin()), S_OK);
    EXPECT_TRUE(recorder->InputPin()->IsConnected());
    EXPECT_EQ(graph->RemoveFilter(recorder), S_OK);
    EXPECT_FALSE(source->pin().IsConnected()) << "removing a filter disconnects it";
    EXPECT_EQ(graph->Render(&source->pin()), VFW_E_CANNOT_RENDER);
    ComPtr<IBasicAudio> audio;
    ASSERT_EQ(graph.As(audio, IID_IBasicAudio), S_OK);
    LONG volume;
    EXPECT_EQ(audio->get_Volume(&volume), E_NOTIMPL) << "no audio renderer in the graph";
}

TEST_F(Graph, RunsToTheEndAndLoopsByRewinding) {
    Build();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    EXPECT_EQ(recorder->Frames(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    LONGLONG zero = 0;
    ASSERT_EQ(seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning),
              S_OK);
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE) << "the second round ends too";
    EXPECT_EQ(recorder->Frames().size(), 20u);
    EXPECT_EQ(recorder->Frames()[10], 0);
    control->Stop();
}

TEST_F(Graph, SeekingFlushesAndNothingStaleFollows) {
    Build();
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    LONGLONG frames = 0;
    seeking->GetDuration(&frames);
    EXPECT_EQ(frames, 10);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    while (recorder->Frames().size() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    LONGLONG seven = 7;
    ASSERT_EQ(seeking->SetPositions(&seven, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning),
              S_OK);
    const std::size_t atSeek = recorder->Frames().size();
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    const auto shown = recorder->Frames();
    ASSERT_GT(shown.size(), atSeek);
    EXPECT_EQ(std::vector<int>(shown.begin() + static_cast<long>(atSeek), shown.end()),
              (std::vector<int>{7, 8, 9}));
    EXPECT_EQ(seeking->SetRate(20.0), E_INVALIDARG);
    EXPECT_EQ(seeking->SetRate(2.0), S_OK);
    double rate = 0;
    seeking->GetRate(&rate);
    EXPECT_EQ(rate, 2.0);
}

TEST_F(Graph, UnclockedGraphsRunAsFastAsTheyCan) {
    Build();
    ComPtr<IMediaFilter> filter;
    ASSERT_EQ(graph.As(filter, IID_IMediaFilter), S_OK);
    ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300))
        << "400 ms of frames without waiting for the clock";
    EXPECT_EQ(recorder->Frames().size(), 10u);
}

TEST_F(Graph, PauseCompletesWithThePosterAndStateChangesFromTwoThreads) {
    Build();
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    OAFilterState state;
    EXPECT_EQ(control->GetState(5000, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) {
            control->Run();
            control->Pause();
        }
    });
    for (int i = 0; i < 20; ++i) {
        LONGLONG zero = 0;
        seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr,
                              AM_SEEKING_NoPositioning);
        control->Stop();
        control->Run();
    }
    other.join();
    control->Stop();
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
}

TEST_F(Graph, ReleasedWhileRunning) {
    Build();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // TearDown drops the graph now, mid-stream.
}

TEST_F(Graph, RenderFileFindsTheSourceForTheExtension) {
    ASSERT_TRUE(zyl::platform::editRegistry(
        registryDir.file("r.reg"),
        [](zyl::platform::RegistryDocument& doc) {
            doc.setValue("HKEY_CLASSES_ROOT\\Media Type\\Extensions\\.testsrc", "Source Filter",
                         zyl::platform::RegValue::string(GuidToString(CLSID_PushSource)));
        },
        nullptr));
    com::RegisterPlatformClass(CLSID_PushSource, [](REFIID riid, void** factory) {
        struct Factory final : IClassFactory {
            HRESULT QueryInterface(REFIID, void** o) override {
                *o = this;
                return S_OK;
            }
            ULONG AddRef() override { return 2; }
            ULONG Release() override { return 1; }
            HRESULT CreateInstance(IUnknown*, REFIID iid, void** o) override {
                PushSource* made = Make<PushSource>();
                const HRESULT hr = made->NonDelegatingQueryInterface(iid, o);
                made->Release();
                return hr;
            }
            HRESULT LockServer(BOOL) override { return S_OK; }
            virtual ~Factory() = default;
        };
        static Factory instance;
        return instance.QueryInterface(riid, factory);
    });
    ASSERT_EQ(graph->AddFilter(recorder, L"Recorder"), S_OK);
    EXPECT_EQ(graph->RenderFile(L"/clips/a.testsrc", nullptr), S_OK);
    ComPtr<IBaseFilter> added;
    ASSERT_EQ(graph->FindFilterByName(L"/clips/a.testsrc", added.Put()), S_OK);
    EXPECT_TRUE(recorder->InputPin()->IsConnected());
    EXPECT_EQ(graph->RenderFile(L"/clips/a.unknown", nullptr), VFW_E_NOT_FOUND)
        << "an extension nobody claims is probed, and there is no file to probe";
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    control->Stop();
    com::RegisterPlatformClass(CLSID_PushSource, nullptr);  // later tests find the module's
}

TEST_F(Graph, RegisteredModulesProvideSourcesAndRenderersByMerit) {
    const std::string module = std::string(ZYLAVI_TEST_FAKES) + "/libdshow_test_filters.so";
    void* library = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto reg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(library, "DllRegisterServer"));
    ASSERT_EQ(reg(), S_OK);
    const auto registered = dshow::RegisteredFilters();
    ASSERT_EQ(registered.size(), 2u);
    EXPECT_EQ(registered[0].name, L"ZYL Test Renderer") << "highest merit first";
    EXPECT_EQ(registered[0].pins.at(0).types.at(0).second, MEDIASUBTYPE_RGB32);
    // Nothing is in the graph: the source comes from the extension, the renderer by merit.
    EXPECT_EQ(graph->RenderFile(L"/clips/b.testsrc", nullptr), S_OK);
    ComPtr<IBaseFilter> renderer;
    EXPECT_EQ(graph->FindFilterByName(L"ZYL Test Renderer", renderer.Put()), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    control->Stop();
    renderer.Reset();
    auto unreg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(library, "DllUnregisterServer"));
    EXPECT_EQ(unreg(), S_OK);
    EXPECT_TRUE(dshow::RegisteredFilters().empty());
    dlclose(library);
}

TEST_F(Graph, RunningARunningGraphChangesNothing) {
    Build();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    while (recorder->Frames().size() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const REFERENCE_TIME start = recorder->StartTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(control->Run(), S_OK);
    EXPECT_EQ(recorder->StartTime(), start) << "stream time goes on";
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    EXPECT_EQ(recorder->Frames(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    control->Stop();
}

TEST_F(Graph, CurrentPositionIsWhatWasRenderedNotWhatWasRead) {
    source->readAhead = 3;
    Build();
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    control->Pause();
    OAFilterState state;
    ASSERT_EQ(control->GetState(5000, &state), S_OK);
    LONGLONG position = -1;
    ASSERT_EQ(seeking->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 0) << "paused on the first frame";
    LONGLONG five = 5;
    ASSERT_EQ(seeking->SetPositions(&five, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning),
              S_OK);
    ASSERT_EQ(seeking->GetCurrentPosition(&position), S_OK);
    EXPECT_EQ(position, 5);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    while (recorder->Frames().size() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    const int shown = recorder->Frames().back();
    ASSERT_EQ(seeking->GetCurrentPosition(&position), S_OK);
    EXPECT_GE(position, shown) << "never behind what was shown";
    control->Stop();
}

TEST_F(Graph, SetRateWhileRunningTakesEffectAtOnce) {
    PushSource* longer = Make<PushSource>(1000);
    source->Release();
    source = longer;
    Build();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    while (recorder->Frames().size() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(seeking->SetRate(4.0), S_OK);
    for (int i = 0; i < 500 && recorder->InputPin()->CurrentRate() != 4.0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(recorder->InputPin()->CurrentRate(), 4.0) << "a new segment at the new rate";
    double rate = 0;
    EXPECT_EQ(seeking->GetRate(&rate), S_OK);
    EXPECT_EQ(rate, 4.0);
    const auto frames = recorder->Frames();
    for (std::size_t i = 1; i < frames.size(); ++i)
        EXPECT_GE(frames[i], frames[i - 1]) << "no frame from before the change after it";
    control->Stop();
}

TEST_F(Graph, ConnectingToAConnectedInputFailsAndKeepsTheConnection) {
    Build();
    SourceFilter* other = Make<SourceFilter>();
    other->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
    ASSERT_EQ(graph->AddFilter(other, L"Other"), S_OK);
    EXPECT_EQ(other->pin().Connect(recorder->InputPin(), nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(graph->Connect(&other->pin(), recorder->InputPin()), VFW_E_ALREADY_CONNECTED);
    ComPtr<IPin> peer;
    ASSERT_EQ(recorder->InputPin()->ConnectedTo(peer.Put()), S_OK);
    EXPECT_EQ(peer.Get(), static_cast<IPin*>(&source->pin()));
    EXPECT_FALSE(other->pin().IsConnected());
    other->Release();
}

TEST_F(Graph, UnconnectedRenderersDoNotHoldUpCompletion) {
    Build();
    RecordingRenderer* idle = Make<RecordingRenderer>();
    ASSERT_EQ(graph->AddFilter(idle, L"Idle"), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    control->Stop();
    idle->Release();
}

TEST_F(Graph, PauseSaysWhenItIsNotCompleteAndGetStateWaitsOnceForTheGraph) {
    // Sources that never deliver: each renderer waits for its first sample.
    std::vector<SourceFilter*> sources;
    std::vector<RecordingRenderer*> renderers;
    for (int i = 0; i < 3; ++i) {
        sources.push_back(Make<SourceFilter>());
        renderers.push_back(Make<RecordingRenderer>());
        sources.back()->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
        ASSERT_EQ(graph->AddFilter(renderers.back(), (L"R" + std::to_wstring(i)).c_str()), S_OK);
        ASSERT_EQ(graph->AddFilter(sources.back(), (L"S" + std::to_wstring(i)).c_str()), S_OK);
        ASSERT_EQ(graph->Render(&sources.back()->pin()), S_OK);
    }
    EXPECT_EQ(control->Pause(), S_FALSE);
    OAFilterState state;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(control->GetState(300, &state), VFW_S_STATE_INTERMEDIATE);
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(state, State_Paused);
    EXPECT_LT(waited, std::chrono::milliseconds(800)) << "one time-out, not one per renderer";
    EXPECT_EQ(control->Run(), S_FALSE);
    control->Stop();
    graph.Reset();
    for (auto* f : sources)
        f->Release();
    for (auto* f : renderers)
        f->Release();
}

TEST(GraphCodes, StateErrorsHaveTheirWindowsValues) {
    EXPECT_EQ(static_cast<std::uint32_t>(VFW_E_NOT_PAUSED), 0x80040225u);
    EXPECT_EQ(static_cast<std::uint32_t>(VFW_E_NOT_RUNNING), 0x80040226u);
    EXPECT_EQ(static_cast<std::uint32_t>(VFW_E_NOT_STOPPED), 0x80040224u);
}
