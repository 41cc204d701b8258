// The DirectShow player driven through the host stand-in exactly as a host drives it: the module
// loaded with dlopen and registered in a temporary registry file, every call through its exports.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "com/com_types.h"
#include "common/frame_pull.h"
#include "common/md5.h"
#include "common/module_host.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

using namespace ZYL;
using zyl::test::ScopedEnv;
using zyl::test::TempDir;
using zyl::tools::Camera;
using zyl::tools::Frame;
namespace media = zyl::test::media;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kOpenCloseCycles = 100;
#else
constexpr int kOpenCloseCycles = 1000;
#endif

struct Settings {
    int numBuffers = 2;
    bool forceMono = false;
    int replayMode = 0;
    int stepCacheMB = 256;
};

class AviPlayer : public ::testing::Test {
protected:
    void SetUp() override { Configure(Settings{}); }

    // Writes the module's settings and registers the module in the temporary registry file; the
    // module is loaded afterwards, so it reads them.
    void Configure(const Settings& settings) {
        camera.reset();
        module.reset();
        char values[256];
        std::snprintf(values, sizeof values,
                      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI]\n"
                      "\"NumBuffers\"=dword:%08x\n\"ForceNV12ToMono8\"=dword:%08x\n"
                      "\"ReplayMode\"=dword:%08x\n\"StepCacheMB\"=dword:%08x\n",
                      settings.numBuffers, settings.forceMono ? 1 : 0, settings.replayMode,
                      settings.stepCacheMB);
        dir.write("r.reg", values);
        module.emplace();
        void* self = dlopen(module->path().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(self, nullptr);
        auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(self, "DllRegisterServer"));
        ASSERT_NE(reg, nullptr);
        ASSERT_EQ(reg(), S_OK);
        dlclose(self);
    }

    Camera& Open(const std::string& path) {
        HostHandle handle = module->GetImageFromFileW(zyl::tools::Widen(path).c_str());
        if (!handle)
            throw std::runtime_error("the module did not open " + path);
        camera = std::make_unique<Camera>(handle);
        return *camera;
    }

    static Frame Current(Camera& c) {
        Frame frame;
        EXPECT_EQ(zyl::tools::ReadFrame(*c.vpa, frame), kOk);
        return frame;
    }
    static int NumberOf(Camera& c) {
        const Frame f = Current(c);
        return media::FrameNumberOf(f.pixels, f.width, f.height, f.planes == 1 ? 1 : 3);
    }
    static std::string Md5Of(const Frame& f) {
        zyl::tools::Md5 md5;
        md5.Update(f.pixels.data(), f.pixels.size());
        return md5.HexDigest();
    }
    // The frame numbers of the next n frames a host waits for.
    static std::vector<int> Wait(Camera& c, int n) {
        std::vector<int> numbers;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(c.grab2->G2Wait(), kOk) << "frame " << i;
            numbers.push_back(NumberOf(c));
        }
        return numbers;
    }

    // Polls a count a callback raises, as hosts do (false after 10 s).
    static bool TextsReach(const std::atomic<int>& count, int atLeast) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count < atLeast) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    // Polls a status of the player, as hosts do, until it reaches at least `atLeast` (false
    // after 10 s): the player offers nothing to wait on for it.
    static bool StatusReaches(Camera& c, std::uint32_t selector, double atLeast) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        double value = 0;
        while (c.grab2->G2GetStatus(selector, &value) == kOk && value < atLeast) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return value >= atLeast;
    }

    TempDir dir;
    ScopedEnv registry{"ZYLON_REGISTRY", dir.file("r.reg")};
    std::optional<zyl::tools::LoadedModule> module;
    std::unique_ptr<Camera> camera;
};

std::vector<int> Sequence(int first, int count, int period) {
    std::vector<int> numbers;
    for (int i = 0; i < count; ++i)
        numbers.push_back((first + i) % period);
    return numbers;
}

}  // namespace

TEST_F(AviPlayer, UncompressedFramesReachTheHostAsWrittenAndLoopWithoutRepeats) {
    // Enough elements that a slow machine loses no frame at 100 frames/s.
    Configure(Settings{8, false});
    // Odd widths make lines that are not a multiple of 4 bytes in every depth.
    for (const int bits : {8, 24, 32}) {
        for (const int width : {16, 11, 13}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, width " + std::to_string(width));
            const std::string path = media::RawAvi(dir.file(""), bits, width, 9,
                                                   /*frames=*/4, /*fps=*/100);
            Camera& c = Open(path);
            std::int32_t planes = 0, w = 0, h = 0;
            c.vpa->GetSize(&planes, &w, &h);
            EXPECT_EQ(planes, bits == 8 ? 1 : 3);
            EXPECT_EQ(w, width);
            EXPECT_EQ(h, 9);
            ASSERT_EQ(c.grab2->G2Grab(), kOk);
            for (int i = 0; i < 10; ++i) {
                ASSERT_EQ(c.grab2->G2Wait(), kOk);
                const Frame f = Current(c);
                const auto expected = bits == 8 ? media::GreyPicture(i % 4, width, 9)
                                                : media::Picture(i % 4, width, 9);
                ASSERT_EQ(f.pixels, expected) << "frame " << i << " should be " << i % 4;
            }
            double lost = -1;
            c.grab2->G2GetStatus(2, &lost);
            EXPECT_EQ(lost, 0);
            EXPECT_EQ(c.grab2->G2Freeze(false), kOk);
            camera.reset();
            std::filesystem::remove(path);
        }
    }
}

