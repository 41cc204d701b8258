// The raw video player built by this process's own copy of the entry points, where a test can
// put a virtual clock in place of the system's and read what the player and the entry points
// log. The host stand-in is shared with the loaded module, so handles behave alike.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/module_host.h"
#include "module/base/errors/hresult_exception.h"
#include "module/entry/Entry.h"
#include "module/entry/HostStorage.h"
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

// The descriptor this process holds open on a file (the container's), or -1.
int DescriptorOf(const std::string& path) {
    const auto target = std::filesystem::canonical(path);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) == target)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}

// Makes every read through the container's descriptor fail (it now refers to a folder) until
// the file is put back.
class BrokenReads {
public:
    BrokenReads(const std::string& file, const std::string& folder)
        : file_(file), fd_(DescriptorOf(file)) {
        EXPECT_GE(fd_, 0) << "the container holds the file open";
        const int replacement = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        EXPECT_EQ(dup2(replacement, fd_), fd_);
        close(replacement);
    }
    void Repair() {
        const int replacement = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(dup2(replacement, fd_), fd_);
        close(replacement);
    }

private:
    std::string file_;
    int fd_;
};

class RawPlayerInside : public zyl::test::LoggingTest {
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
    }
    void TearDown() override {
        SetPacingClockForTesting(nullptr);
        LoggingTest::TearDown();
    }

    std::unique_ptr<Camera> Open(const std::string& path) {
        HostHandle handle = GetImageFromFileW(zyl::tools::Widen(path).c_str());
        return handle ? std::make_unique<Camera>(handle) : nullptr;
    }
    std::unique_ptr<Camera> OpenClip(const ZyrvClip& clip, const std::string& name = "v.zyrv") {
        return Open(zyl::test::WriteZyrv(dir.file(name), clip));
    }
    std::int32_t WaitIndex(Camera& camera) {
        EXPECT_EQ(camera.grab2->G2Wait(), kOk);
        return camera.GetInt(kCmdFrameIndex);
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
};

}  // namespace

TEST_F(RawPlayerInside, FramesFollowAFixedScheduleFromTheGrab) {
    ZyrvClip clip;
    clip.frames = 4;
    clip.fps = 25;
    auto camera = OpenClip(clip);
    ASSERT_TRUE(camera);
    const std::int64_t grab = clock.now;
    camera->grab2->G2Grab();
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(WaitIndex(*camera), k % 4);
        EXPECT_EQ(clock.now, grab + (k + 1) * 40 * kMs) << "frame " << k;
    }
    ASSERT_EQ(clock.sleeps.size(), 10u);
    EXPECT_EQ(clock.sleeps.back(), grab + 400 * kMs) << "each sleep aims at the schedule";
}

TEST_F(RawPlayerInside, ACallerThatFellBehindCatchesUpWithoutSkippingFrames) {
    ZyrvClip clip;
    clip.frames = 10;
    clip.fps = 25;
    auto camera = OpenClip(clip);
    ASSERT_TRUE(camera);
    const std::int64_t grab = clock.now;
    camera->grab2->G2Grab();
    clock.now += 130 * kMs;  // the host was busy for three frame times and a bit
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(WaitIndex(*camera), k);
        EXPECT_EQ(clock.now, grab + 130 * kMs) << "frame " << k << " was due: no waiting";
    }
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(WaitIndex(*camera), 3);
    EXPECT_EQ(clock.now, grab + 160 * kMs) << "back on the schedule";
    EXPECT_EQ(WaitIndex(*camera), 4);
    EXPECT_EQ(clock.now, grab + 200 * kMs);
}

TEST_F(RawPlayerInside, ASleepThatEndsEarlyIsFollowedByAnother) {
    ZyrvClip clip;
    clip.fps = 25;
    auto camera = OpenClip(clip);
    ASSERT_TRUE(camera);
    const std::int64_t grab = clock.now;
    camera->grab2->G2Grab();
    clock.wakeEarlyBy = 3 * kMs;
    EXPECT_EQ(WaitIndex(*camera), 0);
    EXPECT_EQ(clock.now, grab + 40 * kMs) << "never early";
    EXPECT_EQ(clock.sleeps, (std::vector<std::int64_t>{grab + 40 * kMs, grab + 40 * kMs}));
}

