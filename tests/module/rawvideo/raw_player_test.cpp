// The raw video player driven through the host stand-in, as a host drives it: the module is
// loaded with dlopen and every call goes through the exports and the driver interfaces.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/module_host.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

using namespace ZYL;
using zyl::test::ZyrvClip;
using zyl::tools::Camera;
using zyl::tools::Frame;

namespace {

class RawPlayer : public ::testing::Test {
protected:
    std::unique_ptr<Camera> Open(const std::string& path) {
        HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(path).c_str());
        if (!handle)
            return nullptr;
        return std::make_unique<Camera>(handle);
    }
    std::unique_ptr<Camera> OpenSpec(const ZyrvClip& clip, const std::string& name = "v.zyrv") {
        return Open(zyl::test::WriteZyrv(dir.file(name), clip));
    }
    static std::vector<std::uint8_t> Pixels(Camera& camera) {
        Frame frame;
        EXPECT_EQ(zyl::tools::ReadFrame(*camera.vpa, frame), kOk);
        return frame.pixels;
    }
    static std::int32_t WaitIndex(Camera& camera) {
        EXPECT_EQ(camera.grab2->G2Wait(), kOk);
        return camera.GetInt(kCmdFrameIndex);
    }

    zyl::tools::LoadedModule module;
    zyl::test::TempDir dir;
    const std::int64_t liveBefore = HostLiveObjects();
};

}  // namespace

TEST_F(RawPlayer, EveryPixelFormatReachesTheHostInRedGreenBlueOrder) {
    for (const char* format : {"Mono8", "RGB8", "BGR8", "RGBA8"}) {
        ZyrvClip clip;
        clip.format = format;
        auto camera = OpenSpec(clip, std::string(format) + ".zyrv");
        ASSERT_TRUE(camera) << format;
        std::int32_t planes = 0, width = 0, height = 0;
        camera->vpa->GetSize(&planes, &width, &height);
        EXPECT_EQ(width, 32);
        EXPECT_EQ(height, 24);
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

TEST_F(RawPlayer, LoopsAtTheEndAndCountsDeliveredFrames) {
    ZyrvClip clip;
    clip.frames = 3;
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    std::vector<std::int32_t> indices;
    for (int i = 0; i < 7; ++i)
        indices.push_back(WaitIndex(*camera));
    EXPECT_EQ(indices, (std::vector<std::int32_t>{0, 1, 2, 0, 1, 2, 0}));
    double value = -1;
    EXPECT_EQ(camera->grab2->G2GetStatus(0, &value), kOk);
    EXPECT_EQ(value, 7.0);
    EXPECT_EQ(camera->grab2->G2GetStatus(2, &value), kOk);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(camera->grab2->G2GetStatus(5, &value), kOk);
    EXPECT_EQ(value, 1.0);
    EXPECT_EQ(camera->grab2->G2GetStatus(3, &value), kNotSupported);
    camera->grab2->G2Freeze(true);
    EXPECT_EQ(camera->grab2->G2GetStatus(5, &value), kOk);
    EXPECT_EQ(value, 0.0);
}

TEST_F(RawPlayer, WaitBeforeGrabAndSnapAfterFreeze) {
    auto camera = OpenSpec(ZyrvClip{});
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->grab2->G2Wait(), kNotGrabbing);
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0);
    EXPECT_EQ(WaitIndex(*camera), 1);
    camera->grab2->G2Freeze(true);
    EXPECT_EQ(camera->grabber->Snap(), kOk);
    EXPECT_EQ(camera->GetInt(kCmdFrameIndex), 2) << "Snap goes on with the next frame";
    double running = 1;
    camera->grab2->G2GetStatus(5, &running);
    EXPECT_EQ(running, 0.0) << "Snap leaves the player idle";
    EXPECT_EQ(camera->grab2->G2Wait(), kNotGrabbing);
}