TEST_F(AviPlayer, CompressedFramesEqualTheReferenceDecoderInColourAndAsForcedLuma) {
    Configure(Settings{8, false});
    // Luma lines padded to 64, colour lines to 188 bytes.
    const std::string path =
        media::EncodedFile(dir.file(""), {.width = 62, .frames = 6, .fpsNum = 100, .name = ""});

    // The engine's own decoding without the module: the module adds nothing but the copy.
    zyl::tools::PullOptions pull;
    pull.frames = 6;
    const auto rgb = zyl::tools::PullFrames(path, pull).md5s;
    ASSERT_EQ(rgb.size(), 6u);
    {
        Camera& c = Open(path);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(c.grab2->G2Wait(), kOk);
            EXPECT_EQ(Md5Of(Current(c)), rgb[static_cast<std::size_t>(i % 6)]) << "frame " << i;
        }
    }
    Settings mono{8, true};
    Configure(mono);
    const auto luma = media::ReferenceMd5s(path, "gray", /*lumaOnly=*/true);
    Camera& c = Open(path);
    std::int32_t planes = 0, w = 0, h = 0;
    c.vpa->GetSize(&planes, &w, &h);
    EXPECT_EQ(planes, 1);
    ASSERT_EQ(c.grab2->G2Grab(), kOk);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(c.grab2->G2Wait(), kOk);
        EXPECT_EQ(Md5Of(Current(c)), luma[static_cast<std::size_t>(i % 6)]) << "frame " << i;
    }
}

TEST_F(AviPlayer, EveryContainerPlaysFromItsFirstFrame) {
    Configure(Settings{8, false});
    struct Case {
        const char* container;
        const char* codec;
    };
    for (const Case& k : {Case{"mp4", "libx264"}, Case{"mkv", "libx264"}, Case{"avi", "mpeg4"},
                          Case{"mpg", "mpeg2video"}}) {
        SCOPED_TRACE(k.container);
        const std::string path = media::EncodedFile(
            dir.file(""),
            {.container = k.container, .codec = k.codec, .frames = 5, .fpsNum = 100, .name = ""});
        Camera& c = Open(path);
        EXPECT_EQ(c.GetInt(kCmdFrameCount), 5);
        EXPECT_DOUBLE_EQ(c.GetDouble(kCmdFrameTimeMs), 10.0);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        EXPECT_EQ(Wait(c, 7), Sequence(0, 7, 5));
        camera.reset();
    }
}

TEST_F(AviPlayer, SeeksAndStepsWhilePausedLandOnTheExactFrameAndWrapAround) {
    Configure(Settings{8, false});
    const std::string path = media::RawAvi(dir.file(""), 24, 32, 16, 10, 25);
    struct Case {
        const char* what;
        std::uint32_t command;
        double value;
        int expected;
    };
    // 10 frames of 40 ms: the last frame starts at 360 ms, and positions wrap in steps of it.
    for (const Case& k :
         {Case{"frame 7", kCmdFrameIndex, 7, 7}, Case{"120 ms", kCmdPositionMs, 120, 3},
          Case{"-40 ms wraps to 320 ms", kCmdPositionMs, -40, 8},
          Case{"400 ms wraps to 40 ms", kCmdPositionMs, 400, 1},
          Case{"step 4 from the start", kCmdStepFrames, 4, 4},
          Case{"step -1 from the start", kCmdStepFrames, -1, 8},
          Case{"relative 200 ms", kCmdSeekRelativeMs, 200, 5}}) {
        SCOPED_TRACE(k.what);
        Camera& c = Open(path);
        if (k.command == kCmdFrameIndex || k.command == kCmdStepFrames) {
            c.SetInt(k.command, static_cast<std::int32_t>(k.value));
        } else {
            c.SetDouble(k.command, k.value);
        }
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        EXPECT_EQ(Wait(c, 3), Sequence(k.expected, 3, 10));
        camera.reset();
    }
    // The rewind button goes back to the first frame.
    Camera& c = Open(path);
    c.SetInt(kCmdFrameIndex, 6);
    ASSERT_EQ(c.dio->SetOutputBit(6, 1), kOk);
    ASSERT_EQ(c.grab2->G2Grab(), kOk);
    EXPECT_EQ(Wait(c, 2), Sequence(0, 2, 10));
}

