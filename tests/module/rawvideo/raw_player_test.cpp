// The raw video player as a host drives it, through the entry points and the driver interfaces.
// The fixture opens players with this process's own copy of the entry points, so a virtual clock
// can stand in for the system's and the log can be read; one test goes through the loaded module
// for the real clock and unloading.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/module_host.h"
#include "module/base/errors/hresult_exception.h"
#include "module/entry/Entry.h"
#include "module/logging/capture_target.h"
#include "module/rawvideo/RVPlayer.h"
#include "module/rawvideo/RawVideo.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

using namespace ZYL;
using zyl::test::CapturedMessage;
using zyl::test::ZyrvClip;
using zyl::tools::Camera;

namespace {

constexpr std::int64_t kMs = 1'000'000;

// Time stands still until the player sleeps; a sleep ends exactly at its due time, or earlier
// when the test asks for an early wake-up.
class VirtualClock final : public PacingClock {
public:
    std::int64_t Now() override { return now; }
    void SleepUntil(std::int64_t dueNs) override {
        sleeps.push_back(dueNs);
        now = std::max(now, dueNs - std::exchange(wakeEarlyBy, 0));
    }

    std::int64_t now = 5'000 * kMs;
    std::int64_t wakeEarlyBy = 0;
    std::vector<std::int64_t> sleeps;
};

// Makes every read through the container's descriptor fail (it now refers to a folder) until
// the file is put back.
class BrokenReads {
public:
    BrokenReads(const std::string& file, const std::string& folder) : file_(file) {
        const auto target = std::filesystem::canonical(file);
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            if (std::filesystem::read_symlink(entry.path(), ec) == target)
                fd_ = std::stoi(entry.path().filename().string());
        }
        EXPECT_GE(fd_, 0) << "the container holds the file open";
        Replace(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    void Repair() { Replace(open(file_.c_str(), O_RDONLY | O_CLOEXEC)); }

private:
    void Replace(int replacement) {
        EXPECT_EQ(dup2(replacement, fd_), fd_);
        close(replacement);
    }
    std::string file_;
    int fd_ = -1;
};

using Seek = std::function<Result(Camera&)>;
Seek Int(std::uint32_t command, std::int32_t value) {
    return [=](Camera& c) { return c.SetInt(command, value), kOk; };
}
Seek Real(std::uint32_t command, double value) {
    return [=](Camera& c) { return c.SetDouble(command, value), kOk; };
}
Seek Text(std::uint32_t command, const char* text, std::uint64_t size = 0) {
    return [=](Camera& c) {
        std::uint64_t length = 0;
        return c.device->DeviceCtrlString(command, text, size, nullptr, &length);
    };
}
Seek Bit(std::uint32_t bit, std::uint32_t value = 1) {
    return [=](Camera& c) { return c.dio->SetOutputBit(bit, value); };
}
Seek Port(std::uint32_t port, std::uint32_t value) {
    return [=](Camera& c) { return c.dio->SetOutputPort(port, value); };
}

class RawPlayer : public zyl::test::LoggingTest {
protected:
    void SetUp() override {
        LoggingTest::SetUp();
        // The first container of a process configures logging (and, without a log service,
        // silences the root); that happens here, before the test listens.
        try {
            RawVideo none(L"");
        } catch (const ZYLException&) {
        }
        reset();
        qnLogging::set_level_mask(qnLogging::root_logger(), qnLogging::mask::all);
        log = capture();
        SetPacingClockForTesting(&clock);
        liveBefore = HostLiveObjects();
    }
    void TearDown() override {
        SetPacingClockForTesting(nullptr);
        EXPECT_EQ(HostLiveObjects(), liveBefore) << "a host object was not released";
        LoggingTest::TearDown();
    }

