// The media filters on real files: what bench/media_run compares with the ffmpeg command.
//   media_bench decode FILE [--mono] [--subtype rgb32|rgb24] [--copy] [--json]
//       every frame of the first video stream, unclocked, into a renderer that takes what the
//       module's video renderer takes (like ffmpeg's null muxer it drops each frame; --copy
//       copies it first, as the module's renderer copies into the ring buffer); frames, wall
//       and CPU seconds, heap allocations per frame in steady state (operator new, after the
//       first 30 frames)
//   media_bench seek FILE FRAME... [--json]
//       a frame-exact seek to each frame: the time from SetPositions until that frame is
//       rendered (graph paused in between), median and p99
//   media_bench loops FILE N [--json]
//       N plays of the file, each ended by stop, rewind and run; resident memory after the
//       tenth and after the last
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "bench_util.h"
#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/filter_graph.h"
#include "directshow/media/media_filters.h"
#include "directshow/renderer.h"
#include "platform/text.h"

namespace {

using zyl::bench::nowNs;

constexpr CLSID CLSID_BenchRenderer{
    0x6A1F3C70, 0x2B4E, 0x4C19, {0x9E, 0x33, 0x5D, 0x80, 0x17, 0xA2, 0x4B, 0x6E}};

// Takes frames the way the module's video renderer does; with copy it also copies every byte
// once (the ring buffer copy), so the work per frame is the player's.
class BenchRenderer final : public CBaseRenderer {
public:
    BenchRenderer(bool mono, GUID only, bool copy)
        : CBaseRenderer(CLSID_BenchRenderer, L"Bench Renderer", nullptr, nullptr),
          m_mono(mono),
          m_only(only),
          m_copyFrames(copy) {}

    HRESULT CheckMediaType(const CMediaType* type) override {
        if (type->majortype != MEDIATYPE_Video)
            return E_INVALIDARG;
        if (m_only != GUID_NULL && type->subtype != m_only)
            return E_INVALIDARG;
        if (type->subtype == MEDIASUBTYPE_RGB8 || type->subtype == MEDIASUBTYPE_RGB24 ||
            type->subtype == MEDIASUBTYPE_RGB32)
            return S_OK;
        return type->subtype == MEDIASUBTYPE_NV12 && m_mono ? S_OK : E_INVALIDARG;
    }
    HRESULT SetMediaType(const CMediaType* type) override {
        m_copy.assign(type->lSampleSize, 0);
        return S_OK;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const auto length = std::min<std::size_t>(
            m_copy.size(), static_cast<std::size_t>(sample->GetActualDataLength()));
        if (m_copyFrames)
            std::memcpy(m_copy.data(), data, length);
        const int n = ++m_frames;
        if (n == kWarmUp)
            m_allocationsAtWarmUp = zyl::bench::Allocations();
        m_allocationsNow = zyl::bench::Allocations();
        m_lastFrameNs = nowNs();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rendered.notify_all();
        return S_OK;
    }

    static constexpr int kWarmUp = 30;
    std::atomic<int> m_frames{0};
    std::atomic<std::uint64_t> m_allocationsAtWarmUp{0};
    std::atomic<std::uint64_t> m_allocationsNow{0};
    std::atomic<std::int64_t> m_lastFrameNs{0};
    std::mutex m_mutex;
    std::condition_variable m_rendered;

private:
    const bool m_mono;
    const GUID m_only;
    const bool m_copyFrames;
    std::vector<BYTE> m_copy;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

struct Graph {
    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaEventEx> events;
    BenchRenderer* renderer = nullptr;
    ComPtr<IBaseFilter> rendererFilter;

    bool Build(const std::string& file, bool mono, GUID only, bool copy = true) {
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IGraphBuilder, builder.PutVoid())))
            return false;
        renderer = new BenchRenderer(mono, only, copy);
        renderer->NonDelegatingAddRef();
        renderer->NonDelegatingQueryInterface(IID_IBaseFilter, rendererFilter.PutVoid());
        renderer->NonDelegatingRelease();
        builder->AddFilter(rendererFilter.Get(), L"Video Renderer");
        const auto wide = zyl::platform::utf8ToWide(file);
        if (!wide || FAILED(builder->RenderFile(wide->c_str(), nullptr)))
            return false;
        builder.As(control, IID_IMediaControl);
        builder.As(seeking, IID_IMediaSeeking);
        builder.As(events, IID_IMediaEventEx);
        ComPtr<IMediaFilter> timing;
        builder.As(timing, IID_IMediaFilter);
        timing->SetSyncSource(nullptr);
        return true;
    }
    bool WaitComplete(LONG milliseconds) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        const std::int64_t deadline = nowNs() + std::int64_t{milliseconds} * 1'000'000;
        while (nowNs() < deadline) {
            if (events->GetEvent(&code, &p1, &p2, 50) == S_OK) {
                events->FreeEventParams(code, p1, p2);
                if (code == EC_COMPLETE || code == EC_ERRORABORT)
                    return code == EC_COMPLETE;
            }
        }
        return false;
    }
};