TEST_F(RawPlayer, SeeksWrapInsideTheVideo) {
    ZyrvClip clip;
    clip.frames = 10;
    clip.fps = 1000;  // 1 ms frames keep the test quick; the arithmetic is the same at any rate
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    camera->SetInt(kCmdFrameIndex, 12);
    EXPECT_EQ(WaitIndex(*camera), 3);
    camera->SetDouble(kCmdPositionMs, -1);
    EXPECT_EQ(WaitIndex(*camera), 8);
    camera->SetDouble(kCmdRewind, 0);
    EXPECT_EQ(WaitIndex(*camera), 0);
    camera->SetInt(kCmdStepFrames, -1);
    EXPECT_EQ(WaitIndex(*camera), 8);
    camera->SetDouble(kCmdPositionMs, 9);
    EXPECT_EQ(WaitIndex(*camera), 9);
    camera->SetDouble(kCmdSeekRelativeMs, -4);
    EXPECT_EQ(WaitIndex(*camera), 5);
    EXPECT_EQ(camera->dio->SetOutputPort(1, 2), kOk);
    EXPECT_EQ(WaitIndex(*camera), 2);
    EXPECT_EQ(camera->dio->SetOutputBit(0, 1), kOk);
    EXPECT_EQ(WaitIndex(*camera), 3);
    EXPECT_EQ(camera->dio->SetOutputBit(5, 1), kOk);  // a hundred back: 3 - 100 wraps by 9 to 2
    EXPECT_EQ(WaitIndex(*camera), 2);
    camera->SetInt(kCmdFrameIndex, 6);
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0) << "a grab starts again at the first frame";
}

TEST_F(RawPlayer, WithoutAFrameRateFrameSeeksWrapAndTimeSeeksStay) {
    ZyrvClip clip;
    clip.frames = 4;
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->GetDouble(kCmdFrameTimeMs), 0.0);
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0);
    camera->SetDouble(kCmdPositionMs, 500);
    EXPECT_EQ(WaitIndex(*camera), 1) << "no rate: a time means no frame, playback goes on";
    camera->SetInt(kCmdStepFrames, -2);
    EXPECT_EQ(WaitIndex(*camera), 2) << "1 - 2 wraps by the span of 3 frames";
    camera->SetInt(kCmdFrameIndex, 7);
    EXPECT_EQ(WaitIndex(*camera), 1);

    ZyrvClip single;
    single.frames = 1;
    single.fps = 1000;
    auto one = OpenSpec(single, "one.zyrv");
    ASSERT_TRUE(one);
    one->grab2->G2Grab();
    one->SetInt(kCmdStepFrames, 5);
    EXPECT_EQ(WaitIndex(*one), 0);
    one->SetDouble(kCmdPositionMs, -3);
    EXPECT_EQ(WaitIndex(*one), 0);
}

TEST_F(RawPlayer, PacesOnAFixedScheduleAndNeverEarly) {
    ZyrvClip clip;
    clip.frames = 4;
    clip.fps = 25;
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->GetDouble(kCmdFrameTimeMs), 40.0);
    const auto start = std::chrono::steady_clock::now();
    camera->grab2->G2Grab();
    for (int k = 1; k <= 10; ++k) {
        ASSERT_EQ(camera->grab2->G2Wait(), kOk);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40 * k))
            << "frame " << k;
    }
    ZyrvClip thirty = clip;
    thirty.fps = 30;
    EXPECT_EQ(OpenSpec(thirty, "thirty.zyrv")->GetDouble(kCmdFrameTimeMs), 33.0) << "truncated";
}

TEST_F(RawPlayer, DataOffsetAndZeroFrames) {
    ZyrvClip clip;
    clip.dataOffset = 512;
    clip.format = "Mono8";
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    camera->SetInt(kCmdFrameIndex, 2);
    ASSERT_EQ(camera->grab2->G2Wait(), kOk);
    EXPECT_EQ(Pixels(*camera), zyl::test::ExpectedPixels(clip, 2));

    ZyrvClip empty;
    empty.frames = 0;
    auto none = OpenSpec(empty, "empty.zyrv");
    ASSERT_TRUE(none) << "a container without frames still opens";
    EXPECT_EQ(none->GetInt(kCmdFrameCount), 0);
    none->grab2->G2Grab();
    EXPECT_ANY_THROW(none->grab2->G2Wait()) << "reading a frame that is not there fails";
    std::uint8_t* base = nullptr;
    VPAEntry* table = nullptr;
    EXPECT_EQ(none->vpa->GetPlaneVPA(0, &base, &table), kOk)
        << "the host still has an image to look at";
    EXPECT_EQ(none->grabber->Snap(), kOk) << "Snap logs the failure and carries on";
}