    std::unique_ptr<Camera> Open(const std::string& path) {
        HostHandle handle = GetImageFromFileW(zyl::tools::Widen(path).c_str());
        return handle ? std::make_unique<Camera>(handle) : nullptr;
    }
    std::unique_ptr<Camera> OpenClip(const ZyrvClip& clip, const std::string& name = "v.zyrv") {
        return Open(zyl::test::WriteZyrv(dir.file(name), clip));
    }
    static std::int32_t WaitIndex(Camera& camera) {
        EXPECT_EQ(camera.grab2->G2Wait(), kOk);
        return camera.GetInt(kCmdFrameIndex);
    }
    static std::vector<std::uint8_t> Pixels(Camera& camera) {
        zyl::tools::Frame frame;
        EXPECT_EQ(zyl::tools::ReadFrame(*camera.vpa, frame), kOk);
        return frame.pixels;
    }
    static std::uint8_t* Plane(Camera& camera) {
        std::uint8_t* base = nullptr;
        VPAEntry* table = nullptr;
        return camera.vpa->GetPlaneVPA(0, &base, &table) == kOk ? base : nullptr;
    }
    // Each seek is followed by a wait, which must deliver the given frame.
    void PlaySeeks(const ZyrvClip& clip, const std::vector<std::tuple<Seek, Result, int>>& seeks) {
        auto camera = OpenClip(clip, "seeks" + std::to_string(clip.frames) + ".zyrv");
        ASSERT_TRUE(camera);
        camera->grab2->G2Grab();
        for (std::size_t i = 0; i < seeks.size(); ++i) {
            const auto& [seek, result, frame] = seeks[i];
            EXPECT_EQ(seek(*camera), result) << "seek " << i;
            EXPECT_EQ(WaitIndex(*camera), frame) << "seek " << i;
        }
    }
    // Runs body on this thread again and again while another thread waits for 100 frames.
    static void WhileWaiting(Camera& camera, const std::function<void()>& body) {
        camera.grab2->G2Grab();
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            for (int i = 0; i < 100; ++i)
                EXPECT_EQ(camera.grab2->G2Wait(), kOk);
            done = true;
        });
        while (!done)
            body();
        waiter.join();
    }
    std::vector<CapturedMessage> Logged(std::uint32_t level, const std::string& start) const {
        std::vector<CapturedMessage> found;
        for (const CapturedMessage& m : log->messages()) {
            if (m.level == level && m.text.starts_with(start))
                found.push_back(m);
        }
        return found;
    }

    VirtualClock clock;
    zyl::test::TempDir dir;
    std::shared_ptr<zyl::test::CaptureTarget> log;
    std::int64_t liveBefore = 0;
};

}  // namespace

TEST_F(RawPlayer, EveryPixelFormatReachesTheHostInRedGreenBlueOrder) {
    for (const char* format : {"Mono8", "RGB8", "BGR8", "RGBA8"}) {
        const ZyrvClip clip{.format = format};
        auto camera = OpenClip(clip, std::string(format) + ".zyrv");
        ASSERT_TRUE(camera) << format;
        std::int32_t planes = 0, width = 0, height = 0;
        camera->vpa->GetSize(&planes, &width, &height);
        ASSERT_EQ(camera->grab2->G2Grab(), kOk);
        for (int k = 0; k < 3; ++k) {
            ASSERT_EQ(camera->grab2->G2Wait(), kOk);
            EXPECT_EQ(Pixels(*camera), zyl::test::ExpectedPixels(clip, k))
                << format << " frame " << k;
        }
        std::int32_t type = 0;
        EXPECT_EQ(camera->vpa->GetPlaneDataType(planes - 1, &type), kOk);
        EXPECT_EQ(type, 8);
        EXPECT_EQ(camera->vpa->GetPlaneDataType(planes, &type), kBadPlane);
    }
}

TEST_F(RawPlayer, LoopsAtTheEndCountsFramesAndSnapsWhenFrozen) {
    auto camera = OpenClip({.frames = 3});
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->grab2->G2Wait(), kNotGrabbing);
    camera->grab2->G2Grab();
    std::vector<std::int32_t> indices;
    for (int i = 0; i < 7; ++i)
        indices.push_back(WaitIndex(*camera));
    EXPECT_EQ(indices, (std::vector<std::int32_t>{0, 1, 2, 0, 1, 2, 0}));
    const auto status = [&](std::uint32_t selector) {
        double value = -1;
        EXPECT_EQ(camera->grab2->G2GetStatus(selector, &value), kOk) << selector;
        return value;
    };
    EXPECT_EQ(status(0), 7.0) << "delivered";
    EXPECT_EQ(status(5), 1.0) << "running";
    camera->grab2->G2Freeze(true);
    EXPECT_EQ(status(5), 0.0);
    EXPECT_EQ(camera->grabber->Snap(), kOk);
    EXPECT_EQ(camera->GetInt(kCmdFrameIndex), 1) << "Snap goes on with the next frame";
    EXPECT_EQ(status(5), 0.0) << "Snap leaves the player idle";
    EXPECT_EQ(camera->grab2->G2Wait(), kNotGrabbing);
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0) << "a grab starts again at the first frame";
}