TEST_F(AviPlayer, SteppingBackThroughALongGroupGivesEveryFrameExactly) {
    // One group of 30 with B-frames: every step back seeks into it. 1 MB holds about eight of
    // these pictures, so the kept ones run out and the group is decoded again; 0 keeps none.
    // 30 frames/s: a frame time of 333333.3 units, which DirectShow rounds, so a frame's time
    // computed from it falls a little before the frame.
    const std::string path = media::EncodedFile(dir.file(""), {.width = 320,
                                                               .height = 240,
                                                               .frames = 30,
                                                               .fpsNum = 30,
                                                               .gop = 30,
                                                               .bframes = 2,
                                                               .name = ""});
    zyl::tools::PullOptions pull;
    pull.frames = 30;
    const auto reference = zyl::tools::PullFrames(path, pull).md5s;
    ASSERT_EQ(reference.size(), 30u);
    for (const int budget : {256, 1, 0}) {
        SCOPED_TRACE(std::to_string(budget) + " MB");
        Configure(Settings{.stepCacheMB = budget});
        Camera& c = Open(path);
        c.SetInt(kCmdFrameIndex, 29);
        for (int k = 29; k >= 0; --k) {
            ASSERT_EQ(c.grabber->Snap(), kOk);
            EXPECT_EQ(Md5Of(Current(c)), reference[static_cast<std::size_t>(k)]) << "frame " << k;
            c.SetInt(kCmdStepFrames, -1);
        }
        // The largest position the player allows is the last frame, not a wrap to the first.
        double last = 0;
        std::uint64_t size = sizeof last;
        ASSERT_EQ(c.device->DeviceCtrlCmd(0x30000000 | kCmdPositionMs, nullptr, 0, &last, &size),
                  kOk);
        c.SetDouble(kCmdPositionMs, last);
        ASSERT_EQ(c.grabber->Snap(), kOk);
        EXPECT_EQ(Md5Of(Current(c)), reference[29]);
        c.SetInt(kCmdFrameIndex, 0);
        c.SetInt(kCmdStepFrames, -1);
        // Positions wrap by the last frame's time: back from the first frame is the one before
        // the last, on from the last is frame 1.
        for (const int k : {28, 29, 1, 2}) {
            ASSERT_EQ(c.grabber->Snap(), kOk);
            EXPECT_EQ(Md5Of(Current(c)), reference[static_cast<std::size_t>(k)]) << "frame " << k;
            c.SetInt(kCmdStepFrames, 1);
        }
        camera.reset();
    }
}

TEST_F(AviPlayer, DeviceControlAnswersLimitsSizesAndRefusals) {
    Camera& c = Open(media::RawAvi(dir.file(""), 24, 16, 8, 250, 25));
    IDeviceCtrl& d = *c.device;
    double real = 0;
    std::uint64_t size = sizeof real;
    ASSERT_EQ(d.DeviceCtrlCmd(0x30000104, nullptr, 0, &real, &size), kOk);
    EXPECT_EQ(real, 16.0) << "the rate's upper limit";
    std::int32_t value = 1, out = 0;
    EXPECT_EQ(d.DeviceCtrlCmd(0x40000100, &value, 4, &out, &(size = 4)), kBadArgument)
        << "a volume above full";
    EXPECT_EQ(d.DeviceCtrlCmd(0x10000102, nullptr, 0, nullptr, &(size = 99)), kOk);
    EXPECT_EQ(size, 0u) << "a set without an output is only a size query";
    EXPECT_EQ(d.DeviceCtrlCmd(0x10000103, &value, 4, &out, &(size = 4)), kFailed);
    EXPECT_EQ(d.DeviceCtrlCmd(0x10B, nullptr, 0, &out, &size), kNotSupported);
    EXPECT_EQ(d.DeviceCtrlCmd(0x50000102, &value, 4, &out, &(size = 4)), kNotSupported)
        << "operation bits that name no operation";
    EXPECT_EQ(d.DeviceCtrlCmd(0x102, nullptr, 0, &real, &(size = 8)), kFailed) << "wrong size";
    std::uint32_t port = 0;
    ASSERT_EQ(c.dio->GetInputPort(0, &port), kOk);
    EXPECT_EQ(port, 250u);
    EXPECT_EQ(c.dio->GetInputPort(1, &port), kBadArgument);

    // The text form: values formatted as a stream does, an empty text when they do not fit.
    char text[32];
    std::uint64_t length = sizeof text;
    ASSERT_EQ(d.DeviceCtrlString(0x109, nullptr, 0, text, &length), kOk);
    EXPECT_STREQ(text, "40");
    length = 2;
    ASSERT_EQ(d.DeviceCtrlString(0x103, nullptr, 0, text, &length), kOk);
    EXPECT_STREQ(text, "") << "250 does not fit in one character";
    EXPECT_EQ(length, 0u);
    length = sizeof text;
    ASSERT_EQ(d.DeviceCtrlString(0x10000104, "2.5", 4, text, &length), kOk);
    EXPECT_EQ(c.GetDouble(kCmdRate), 2.5);
}

