// The filter graph manager with a push source and a recording renderer: building, running,
// events, seeking, looping by rewinding, running unclocked, and concurrent control.
#include "directshow/filter_graph.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <thread>

#include "directshow/graph_fixture.h"
#include "directshow/registration.h"

using namespace zyl::test;

namespace {

class Graph : public GraphTest {
protected:
    void Build(int frames = 10) {
        recorder = Add<RecordingRenderer>(L"Recorder");
        source = Add<PushSource>(L"Source", frames);
        ASSERT_EQ(graph->Render(&source->pin()), S_OK);
    }
    PushSource* source = nullptr;
    RecordingRenderer* recorder = nullptr;
};

}  // namespace

TEST_F(Graph, FiltersNamesAndRendering) {
    recorder = Add<RecordingRenderer>(L"Same");
    source = Make<PushSource>();
    owned.push_back(source);
    EXPECT_EQ(graph->AddFilter(source, L"Same"), VFW_S_DUPLICATE_NAME);
    FILTER_INFO info{};
    ASSERT_EQ(source->QueryFilterInfo(&info), S_OK);
    EXPECT_STRNE(info.achName, L"Same") << "renamed, as VFW_S_DUPLICATE_NAME says";
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(info.achName, found.Put()), S_OK);
    EXPECT_EQ(found.Get(), static_cast<IBaseFilter*>(source));
    info.pGraph->Release();
    ComPtr<IEnumFilters> all;
    ASSERT_EQ(graph->EnumFilters(all.Put()), S_OK);
    IBaseFilter* listed[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(all->Next(3, listed, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_NE(listed[0], listed[1]);
    listed[0]->Release();
    listed[1]->Release();
    EXPECT_EQ(graph->Render(&source->pin()), S_OK);
    EXPECT_TRUE(recorder->InputPin()->IsConnected());
    EXPECT_EQ(graph->RemoveFilter(recorder), S_OK);
    EXPECT_FALSE(source->pin().IsConnected()) << "removing a filter disconnects it";
    EXPECT_EQ(graph->Render(&source->pin()), VFW_E_CANNOT_RENDER);
}

TEST_F(Graph, SeekingFlushesAndNothingStaleFollows) {
    Build();
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(recorder->WaitFor(2));
    ASSERT_EQ(SeekTo(7), S_OK);
    const std::size_t atSeek = recorder->Frames().size();
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    auto shown = recorder->Frames();
    ASSERT_GT(shown.size(), atSeek);
    EXPECT_EQ(std::vector<int>(shown.begin() + static_cast<long>(atSeek), shown.end()),
              (std::vector<int>{7, 8, 9}));

    // Rewinding a running graph at the end of the stream plays it again, to a second end.
    ASSERT_EQ(SeekTo(0), S_OK);
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    const std::size_t firstRound = shown.size();
    shown = recorder->Frames();
    EXPECT_EQ(std::vector<int>(shown.begin() + static_cast<long>(firstRound), shown.end()),
              Range(0, 10));
}

TEST_F(Graph, UnclockedGraphsRunAsFastAsTheyCan) {
    Build();
    Unclocked();
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
    EXPECT_EQ(WaitForState(5000, State_Paused), S_OK);
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) {
            control->Run();
            control->Pause();
        }
    });
    for (int i = 0; i < 20; ++i) {
        SeekTo(0);
        control->Stop();
        control->Run();
    }
    other.join();
    control->Stop();
    EXPECT_EQ(WaitForState(0, State_Stopped), S_OK);
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
    ASSERT_TRUE(recorder->WaitFor(2));
    const REFERENCE_TIME start = recorder->StartTime();
    // Deliberate: the clock moves on, so a second start would show.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(control->Run(), S_OK);
    EXPECT_EQ(recorder->StartTime(), start) << "stream time goes on";
    EXPECT_EQ(WaitForEvent(EC_COMPLETE), EC_COMPLETE);
    EXPECT_EQ(recorder->Frames(), Range(0, 10));
}

TEST_F(Graph, ConnectingToAConnectedInputFailsAndKeepsTheConnection) {
    Build();
    auto* other = Add<SourceFilter>(L"Other");
    other->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
    EXPECT_EQ(other->pin().Connect(recorder->InputPin(), nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(graph->Connect(&other->pin(), recorder->InputPin()), VFW_E_ALREADY_CONNECTED);
    ComPtr<IPin> peer;
    ASSERT_EQ(recorder->InputPin()->ConnectedTo(peer.Put()), S_OK);
    EXPECT_EQ(peer.Get(), static_cast<IPin*>(&source->pin()));
    EXPECT_FALSE(other->pin().IsConnected());
}

TEST_F(Graph, PauseSaysWhenItIsNotCompleteAndGetStateWaitsOnceForTheGraph) {
    // Sources that never deliver: each renderer waits for its first sample.
    for (const wchar_t* name : {L"A", L"B", L"C"})
        AddSilentStream(name);
    EXPECT_EQ(control->Pause(), S_FALSE);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForState(300, State_Paused), VFW_S_STATE_INTERMEDIATE);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(800))
        << "one time-out, not one per renderer";

    // A thread waiting without a time-out is let go by Stop.
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        OAFilterState state;
        control->GetState(static_cast<LONG>(zyl::platform::kInfinite), &state);
        returned = true;
    });
    // Deliberate: gives the waiter time to block; the test holds either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
    control->Stop();
    waiter.join();
    EXPECT_EQ(control->Run(), S_FALSE) << "running goes through the same incomplete pause";
}
