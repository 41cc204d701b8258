// A file served as a GigE Vision camera, acquired by Aravis's own client over loopback the way
// any GenICam application would: exact frames, several cameras, reconnecting clients, a server
// that goes away under a client, and bad requests.
#include <arv.h>

#include <sys/wait.h>
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/md5.h"
#include "common/module_host.h"
#include "gige/file_camera.h"
#include "gige/network.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/test_media.h"
#include "support/zyrv_files.h"

using zyl::gige::FileCamera;
using zyl::test::ScopedEnv;
using zyl::test::TempDir;
namespace media = zyl::test::media;

namespace {

std::string Md5(const std::uint8_t* data, std::size_t size) {
    zyl::tools::Md5 md5;
    md5.Update(data, size);
    return md5.HexDigest();
}

struct Received {
    std::uint64_t id = 0;
    std::uint64_t timestamp = 0;
    std::string md5;  // of the picture as R, G, B (or grey) bytes, top line first
};

// FFmpeg's frames in the byte order the module delivers colour in, hashed as R, G, B.
std::vector<std::string> ColourReference(const std::string& path) {
    auto md5s = media::FfmpegBgrMd5s(path, {});
    if (!md5s)
        throw std::runtime_error("no ffmpeg command to compare with");
    return *md5s;
}

// One GenICam client: a camera opened by address and a stream with a few buffers.
class Client {
public:
    explicit Client(const std::string& address) {
        GError* error = nullptr;
        camera_ = arv_camera_new(address.c_str(), &error);
        if (!camera_)
            throw std::runtime_error("no camera at " + address + ": " + Take(error));
        g_signal_connect(arv_camera_get_device(camera_), "control-lost",
                         G_CALLBACK(&Client::OnControlLost), this);
    }
    ~Client() {
        if (stream_)
            g_object_unref(stream_);
        g_object_unref(camera_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    ArvCamera* camera() { return camera_; }

    void Start() {
        GError* error = nullptr;
        if (!stream_) {
            stream_ = arv_camera_create_stream(camera_, nullptr, nullptr, &error);
            if (!stream_)
                throw std::runtime_error("no stream: " + Take(error));
            payload_ = arv_camera_get_payload(camera_, &error);
            for (int i = 0; i < 8; ++i)
                arv_stream_push_buffer(stream_, arv_buffer_new(payload_, nullptr));
        }
        arv_camera_set_acquisition_mode(camera_, ARV_ACQUISITION_MODE_CONTINUOUS, &error);
        Check(error);
        arv_camera_start_acquisition(camera_, &error);
        Check(error);
    }
    void Stop() {
        GError* error = nullptr;
        arv_camera_stop_acquisition(camera_, &error);
        Check(error);
    }

    // The next complete frame, or nothing within `timeoutMs`.
    std::optional<Received> Next(int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            ArvBuffer* buffer = arv_stream_timeout_pop_buffer(stream_, 200'000);
            if (!buffer)
                continue;
            std::optional<Received> got;
            if (arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS) {
                size_t size = 0;
                const auto* data =
                    static_cast<const std::uint8_t*>(arv_buffer_get_data(buffer, &size));
                std::vector<std::uint8_t> rgb(data, data + size);
                if (arv_buffer_get_image_pixel_format(buffer) == ARV_PIXEL_FORMAT_BGR_8_PACKED) {
                    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
                        std::swap(rgb[i], rgb[i + 2]);
                }
                got = Received{arv_buffer_get_frame_id(buffer), arv_buffer_get_timestamp(buffer),
                               Md5(rgb.data(), rgb.size())};
            } else {
                ++incomplete;
            }
            arv_stream_push_buffer(stream_, buffer);
            if (got)
                return got;
        }
        return std::nullopt;
    }

    bool WaitForControlLost(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return lostChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [this] { return controlLost_; });
    }

    int incomplete = 0;

private:
    static std::string Take(GError* error) {
        std::string text = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        return text;
    }
    static void Check(GError* error) {
        if (error)
            throw std::runtime_error(Take(error));
    }
    static void OnControlLost(ArvDevice*, Client* self) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->controlLost_ = true;
        self->lostChanged_.notify_all();
    }

