// zylavi bench-cameras: several files played at once in this one process, each through its own
// player and its own host thread, as a host with several cameras runs them: frames each camera
// received and lost, how late they came, and what the process spent.
//
// Threads: the main thread loads the module, opens every camera and starts one thread per
// camera; each thread touches only its own camera and record, which the main thread reads after
// joining it. No locks of its own.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli.h"

namespace zyl::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct CameraRun {
    std::string file;
    std::unique_ptr<tools::Camera> camera;
    std::int32_t planes = 0, width = 0, height = 0;
    double frameMs = 0;
    long long frameCount = 0;
    long long frames = 0;
    double lost = 0;
    // Each frame's arrival less whole frame times since the first (lost frames counted in), and
    // the pass through the file it belongs to.
    std::vector<double> offsetMs;
    std::vector<long long> pass;
    // Against the graph's schedule, which starts again at every loop: the offset above less the
    // smallest offset of the same pass, as no frame comes before its time.
    std::vector<double> latenessMs;
    // How much later each pass started than a seamless loop would have.
    std::vector<double> loopGapMs;
    std::string error;
};

struct Usage {
    double cpuS = 0;
    long switches = 0;
};

Usage ProcessUsage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw + u.ru_nivcsw};
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// Lateness against the graph's schedule: the player restarts the graph at every loop, so each
// pass through the file has a schedule of its own, which the earliest frame of the pass shows
// (no frame comes before its time; this leaves out only the shortest hand-over of the pass).
void Settle(CameraRun& run) {
    run.latenessMs.resize(run.offsetMs.size());
    double previousBase = 0;
    for (std::size_t begin = 0; begin < run.offsetMs.size();) {
        std::size_t end = begin;
        double base = run.offsetMs[begin];
        while (end < run.offsetMs.size() && run.pass[end] == run.pass[begin])
            base = std::min(base, run.offsetMs[end++]);
        for (std::size_t i = begin; i < end; ++i)
            run.latenessMs[i] = run.offsetMs[i] - base;
        if (begin > 0)
            run.loopGapMs.push_back(base - previousBase);
        previousBase = base;
        begin = end;
    }
}

void Play(CameraRun& run, double seconds, double rate) {
    tools::Camera& camera = *run.camera;
    const double periodMs = run.frameMs / rate;
    // Room for every frame up front: the loop below allocates nothing.
    const auto room = static_cast<std::size_t>(seconds * 1000 / std::max(periodMs, 1.0) * 1.2) + 64;
    run.offsetMs.reserve(room);
    run.pass.reserve(room);
    if (const ZYL::Result r = camera.grab2->G2Grab(); r != ZYL::kOk) {
        run.error = "G2Grab failed: " + tools::ResultText(r);
        return;
    }
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    Clock::time_point first;
    double firstLost = 0;
    while (Clock::now() < deadline) {
        ZYL::Result r = ZYL::kFailed;
        try {
            r = camera.grab2->G2Wait();
        } catch (...) {
            // Read failures come out of G2Wait as exceptions.
        }
        if (r != ZYL::kOk) {
            run.error = "G2Wait failed after " + std::to_string(run.frames) +
                        " frames: " + tools::ResultText(r);
            break;
        }
        const auto now = Clock::now();
        camera.grab2->G2GetStatus(2, &run.lost);
        if (run.frames == 0) {
            first = now;
            firstLost = run.lost;
        }
        const double index = static_cast<double>(run.frames) + run.lost - firstLost;
        run.offsetMs.push_back(std::chrono::duration<double, std::milli>(now - first).count() -
                               index * periodMs);
        run.pass.push_back(run.frameCount > 0 ? static_cast<long long>(index) / run.frameCount : 0);
        ++run.frames;
    }
    camera.grab2->G2Freeze(true);
    camera.grab2->G2GetStatus(2, &run.lost);
}

std::string Fixed(double value, int digits) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(digits);
    out << value;
    return out.str();
}

}  // namespace

