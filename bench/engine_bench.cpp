// The engine's per-frame path: a source on the source base pushes small frames from its
// streaming thread through an unclocked graph into a renderer on the renderer base, so what is
// measured is the engine's own cost per frame. Figures: frames per second against the least
// the same work costs on one thread (a pooled buffer taken under a lock, written, handed to a
// consumer, given back), and heap allocations per frame in steady state (must be 0).
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "bench_util.h"
#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/filter_graph.h"
#include "directshow/platform_classes.h"
#include "directshow/renderer.h"
#include "directshow/source_seeking.h"

namespace {

constexpr int kFrames = 200000;
constexpr int kDepth = 3;
constexpr LONG kFrameBytes = 64;
constexpr REFERENCE_TIME kFrameTime = 10 * MILLISECONDS;

CMediaType FrameType() {
    CMediaType type(&MEDIATYPE_Video);
    type.SetSubtype(&MEDIASUBTYPE_RGB32);
    type.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = kFrameTime;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 4;
    vih.bmiHeader.biHeight = 4;
    vih.bmiHeader.biBitCount = 32;
    type.SetFormat(reinterpret_cast<BYTE*>(&vih), sizeof vih);
    type.lSampleSize = kFrameBytes;
    return type;
}

class Pin final : public CSourceSeekingStream {
public:
    explicit Pin(CSource* filter) : CSourceSeekingStream(L"bench pin", nullptr, filter, L"Out") {
        m_rtDuration = m_rtStop = kFrames * kFrameTime;
        SetFrameTime(kFrameTime);
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position != 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = FrameType();
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{kDepth, kFrameBytes, 1, 0}, actual{};
        return allocator->SetProperties(&request, &actual);
    }

protected:
    HRESULT FillBuffer(IMediaSample* sample) override {
        const REFERENCE_TIME start = m_next * kFrameTime;
        if (IsAtOrPastStop(start))
            return S_FALSE;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memcpy(data, &m_next, sizeof m_next);
        ++m_next;
        return StampSample(sample, start, start + kFrameTime);
    }
    HRESULT OnSeek(REFERENCE_TIME start) override {
        m_next = static_cast<int>(start / kFrameTime);
        return S_OK;
    }

private:
    int m_next = 0;
};

class Source final : public CSource {
public:
    Source() : CSource(L"bench source", nullptr, GUID_NULL) { new Pin(this); }
};

class Counter final : public CBaseRenderer {
public:
    Counter() : CBaseRenderer(GUID_NULL, L"bench renderer", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Subtype() == MEDIASUBTYPE_RGB32 ? S_OK : S_FALSE;
    }
    HRESULT DoRenderSample(IMediaSample*) override {
        const int n = ++rendered;
        if (n == kFrames / 4)
            allocationsAtQuarter = zyl::bench::Allocations();
        if (n == kFrames * 3 / 4)
            allocationsAtThreeQuarters = zyl::bench::Allocations();
        return S_OK;
    }
    std::atomic<int> rendered{0};
    std::uint64_t allocationsAtQuarter = 0;
    std::uint64_t allocationsAtThreeQuarters = 0;
};

template <class F>
F* Make() {
    F* filter = new F;
    filter->NonDelegatingAddRef();
    return filter;
}

// Frames per second through the graph, and allocations per frame in the middle half.
std::pair<double, double> ThroughGraph() {
    ComPtr<IGraphBuilder> graph;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     graph.PutVoid());
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<IMediaFilter> filter;
    graph.As(control, IID_IMediaControl);
    graph.As(events, IID_IMediaEventEx);
    graph.As(filter, IID_IMediaFilter);
    auto* source = Make<Source>();
    auto* counter = Make<Counter>();
    graph->AddFilter(counter, L"Counter");
    graph->AddFilter(source, L"Source");
    graph->Render(static_cast<IPin*>(source->GetPin(0)));
    filter->SetSyncSource(nullptr);
    const std::int64_t begin = zyl::bench::nowNs();
    control->Run();
    LONG code = 0;
    events->WaitForCompletion(60000, &code);
    const std::int64_t end = zyl::bench::nowNs();
    control->Stop();
    const double perFrame =
        static_cast<double>(counter->allocationsAtThreeQuarters - counter->allocationsAtQuarter) /
        (kFrames / 2.0);
    const double fps = counter->rendered * 1e9 / static_cast<double>(end - begin);
    control.Reset();
    events.Reset();
    filter.Reset();
    graph.Reset();
    source->Release();
    counter->Release();
    return {fps, perFrame};
}

// The least the same work costs on the streaming thread: take a buffer from a pool of the same
// depth under a lock, write the frame number, hand it to a consumer, put it back.
struct Consumer {
    virtual ~Consumer() = default;
    virtual void Take(const std::uint8_t* frame) = 0;
};
struct Counting final : Consumer {
    void Take(const std::uint8_t* frame) override { last = frame[0]; }
    volatile std::uint8_t last = 0;
};

double ThroughPool() {
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> pool(kDepth, std::vector<std::uint8_t>(kFrameBytes));
    std::vector<std::vector<std::uint8_t>*> free;
    for (auto& buffer : pool)
        free.push_back(&buffer);
    Counting counting;
    Consumer* consumer = &counting;
    const std::int64_t begin = zyl::bench::nowNs();
    for (int i = 0; i < kFrames; ++i) {
        std::vector<std::uint8_t>* buffer = nullptr;
        {
            std::lock_guard lock(mutex);
            buffer = free.back();
            free.pop_back();
        }
        std::memcpy(buffer->data(), &i, sizeof i);
        consumer->Take(buffer->data());
        std::lock_guard lock(mutex);
        free.push_back(buffer);
    }
    return kFrames * 1e9 / static_cast<double>(zyl::bench::nowNs() - begin);
}

}  // namespace

int main(int argc, char** argv) {
    const bool json = zyl::bench::wantsJson(argc, argv);
    CoInitialize(nullptr);
    dshow::RegisterPlatformClasses();
    const auto [fps, allocations] = ThroughGraph();
    const double baseline = ThroughPool();
    zyl::bench::report(json, "engine.frames_per_second", fps, "frames/s", baseline,
                       "source thread to renderer, unclocked; baseline: pooled buffer + call");
    zyl::bench::report(json, "engine.allocations_per_frame", allocations, "allocs", 0,
                       "steady state (target 0)");
    CoUninitialize();
    return allocations == 0 ? 0 : 1;
}
