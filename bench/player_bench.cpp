// A player driven through the module as a host drives it: what bench/player_run compares with
// the ffmpeg command on the same file.
//   player_bench FILE [--rate R] [--frames N] [--timeout MS] [--module SO] [--json]
// Loads libZylAvi.so (next to this executable unless --module), opens FILE, sets the playback
// rate with device-control command 260 when --rate is given, then G2Grab and N G2Waits
// (default: the file's frame count, so the stream does not loop), reading nothing of a frame
// but its address through GetPlaneVPA. Prints frames per second from G2Grab to the last
// return, CPU seconds of the process over the same span and per second of video, the
// lateness of each return against the first one + n x frame time / rate (median, p99,
// minimum, maximum), the frames the player skipped, the layout it delivered, and heap
// allocations per frame from frame 100 on (every malloc-family call of the process, those made
// from FFmpeg's libraries apart, and operator new alone).
// The DirectShow player needs the module registered in the registry file in force;
// bench/player_run registers it in a temporary one.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "bench_util.h"
#include "common/module_host.h"

using zyl::bench::nowNs;

namespace {

struct Options {
    std::string file;
    std::string module;
    double rate = 0;  // 0: leave the player's rate alone
    int frames = 0;   // 0: the file's frame count
    std::uint32_t timeoutMs = 10'000;
    bool json = false;
};

struct Result {
    int frames = 0;
    std::int32_t planes = 0, width = 0, height = 0;
    std::int64_t bytesPerPixel = 0;
    double rate = 1;
    bool rateSet = false;
    double frameMs = 0;
    double openS = 0, wallS = 0, cpuS = 0;
    double grabMs = 0, firstMs = 0;  // G2Grab's own time; its start to the first arrival
    double skipped = 0;
    double switchesPerFrame = 0;
    double lateMedianMs = 0, lateP99Ms = 0, lateMinMs = 0, lateMaxMs = 0;
    int steadyFrames = 0;
    double newPerFrame = -1, mallocPerFrame = -1, ffmpegMallocPerFrame = -1;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Every time a thread of the process gave up or lost the processor: its wake-ups, near enough.
long ContextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Allocations are counted from this frame on: the decoder's frame pools, the ring buffer and
// the host's first-use set-up are all filled by then.
constexpr int kSteadyFrom = 100;

Result Play(const Options& options) {
    Result result;
    zyl::tools::LoadedModule module(options.module);
    const std::int64_t open0 = nowNs();
    HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(options.file).c_str());
    if (!handle)
        throw std::runtime_error(
            "the module did not open " + options.file +
            " (the DirectShow player needs the module registered in the registry file in force; "
            "bench/player_run registers it in a temporary one)");
    zyl::tools::Camera camera(handle);
    result.openS = static_cast<double>(nowNs() - open0) / 1e9;
    if (!camera.vpa || !camera.grab2 || !camera.device)
        throw std::runtime_error("the player lacks IImageVPA, IGrab2 or IDeviceCtrl");
    camera.vpa->GetSize(&result.planes, &result.width, &result.height);
    result.frameMs = camera.GetDouble(ZYL::kCmdFrameTimeMs);
    if (options.rate > 0) {
        // The raw player has no rate command; it plays at its file's own pace.
        try {
            camera.SetDouble(ZYL::kCmdRate, options.rate);
            result.rate = options.rate;
            result.rateSet = true;
        } catch (const std::runtime_error& e) {
            std::fprintf(stderr, "player_bench: %s; playing at the player's own rate\n", e.what());
        }
    }
    result.frames = options.frames > 0 ? options.frames : camera.GetInt(ZYL::kCmdFrameCount);
    if (result.frames <= 0)
        throw std::runtime_error("the player reports no frames");
    if (camera.grabber)
        camera.grabber->Reserved2(options.timeoutMs);
    // FFmpeg's own allocations (packets, frame references, its decoding threads' bookkeeping)
    // are counted apart from the engine's and the module's.
    zyl::bench::SeparateMallocCallsOf(
        {"/libavcodec.", "/libavformat.", "/libavutil.", "/libswscale.", "/libswresample."});