// Every way to move: frame and time commands, their text forms and the output buttons. Frame
// positions wrap by the span from the first to the last frame.
TEST_F(RawPlayer, SeeksWrapInsideTheVideo) {
    ZyrvClip clip{.frames = 10, .fps = 1000};  // positions in milliseconds equal frame numbers
    PlaySeeks(clip, {
                        {Int(kCmdFrameIndex, 12), kOk, 3},
                        {Real(kCmdPositionMs, -1), kOk, 8},
                        {Real(kCmdRewind, 0), kOk, 0},
                        {Int(kCmdStepFrames, -1), kOk, 8},
                        {Real(kCmdPositionMs, 9), kOk, 9},
                        {Real(kCmdSeekRelativeMs, -4), kOk, 5},
                        {Port(1, 2), kOk, 2},
                        {Port(0, 1), kNotSupported, 3},
                        {Port(2, 1), kBadArgument, 4},
                        {Bit(0), kOk, 5},
                        {Bit(5), kOk, 4},  // a hundred back: 5 - 100 wraps by 9 to 4
                        {Bit(4, 0), kOk, 5},
                        {Bit(7), kNotSupported, 6},
                        {Bit(6), kOk, 0},
                        {Text(kCmdFrameIndex | kOpSet, "2"), kOk, 2},  // the text counts
                        {Text(kCmdFrameIndex | kOpSet, "12", 1), kOk, 3},
                        {Text(kCmdPositionMs | kOpSet, "65.5"), kOk, 2},
                        {Text(kCmdStepFrames | kOpSet, "-4"), kOk, 7},
                        {Text(kCmdSeekRelativeMs | kOpSet, "5"), kOk, 3},
                        {Text(kCmdFrameIndex | kOpValidate, "10"), kBadArgument, 4},
                        {Text(kCmdFrameIndex | kOpValidate, "9"), kOk, 5},
                        {Text(kCmdFrameCount | kOpSet, "3"), kFailed, 6},
                        {Text(kCmdFrameIndex | kOpSet, nullptr), kBadArgument, 7},
                        {Text(kCmdPositionMs | kOpValidate, nullptr), kBadArgument, 8},
                        {Text(kCmdRewind | kOpSet, nullptr), kOk, 0},
                    });
    // Without a rate a time means no frame and playback goes on; frame seeks wrap by frames.
    clip.frames = 4;
    clip.fps = 0;
    PlaySeeks(clip, {
                        {Real(kCmdPositionMs, 500), kOk, 0},
                        {Int(kCmdStepFrames, -2), kOk, 1},
                        {Int(kCmdFrameIndex, 7), kOk, 1},
                    });
    clip.frames = 1;
    PlaySeeks(clip, {{Int(kCmdStepFrames, 5), kOk, 0}, {Real(kCmdPositionMs, -3), kOk, 0}});
}

TEST_F(RawPlayer, LimitsTextAndPortsDescribeTheVideo) {
    ZyrvClip clip{.frames = 10, .fps = 25};
    auto camera = OpenClip(clip);
    ASSERT_TRUE(camera);
    IDeviceCtrl& d = *camera->device;
    std::int32_t i = 0;
    double x = 0;
    std::uint64_t size = 8;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdPositionMs | kOpUpperLimit, nullptr, 0, &x, &size), kOk);
    EXPECT_EQ(x, 360.0) << "the start of the last frame";
    size = 4;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameIndex | kOpUpperLimit, nullptr, 0, &i, &size), kOk);
    EXPECT_EQ(i, 9);
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdStepFrames, nullptr, 0, &i, &size), kFailed) << "write-only";

    char text[16] = {};
    std::uint64_t length = sizeof text;
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameTimeMs, nullptr, 0, text, &length), kOk);
    EXPECT_STREQ(text, "40");
    EXPECT_EQ(length, 2u);
    length = 0;
    EXPECT_EQ(d.DeviceCtrlString(kCmdLengthMs, nullptr, 0, nullptr, &length), kOk);
    EXPECT_EQ(length, 4u) << "\"400\" and its terminator";
    length = 3;
    EXPECT_EQ(d.DeviceCtrlString(kCmdLengthMs, nullptr, 0, text, &length), kOk);
    EXPECT_STREQ(text, "40") << "cut to the buffer, terminated";
    EXPECT_EQ(d.DeviceCtrlString(256, "1", 1, text, &length), kNotSupported);

    std::uint32_t v = 0;
    EXPECT_EQ(camera->dio->GetInputPort(0, &v), kOk);
    EXPECT_EQ(v, 10u) << "the input port holds the frame count";
    camera->grab2->G2Grab();
    camera->SetInt(kCmdFrameIndex, 7);
    EXPECT_EQ(WaitIndex(*camera), 7);
    EXPECT_EQ(camera->dio->GetOutputBit(32 + 1, &v), kOk);
    EXPECT_EQ(v, 1u) << "output port 1 holds the frame shown: 7 = 0b111";

    clip.fps = 30;
    EXPECT_EQ(OpenClip(clip, "thirty.zyrv")->GetDouble(kCmdFrameTimeMs), 33.0) << "whole ms";
}