TEST_F(RawPlayerInside, SnapKeepsTheScheduleAndFramesWithoutARateAreNotPaced) {
    ZyrvClip clip;
    clip.fps = 25;
    auto camera = OpenClip(clip);
    ASSERT_TRUE(camera);
    const std::int64_t grab = clock.now;
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0);
    camera->grab2->G2Freeze(true);
    EXPECT_EQ(camera->grabber->Snap(), kOk);
    EXPECT_EQ(clock.now, grab + 80 * kMs) << "the snap waited for its place in the schedule";
    clock.now += 500 * kMs;
    const std::size_t sleeps = clock.sleeps.size();
    EXPECT_EQ(camera->grabber->Snap(), kOk);
    EXPECT_EQ(clock.sleeps.size(), sleeps) << "long overdue: no wait";

    auto unpaced = OpenClip(ZyrvClip{}, "unpaced.zyrv");
    ASSERT_TRUE(unpaced);
    unpaced->grab2->G2Grab();
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(WaitIndex(*unpaced), k);
    EXPECT_EQ(clock.sleeps.size(), sleeps);
}

// Rates that would make a frame last longer than ten seconds come from a damaged header.
TEST_F(RawPlayerInside, ACorruptFrameRateNeverMakesTheHostWait) {
    for (const double rate : {4.9e-324, 1e-300, 1e-9, 0.001, 0.0999}) {
        ZyrvClip clip;
        clip.fps = rate;
        auto camera = OpenClip(clip, "corrupt.zyrv");
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
    EXPECT_EQ(Logged(qnLogging::level::warn, "No frame time set for video. Using default.").size(),
              5u);
    EXPECT_EQ(Logged(qnLogging::level::fatal,
                     "Cannot decode the format type (frame rate) of the "
                     "video.")
                  .size(),
              5u);

    ZyrvClip slow;
    slow.fps = 0.1;
    auto camera = OpenClip(slow, "slow.zyrv");
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->GetDouble(kCmdFrameTimeMs), 10000.0) << "ten seconds a frame still plays";
    const std::int64_t grab = clock.now;
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0);
    EXPECT_EQ(clock.now, grab + 10'000 * kMs);
}

TEST_F(RawPlayerInside, AFailedReadLeavesTheLastFrameAndTheIndicesInPlace) {
    ZyrvClip clip;
    clip.frames = 6;
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), clip);
    auto camera = Open(path);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0);
    EXPECT_EQ(WaitIndex(*camera), 1);
    std::uint8_t* before = nullptr;
    VPAEntry* table = nullptr;
    ASSERT_EQ(camera->vpa->GetPlaneVPA(0, &before, &table), kOk);

    BrokenReads broken(path, dir.path().string());
    try {
        camera->grab2->G2Wait();
        ADD_FAILURE() << "the read cannot succeed";
    } catch (const qnErrors::CqnHRESULTException& e) {
        EXPECT_TRUE(std::string(e.GetMessage()).starts_with("Unable to read frame from video."))
            << e.GetMessage();
    }
    std::uint8_t* after = nullptr;
    ASSERT_EQ(camera->vpa->GetPlaneVPA(0, &after, &table), kOk);
    EXPECT_EQ(after, before) << "the same image";
    zyl::tools::Frame frame;
    ASSERT_EQ(zyl::tools::ReadFrame(*camera->vpa, frame), kOk);
    EXPECT_EQ(frame.pixels, zyl::test::ExpectedPixels(clip, 1)) << "the host still sees frame 1";
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
    ASSERT_EQ(zyl::tools::ReadFrame(*camera->vpa, frame), kOk);
    EXPECT_EQ(frame.pixels, zyl::test::ExpectedPixels(clip, 2));
}