TEST_F(AviPlayer, VolumeAndBalanceReachTheSoundStream) {
    ScopedEnv silent("ZYLAVI_AUDIO", "null");
    Camera& c = Open(media::EncodedFile(dir.file(""), {.audio = true, .name = ""}));
    c.SetInt(kCmdVolume, -2500);
    c.SetInt(kCmdBalance, 1200);
    EXPECT_EQ(c.GetInt(kCmdVolume), -2500);
    std::uint32_t port = 0;
    ASSERT_EQ(c.dio->GetOutputPort(3, &port), kOk);
    EXPECT_EQ(static_cast<std::int32_t>(port), 1200);
    ASSERT_EQ(c.dio->SetOutputPort(2, static_cast<std::uint32_t>(-300)), kOk);
    EXPECT_EQ(c.GetInt(kCmdVolume), -300);
    EXPECT_THROW(c.SetInt(kCmdVolume, 5), std::runtime_error) << "above full volume";
}

// Every subscriber hears each text of every container once, in cookie order, the texts in order
// as the video loops; a description that does not fit is refused without writing past its
// buffer's first character.
TEST_F(AviPlayer, TextStreamsOfEveryContainerReachEverySubscriberInOrderAsTheyLoop) {
    const std::string files[] = {media::EncodedFile(dir.file(""), {.container = "mp4",
                                                                   .frames = 6,
                                                                   .fpsNum = 50,
                                                                   .text = "mov_text",
                                                                   .textEvery = 2,
                                                                   .name = ""}),
                                 media::EncodedFile(dir.file(""), {.container = "mkv",
                                                                   .frames = 6,
                                                                   .fpsNum = 50,
                                                                   .text = "subrip",
                                                                   .textEvery = 2,
                                                                   .name = ""}),
                                 media::Mpeg4AviWithText(dir.file(""), 64, 48, 6, 2, 50)};
    struct Received {
        std::mutex lock;
        std::vector<std::pair<int, std::string>> all;  // subscriber, text
        std::atomic<int> bad{0};
    };
    struct Subscriber {
        Received* received;
        int id;
    };
    const NotifyCallback callback = [](std::uint32_t id, const void* data, std::uint64_t length,
                                       std::uint32_t type, void* user) -> Result {
        auto* s = static_cast<Subscriber*>(user);
        if (id != kEventNewMetadata || type != kNotifyDataText || !data)
            ++s->received->bad;
        std::lock_guard lock(s->received->lock);
        s->received->all.emplace_back(s->id, std::string(static_cast<const char*>(data), length));
        return 0;
    };
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        Camera& c = Open(path);
        INotify& n = *c.notify;
        for (const std::uint64_t capacity : {1u, 35u}) {
            char small[36] = "xx";
            std::uint64_t size = capacity;
            EXPECT_EQ(n.DescribeEvent(0, small, &size, nullptr), kNotifyBadArgument);
            EXPECT_EQ(size, 36u) << "the size to use";
            EXPECT_EQ(std::string(small, 2), std::string("\0x", 2)) << capacity;
        }
        Received received;
        Subscriber first{&received, 1}, second{&received, 2};
        std::int64_t cookie1 = 0, cookie2 = 0, cookie3 = 0;
        ASSERT_EQ(n.RegisterEvent(kEventNewMetadata, callback, &first, &cookie1), kOk);
        ASSERT_EQ(n.RegisterEvent(kEventNewMetadata, callback, &second, &cookie2), kOk);
        ASSERT_EQ(n.RegisterEvent(kEventNewMetadata, callback, &second, &cookie3), kOk);
        EXPECT_EQ(n.UnregisterEvent(cookie3), kOk);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        Wait(c, 14);
        ASSERT_EQ(c.grab2->G2Freeze(false), kOk);
        camera.reset();
        std::lock_guard lock(received.lock);
        EXPECT_EQ(received.bad.load(), 0);
        ASSERT_GE(received.all.size(), 10u);
        for (std::size_t i = 0; i < received.all.size(); ++i) {
            const std::pair<int, std::string> expected{static_cast<int>(i % 2) + 1,
                                                       "frame " + std::to_string(i / 2 % 3 * 2)};
            EXPECT_EQ(received.all[i], expected) << i;
        }
    }
}