// A failed open answers null and says why in one fatal line.
TEST_F(RawPlayer, BrokenFilesGiveNoCamera) {
    const ZyrvClip clip;
    const std::vector<std::uint8_t> header = zyl::tools::EncodeZyrvHeader({});
    const std::string broken = zyl::test::WriteBytes(
        dir.file("short.zyrv"), std::vector<std::uint8_t>(header.begin(), header.begin() + 20));
    EXPECT_FALSE(Open(broken));
    const auto fatal = Logged(qnLogging::level::fatal,
                              "Creation of AVI player object raised an "
                              "exception: Unable to load media file.");
    EXPECT_EQ(fatal.size(), 1u);
    std::filesystem::create_directories(dir.file("dir.zyrv"));
    for (const std::string& path :
         {dir.file("missing.zyrv"), zyl::test::WriteZyrv(dir.file("upper.ZYRV"), clip),
          dir.file("clip.avi"), std::string(),
          zyl::test::WriteZyrv(dir.file("dir.zyrv/clip.avi"), clip)}) {
        EXPECT_FALSE(Open(path)) << path;
    }
    EXPECT_TRUE(std::filesystem::exists(dir.file("missing.zyrv"))) << "opened with open-always";
    EXPECT_TRUE(Open(zyl::test::WriteZyrv(dir.file(".zyrv"), clip)))
        << "the whole name is the extension";
}

TEST_F(RawPlayer, TruncatedWhilePlayingGivesBlackFramesNotACrash) {
    const ZyrvClip clip{.frames = 4};
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), clip);
    auto camera = Open(path);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    ASSERT_EQ(camera->grab2->G2Wait(), kOk);
    ASSERT_EQ(truncate(path.c_str(), 40 + 32 * 24 * 3 + 100), 0);
    ASSERT_EQ(camera->grab2->G2Wait(), kOk);
    const auto pixels = Pixels(*camera);
    const auto expected = zyl::test::ExpectedPixels(clip, 1);
    const auto zero = [](std::uint8_t b) { return b == 0; };
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + 100, expected.begin()));
    EXPECT_TRUE(std::all_of(pixels.begin() + 100, pixels.end(), zero))
        << "the part that is gone reads as zero";
    ASSERT_EQ(camera->grab2->G2Wait(), kOk);
    const auto gone = Pixels(*camera);
    EXPECT_TRUE(std::all_of(gone.begin(), gone.end(), zero));
}

TEST_F(RawPlayer, AFailedReadLeavesTheLastFrameAndTheIndicesInPlace) {
    const ZyrvClip clip{.frames = 6};
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), clip);
    auto camera = Open(path);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0);
    EXPECT_EQ(WaitIndex(*camera), 1);
    std::uint8_t* const before = Plane(*camera);
    ASSERT_NE(before, nullptr);

    BrokenReads broken(path, dir.path().string());
    try {
        camera->grab2->G2Wait();
        ADD_FAILURE() << "the read cannot succeed";
    } catch (const qnErrors::CqnHRESULTException& e) {
        EXPECT_TRUE(std::string(e.GetMessage()).starts_with("Unable to read frame from video."))
            << e.GetMessage();
    }
    EXPECT_EQ(Plane(*camera), before) << "the same image";
    EXPECT_EQ(Pixels(*camera), zyl::test::ExpectedPixels(clip, 1)) << "the host still sees 1";
    EXPECT_EQ(camera->GetInt(kCmdFrameIndex), 1);
    double delivered = 0;
    camera->grab2->G2GetStatus(0, &delivered);
    EXPECT_EQ(delivered, 2.0);
    const auto failures = Logged(qnLogging::level::err, "Error Reading image from container.");
    ASSERT_EQ(failures.size(), 1u) << "one failure, one line";
    EXPECT_NE(failures[0].text.find(" Error: 21"), std::string::npos) << failures[0].text;

    EXPECT_EQ(camera->grabber->Snap(), kOk) << "Snap reports the failure and carries on";
    EXPECT_EQ(Logged(qnLogging::level::err, "G2Wait failed.").size(), 1u);
    EXPECT_EQ(camera->GetInt(kCmdFrameIndex), 1);

    broken.Repair();
    camera->grab2->G2Grab();
    camera->SetInt(kCmdFrameIndex, 2);
    EXPECT_EQ(WaitIndex(*camera), 2) << "the container stays usable";
    EXPECT_EQ(Pixels(*camera), zyl::test::ExpectedPixels(clip, 2));
}