TEST_F(RawPlayer, BrokenFilesGiveNoCamera) {
    ZyrvClip clip;
    const std::vector<std::uint8_t> header = zyl::tools::EncodeZyrvHeader({});
    EXPECT_FALSE(Open(zyl::test::WriteBytes(
        dir.file("short.zyrv"), std::vector<std::uint8_t>(header.begin(), header.begin() + 20))));
    EXPECT_FALSE(Open(dir.file("missing.zyrv")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("missing.zyrv"))) << "opened with open-always";
    EXPECT_FALSE(Open(zyl::test::WriteZyrv(dir.file("upper.ZYRV"), clip)))
        << "goes to the DirectShow player";
    EXPECT_FALSE(Open(dir.file("clip.avi")));
    EXPECT_FALSE(Open(""));
    std::filesystem::create_directories(dir.file("dir.zyrv"));
    EXPECT_FALSE(Open(zyl::test::WriteZyrv(dir.file("dir.zyrv/clip.avi"), clip)));
    EXPECT_TRUE(Open(zyl::test::WriteZyrv(dir.file(".zyrv"), clip)))
        << "the whole name is the extension";
}

TEST_F(RawPlayer, AFileOpenedTwiceIsRefusedUntilReleased) {
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), ZyrvClip{});
    auto first = Open(path);
    ASSERT_TRUE(first);
    EXPECT_FALSE(Open(path));
    EXPECT_FALSE(module.CanUnload());
    first.reset();
    EXPECT_TRUE(module.CanUnload());
    EXPECT_TRUE(Open(path));
}

TEST_F(RawPlayer, TruncatedWhilePlayingGivesBlackFramesNotACrash) {
    ZyrvClip clip;
    clip.frames = 4;
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), clip);
    auto camera = Open(path);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    ASSERT_EQ(camera->grab2->G2Wait(), kOk);
    ASSERT_EQ(truncate(path.c_str(), 40 + 32 * 24 * 3 + 100), 0);
    ASSERT_EQ(camera->grab2->G2Wait(), kOk);
    const auto pixels = Pixels(*camera);
    const auto expected = zyl::test::ExpectedPixels(clip, 1);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + 100, expected.begin()));
    EXPECT_TRUE(std::all_of(pixels.begin() + 100, pixels.end(), [](std::uint8_t b) {
        return b == 0;
    })) << "the part that is gone reads as zero";
    ASSERT_EQ(camera->grab2->G2Wait(), kOk);
    const auto gone = Pixels(*camera);
    EXPECT_TRUE(std::all_of(gone.begin(), gone.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(RawPlayer, WaitAndStatusFromTwoThreads) {
    ZyrvClip clip;
    clip.fps = 500;
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(camera->grab2->G2Wait(), kOk);
        done = true;
    });
    double last = 0;
    while (!done) {
        double delivered = 0;
        EXPECT_EQ(camera->grab2->G2GetStatus(0, &delivered), kOk);
        EXPECT_GE(delivered, last) << "the count never goes back";
        last = delivered;
        camera->SetInt(kCmdStepFrames, 1);  // seeks run beside a wait without the lock
    }
    waiter.join();
    double delivered = 0;
    camera->grab2->G2GetStatus(0, &delivered);
    EXPECT_EQ(delivered, 100.0);
}

TEST_F(RawPlayer, InterfaceListAndHousekeeping) {
    auto camera = OpenSpec(ZyrvClip{});
    ASSERT_TRUE(camera);
    IDisposableType* object = camera->vpa;
    std::uint64_t count = 0;
    EXPECT_EQ(object->GetInterfaces(nullptr, &count), kOk);
    EXPECT_EQ(count, 5u);
    InterfaceEntry entries[7] = {};
    count = 4;
    EXPECT_EQ(object->GetInterfaces(entries, &count), kBadArgument);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(entries[0].id, 0u) << "nothing written";
    EXPECT_EQ(entries[0].pointer, nullptr);
    count = 7;
    ASSERT_EQ(object->GetInterfaces(entries, &count), kOk);
    ASSERT_EQ(count, 5u) << "the count of entries written";
    std::vector<std::uint64_t> ids;
    for (std::size_t i = 0; i < count; ++i) {
        ids.push_back(entries[i].id);
        EXPECT_NE(entries[i].pointer, nullptr);
    }
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 2, 8, 16, 10}));
    EXPECT_EQ(entries[5].id, 0u) << "nothing past the list";
    ClassId id{};
    EXPECT_EQ(camera->grabber->GetClassId(&id), kOk);
    EXPECT_EQ(id.data1, 0x7DBE4A03u);
    EXPECT_EQ(camera->grabber->Reserved1(), kNotSupported);
    EXPECT_EQ(camera->grabber->Reserved2(5), kNotSupported);
    EXPECT_EQ(camera->grabber->GetEngineObjects(nullptr, nullptr, nullptr), kNotSupported);
    EXPECT_EQ(camera->grabber->SetNotify(nullptr, nullptr), kNotSupported);
    ImageRecord record{};
    EXPECT_EQ(camera->vpa->GetImageRecord(&record), kOk);
    EXPECT_EQ(record.matrix[0], 1.0);
    record.originX = 5;
    camera->vpa->SetImageRecord(&record);
    ImageRecord again{};
    camera->vpa->GetImageRecord(&again);
    EXPECT_EQ(again.originX, 5.0);
}

