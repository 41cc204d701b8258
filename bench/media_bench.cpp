// The media filters on real files: what bench/media_run compares with the ffmpeg command.
//   media_bench decode FILE [--mono] [--subtype rgb32|rgb24] [--ring] [--json]
//       every frame of the first video stream, unclocked, into a renderer that takes what the
//       module's video renderer takes (like ffmpeg's null muxer it drops each frame; --ring
//       hands it over as the module's renderer does: its allocator lends the decoder ring
//       buffer elements, each frame is committed to a four-element ring and a consumer thread
//       takes it); frames, wall and CPU seconds, heap allocations per frame in steady state
//       (operator new, after the first 30 frames)
//   media_bench pace FILE [--mono] [--json]
//       the file once at its own rate on the graph's clock, handed over through the ring as
//       with --ring: each frame's arrival at the consumer against the graph's own schedule
//       (the clock's start time at Run plus the frame's start time): median, p99, minimum and
//       maximum, and the first frame's arrival after Run
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
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "bench_util.h"
#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/filter_graph.h"
#include "directshow/media/media_filters.h"
#include "directshow/renderer.h"
#include "module/base/collections/RingBuffer.h"
#include "module/filters/RingAllocator.h"
#include "platform/text.h"

namespace {

using zyl::bench::nowNs;

constexpr CLSID CLSID_BenchRenderer{
    0x6A1F3C70, 0x2B4E, 0x4C19, {0x9E, 0x33, 0x5D, 0x80, 0x17, 0xA2, 0x4B, 0x6E}};

// Takes frames the way the module's video renderer does; with a ring it also hands them over
// as that renderer does, so the work per frame is the player's.
class BenchRenderer final : public CBaseRenderer {
public:
    BenchRenderer(bool mono, GUID only, bool ring)
        : CBaseRenderer(CLSID_BenchRenderer, L"Bench Renderer", nullptr, nullptr),
          m_mono(mono),
          m_only(only),
          m_allocator(ring ? new COM::CRingAllocator() : nullptr) {
        if (m_allocator)
            m_allocator->NonDelegatingAddRef();
    }
    ~BenchRenderer() override {
        if (m_ring)
            m_ring->CloseWaits();
        if (m_consumer.joinable())
            m_consumer.join();
        if (m_allocator)
            m_allocator->NonDelegatingRelease();
    }
    HRESULT ProposeAllocator(IMemAllocator** allocator) override {
        if (!m_allocator)
            return CBaseRenderer::ProposeAllocator(allocator);
        m_allocator->NonDelegatingAddRef();
        *allocator = m_allocator;
        return S_OK;
    }

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
        if (!m_allocator || m_ring)
            return S_OK;
        // The player's elements: the picture, or just the luma of NV12.
        const bool nv12 = type->subtype == MEDIASUBTYPE_NV12;
        const std::uint64_t element = nv12 ? type->lSampleSize * 2 / 3 : type->lSampleSize;
        m_ring = std::make_shared<qnCollections::CRingBuffer>();
        for (int i = 0; i < 4; ++i)
            m_ring->AddBuffer(element, nullptr);
        m_allocator->SetRingBuffer(m_ring);
        m_consumer = std::thread([this, ring = m_ring] {
            try {
                for (std::size_t n = 0;; ++n) {
                    ring->WaitForNextBuffer(qnCollections::CRingBuffer::kInfinite);
                    REFERENCE_TIME now = 0;
                    if (IReferenceClock* clock = Clock(); clock && n < m_due.size()) {
                        clock->GetTime(&now);
                        m_lateness[n] = now - m_due[n];
                        m_arrivals = n + 1;
                    }
                }
            } catch (...) {
                // CloseWaits: the bench is over.
            }
        });
        return S_OK;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        if (m_ring && InPlace(sample))
            ++m_inPlace;
        // The frame's place on the graph's schedule, for the consumer to measure against; the
        // ring's lock orders the write before the consumer's read.
        REFERENCE_TIME start = 0, end = 0;
        const std::size_t next = m_committed.load();
        if (next < m_due.size() && SUCCEEDED(sample->GetTime(&start, &end)))
            m_due[next] = StartTime() + start;
        if (m_ring &&
            COM::CommitFrame(*m_ring, m_allocator, sample) != COM::FramePlacement::Committed)
            ++m_skipped;
        else
            ++m_committed;
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
    std::atomic<int> m_skipped{0};  // frames the ring had no free element for
    std::atomic<int> m_inPlace{0};  // frames decoded straight into their element
    // Paced runs: each committed frame's due time on the clock, and its arrival's lateness
    // (100 ns units); sized before the run, so nothing allocates on the way.
    std::vector<REFERENCE_TIME> m_due = std::vector<REFERENCE_TIME>(1 << 16);
    std::vector<REFERENCE_TIME> m_lateness = std::vector<REFERENCE_TIME>(1 << 16);
    std::atomic<std::size_t> m_committed{0};
    std::atomic<std::size_t> m_arrivals{0};
    std::atomic<std::uint64_t> m_allocationsAtWarmUp{0};
    std::atomic<std::uint64_t> m_allocationsNow{0};
    std::atomic<std::int64_t> m_lastFrameNs{0};
    std::mutex m_mutex;
    std::condition_variable m_rendered;

private:
    bool InPlace(IMediaSample* sample) {
        BYTE* data = nullptr;
        std::uint8_t* element = nullptr;
        sample->GetPointer(&data);
        if (std::uint16_t index = 0; m_ring->TryGetNextFreeBuffer(&index))
            m_ring->GetBufferAddress(index, &element);
        return element && element == data;
    }