TEST_F(RawPlayer, AVideoWithoutFramesKeepsItsBlankImage) {
    auto camera = OpenClip({.frames = 0}, "empty.zyrv");
    ASSERT_TRUE(camera) << "a container without frames still opens";
    EXPECT_EQ(camera->GetInt(kCmdFrameCount), 0);
    std::uint8_t* const before = Plane(*camera);
    ASSERT_NE(before, nullptr) << "the host has an image to look at";
    camera->grab2->G2Grab();
    EXPECT_THROW(camera->grab2->G2Wait(), qnErrors::CqnHRESULTException);
    EXPECT_EQ(Plane(*camera), before);
    EXPECT_EQ(camera->grabber->Snap(), kOk) << "Snap reports the failure and carries on";
}

// Frames are due on a fixed schedule from the grab: never early, even when a sleep ends early,
// and a caller that fell behind gets the frames already due at once, without skipping any.
TEST_F(RawPlayer, FramesFollowAFixedScheduleFromTheGrab) {
    auto camera = OpenClip({.frames = 10, .fps = 25});
    ASSERT_TRUE(camera);
    const std::int64_t grab = clock.now;
    camera->grab2->G2Grab();
    clock.wakeEarlyBy = 3 * kMs;
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(WaitIndex(*camera), k);
        EXPECT_EQ(clock.now, grab + (k + 1) * 40 * kMs) << "frame " << k;
    }
    ASSERT_EQ(clock.sleeps.size(), 5u) << "the sleep that ended early was followed by another";
    EXPECT_EQ(clock.sleeps[0], clock.sleeps[1]);
    clock.now += 130 * kMs;  // the host was busy for three frame times and a bit
    for (int k = 4; k < 7; ++k) {
        EXPECT_EQ(WaitIndex(*camera), k);
        EXPECT_EQ(clock.now, grab + 290 * kMs) << "frame " << k << " was due: no waiting";
    }
    EXPECT_EQ(clock.sleeps.size(), 5u);
    EXPECT_EQ(WaitIndex(*camera), 7);
    EXPECT_EQ(clock.now, grab + 320 * kMs) << "back on the schedule";
    camera->grab2->G2Freeze(true);
    clock.now += 10 * kMs;
    EXPECT_EQ(camera->grabber->Snap(), kOk);
    EXPECT_EQ(clock.now, grab + 360 * kMs) << "the snap waited for its place in the schedule";
    clock.now += 500 * kMs;
    EXPECT_EQ(camera->grabber->Snap(), kOk);
    EXPECT_EQ(clock.sleeps.size(), 7u) << "long overdue: no wait";
}

TEST_F(RawPlayer, ReplayPacedKeepsTheScheduleAndFreeNeverSleeps) {
    for (const int mode : {1, 2}) {
        SCOPED_TRACE("ReplayMode " + std::to_string(mode));
        dir.write("r.reg",
                  "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI]\n"
                  "\"ReplayMode\"=dword:0000000" +
                      std::to_string(mode) + "\n");
        zyl::test::ScopedEnv registry("ZYLON_REGISTRY", dir.file("r.reg"));
        clock.sleeps.clear();
        auto camera = OpenClip({.frames = 3, .fps = 25});
        ASSERT_TRUE(camera);
        camera->grab2->G2Grab();
        clock.now += 1000 * kMs;  // a host far behind: still every frame, in order
        for (int k = 0; k < 7; ++k)
            EXPECT_EQ(WaitIndex(*camera), k % 3);
        EXPECT_TRUE(clock.sleeps.empty()) << "all were overdue";
        for (int k = 7; k < 40; ++k)
            EXPECT_EQ(WaitIndex(*camera), k % 3);
        // Paced, the frames beyond the 1 s the host lost wait for their time; free, none does.
        EXPECT_EQ(clock.sleeps.empty(), mode == 2);
        double lost = -1;
        camera->grab2->G2GetStatus(2, &lost);
        EXPECT_EQ(lost, 0);
    }
}