    const auto frames = static_cast<std::size_t>(result.frames);
    std::vector<std::int64_t> arrivals(frames);
    const int steadyFrom = result.frames > kSteadyFrom ? kSteadyFrom : result.frames / 2;
    std::uint64_t newAtSteady = 0, mallocAtSteady = 0, ffmpegAtSteady = 0;
    std::uint8_t* volatile lastBase = nullptr;

    const double cpu0 = CpuSeconds();
    const long switches0 = ContextSwitches();
    const std::int64_t start = nowNs();
    if (const ZYL::Result r = camera.grab2->G2Grab(); r != ZYL::kOk)
        throw std::runtime_error("G2Grab failed: " + zyl::tools::ResultText(r));
    result.grabMs = static_cast<double>(nowNs() - start) / 1e6;
    for (std::size_t n = 0; n < frames; ++n) {
        if (static_cast<int>(n) == steadyFrom) {
            newAtSteady = zyl::bench::Allocations();
            mallocAtSteady = zyl::bench::MallocCalls();
            ffmpegAtSteady = zyl::bench::SeparatedMallocCalls();
        }
        if (const ZYL::Result r = camera.grab2->G2Wait(); r != ZYL::kOk)
            throw std::runtime_error("G2Wait failed at frame " + std::to_string(n) + ": " +
                                     zyl::tools::ResultText(r));
        arrivals[n] = nowNs();
        std::uint8_t* base = nullptr;
        ZYL::VPAEntry* table = nullptr;
        camera.vpa->GetPlaneVPA(0, &base, &table);
        lastBase = base;
        if (n == 0 && table)
            result.bytesPerPixel = result.planes == 1 ? 1 : table[1].x - table[0].x;
    }
    const std::uint64_t newAtEnd = zyl::bench::Allocations();
    const std::uint64_t mallocAtEnd = zyl::bench::MallocCalls();
    const std::uint64_t ffmpegAtEnd = zyl::bench::SeparatedMallocCalls();
    result.cpuS = CpuSeconds() - cpu0;
    result.switchesPerFrame =
        static_cast<double>(ContextSwitches() - switches0) / static_cast<double>(frames);
    result.wallS = static_cast<double>(arrivals[frames - 1] - start) / 1e9;
    result.firstMs = static_cast<double>(arrivals[0] - start) / 1e6;
    camera.grab2->G2GetStatus(2, &result.skipped);
    camera.grab2->G2Freeze(true);
    (void)lastBase;