    ArvCamera* camera_ = nullptr;
    ArvStream* stream_ = nullptr;
    std::size_t payload_ = 0;
    std::mutex mutex_;
    std::condition_variable lostChanged_;
    bool controlLost_ = false;
};

// Every frame is the file's frame its id says: ids count the frames the module played, so from
// the first frame on, id k is frame (first + k - firstId) modulo the file's length. Ids are 16
// bits and skip 0, so they are followed across the wrap. Frames may go missing (their ids with
// them) but none may be wrong, torn or repeated.
void ExpectExactFrames(const std::vector<Received>& got,
                       const std::vector<std::string>& reference) {
    ASSERT_FALSE(got.empty());
    ASSERT_FALSE(reference.empty());
    const auto first = std::find(reference.begin(), reference.end(), got[0].md5);
    ASSERT_NE(first, reference.end()) << "the first frame is none of the file's";
    const auto n = static_cast<std::int64_t>(reference.size());
    const std::int64_t start = first - reference.begin();
    std::int64_t k = 0;
    for (std::size_t i = 1; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].id >= 1 && got[i].id <= 0xFFFF) << "frame " << i;
        const auto step = (static_cast<std::int64_t>(got[i].id) -
                           static_cast<std::int64_t>(got[i - 1].id) + 0xFFFF) %
                          0xFFFF;
        ASSERT_TRUE(step > 0 && step < 0x8000) << "frame " << i << " repeats or goes back";
        ASSERT_GT(got[i].timestamp, got[i - 1].timestamp) << "frame " << i;
        k += step;
        ASSERT_EQ(got[i].md5, reference[static_cast<std::size_t>((start + k) % n)])
            << "frame " << i << " (id " << got[i].id << ")";
    }
}

class Served : public ::testing::Test {
protected:
    void SetUp() override { Configure(0, false); }

    void Configure(int replayMode, bool mono) {
        module.reset();
        char values[256];
        std::snprintf(values, sizeof values,
                      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI]\n"
                      "\"ReplayMode\"=dword:%08x\n\"ForceNV12ToMono8\"=dword:%08x\n",
                      replayMode, mono ? 1 : 0);
        dir.write("r.reg", values);
        module.emplace();
        auto* self = reinterpret_cast<long (*)()>(module->Symbol("DllRegisterServer"));
        ASSERT_NE(self, nullptr);
        ASSERT_EQ(self(), 0);
    }

    std::unique_ptr<FileCamera> Serve(const std::string& path,
                                      const std::string& address = "127.0.0.1",
                                      std::uint64_t framesBefore = 0, bool everyFrame = false) {
        HostHandle handle = module->GetImageFromFileW(zyl::tools::Widen(path).c_str());
        if (!handle)
            throw std::runtime_error("the module did not open " + path);
        zyl::gige::ServeOptions options;
        options.address = address;
        options.serial = "TEST";
        options.framesBefore = framesBefore;
        options.everyFrame = everyFrame;
        return std::make_unique<FileCamera>(std::make_unique<zyl::tools::Camera>(handle), options);
    }

    static bool HasSecondAddress() { return zyl::gige::InterfaceOf("127.0.0.2").has_value(); }

    TempDir dir;
    ScopedEnv registry{"ZYLON_REGISTRY", dir.file("r.reg")};
    ScopedEnv audio{"ZYLAVI_AUDIO", "null"};
    std::optional<zyl::tools::LoadedModule> module;
};

std::vector<Received> Acquire(Client& client, int frames) {
    std::vector<Received> got;
    while (static_cast<int>(got.size()) < frames) {
        auto frame = client.Next();
        if (!frame)
            break;
        got.push_back(*frame);
    }
    return got;
}