// Rates that would make a frame last longer than ten seconds come from a damaged header; those
// and a missing rate leave frames unpaced.
TEST_F(RawPlayer, ACorruptOrMissingFrameRateNeverMakesTheHostWait) {
    for (const double rate : {0.0, 4.9e-324, 1e-300, 1e-9, 0.001, 0.0999}) {
        auto camera = OpenClip({.fps = rate}, "corrupt.zyrv");
        ASSERT_TRUE(camera) << rate;
        EXPECT_EQ(camera->GetDouble(kCmdFrameTimeMs), 0.0) << rate;
        EXPECT_EQ(camera->GetDouble(kCmdLengthMs), 0.0) << rate;
        const std::int64_t grab = clock.now;
        camera->grab2->G2Grab();
        EXPECT_EQ(WaitIndex(*camera), 0);
        EXPECT_EQ(WaitIndex(*camera), 1);
        EXPECT_TRUE(clock.sleeps.empty()) << rate;
        EXPECT_EQ(clock.now, grab) << rate;
        camera->SetInt(kCmdStepFrames, 2);
        EXPECT_EQ(WaitIndex(*camera), 3) << "seeks by frame still work";
    }
    EXPECT_EQ(
        Logged(qnLogging::level::fatal, "Cannot decode the format type (frame rate) of the video.")
            .size(),
        5u);

    auto camera = OpenClip({.fps = 0.1}, "slow.zyrv");
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->GetDouble(kCmdFrameTimeMs), 10000.0) << "ten seconds a frame still plays";
    const std::int64_t grab = clock.now;
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0);
    EXPECT_EQ(clock.now, grab + 10'000 * kMs);
}

TEST_F(RawPlayer, WaitAndStatusFromTwoThreads) {
    auto camera = OpenClip(ZyrvClip{});
    ASSERT_TRUE(camera);
    double last = 0;
    WhileWaiting(*camera, [&] {
        double delivered = 0;
        EXPECT_EQ(camera->grab2->G2GetStatus(0, &delivered), kOk);
        EXPECT_GE(delivered, last) << "the count never goes back";
        last = delivered;
        camera->SetInt(kCmdStepFrames, 1);  // seeks run beside a wait without the lock
    });
    double delivered = 0;
    camera->grab2->G2GetStatus(0, &delivered);
    EXPECT_EQ(delivered, 100.0);
}

TEST_F(RawPlayer, PlaneAccessDuringAWaitFindsAnImage) {
    auto camera = OpenClip({.width = 640, .height = 480, .frames = 3});
    ASSERT_TRUE(camera);
    int looks = 0, misses = 0;
    WhileWaiting(*camera, [&] {
        misses += Plane(*camera) == nullptr ? 1 : 0;
        ++looks;
    });
    EXPECT_EQ(misses, 0) << "of " << looks << " looks";
}

// Through the loaded module as a host has it: the system clock paces, a file is the player's
// alone, and the module may be unloaded once every player is gone.
TEST_F(RawPlayer, AsALoadedModule) {
    zyl::tools::LoadedModule module;
    const std::string path = zyl::test::WriteZyrv(dir.file("loaded.zyrv"), {.fps = 25});
    const auto open = [&] {
        HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(path).c_str());
        return handle ? std::make_unique<Camera>(handle) : nullptr;
    };
    auto first = open();
    ASSERT_TRUE(first);
    EXPECT_FALSE(open()) << "the file is taken";
    EXPECT_FALSE(module.CanUnload());
    const auto start = std::chrono::steady_clock::now();
    first->grab2->G2Grab();
    for (int k = 1; k <= 3; ++k) {
        ASSERT_EQ(first->grab2->G2Wait(), kOk);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40 * k))
            << "frame " << k;
    }
    first.reset();
    EXPECT_TRUE(module.CanUnload());
    EXPECT_TRUE(open());
}
