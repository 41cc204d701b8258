// Stepping through a video frame by frame as an inspecting host does, through the module:
//   step_bench FILE [--from K] [--steps N] [--seek] [--module SO] [--json]
// Opens FILE, goes to frame K (default: the file's last frame, at most 249), then N times
// (default 100): one frame back, Snap (run until the frame is there, pause), and reads the
// player's current frame, which must be the one asked for. Backwards by the step command
// (device control 263, -1) unless --seek, which sends each frame number instead (258, K - 1):
// every step then costs a seek to its frame. Prints steps per second, the steps that landed
// elsewhere, and the process's resident memory at the end and at its peak. Whether the player
// keeps decoded pictures is its setting (StepCacheMB) in the registry file in force;
// bench/player_run runs both.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/module_host.h"

namespace {

struct Options {
    std::string file;
    std::string module;
    int from = -1;
    int steps = 100;
    bool seek = false;
    bool json = false;
};

// Resident memory now, in MB, from /proc.
double ResidentMb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            status >> kb;
            return kb / 1024;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

int Run(const Options& options) {
    zyl::tools::LoadedModule module(options.module);
    HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(options.file).c_str());
    if (!handle)
        throw std::runtime_error("the module did not open " + options.file +
                                 " (the module must be registered in the registry file in force)");
    zyl::tools::Camera camera(handle);
    if (!camera.grabber || !camera.device)
        throw std::runtime_error("the player lacks IGrabber or IDeviceCtrl");
    const int count = camera.GetInt(ZYL::kCmdFrameCount);
    const int from = options.from >= 0 ? options.from : std::min(count - 1, 249);
    if (from < options.steps)
        throw std::runtime_error("cannot step back " + std::to_string(options.steps) +
                                 " frames from frame " + std::to_string(from));
    camera.SetInt(ZYL::kCmdFrameIndex, from);
    if (camera.grabber->Snap() != ZYL::kOk || camera.GetInt(ZYL::kCmdFrameIndex) != from)
        throw std::runtime_error("the first frame is not frame " + std::to_string(from));
    int wrong = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int k = from - 1; k >= from - options.steps; --k) {
        if (options.seek)
            camera.SetInt(ZYL::kCmdFrameIndex, k);
        else
            camera.SetInt(ZYL::kCmdStepFrames, -1);
        if (camera.grabber->Snap() != ZYL::kOk)
            throw std::runtime_error("Snap failed at frame " + std::to_string(k));
        wrong += camera.GetInt(ZYL::kCmdFrameIndex) != k;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMb = static_cast<double>(usage.ru_maxrss) / 1024;
    const double stepsPerSecond = options.steps / seconds;
    if (options.json) {
        std::printf(
            "{\"file\":\"%s\",\"from\":%d,\"steps\":%d,\"by\":\"%s\",\"seconds\":%.3f,"
            "\"steps_per_s\":%.2f,\"wrong\":%d,\"rss_mb\":%.1f,\"peak_rss_mb\":%.1f}\n",
            options.file.c_str(), from, options.steps, options.seek ? "seek" : "step", seconds,
            stepsPerSecond, wrong, ResidentMb(), peakMb);
    } else {
        std::printf(
            "%d steps back from frame %d by %s: %.2f s, %.2f steps/s, %d landed elsewhere\n"
            "resident memory %.1f MB, peak %.1f MB\n",
            options.steps, from, options.seek ? "seeking to each frame" : "step -1", seconds,
            stepsPerSecond, wrong, ResidentMb(), peakMb);
    }
    return wrong == 0 ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const auto usage = [] {
        std::printf(
            "usage: step_bench FILE [--from K] [--steps N] [--seek] [--module SO] [--json]\n");
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--json") {
            options.json = true;
        } else if (a == "--seek") {
            options.seek = true;
        } else if (a == "--from" && hasValue) {
            options.from = std::atoi(argv[++i]);
        } else if (a == "--steps" && hasValue) {
            options.steps = std::atoi(argv[++i]);
        } else if (a == "--module" && hasValue) {
            options.module = argv[++i];
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (options.file.empty() && a.rfind("--", 0) != 0) {
            options.file = a;
        } else {
            std::fprintf(stderr, "step_bench: unexpected argument %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (options.file.empty() || options.steps <= 0) {
        usage();
        return 2;
    }
    try {
        return Run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "step_bench: %s\n", e.what());
        return 1;
    }
}