int BenchCameras(const Args& args) {
    double seconds = 10, rate = 1;
    if ((args.get("--seconds") && (!ToDouble(*args.get("--seconds"), seconds) || seconds <= 0)) ||
        (args.get("--rate") && (!ToDouble(*args.get("--rate"), rate) || rate <= 0))) {
        std::cerr << "zylavi bench-cameras: --seconds and --rate need positive numbers\n";
        return kExitUsage;
    }
    if (args.positional.empty()) {
        std::cerr << "zylavi bench-cameras: needs at least one FILE\n";
        return kExitUsage;
    }
    try {
        tools::LoadedModule module("", true);
        // After the module: the cameras are closed before it is unloaded.
        std::vector<CameraRun> runs(args.positional.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            CameraRun& run = runs[i];
            run.file = args.positional[i];
            run.camera = OpenCamera(module, run.file);
            run.camera->vpa->GetSize(&run.planes, &run.width, &run.height);
            run.frameMs = run.camera->GetDouble(ZYL::kCmdFrameTimeMs);
            run.frameCount = run.camera->GetInt(ZYL::kCmdFrameCount);
            if (run.frameMs <= 0)
                throw std::runtime_error(run.file + ": no frame rate, so no pace to keep");
            if (rate != 1 && run.camera->TrySetDouble(ZYL::kCmdRate, rate) != ZYL::kOk)
                throw std::runtime_error(run.file + ": the player refuses rate " + Fixed(rate, 2));
        }
        std::cerr << "zylavi bench-cameras: " << runs.size() << " camera(s) for " << seconds
                  << " s...\n";
        const Usage before = ProcessUsage();
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (CameraRun& run : runs)
            threads.emplace_back([&run, seconds, rate] { Play(run, seconds, rate); });
        for (std::thread& thread : threads)
            thread.join();
        for (CameraRun& run : runs)
            Settle(run);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const Usage after = ProcessUsage();

        long long frames = 0;
        double lost = 0, worstP99 = 0;
        std::vector<double> gaps;
        for (const CameraRun& run : runs) {
            frames += run.frames;
            lost += run.lost;
            worstP99 = std::max(worstP99, Percentile(run.latenessMs, 0.99));
            gaps.insert(gaps.end(), run.loopGapMs.begin(), run.loopGapMs.end());
        }
        const double cpu = after.cpuS - before.cpuS;
        const double switchesPerFrame =
            frames ? static_cast<double>(after.switches - before.switches) /
                         static_cast<double>(frames)
                   : 0;
        bool failed = false;
        if (args.json) {
            std::cout << "{\"cameras\":[";
            for (std::size_t i = 0; i < runs.size(); ++i) {
                const CameraRun& r = runs[i];
                failed |= !r.error.empty();
                std::cout << (i ? "," : "") << "{\"file\":" << Quoted(r.file)
                          << ",\"width\":" << r.width << ",\"height\":" << r.height
                          << ",\"planes\":" << r.planes << ",\"frames\":" << r.frames
                          << ",\"lost\":" << r.lost
                          << ",\"late_median_ms\":" << Fixed(Percentile(r.latenessMs, 0.5), 3)
                          << ",\"late_p99_ms\":" << Fixed(Percentile(r.latenessMs, 0.99), 3)
                          << ",\"late_max_ms\":" << Fixed(Percentile(r.latenessMs, 1.0), 3)
                          << ",\"error\":" << (r.error.empty() ? "null" : Quoted(r.error)) << "}";
            }
            std::cout << "],\"seconds\":" << Fixed(wall, 3) << ",\"rate\":" << rate
                      << ",\"frames\":" << frames << ",\"lost\":" << lost
                      << ",\"late_p99_ms\":" << Fixed(worstP99, 3) << ",\"loops\":" << gaps.size()
                      << ",\"loop_gap_median_ms\":" << Fixed(Percentile(gaps, 0.5), 3)
                      << ",\"loop_gap_max_ms\":" << Fixed(Percentile(gaps, 1.0), 3)
                      << ",\"cpu_s\":" << Fixed(cpu, 3) << ",\"cpu_per_s\":" << Fixed(cpu / wall, 4)
                      << ",\"switches_per_frame\":" << Fixed(switchesPerFrame, 2) << "}\n";
        } else {
            std::printf("%-4s %-32s %-10s %8s %6s %22s\n", "", "file", "size", "frames", "lost",
                        "late ms: median/p99/max");
            for (std::size_t i = 0; i < runs.size(); ++i) {
                const CameraRun& r = runs[i];
                failed |= !r.error.empty();
                const std::string size = std::to_string(r.width) + "x" + std::to_string(r.height);
                std::printf("%-4zu %-32s %-10s %8lld %6.0f %8.2f/%6.2f/%6.2f%s%s\n", i + 1,
                            r.file.c_str(), size.c_str(), r.frames, r.lost,
                            Percentile(r.latenessMs, 0.5), Percentile(r.latenessMs, 0.99),
                            Percentile(r.latenessMs, 1.0), r.error.empty() ? "" : "  ",
                            r.error.c_str());
            }
            std::printf(
                "%zu camera(s), %.1f s: %lld frames, %.0f lost; worst p99 lateness %.2f ms "
                "(against the graph's schedule, which each loop starts again)\n"
                "%zu loop(s): each started %.2f ms (median), %.2f ms (max) later than a seamless "
                "loop\n"
                "CPU %.2f s = %.3f CPU seconds per second; %.2f context switches per frame\n",
                runs.size(), wall, frames, lost, worstP99, gaps.size(), Percentile(gaps, 0.5),
                Percentile(gaps, 1.0), cpu, cpu / wall, switchesPerFrame);
        }
        return failed ? kExitFailed : kExitOk;
    } catch (const std::exception& e) {
        std::cerr << "zylavi bench-cameras: " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace zyl::cli