int Decode(const std::string& file, bool mono, GUID only, bool copy, bool json) {
    Graph graph;
    if (!graph.Build(file, mono, only, copy)) {
        std::fprintf(stderr, "media_bench: cannot build a graph for %s\n", file.c_str());
        return 1;
    }
    const double cpu0 = CpuSeconds();
    const std::int64_t wall0 = nowNs();
    graph.control->Run();
    graph.WaitComplete(600'000);
    const std::int64_t wall = graph.renderer->m_lastFrameNs.load() - wall0;
    const double cpu = CpuSeconds() - cpu0;
    graph.control->Stop();
    const int frames = graph.renderer->m_frames.load();
    const double steady = frames > BenchRenderer::kWarmUp
                              ? static_cast<double>(graph.renderer->m_allocationsNow.load() -
                                                    graph.renderer->m_allocationsAtWarmUp.load()) /
                                    (frames - BenchRenderer::kWarmUp)
                              : -1;
    const double seconds = static_cast<double>(wall) / 1e9;
    if (json)
        std::printf(
            "{\"frames\":%d,\"wall_s\":%.4f,\"cpu_s\":%.4f,\"fps\":%.2f,"
            "\"cpu_s_per_frame\":%.6f,\"allocations_per_frame\":%.3f}\n",
            frames, seconds, cpu, frames / seconds, cpu / frames, steady);
    else
        std::printf(
            "frames %d  wall %.3f s  cpu %.3f s  %.1f fps  %.3f ms cpu/frame  "
            "%.2f allocations/frame (operator new, steady state)\n",
            frames, seconds, cpu, frames / seconds, cpu * 1000 / frames, steady);
    return frames > 0 ? 0 : 1;
}

int Seek(const std::string& file, const std::vector<long long>& targets, bool json) {
    Graph graph;
    if (!graph.Build(file, false, GUID_NULL)) {
        std::fprintf(stderr, "media_bench: cannot build a graph for %s\n", file.c_str());
        return 1;
    }
    graph.seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    std::vector<std::int64_t> latencies;
    for (long long target : targets) {
        graph.control->Stop();
        const int before = graph.renderer->m_frames.load();
        const std::int64_t start = nowNs();
        LONGLONG position = target;
        graph.seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning);
        graph.control->Run();
        {
            std::unique_lock<std::mutex> lock(graph.renderer->m_mutex);
            graph.renderer->m_rendered.wait_for(lock, std::chrono::seconds(30), [&] {
                return graph.renderer->m_frames.load() > before;
            });
        }
        latencies.push_back(graph.renderer->m_lastFrameNs.load() - start);
    }
    graph.control->Stop();
    const double median = zyl::bench::percentile(latencies, 0.5) / 1e6;
    const double p99 = zyl::bench::percentile(latencies, 0.99) / 1e6;
    if (json)
        std::printf("{\"seeks\":%zu,\"median_ms\":%.3f,\"p99_ms\":%.3f}\n", latencies.size(),
                    median, p99);
    else
        std::printf("seeks %zu  median %.2f ms  p99 %.2f ms\n", latencies.size(), median, p99);
    return 0;
}

int Loops(const std::string& file, int loops, bool json) {
    Graph graph;
    if (!graph.Build(file, false, GUID_NULL)) {
        std::fprintf(stderr, "media_bench: cannot build a graph for %s\n", file.c_str());
        return 1;
    }
    long early = 0;
    for (int i = 1; i <= loops; ++i) {
        graph.control->Run();
        if (!graph.WaitComplete(60'000)) {
            std::fprintf(stderr, "media_bench: loop %d did not complete\n", i);
            return 1;
        }
        graph.control->Stop();
        LONGLONG zero = 0;
        graph.seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning);
        if (i == 10)
            early = ResidentKiB();
    }
    const long late = ResidentKiB();
    if (json)
        std::printf(
            "{\"loops\":%d,\"rss_kib_after_10\":%ld,\"rss_kib_after_last\":%ld,"
            "\"frames\":%d}\n",
            loops, early, late, graph.renderer->m_frames.load());
    else
        std::printf("loops %d  resident after 10: %ld KiB  after %d: %ld KiB  (%d frames)\n", loops,
                    early, loops, late, graph.renderer->m_frames.load());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool json = zyl::bench::wantsJson(argc, argv);
    std::vector<std::string> args;
    bool mono = false;
    bool copy = false;
    GUID only = GUID_NULL;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json")
            continue;
        if (a == "--mono") {
            mono = true;
        } else if (a == "--copy") {
            copy = true;
        } else if (a == "--subtype" && i + 1 < argc) {
            const std::string s = argv[++i];
            only = s == "rgb24" ? MEDIASUBTYPE_RGB24 : MEDIASUBTYPE_RGB32;
        } else if (a == "-h" || a == "--help") {
            std::printf(
                "usage: media_bench decode FILE [--mono] [--subtype rgb32|rgb24]\n"
                "       media_bench seek FILE FRAME...\n"
                "       media_bench loops FILE N\n"
                "       (each with --json for one JSON object)\n");
            return 0;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() < 2) {
        std::fprintf(stderr, "media_bench: see --help\n");
        return 2;
    }
    CoInitialize(nullptr);
    dshow::media::RegisterMediaFilters();
    int status = 2;
    if (args[0] == "decode") {
        status = Decode(args[1], mono, only, copy, json);
    } else if (args[0] == "seek") {
        std::vector<long long> targets;
        for (std::size_t i = 2; i < args.size(); ++i)
            targets.push_back(std::stoll(args[i]));
        status = Seek(args[1], targets, json);
    } else if (args[0] == "loops" && args.size() == 3) {
        status = Loops(args[1], std::stoi(args[2]), json);
    } else {
        std::fprintf(stderr, "media_bench: see --help\n");
    }
    CoUninitialize();
    return status;
}