TEST_F(AviPlayer, ReplayHandsASlowHostEveryFrameOnceInOrderAndNoTextBeforeItsFrame) {
    // A sound track too: unclocked, it must neither pace the stream nor hold up its loops.
    const std::string path = media::EncodedFile(dir.file(""), {.container = "mp4",
                                                               .frames = 8,
                                                               .fpsNum = 100,
                                                               .gop = 4,
                                                               .bframes = 1,
                                                               .text = "mov_text",
                                                               .textEvery = 1,
                                                               .audio = true,
                                                               .name = ""});
    zyl::tools::PullOptions pull;
    pull.frames = 8;
    const auto reference = zyl::tools::PullFrames(path, pull).md5s;
    ASSERT_EQ(reference.size(), 8u);
    struct Texts {
        std::atomic<int> received{0};
        std::atomic<int> framesTaken{0};
        std::atomic<int> ahead{0};  // texts that came before the host had their frame
        std::mutex lock;
        std::vector<std::string> all;
    };
    const NotifyCallback callback = [](std::uint32_t, const void* data, std::uint64_t length,
                                       std::uint32_t, void* user) -> Result {
        auto* t = static_cast<Texts*>(user);
        // Text k may come once the host has frame k: the one G2Wait just returned is counted
        // after this may run.
        if (t->received++ > t->framesTaken)
            ++t->ahead;
        std::lock_guard lock(t->lock);
        t->all.emplace_back(static_cast<const char*>(data), length);
        return 0;
    };
    for (const int mode : {1, 2}) {
        SCOPED_TRACE("ReplayMode " + std::to_string(mode));
        Configure(Settings{2, false, mode});
        Camera& c = Open(path);
        Texts texts;
        std::int64_t cookie = 0;
        ASSERT_EQ(c.notify->RegisterEvent(kEventNewMetadata, callback, &texts, &cookie), kOk);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        // A host far slower than the file's 100 frames/s, at a different pace every frame.
        std::mt19937 random(static_cast<unsigned>(mode));
        // Three passes and a bit: the step below comes in the middle of one, not where the
        // player loops (a seek racing the loop's rewind lands on either, as in camera mode).
        for (int i = 0; i < 27; ++i) {
            // A rate change on the way neither loses nor repeats a frame, and right after a
            // wait it takes no text of a frame the host has (all 27 arrive, below).
            if (i == 12)
                c.SetDouble(kCmdRate, 2.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 51));
            ASSERT_EQ(c.grab2->G2Wait(), kOk) << "frame " << i;
            EXPECT_EQ(Md5Of(Current(c)), reference[static_cast<std::size_t>(i % 8)])
                << "frame " << i;
            // The frame the host holds, not the one the stream waits to hand over.
            EXPECT_EQ(c.GetInt(kCmdFrameIndex), i % 8) << "frame " << i;
            ++texts.framesTaken;
        }
        double lost = -1;
        c.grab2->G2GetStatus(2, &lost);
        EXPECT_EQ(lost, 0);
        // A host that has its frames' texts before it seeks on: a text still on its way when
        // the stream is flushed goes with it.
        ASSERT_TRUE(TextsReach(texts.received, 27));
        EXPECT_EQ(texts.ahead.load(), 0);
        // Stepping goes from the frame held, whatever waits behind it.
        c.SetInt(kCmdStepFrames, -2);
        ASSERT_EQ(c.grab2->G2Wait(), kOk);
        EXPECT_EQ(Md5Of(Current(c)), reference[0]);
        EXPECT_EQ(c.GetInt(kCmdFrameIndex), 0);
        // Single snaps too see every frame in turn, the ones already waiting included.
        ASSERT_EQ(c.grab2->G2Freeze(false), kOk);
        for (int k = 1; k < 5; ++k) {
            ASSERT_EQ(c.grabber->Snap(), kOk);
            EXPECT_EQ(Md5Of(Current(c)), reference[static_cast<std::size_t>(k % 8)]) << k;
            ++texts.framesTaken;
        }
        c.grab2->G2GetStatus(2, &lost);
        EXPECT_EQ(lost, 0);
        ASSERT_EQ(c.grab2->G2Freeze(false), kOk);
        camera.reset();
        std::lock_guard lock(texts.lock);
        ASSERT_GE(texts.all.size(), 27u);
        for (std::size_t i = 0; i < 27; ++i)
            EXPECT_EQ(texts.all[i], "frame " + std::to_string(i % 8)) << i;
    }
}