TEST_F(RawPlayerInside, TheBlankFirstImageStaysWhenTheFirstReadFails) {
    ZyrvClip empty;
    empty.frames = 0;
    auto camera = OpenClip(empty, "empty.zyrv");
    ASSERT_TRUE(camera);
    std::uint8_t* before = nullptr;
    VPAEntry* table = nullptr;
    ASSERT_EQ(camera->vpa->GetPlaneVPA(0, &before, &table), kOk);
    camera->grab2->G2Grab();
    EXPECT_THROW(camera->grab2->G2Wait(), qnErrors::CqnHRESULTException);
    std::uint8_t* after = nullptr;
    ASSERT_EQ(camera->vpa->GetPlaneVPA(0, &after, &table), kOk);
    EXPECT_EQ(after, before);
    EXPECT_EQ(Logged(qnLogging::level::err, "Cannot set frame index for video.").size(), 1u);
    EXPECT_EQ(
        Logged(qnLogging::level::err, "Desired index exceeds number of frames available.").size(),
        2u)
        << "the refused index, then the refused read";
}

TEST_F(RawPlayerInside, EachListedInterfaceIsThePlayersOwn) {
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), ZyrvClip{});
    auto built = zylBase::BuildInHostStorage<RVPlayer>(zyl::tools::Widen(path));
    RVPlayer* player = built.get();
    InterfaceEntry entries[5] = {};
    std::uint64_t count = 5;
    ASSERT_EQ(static_cast<IGrabber*>(player)->GetInterfaces(entries, &count), kOk);
    ASSERT_EQ(count, 5u);
    const InterfaceEntry expected[5] = {
        {kIdImageVPA, static_cast<IImageVPA*>(player)},
        {kIdGrabber, static_cast<IGrabber*>(player)},
        {kIdBasicDIO, static_cast<IBasicDIO*>(player)},
        {kIdDeviceCtrl, static_cast<IDeviceCtrl*>(player)},
        {kIdGrab2, static_cast<IGrab2*>(player)},
    };
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(entries[i].id, expected[i].id) << "entry " << i;
        EXPECT_EQ(entries[i].pointer, expected[i].pointer) << "entry " << i;
    }
}

TEST_F(RawPlayerInside, WhatThePlayerLogs) {
    auto camera = OpenClip(ZyrvClip{});
    ASSERT_TRUE(camera);
    EXPECT_EQ(Logged(qnLogging::level::warn, "No frame time set for video. Using default.").size(),
              1u)
        << "once, at construction";
    EXPECT_EQ(camera->grab2->G2Wait(), kNotGrabbing);
    EXPECT_EQ(Logged(qnLogging::level::err,
                     "Cannot read frame from video. G2Grab has to run prior calling G2Wait")
                  .size(),
              1u);
    EXPECT_EQ(camera->grabber->SetNotify(nullptr, nullptr), kNotSupported);
    EXPECT_EQ(
        Logged(qnLogging::level::warn, "Obsolete method IGrabber::SetNotify was called.").size(),
        1u);
    EXPECT_TRUE(Logged(qnLogging::level::info, "Destroying RVPlayer object.").empty());
    camera.reset();
    EXPECT_EQ(Logged(qnLogging::level::info, "Destroying RVPlayer object.").size(), 1u);
}

TEST_F(RawPlayerInside, WhatTheEntryPointsLog) {
    const std::string broken = zyl::test::WriteBytes(dir.file("broken.zyrv"), {1, 2, 3});
    EXPECT_EQ(GetImageFromFileW(zyl::tools::Widen(broken).c_str()), nullptr);
    const auto fatal = Logged(qnLogging::level::fatal,
                              "Creation of AVI player object raised an exception: Unable to load "
                              "media file. Exception from Sub-Facility Nr. 0 of Facility Nr. 0 "
                              "thrown in file RVPlayer at line Nr. ");
    EXPECT_EQ(fatal.size(), 1u);
    // No sibling library lies beside this executable or on the library path.
    EXPECT_EQ(Logged(qnLogging::level::info,
                     "Unable to open KELFile.dll - will continue without checking with "
                     "KELFile.dll whether it would support the file format of '" +
                         broken + "'")
                  .size(),
              1u);
}