TEST_F(RawPlayer, DeviceControlRules) {
    ZyrvClip clip;
    clip.frames = 10;
    clip.fps = 25;
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    IDeviceCtrl& d = *camera->device;
    std::int32_t i = 7;
    double x = 0;
    std::uint64_t size = 0;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameCount | kOpSet, &i, 4, &x, &size), kFailed);
    // Without an output a set or a validation only reports its size (0); nothing is done.
    size = 9;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameIndex | kOpSet, &i, 4, nullptr, &size), kOk);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(camera->GetInt(kCmdFrameIndex), 0);
    i = 99;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameIndex | kOpValidate, &i, 4, nullptr, nullptr), kOk);
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameCount, nullptr, 0, nullptr, &size), kOk);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdLengthMs, nullptr, 0, nullptr, &size), kOk);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(d.DeviceCtrlCmd(257, nullptr, 0, nullptr, &size), kNotSupported);
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameCount | 0x50000000, nullptr, 0, nullptr, &size),
              kNotSupported);
    size = 8;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameCount, nullptr, 0, &i, &size), kFailed) << "wrong size";
    size = 8;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdPositionMs | kOpUpperLimit, nullptr, 0, &x, &size), kOk);
    EXPECT_EQ(x, 360.0);
    size = 4;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameIndex | kOpUpperLimit, nullptr, 0, &i, &size), kOk);
    EXPECT_EQ(i, 9);
    size = 8;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameTimeMs | kOpLowerLimit, nullptr, 0, &x, &size), kOk);
    EXPECT_EQ(x, -1.0);
    i = 9;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameIndex | kOpValidate, &i, 4, &x, &size), kOk);
    i = 10;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameIndex | kOpValidate, &i, 4, &x, &size), kBadArgument);
    x = -1.0;
    double unused = 0;
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdFrameTimeMs | kOpValidate, &x, 8, &unused, &size), kOk);
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdStepFrames, nullptr, 0, &i, &(size = 4)), kFailed)
        << "write-only";
    EXPECT_EQ(d.DeviceCtrlCmd(kCmdStepFrames | kOpSet, nullptr, 4, &x, &size), kFailed)
        << "no input";

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
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameIndex | kOpSet, nullptr, 0, nullptr, &length),
              kBadArgument);
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameIndex | kOpSet, "4", 1, nullptr, &length), kOk);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(d.DeviceCtrlString(256, "1", 1, text, &length), kNotSupported);
    camera->grab2->G2Grab();
    camera->SetInt(kCmdFrameIndex, 4);
    EXPECT_EQ(WaitIndex(*camera), 4);
}