TEST_F(AviPlayer, ReplayNeverStallsBesideAnUnreadFrame) {
    const std::string path = media::EncodedFile(
        dir.file(""), {.container = "mkv", .width = 48, .height = 32, .frames = 7, .name = ""});
    zyl::tools::PullOptions pull;
    pull.frames = 7;
    const std::vector<std::string> reference = zyl::tools::PullFrames(path, pull).md5s;
    ASSERT_EQ(reference.size(), 7u);
    for (const int mode : {1, 2}) {
        SCOPED_TRACE("ReplayMode " + std::to_string(mode));
        Configure(Settings{2, false, mode});
        // Counts of frames flushed at the start once piled up to the semaphore's maximum, and a
        // frame's count was lost: the host slept beside an unread frame. It came seldom.
        for (int run = 0; run < (mode == 2 ? 40 : 10); ++run) {
            Camera& c = Open(path);
            // A time-out set before the first wait (its wake-up found nobody waiting) and
            // long enough for a loop's restart on a loaded machine: a stall never ends.
            c.grabber->Reserved2(2000);
            c.SetDouble(kCmdRate, run % 2 ? 2.0 : 1.0);
            ASSERT_EQ(c.grab2->G2Grab(), kOk);
            for (int i = 0; i < 10; ++i) {
                ASSERT_EQ(c.grab2->G2Wait(), kOk) << "run " << run << " frame " << i;
                ASSERT_EQ(Md5Of(Current(c)), reference[static_cast<std::size_t>(i % 7)])
                    << "run " << run << " frame " << i;
                c.GetInt(kCmdFrameIndex);
            }
            camera.reset();
        }
    }
}

TEST_F(AviPlayer, ReplayRateChangeBeforeTheFirstWaitSkipsNothing) {
    const std::string path = media::RawAvi(dir.file(""), 24, 32, 24, 8, 100);
    for (const int mode : {1, 2}) {
        SCOPED_TRACE("ReplayMode " + std::to_string(mode));
        Configure(Settings{2, false, mode});
        Camera& c = Open(path);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        // A host busy elsewhere before its first wait: a clocked stream has run on meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c.SetDouble(kCmdRate, 2.0);
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(c.grab2->G2Wait(), kOk) << "frame " << i;
            EXPECT_EQ(NumberOf(c), i % 8) << "frame " << i;
        }
        // The same rate again is no restart: the frames waiting stay.
        c.SetDouble(kCmdRate, 2.0);
        ASSERT_EQ(c.grab2->G2Wait(), kOk);
        EXPECT_EQ(NumberOf(c), 2);
        camera.reset();
    }
}

// A text at every frame while the player is destroyed, again and again: the destructor stops
// the graph while holding the lock a delivery needs, so a delivery that waited for it would
// hang the stop.
TEST_F(AviPlayer, DestroyingWhileTextsFlowNeverWaitsForADelivery) {
    const std::string path = media::EncodedFile(dir.file(""), {.container = "mkv",
                                                               .frames = 20,
                                                               .fpsNum = 200,
                                                               .text = "subrip",
                                                               .textEvery = 1,
                                                               .name = ""});
    for (int round = 0; round < 10; ++round) {
        Camera& c = Open(path);
        std::int64_t cookie = 0;
        ASSERT_EQ(
            c.notify->RegisterEvent(
                kEventNewMetadata,
                [](std::uint32_t, const void*, std::uint64_t, std::uint32_t, void*) -> Result {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));  // a slow host
                    return 0;
                },
                nullptr, &cookie),
            kOk);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        Wait(c, 1 + round % 3);
        camera.reset();
    }
}

TEST_F(AviPlayer, WaitTimesOutAndAHostThatStopsWaitingLosesFramesWhileTheStreamLoops) {
    Camera& c = Open(media::RawAvi(dir.file(""), 24, 16, 16, 5, 100));
    ASSERT_EQ(c.grabber->Reserved2(50), kOk);
    ASSERT_EQ(c.grabber->Snap(), kOk);
    std::uint8_t *before = nullptr, *after = nullptr;
    VPAEntry* table = nullptr;
    // Paused: after the frames the ring may still hold, nothing arrives.
    Result r = kOk;
    for (int i = 0; i < 10 && r == kOk; ++i) {
        c.vpa->GetPlaneVPA(0, &before, &table);
        r = c.grab2->G2Wait();
    }
    EXPECT_EQ(r, kWaitTimeout);
    c.vpa->GetPlaneVPA(0, &after, &table);
    EXPECT_EQ(after, before) << "the current image stays";

    ASSERT_EQ(c.grabber->Reserved2(2000), kOk);
    ASSERT_EQ(c.grab2->G2Grab(), kOk);
    double status = 0;
    ASSERT_EQ(c.grab2->G2Wait(), kOk);
    c.grab2->G2GetStatus(0, &status);
    EXPECT_EQ(status, 1.0);
    const int last = NumberOf(c);
    // Both elements end up locked (one handed out, one waiting) and the renderer drops the rest;
    // more frames lost than the file has means the stream looped meanwhile.
    ASSERT_TRUE(StatusReaches(c, 2, 6.0));
    c.grab2->G2GetStatus(3, &status);
    EXPECT_EQ(status, 2.0);
    // Waiting again hands out the frame queued right after the last one taken, then goes on.
    const auto numbers = Wait(c, 4);
    EXPECT_EQ(numbers[0], (last + 1) % 5);
    c.grab2->G2GetStatus(0, &status);
    EXPECT_EQ(status, 5.0);
}