    const bool m_mono;
    const GUID m_only;
    COM::CRingAllocator* const m_allocator;
    std::shared_ptr<qnCollections::CRingBuffer> m_ring;
    std::thread m_consumer;
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

    bool Build(const std::string& file, bool mono, GUID only, bool ring = true,
               bool clocked = false) {
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IGraphBuilder, builder.PutVoid())))
            return false;
        renderer = new BenchRenderer(mono, only, ring);
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
        if (!clocked) {
            ComPtr<IMediaFilter> timing;
            builder.As(timing, IID_IMediaFilter);
            timing->SetSyncSource(nullptr);
        }
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

int Decode(const std::string& file, bool mono, GUID only, bool ring, bool json) {
    Graph graph;
    if (!graph.Build(file, mono, only, ring)) {
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
            "\"cpu_s_per_frame\":%.6f,\"allocations_per_frame\":%.3f,\"skipped\":%d,\"in_place\":%"
            "d}\n",
            frames, seconds, cpu, frames / seconds, cpu / frames, steady,
            graph.renderer->m_skipped.load(), graph.renderer->m_inPlace.load());
    else
        std::printf(
            "frames %d  wall %.3f s  cpu %.3f s  %.1f fps  %.3f ms cpu/frame  "
            "%.2f allocations/frame (operator new, steady state); ring: %d skipped, %d written "
            "in place\n",
            frames, seconds, cpu, frames / seconds, cpu * 1000 / frames, steady,
            graph.renderer->m_skipped.load(), graph.renderer->m_inPlace.load());
    return frames > 0 ? 0 : 1;
}

int Pace(const std::string& file, bool mono, bool json) {
    Graph graph;
    if (!graph.Build(file, mono, GUID_NULL, true, true)) {
        std::fprintf(stderr, "media_bench: cannot build a graph for %s\n", file.c_str());
        return 1;
    }
    const std::int64_t run = nowNs();
    graph.control->Run();
    std::int64_t first = 0;
    while (graph.renderer->m_arrivals.load() == 0 && nowNs() - run < 10'000'000'000)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    first = nowNs() - run;
    graph.WaitComplete(600'000);
    graph.control->Stop();
    const std::size_t frames = graph.renderer->m_arrivals.load();
    std::vector<std::int64_t> lateness(
        graph.renderer->m_lateness.begin(),
        graph.renderer->m_lateness.begin() + static_cast<std::ptrdiff_t>(frames));
    const auto ms = [&](double p) { return zyl::bench::percentile(lateness, p) / 1e4; };
    if (json)
        std::printf(
            "{\"frames\":%zu,\"skipped\":%d,\"late_median_ms\":%.3f,\"late_p99_ms\":%.3f,"
            "\"late_min_ms\":%.3f,\"late_max_ms\":%.3f,\"first_ms\":%.3f}\n",
            frames, graph.renderer->m_skipped.load(), ms(0.5), ms(0.99), ms(0.0), ms(1.0),
            static_cast<double>(first) / 1e6);
    else
        std::printf(
            "frames %zu (%d skipped)  lateness against the graph's schedule: median %.3f  p99 "
            "%.3f  min %.3f  max %.3f ms; first frame %.3f ms after Run\n",
            frames, graph.renderer->m_skipped.load(), ms(0.5), ms(0.99), ms(0.0), ms(1.0),
            static_cast<double>(first) / 1e6);
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
    bool ring = false;
    GUID only = GUID_NULL;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json")
            continue;
        if (a == "--mono") {
            mono = true;
        } else if (a == "--ring") {
            ring = true;
        } else if (a == "--subtype" && i + 1 < argc) {
            const std::string s = argv[++i];
            only = s == "rgb24" ? MEDIASUBTYPE_RGB24 : MEDIASUBTYPE_RGB32;
        } else if (a == "-h" || a == "--help") {
            std::printf(
                "usage: media_bench decode FILE [--mono] [--subtype rgb32|rgb24] [--ring]\n"
                "       media_bench pace FILE [--mono]\n"
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
        status = Decode(args[1], mono, only, ring, json);
    } else if (args[0] == "pace") {
        status = Pace(args[1], mono, json);
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
