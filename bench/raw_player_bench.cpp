// The raw video player, driven through the module as a host drives it, against baselines run
// in the same process:
//   throughput: 1920x1080 RGB8 frames at frame rate 0 from a page-cached file, frames per
//               second, against a plain pread() loop into one reused buffer over the same file;
//   pacing:     lateness of each G2Wait against the fixed schedule at 25 and 30 frames/s,
//               median and p99 (and the earliest, which must not be below 0), against a plain
//               absolute-deadline sleep loop on the same schedule.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "common/module_host.h"
#include "common/pattern.h"
#include "common/zyrv_file.h"

using namespace zyl::bench;

namespace {

std::string MakeFile(const std::string& dir, const char* name, std::uint32_t width,
                     std::uint32_t height, int frames, double fps) {
    const std::string path = dir + "/" + name;
    zyl::tools::ZyrvHeader header;
    header.width = width;
    header.height = height;
    header.lineIncrement = std::uint64_t{width} * 3;
    header.pixelFormat = 0x02180014;
    header.frameRate = fps;
    zyl::tools::ZyrvWriter writer;
    std::string error;
    if (!writer.Open(path, header, error))
        throw std::runtime_error(error);
    std::vector<std::uint8_t> frame;
    for (int k = 0; k < frames; ++k) {
        zyl::tools::RenderPattern(width, height, 3, static_cast<std::uint32_t>(k), frame);
        if (!writer.Write(frame.data(), frame.size(), error))
            throw std::runtime_error(error);
    }
    if (!writer.Close(error))
        throw std::runtime_error(error);
    return path;
}

double ReadLoop(const std::string& path, std::size_t frameSize, int files, int passes) {
    const int fd = open(path.c_str(), O_RDONLY);
    std::vector<std::uint8_t> buffer(frameSize);
    const std::int64_t start = nowNs();
    for (int pass = 0; pass < passes; ++pass) {
        for (int k = 0; k < files; ++k) {
            std::size_t done = 0;
            const off_t at = 40 + static_cast<off_t>(frameSize) * k;
            while (done < frameSize) {
                const ssize_t n = pread(fd, buffer.data() + done, frameSize - done,
                                        at + static_cast<off_t>(done));
                if (n <= 0)
                    break;
                done += static_cast<std::size_t>(n);
            }
        }
    }
    const double seconds = static_cast<double>(nowNs() - start) / 1e9;
    close(fd);
    return files * passes / seconds;
}

// Frames per second of n waits on an open camera.
double PlayerLoop(zyl::tools::Camera& camera, int frames) {
    const std::int64_t start = nowNs();
    for (int i = 0; i < frames; ++i)
        camera.grab2->G2Wait();
    return frames / (static_cast<double>(nowNs() - start) / 1e9);
}

std::vector<std::int64_t> PlayerLateness(zyl::tools::LoadedModule& module, const std::string& path,
                                         int frames, std::int64_t frameNs) {
    HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(path).c_str());
    zyl::tools::Camera camera(handle);
    std::vector<std::int64_t> lateness;
    const std::int64_t start = nowNs();
    camera.grab2->G2Grab();
    for (int k = 0; k < frames; ++k) {
        camera.grab2->G2Wait();
        lateness.push_back(nowNs() - (start + (k + 1) * frameNs));
    }
    return lateness;
}

std::vector<std::int64_t> SleepLateness(int frames, std::int64_t frameNs) {
    std::vector<std::int64_t> lateness;
    const std::int64_t start = nowNs();
    for (int k = 0; k < frames; ++k) {
        const std::int64_t due = start + (k + 1) * frameNs;
        timespec ts{static_cast<time_t>(due / 1'000'000'000),
                    static_cast<long>(due % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
        lateness.push_back(nowNs() - due);
    }
    return lateness;
}

}  // namespace

int main(int argc, char** argv) {
    const bool json = wantsJson(argc, argv);
    char dirTemplate[] = "/tmp/zylavi-bench-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;
    int status = 0;
    try {
        constexpr std::uint32_t kWidth = 1920, kHeight = 1080;
        constexpr int kFrames = 40, kRounds = 9;
        const std::size_t frameSize = std::size_t{kWidth} * kHeight * 3;
        const std::string big = MakeFile(dir, "hd.zyrv", kWidth, kHeight, kFrames, 0);
        zyl::tools::LoadedModule module;
        HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(big).c_str());
        if (!handle)
            throw std::runtime_error("the module cannot open " + big);
        zyl::tools::Camera camera(handle);
        camera.grab2->G2Grab();
        ReadLoop(big, frameSize, kFrames, 1);  // into the page cache
        PlayerLoop(camera, kFrames);           // the player's buffers warm
        // Rounds alternate between the two so that both see the same machine; medians count.
        std::vector<std::int64_t> baselineRates, playerRates;
        for (int round = 0; round < kRounds; ++round) {
            baselineRates.push_back(
                static_cast<std::int64_t>(ReadLoop(big, frameSize, kFrames, 1)));
            playerRates.push_back(static_cast<std::int64_t>(PlayerLoop(camera, kFrames)));
        }
        report(json, "raw_player.hd_rgb8_frames_per_second", percentile(playerRates, 0.5),
               "frames/s", percentile(baselineRates, 0.5),
               "vs pread() into one reused buffer (target >= 0.9)");
        camera.grab2->G2Freeze(true);

        for (const double fps : {25.0, 30.0}) {
            const std::string paced =
                MakeFile(dir, fps == 25.0 ? "25.zyrv" : "30.zyrv", 64, 48, 10, fps);
            const std::int64_t frameNs = static_cast<std::int64_t>(1000.0 / fps) * 1'000'000;
            const auto late = PlayerLateness(module, paced, 75, frameNs);
            const auto sleep = SleepLateness(75, frameNs);
            const std::string name =
                "raw_player.lateness_" + std::to_string(static_cast<int>(fps)) + "fps";
            report(json, name + "_median", percentile(late, 0.5) / 1e6, "ms",
                   percentile(sleep, 0.5) / 1e6, "vs absolute-deadline sleep");
            report(json, name + "_p99", percentile(late, 0.99) / 1e6, "ms",
                   percentile(sleep, 0.99) / 1e6, "target <= 2 ms");
            report(json, name + "_earliest", percentile(late, 0.0) / 1e6, "ms",
                   percentile(sleep, 0.0) / 1e6, "never early: must be >= 0");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "raw_player_bench: %s\n", e.what());
        status = 1;
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    return status;
}
