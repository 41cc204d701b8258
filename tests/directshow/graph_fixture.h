// The engine tests' fixtures: filters a test owns, let go and checked for leaks at the end; and a
// filter graph manager with its control, events, seeking and a registry of its own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/filter_graph.h"
#include "directshow/platform_classes.h"
#include "directshow/push_source.h"
#include "directshow/test_filters.h"
#include "support/temp_dir.h"

namespace zyl::test {

// The numbers [from, to).
inline std::vector<int> Range(int from, int to) {
    std::vector<int> r;
    for (int i = from; i < to; ++i)
        r.push_back(i);
    return r;
}

// Filters a test owns, downstream first: stopped in that order as a graph stops them, then the
// test's streaming threads joined, the pins unwired, the filters released and nothing left.
class OwnedFilters : public ::testing::Test {
protected:
    void TearDown() override {
        for (CBaseFilter* f : owned)
            f->Stop();
        JoinStreamers();
        for (CBaseFilter* f : owned) {
            for (int i = 0; i < f->GetPinCount(); ++i)
                f->GetPin(i)->Disconnect();
            f->JoinFilterGraph(nullptr, nullptr);
        }
        for (CBaseFilter* f : owned)
            f->Release();
        EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "no object or reference left behind";
    }
    template <class F, class... Args>
    F* Own(Args&&... args) {
        F* filter = Make<F>(std::forward<Args>(args)...);
        owned.push_back(filter);
        return filter;
    }
    void JoinStreamers() {
        for (std::thread& t : streamers)
            t.join();
        streamers.clear();
    }

    LONG before = CBaseObject::ObjectsActive();
    std::vector<CBaseFilter*> owned;
    std::vector<std::thread> streamers;
};

class GraphTest : public OwnedFilters {
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
    }
    void TearDown() override {
        control.Reset();
        events.Reset();
        seeking.Reset();
        graph.Reset();  // the graph stops and lets go of its filters
        OwnedFilters::TearDown();
        CoUninitialize();
    }
    // Makes a filter the test owns and adds it to the graph under `name`.
    template <class F, class... Args>
    F* Add(const wchar_t* name, Args&&... args) {
        F* filter = Own<F>(std::forward<Args>(args)...);
        EXPECT_EQ(graph->AddFilter(filter, name), S_OK);
        return filter;
    }
    // A source that never delivers, rendered by a recording renderer of its own.
    RecordingRenderer* AddSilentStream(const std::wstring& name) {
        auto* silent = Add<SourceFilter>((name + L" source").c_str());
        auto* renderer = Add<RecordingRenderer>((name + L" renderer").c_str());
        silent->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
        EXPECT_EQ(graph->Render(&silent->pin()), S_OK);
        return renderer;
    }
    void Unclocked() {
        ComPtr<IMediaFilter> filter;
        ASSERT_EQ(graph.As(filter, IID_IMediaFilter), S_OK);
        ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    }
    // The wanted event, or -1 when none came within the time-out.
    LONG WaitForEvent(LONG wanted, LONG milliseconds = 10000) {
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
    HRESULT SeekTo(LONGLONG position) {
        return seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                     AM_SEEKING_NoPositioning);
    }
    LONGLONG Position() {
        LONGLONG position = -1;
        EXPECT_EQ(seeking->GetCurrentPosition(&position), S_OK);
        return position;
    }
    HRESULT WaitForState(LONG milliseconds, OAFilterState expected) {
        OAFilterState state = -1;
        const HRESULT hr = control->GetState(milliseconds, &state);
        EXPECT_EQ(state, expected);
        return hr;
    }
    TempDir dir;
    ScopedEnv registry{"ZYLON_REGISTRY", dir.file("r.reg")};
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<IMediaSeeking> seeking;
};

}  // namespace zyl::test