TEST_F(AviPlayer, DestroyingWhileRunningOrWhileAnotherThreadWaitsReturnsPromptly) {
    const std::string path = media::RawAvi(dir.file(""), 24, 16, 16, 5, 25);
    {
        Camera& c = Open(path);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        ASSERT_EQ(c.grab2->G2Wait(), kOk);
        const auto start = std::chrono::steady_clock::now();
        camera.reset();
        // Generous: a hang shows, scheduling noise does not.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    // The host disposes of the camera while another of its threads waits for a frame (paused:
    // none comes) with a time-out far longer than the bound below.
    Camera& c = Open(path);
    ASSERT_EQ(c.grabber->Reserved2(60000), kOk);
    IGrab2* grab2 = c.grab2;
    std::atomic<Result> waited{kOk};
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        entered = true;
        waited = grab2->G2Wait();
    });
    while (!entered)
        std::this_thread::yield();
    // Deliberate: most runs destroy while the waiter is inside G2Wait, some just before.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    camera.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    waiter.join();
    EXPECT_EQ(waited.load(), kWaitTimeout);
}

TEST_F(AviPlayer, OpeningAndClosingAThousandTimesLeavesNothingBehind) {
    const std::string path = media::RawAvi(dir.file(""), 8, 8, 8, 2, 25);
    const std::int64_t hostObjects = HostLiveObjects();
    for (int i = 0; i < kOpenCloseCycles; ++i) {
        HostHandle handle = module->GetImageFromFileW(zyl::tools::Widen(path).c_str());
        ASSERT_NE(handle, nullptr) << "cycle " << i;
        if (i % 3 == 0) {
            Camera c(handle);
            ASSERT_EQ(c.grab2->G2Grab(), kOk);
        } else {
            HostRelease(handle);
        }
    }
    EXPECT_EQ(HostLiveObjects(), hostObjects);
    EXPECT_TRUE(module->CanUnload());
    // No filter, sink or enumerator of the module outlived its player.
    void* self = dlopen(module->path().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(self, nullptr);
    auto canUnloadNow = reinterpret_cast<HRESULT (*)()>(dlsym(self, "DllCanUnloadNow"));
    ASSERT_NE(canUnloadNow, nullptr);
    EXPECT_EQ(canUnloadNow(), S_OK);
    dlclose(self);
}

TEST_F(AviPlayer, FilesThatCannotBePlayedOpenNothing) {
    const std::string garbage = dir.write("not-a-video.avi", std::string(4096, 'x'));
    EXPECT_EQ(module->GetImageFromFileW(zyl::tools::Widen(garbage).c_str()), nullptr);
    EXPECT_EQ(module->GetImageFromFileW(zyl::tools::Widen(dir.file("missing.mp4")).c_str()),
              nullptr);
    const std::string whole = media::EncodedFile(dir.file(""), media::EncodeOptions{});
    const std::string cut = media::Truncated(whole, dir.file("cut.mp4"), 0.3);
    EXPECT_EQ(module->GetImageFromFileW(zyl::tools::Widen(cut).c_str()), nullptr);
    EXPECT_TRUE(module->CanUnload());

    // Without the module's registration the renderers cannot be created.
    dir.write("r.reg", "REGEDIT4\n");
    EXPECT_EQ(module->GetImageFromFileW(zyl::tools::Widen(whole).c_str()), nullptr);
}

TEST_F(AviPlayer, FramesQueuedBeforeASeekOrStepNeverReachTheHostAfterIt) {
    enum class Move { Seek, Step, Snap };
    struct Case {
        const char* what;
        int buffers;
        Move move;
    };
    for (const Case& k :
         {Case{"seek, 2 buffers", 2, Move::Seek}, Case{"seek, 8 buffers", 8, Move::Seek},
          Case{"step, 8 buffers", 8, Move::Step},
          Case{"snaps after a seek, 8 buffers", 8, Move::Snap}}) {
        SCOPED_TRACE(k.what);
        Configure(Settings{k.buffers, false});
        // 25 frames/s: a snap's host freezes within a frame time, even under a sanitizer.
        Camera& c = Open(media::RawAvi(dir.file(""), 24, 16, 16, 40, 25));
        ASSERT_EQ(c.grabber->Reserved2(5000), kOk);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        ASSERT_EQ(c.grab2->G2Wait(), kOk);
        ASSERT_TRUE(StatusReaches(c, 3, k.buffers)) << "the ring never filled";
        ASSERT_EQ(c.grab2->G2Freeze(false), kOk);
        int expected = 30;
        if (k.move == Move::Step) {
            expected = (c.GetInt(kCmdFrameIndex) + 3) % 40;
            c.SetInt(kCmdStepFrames, 3);
        } else {
            c.SetInt(kCmdFrameIndex, 30);
        }
        if (k.move == Move::Snap) {
            ASSERT_EQ(c.grabber->Snap(), kOk);
            EXPECT_EQ(NumberOf(c), 30);
            // A second snap goes on from the frame last shown, not from one the first queued.
            const int position = c.GetInt(kCmdFrameIndex);
            ASSERT_EQ(c.grabber->Snap(), kOk);
            EXPECT_EQ(NumberOf(c), position + 1);
        } else {
            ASSERT_EQ(c.grab2->G2Grab(), kOk);
            EXPECT_EQ(Wait(c, 1), std::vector<int>{expected});
        }
        camera.reset();
    }
}

// Metadata callbacks run while a host thread waits in G2Wait, which holds the player lock: one
// that asks for the status, one that steps (a seek flushes the streams), one that blocks until
// the host has seen the video loop several times. None may stall the frames or hold the end of
// the stream, which is where the video loops.
TEST_F(AviPlayer, MetadataCallbacksThatCallThePlayerOrBlockNeverHoldTheStream) {
    const std::string path = media::EncodedFile(dir.file(""), {.container = "mkv",
                                                               .frames = 6,
                                                               .fpsNum = 100,
                                                               .text = "subrip",
                                                               .textEvery = 1,
                                                               .name = ""});
    enum class Kind { Status, Step, Block };
    struct Host {
        Kind kind = Kind::Status;
        IGrab2* grab2 = nullptr;
        IBasicDIO* dio = nullptr;
        std::atomic<int> calls{0};
        std::atomic<int> failures{0};
        std::mutex lock;
        std::condition_variable changed;
        bool released = false;
    };
    for (const Kind kind : {Kind::Status, Kind::Step, Kind::Block}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Camera& c = Open(path);
        Host host;
        host.kind = kind;
        host.grab2 = c.grab2;
        host.dio = c.dio;
        std::int64_t cookie = 0;
        ASSERT_EQ(
            c.notify->RegisterEvent(
                kEventNewMetadata,
                [](std::uint32_t, const void*, std::uint64_t, std::uint32_t, void* user) -> Result {
                    auto* h = static_cast<Host*>(user);
                    ++h->calls;
                    double value = 0;
                    if (h->kind == Kind::Status && h->grab2->G2GetStatus(0, &value) != kOk)
                        ++h->failures;
                    if (h->kind == Kind::Step && h->calls % 4 == 0 &&
                        h->dio->SetOutputBit(0, 1) != kOk)
                        ++h->failures;
                    if (h->kind == Kind::Block) {
                        std::unique_lock lock(h->lock);
                        h->changed.wait(lock, [h] { return h->released; });
                    }
                    return 0;
                },
                &host, &cookie),
            kOk);
        ASSERT_EQ(c.grabber->Reserved2(3000), kOk);
        ASSERT_EQ(c.grab2->G2Grab(), kOk);
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(c.grab2->G2Wait(), kOk) << "frame " << i;
        {
            std::lock_guard lock(host.lock);
            host.released = true;
        }
        host.changed.notify_all();
        EXPECT_EQ(c.grab2->G2Freeze(false), kOk);
        camera.reset();
        EXPECT_GT(host.calls.load(), 0);
        EXPECT_EQ(host.failures.load(), 0);
    }
}

// A host thread waits without limit on a paused player (no frame comes); another shortens the
// time-out: it must not wait for the pending G2Wait, and that wait ends under the new time-out.
TEST_F(AviPlayer, ATimeOutSetWhileAnotherThreadWaitsShortensThatWait) {
    Camera& c = Open(media::RawAvi(dir.file(""), 24, 16, 16, 5, 25));
    // Long enough that a Reserved2 that waits for the pending G2Wait shows.
    ASSERT_EQ(c.grabber->Reserved2(20000), kOk);
    IGrab2* grab2 = c.grab2;
    std::promise<Result> waited;
    std::future<Result> result = waited.get_future();
    std::thread waiter([&] { waited.set_value(grab2->G2Wait()); });
    EXPECT_EQ(c.grabber->Reserved2(10), kOk);
    EXPECT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    waiter.join();
    EXPECT_EQ(result.get(), kWaitTimeout);
}