TEST_F(Served, EveryContainerGivesFfmpegsFramesInOrderAndLooping) {
    struct Case {
        const char* what;
        media::EncodeOptions encoding;
    };
    const Case cases[] = {
        {"avi mpeg4",
         {.container = "avi",
          .codec = "mpeg4",
          .width = 96,
          .height = 64,
          .frames = 12,
          .name = ""}},
        {"mp4 h264 b-frames",
         {.container = "mp4", .width = 66, .height = 50, .frames = 15, .bframes = 2, .name = ""}},
        {"mkv h264",
         {.container = "mkv", .width = 80, .height = 48, .frames = 10, .gop = 5, .name = ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = media::EncodedFile(dir.file(""), c.encoding);
        const std::vector<std::string> reference = ColourReference(path);
        auto server = Serve(path);
        EXPECT_NE(server->description().pixelFormat, zyl::gige::kMono8);
        Client client("127.0.0.1");
        EXPECT_EQ(arv_camera_get_integer(client.camera(), "Width", nullptr), c.encoding.width);
        EXPECT_EQ(arv_camera_get_integer(client.camera(), "ZylFrameCount", nullptr),
                  c.encoding.frames);
        EXPECT_DOUBLE_EQ(arv_camera_get_float(client.camera(), "AcquisitionFrameRate", nullptr),
                         25.0);
        // Four times the file's rate: the same frames, sooner.
        arv_camera_set_float(client.camera(), "AcquisitionFrameRate", 100.0, nullptr);
        client.Start();
        const auto got = Acquire(client, c.encoding.frames * 2 + 3);
        client.Stop();
        ASSERT_EQ(got.size(), static_cast<std::size_t>(c.encoding.frames * 2 + 3));
        ExpectExactFrames(got, reference);
    }
}

TEST_F(Served, GreyPicturesAreMono8) {
    // A raw .zyrv in Mono8 through the raw player.
    zyl::test::ZyrvClip clip{
        .width = 40, .height = 30, .format = "Mono8", .frames = 7, .fps = 50, .dataOffset = 40};
    const std::string zyrv = zyl::test::WriteZyrv(dir.file("clip.zyrv"), clip);
    std::vector<std::string> zyrvFrames;
    for (int k = 0; k < clip.frames; ++k) {
        const auto pixels = zyl::test::ExpectedPixels(clip, k);
        zyrvFrames.push_back(Md5(pixels.data(), pixels.size()));
    }
    {
        auto server = Serve(zyrv);
        ASSERT_EQ(server->description().pixelFormat, zyl::gige::kMono8);
        Client client("127.0.0.1");
        client.Start();
        const auto got = Acquire(client, clip.frames + 4);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(clip.frames + 4));
        ExpectExactFrames(got, zyrvFrames);
    }
    // An 8-bit grey AVI through the DirectShow player.
    const std::string avi = media::RawAvi(dir.file(""), 8, 36, 20, 6);
    std::vector<std::string> aviFrames;
    for (int k = 0; k < 6; ++k) {
        const auto pixels = media::GreyPicture(k, 36, 20);
        aviFrames.push_back(Md5(pixels.data(), pixels.size()));
    }
    auto server = Serve(avi);
    ASSERT_EQ(server->description().pixelFormat, zyl::gige::kMono8);
    Client client("127.0.0.1");
    client.Start();
    const auto got = Acquire(client, 14);
    ASSERT_EQ(got.size(), 14u);
    ExpectExactFrames(got, aviFrames);
}

TEST_F(Served, TwoCamerasEachWithItsOwnClient) {
    if (!HasSecondAddress())
        GTEST_SKIP() << "no second loopback address (needs a network namespace or 127.0.0.2)";
    const std::string a =
        media::EncodedFile(dir.file(""), {.width = 64, .height = 48, .frames = 8, .name = "a.mp4"});
    const std::string b = media::EncodedFile(dir.file(""), {.container = "avi",
                                                            .codec = "mpeg4",
                                                            .width = 48,
                                                            .height = 32,
                                                            .frames = 6,
                                                            .name = "b.avi"});
    auto first = Serve(a, "127.0.0.1");
    auto second = Serve(b, "127.0.0.2");
    std::vector<Received> gotA, gotB;
    std::thread other([&] {
        Client client("127.0.0.2");
        client.Start();
        gotB = Acquire(client, 10);
    });
    Client client("127.0.0.1");
    client.Start();
    gotA = Acquire(client, 12);
    other.join();
    ASSERT_EQ(gotA.size(), 12u);
    ASSERT_EQ(gotB.size(), 10u);
    ExpectExactFrames(gotA, ColourReference(a));
    ExpectExactFrames(gotB, ColourReference(b));
}

TEST_F(Served, StopStartAndReconnectKeepTheFramesExact) {
    const std::string path =
        media::EncodedFile(dir.file(""), {.width = 64, .height = 48, .frames = 10, .name = ""});
    const auto reference = ColourReference(path);
    // Ids wrap from 65535 to 1 along the way.
    auto server = Serve(path, "127.0.0.1", 0xFFFF - 8);
    {
        Client client("127.0.0.1");
        client.Start();
        auto got = Acquire(client, 5);
        client.Stop();
        client.Start();  // the same stream again, after a pause
        auto more = Acquire(client, 5);
        client.Stop();
        ASSERT_EQ(got.size(), 5u);
        ASSERT_EQ(more.size(), 5u);
        got.insert(got.end(), more.begin(), more.end());
        ExpectExactFrames(got, reference);
    }
    // A second client after the first let go: a new stream, the file goes on.
    Client client("127.0.0.1");
    client.Start();
    const auto got = Acquire(client, 12);
    ASSERT_EQ(got.size(), 12u);
    ExpectExactFrames(got, reference);
    EXPECT_TRUE(server->problem().empty()) << server->problem();
}

TEST_F(Served, ClientThatDiesWhileAcquiringLeavesTheCameraToTheNext) {
    const std::string path =
        media::EncodedFile(dir.file(""), {.width = 64, .height = 48, .frames = 10, .name = ""});
    auto server = Serve(path);
    // A client process killed mid-stream: it never stops acquisition nor releases control.
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    ASSERT_NE(std::system(("'" + self + "' --acquire-then-die 127.0.0.1").c_str()), -1);
    // The camera is the next client's once the dead one's heartbeat has run out.
    std::unique_ptr<Client> client;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<Received> got;
    while (got.size() < 8 && std::chrono::steady_clock::now() < deadline) {
        try {
            client = std::make_unique<Client>("127.0.0.1");
            client->Start();
            got = Acquire(*client, 8);
        } catch (const std::runtime_error&) {
            client.reset();  // not in control yet
        }
    }
    ASSERT_EQ(got.size(), 8u);
    ExpectExactFrames(got, ColourReference(path));
}

TEST_F(Served, ReplayModeSendsEveryFrameOnceInOrder) {
    Configure(2, false);
    const std::string path = media::EncodedFile(
        dir.file(""), {.container = "mkv", .width = 48, .height = 32, .frames = 7, .name = ""});
    auto server = Serve(path, "127.0.0.1", 0, true);
    Client client("127.0.0.1");
    client.Start();
    // Unclocked: the module hands frames as fast as the network takes them, and no id is
    // missing.
    const auto got = Acquire(client, 24);
    ASSERT_EQ(got.size(), 24u);
    ExpectExactFrames(got, ColourReference(path));
    for (std::size_t i = 1; i < got.size(); ++i)
        EXPECT_EQ(got[i].id, got[i - 1].id + 1) << "frame " << i;
    EXPECT_EQ(arv_camera_get_integer(client.camera(), "ZylLostFrames", nullptr), 0);
    EXPECT_EQ(server->stats().skipped, 0u);
    EXPECT_EQ(server->stats().replaced, 0u);
}

TEST_F(Served, ClientSeesTheCameraGoWhenTheServerStops) {
    const std::string path =
        media::EncodedFile(dir.file(""), {.width = 64, .height = 48, .frames = 10, .name = ""});
    auto server = Serve(path);
    Client client("127.0.0.1");
    client.Start();
    ASSERT_TRUE(client.Next().has_value());
    server.reset();
    // The client's heartbeat finds no device any more.
    EXPECT_TRUE(client.WaitForControlLost(20000));
    // What was on its way before the stop may still come out of the stream's queue; nothing
    // after it.
    int late = 0;
    while (client.Next(300))
        ++late;
    EXPECT_LE(late, 8);
}

TEST_F(Served, BadAddressesPortsAndRegisterWritesAreRefusedAndServingGoesOn) {
    const std::string path =
        media::EncodedFile(dir.file(""), {.width = 64, .height = 48, .frames = 10, .name = ""});
    try {
        Serve(path, "192.0.2.200");
        FAIL() << "served at an address no interface has";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("no interface"), std::string::npos) << e.what();
    }
    auto server = Serve(path);
    try {
        Serve(path);
        FAIL() << "two cameras at one address";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
    }

    Client client("127.0.0.1");
    ArvDevice* device = arv_camera_get_device(client.camera());
    // Past the description's limits straight into the registers, as a raw tool would.
    ASSERT_TRUE(arv_device_write_register(device, zyl::gige::reg::kSeekFrame, 5000, nullptr));
    GError* error = nullptr;
    arv_camera_set_float(client.camera(), "AcquisitionFrameRate", 1.0, &error);
    if (error)  // the client library refuses a value outside the range by itself
        g_clear_error(&error);
    std::uint64_t rate = GUINT64_TO_BE(std::bit_cast<std::uint64_t>(9999.0));
    ASSERT_TRUE(arv_device_write_memory(device, zyl::gige::reg::kFrameRate, 8, &rate, nullptr));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server->stats().refused < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_GE(server->stats().refused, 2u);
    EXPECT_DOUBLE_EQ(arv_camera_get_float(client.camera(), "AcquisitionFrameRate", nullptr), 25.0);

    // A seek in range lands, and acquisition still gives exact frames.
    arv_camera_set_integer(client.camera(), "ZylSeekFrame", 7, nullptr);
    client.Start();
    const auto got = Acquire(client, 6);
    ASSERT_EQ(got.size(), 6u);
    ExpectExactFrames(got, ColourReference(path));
}

}  // namespace