    result.steadyFrames = result.frames - steadyFrom;
    if (result.steadyFrames > 0) {
        result.newPerFrame =
            static_cast<double>(newAtEnd - newAtSteady) / static_cast<double>(result.steadyFrames);
        result.mallocPerFrame = static_cast<double>(mallocAtEnd - mallocAtSteady) /
                                static_cast<double>(result.steadyFrames);
        result.ffmpegMallocPerFrame = static_cast<double>(ffmpegAtEnd - ffmpegAtSteady) /
                                      static_cast<double>(result.steadyFrames);
    }
    // Whole frame times at the rate played from the earliest-placed arrival: no frame comes
    // before its time, so that one shows where the graph's schedule lies (the first frame,
    // which waits for its decoding, does not). Earliness itself is media_bench pace's to judge,
    // against the graph's own start time.
    const double periodNs = result.frameMs * 1e6 / result.rate;
    std::vector<std::int64_t> lateness(frames);
    for (std::size_t n = 0; n < frames; ++n)
        lateness[n] = arrivals[n] - arrivals[0] -
                      static_cast<std::int64_t>(static_cast<double>(n) * periodNs);
    const std::int64_t base = *std::min_element(lateness.begin(), lateness.end());
    for (std::int64_t& l : lateness)
        l -= base;
    result.lateMedianMs = zyl::bench::percentile(lateness, 0.5) / 1e6;
    result.lateP99Ms = zyl::bench::percentile(lateness, 0.99) / 1e6;
    result.lateMinMs = zyl::bench::percentile(lateness, 0.0) / 1e6;
    result.lateMaxMs = zyl::bench::percentile(lateness, 1.0) / 1e6;
    return result;
}

void Print(const Result& r, bool json) {
    const double videoS = r.frames * r.frameMs / r.rate / 1000;
    const double fps = r.wallS > 0 ? r.frames / r.wallS : 0;
    const double cpuPerVideoS = videoS > 0 ? r.cpuS / videoS : 0;
    if (json) {
        std::printf(
            "{\"frames\":%d,\"planes\":%d,\"width\":%d,\"height\":%d,\"bytes_per_pixel\":%lld,"
            "\"rate\":%.3f,\"rate_set\":%s,\"frame_ms\":%.4f,\"open_s\":%.4f,\"grab_ms\":%.3f,"
            "\"first_ms\":%.3f,\"wall_s\":%.4f,"
            "\"fps\":%.2f,\"cpu_s\":%.4f,\"video_s\":%.4f,\"cpu_per_video_s\":%.4f,"
            "\"skipped\":%.0f,\"late_median_ms\":%.3f,\"late_p99_ms\":%.3f,"
            "\"late_min_ms\":%.3f,\"late_max_ms\":%.3f,\"steady_frames\":%d,"
            "\"new_per_frame\":%.3f,\"malloc_per_frame\":%.3f,\"ffmpeg_malloc_per_frame\":%.3f,"
            "\"other_malloc_per_frame\":%.3f,\"switches_per_frame\":%.2f}\n",
            r.frames, r.planes, r.width, r.height, static_cast<long long>(r.bytesPerPixel), r.rate,
            r.rateSet ? "true" : "false", r.frameMs, r.openS, r.grabMs, r.firstMs, r.wallS, fps,
            r.cpuS, videoS, cpuPerVideoS, r.skipped, r.lateMedianMs, r.lateP99Ms, r.lateMinMs,
            r.lateMaxMs, r.steadyFrames, r.newPerFrame, r.mallocPerFrame, r.ffmpegMallocPerFrame,
            r.mallocPerFrame - r.ffmpegMallocPerFrame, r.switchesPerFrame);
        return;
    }
    std::printf("%d frames of %dx%d, %d plane(s), %lld byte(s) per pixel, rate %g%s\n", r.frames,
                r.width, r.height, r.planes, static_cast<long long>(r.bytesPerPixel), r.rate,
                r.rateSet ? "" : " (not set)");
    std::printf("open %.3f s; G2Grab to last frame %.3f s: %.1f frames/s, %d skipped\n", r.openS,
                r.wallS, fps, static_cast<int>(r.skipped));
    std::printf("G2Grab took %.3f ms; the first frame came %.3f ms after it was called\n", r.grabMs,
                r.firstMs);
    std::printf(
        "CPU %.3f s for %.3f s of video: %.3f CPU s per video s; %.2f context switches per "
        "frame\n",
        r.cpuS, videoS, cpuPerVideoS, r.switchesPerFrame);
    std::printf(
        "lateness against the earliest-placed arrival + n x %.3f ms: median %.3f  p99 %.3f  min %.3f  "
        "max %.3f ms\n",
        r.frameMs / r.rate, r.lateMedianMs, r.lateP99Ms, r.lateMinMs, r.lateMaxMs);
    std::printf(
        "heap allocations per frame over the last %d frames: malloc-family %.3f, of which "
        "FFmpeg's own %.3f and the rest's %.3f (operator new %.3f)\n",
        r.steadyFrames, r.mallocPerFrame, r.ffmpegMallocPerFrame,
        r.mallocPerFrame - r.ffmpegMallocPerFrame, r.newPerFrame);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const auto usage = [] {
        std::printf(
            "usage: player_bench FILE [--rate R] [--frames N] [--timeout MS] [--module SO] "
            "[--json]\n");
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--json") {
            options.json = true;
        } else if (a == "--rate" && hasValue) {
            options.rate = std::atof(argv[++i]);
        } else if (a == "--frames" && hasValue) {
            options.frames = std::atoi(argv[++i]);
        } else if (a == "--timeout" && hasValue) {
            options.timeoutMs = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--module" && hasValue) {
            options.module = argv[++i];
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (options.file.empty() && a.rfind("--", 0) != 0) {
            options.file = a;
        } else {
            std::fprintf(stderr, "player_bench: unexpected argument %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (options.file.empty()) {
        usage();
        return 2;
    }
    try {
        Print(Play(options), options.json);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "player_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