TEST_F(RawPlayer, TextCommandsReadTheWholeText) {
    ZyrvClip clip;
    clip.frames = 10;
    clip.fps = 1000;  // 1 ms frames: quick, and positions in milliseconds equal frame numbers
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    IDeviceCtrl& d = *camera->device;
    std::uint64_t length = 0;
    camera->grab2->G2Grab();
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameIndex | kOpSet, "2", 0, nullptr, &length), kOk);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(WaitIndex(*camera), 2) << "the text counts, not the input size";
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameIndex | kOpSet, "12", 1, nullptr, &length), kOk);
    EXPECT_EQ(WaitIndex(*camera), 3) << "12 wraps by the span of 9 frames";
    EXPECT_EQ(d.DeviceCtrlString(kCmdPositionMs | kOpSet, "65.5", 1, nullptr, &length), kOk);
    EXPECT_EQ(WaitIndex(*camera), 2) << "65.5 ms wraps by 9 ms seven times";
    EXPECT_EQ(d.DeviceCtrlString(kCmdStepFrames | kOpSet, "-4", 0, nullptr, &length), kOk);
    EXPECT_EQ(WaitIndex(*camera), 7);
    EXPECT_EQ(d.DeviceCtrlString(kCmdSeekRelativeMs | kOpSet, "5", 0, nullptr, &length), kOk);
    EXPECT_EQ(WaitIndex(*camera), 3);
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameIndex | kOpValidate, "10", 1, nullptr, &length),
              kBadArgument);
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameIndex | kOpValidate, "9", 0, nullptr, &length), kOk);
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameCount | kOpSet, "3", 1, nullptr, &length), kFailed)
        << "read-only";

    // Without text only a set or check of these four commands is refused.
    for (const std::uint32_t number :
         {kCmdFrameIndex, kCmdPositionMs, kCmdStepFrames, kCmdSeekRelativeMs}) {
        for (const std::uint32_t operation : {kOpSet, kOpValidate}) {
            EXPECT_EQ(d.DeviceCtrlString(number | operation, nullptr, 0, nullptr, &length),
                      kBadArgument)
                << number << " " << std::hex << operation;
        }
    }
    EXPECT_EQ(d.DeviceCtrlString(kCmdRewind | kOpSet, nullptr, 0, nullptr, &length), kOk);
    EXPECT_EQ(WaitIndex(*camera), 0);
    char text[16] = {};
    length = sizeof text;
    EXPECT_EQ(d.DeviceCtrlString(kCmdFrameIndex, nullptr, 0, text, &length), kOk);
    EXPECT_STREQ(text, "0");
}

TEST_F(RawPlayer, PlaneAccessDuringAWaitFindsAnImage) {
    ZyrvClip clip;
    clip.width = 640;
    clip.height = 480;
    clip.frames = 3;
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    camera->grab2->G2Grab();
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(camera->grab2->G2Wait(), kOk);
        done = true;
    });
    int looks = 0, misses = 0;
    while (!done) {
        std::uint8_t* base = nullptr;
        VPAEntry* table = nullptr;
        if (camera->vpa->GetPlaneVPA(0, &base, &table) != kOk || base == nullptr)
            ++misses;
        ++looks;
    }
    waiter.join();
    EXPECT_EQ(misses, 0) << "of " << looks << " looks";
}

TEST_F(RawPlayer, DigitalPorts) {
    ZyrvClip clip;
    clip.frames = 6;
    auto camera = OpenSpec(clip);
    ASSERT_TRUE(camera);
    IBasicDIO& dio = *camera->dio;
    std::uint32_t v = 0;
    EXPECT_EQ(dio.GetInputCount(&v), kOk);
    EXPECT_EQ(v, 32u);
    EXPECT_EQ(dio.GetOutputCount(&v), kOk);
    EXPECT_EQ(v, 128u);
    EXPECT_EQ(dio.GetInputPort(0, &v), kOk);
    EXPECT_EQ(v, 6u);
    EXPECT_EQ(dio.GetInputBit(1, &v), kOk);
    EXPECT_EQ(v, 1u) << "6 = 0b110";
    EXPECT_EQ(dio.GetInputBit(32, &v), kBadArgument);
    EXPECT_EQ(dio.GetOutputPort(2, &v), kBadArgument);
    EXPECT_EQ(dio.SetOutputBit(7, 1), kNotSupported);
    EXPECT_EQ(dio.SetOutputBit(0, 0), kOk);
    EXPECT_EQ(dio.SetOutputPort(0, 1), kNotSupported);
    camera->grab2->G2Grab();
    EXPECT_EQ(WaitIndex(*camera), 0) << "the zero-valued button did nothing";
    EXPECT_EQ(dio.SetOutputPort(1, 3), kOk);
    EXPECT_EQ(WaitIndex(*camera), 3);
    EXPECT_EQ(dio.GetOutputPort(1, &v), kOk);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(dio.GetOutputBit(32, &v), kOk);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(dio.SetOutputBit(6, 1), kOk);
    EXPECT_EQ(WaitIndex(*camera), 0);
}

TEST_F(RawPlayer, EveryHostObjectIsReleased) {
    {
        auto camera = OpenSpec(ZyrvClip{});
        ASSERT_TRUE(camera);
        camera->grab2->G2Grab();
        for (int i = 0; i < 20; ++i)
            camera->grab2->G2Wait();
    }
    EXPECT_EQ(HostLiveObjects(), liveBefore);
}