namespace {

std::string Here() {
    return std::filesystem::canonical("/proc/self/exe").parent_path().string();
}

zyl::test::CommandRun Shell(const std::string& command) {
    return zyl::test::RunCommand(command + " 2>&1");
}

TEST(ServeCommand, AravisToolsSeeTheCameraAndBadInputFailsClearly) {
    TempDir dir;
    const std::string env = "ZYLON_REGISTRY='" + dir.file("r.reg") + "' ";
    const std::string zylavi = env + "'" + Here() + "/zylavi' serve ";
    const std::string file = zyl::test::WriteZyrv(
        dir.file("clip.zyrv"),
        {.width = 40, .height = 30, .format = "RGB8", .frames = 5, .fps = 25, .dataOffset = 40});

    // Serving in the background while the command-line tools look at it.
    FILE* server = popen((zylavi + "'" + file + "' --seconds 8 --json").c_str(), "r");
    ASSERT_NE(server, nullptr);
    char line[4096] = {};
    ASSERT_NE(std::fgets(line, sizeof line, server), nullptr);
    EXPECT_NE(std::string(line).find("\"serving\""), std::string::npos) << line;
    EXPECT_NE(std::string(line).find("\"width\": 40"), std::string::npos) << line;
    if (Shell("command -v arv-tool-0.8").status == 0) {
        const zyl::test::CommandRun features = Shell(
            "arv-tool-0.8 -a 127.0.0.1 control Width Height PixelFormat "
            "AcquisitionFrameRate ZylFrameCount DeviceVendorName");
        EXPECT_NE(features.out.find("Width = 40"), std::string::npos) << features.out;
        EXPECT_NE(features.out.find("PixelFormat = "), std::string::npos) << features.out;
        EXPECT_NE(features.out.find("AcquisitionFrameRate = 25"), std::string::npos)
            << features.out;
        EXPECT_NE(features.out.find("ZylFrameCount = 5"), std::string::npos) << features.out;
        EXPECT_NE(features.out.find("DeviceVendorName = ZylAvi"), std::string::npos)
            << features.out;
    }
    std::string rest;
    while (std::fgets(line, sizeof line, server))
        rest += line;
    const int status = pclose(server);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << rest;
    EXPECT_NE(rest.find("\"stopped\""), std::string::npos) << rest;

    const zyl::test::CommandRun missing = Shell(zylavi + "'" + dir.file("none.avi") + "'");
    EXPECT_EQ(missing.status, 1) << missing.out;
    EXPECT_NE(missing.out.find("none.avi: no such file"), std::string::npos) << missing.out;
    const zyl::test::CommandRun noInterface = Shell(zylavi + "'" + file + "' --interface nosuch0");
    EXPECT_EQ(noInterface.status, 2) << noInterface.out;
    EXPECT_NE(noInterface.out.find("no network interface named 'nosuch0'"), std::string::npos)
        << noInterface.out;
    const zyl::test::CommandRun twoOnOne =
        Shell(zylavi + "'" + file + "' '" + file + "' --address 127.0.0.1");
    EXPECT_EQ(twoOnOne.status, 2) << twoOnOne.out;
    EXPECT_NE(twoOnOne.out.find("2 files need 2 addresses"), std::string::npos) << twoOnOne.out;
    const zyl::test::CommandRun badAddress = Shell(zylavi + "'" + file + "' --address 192.0.2.250");
    EXPECT_EQ(badAddress.status, 2) << badAddress.out;
    EXPECT_NE(badAddress.out.find("no interface of this machine has the address 192.0.2.250"),
              std::string::npos)
        << badAddress.out;
    EXPECT_EQ(Shell("'" + Here() + "/zylavi' serve").status, 2);
}

}  // namespace
