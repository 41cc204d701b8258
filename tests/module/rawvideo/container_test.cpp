// The C-style container layer: the codes its exports answer a host, and the texts the class
// gives with them.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/module_host.h"
#include "module/base/errors/host_exceptions.h"
#include "module/logging/capture_target.h"
#include "module/rawvideo/RawVideo.h"
#include "platform/text.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

using namespace ZYL;
using zyl::test::ZyrvClip;

namespace {

// The container configures logging once per process; the fixture restores the globals.
class Container : public zyl::test::LoggingTest {
protected:
    Result Open(const std::string& path, HostHandle* handle) {
        return module.OpenRawVideo(zyl::tools::Widen(path).c_str(), handle);
    }
    // The code and text the class throws for a path, or {0, "(opened)"}.
    static std::pair<std::uint32_t, std::string> Failure(const std::string& path) {
        try {
            RawVideo video(*zyl::platform::utf8ToWide(path));
        } catch (const ZYLException& e) {
            return {e.GetError(), *zyl::platform::wideToUtf8(e.GetMessage())};
        }
        return {0, "(opened)"};
    }
    zyl::tools::LoadedModule module;
    zyl::test::TempDir dir;
};

}  // namespace

TEST_F(Container, OpeningFailuresGiveTheirCodeAndText) {
    const std::string folder = dir.path().string();
    const std::string noFormat =
        "Pixel format of for loaded container is not supported or header is corrupted. Supported "
        "formats are Mono8, RGB8, BGR8, RGBA8";
    auto zero = zyl::tools::EncodeZyrvHeader({});
    zero[24] = 0x01;  // pixel format 0x01080001, Mono8, but width and height stay 0
    zero[26] = 0x08;
    zero[27] = 0x01;
    const struct {
        std::string path;
        std::uint32_t code;
        std::string text;  // the start of the text
    } cases[] = {
        {dir.file("a&b\".ZYRV"), 3, "File extension: \".ZYRV\" not supported. Use *.zyrv. Error: "},
        {dir.file("a&b\""), 3,
         "Could not create file handle for opening \"" + folder +
             "/a&&b&\"\" Make sure the path is valid. Error: "},
        {"", 3, "Could not create file handle for opening \"\" Make sure the path is valid."},
        {dir.file("nowhere/v.zyrv"), 3,
         "Could not create file handle for opening \"" + folder + "/nowhere/v.zyrv\" Error: "},
        {dir.file("missing.zyrv"), 27, noFormat},  // created empty: no format
        {zyl::test::WriteBytes(dir.file("zero.zyrv"), zero), 27, noFormat},
    };
    for (const auto& c : cases) {
        HostHandle video = nullptr;
        EXPECT_EQ(Open(c.path, &video), ToResult(0x80000000u | c.code)) << c.path;
        EXPECT_EQ(video, nullptr);
        const auto [code, text] = Failure(c.path);
        EXPECT_EQ(code, c.code) << c.path;
        EXPECT_TRUE(text.starts_with(c.text)) << text;
    }
    HostHandle video = nullptr;
    EXPECT_EQ(module.OpenRawVideo(nullptr, &video), ToResult(0x80000003)) << "the empty path";
}

TEST_F(Container, IndexRulesAndImagesThatOutliveTheContainer) {
    ZyrvClip clip;
    clip.format = "BGR8";
    clip.frames = 3;
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), clip);
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    std::fwrite("XXXX9999", 1, 8, f);  // any magic and version are accepted
    std::fclose(f);
    HostHandle video = nullptr;
    ASSERT_EQ(Open(path, &video), kOk);
    EXPECT_EQ(module.SetRawVideoFrameIndex(video, 3), ToResult(0x80000030));
    EXPECT_EQ(module.SetRawVideoFrameIndex(video, 2), kOk);
    HostHandle image = nullptr;
    EXPECT_EQ(module.ReadRawVideoImage(video, &image), kOk);
    HostHandle past = nullptr;
    EXPECT_EQ(module.ReadRawVideoImage(video, &past), ToResult(0x8000002E));
    EXPECT_EQ(past, nullptr);
    EXPECT_EQ(module.SetRawVideoFrameIndex(nullptr, 0), kWrongObject);
    EXPECT_EQ(module.ReadRawVideoImage(reinterpret_cast<HostHandle>(0x12345), &past), kWrongObject);
    EXPECT_EQ(module.SetRawVideoFrameIndex(video, 0), kOk) << "usable after the failures";
    EXPECT_EQ(module.ReadRawVideoImage(video, &past), kOk);
    HostRelease(past);
    HostRelease(video);
    // The planes of a BGR8 image are in red, green, blue order all the same.
    void* vpa = nullptr;
    ASSERT_EQ(HostQueryInterface(image, kIdImageVPA, &vpa), kOk);
    zyl::tools::Frame frame;
    EXPECT_EQ(zyl::tools::ReadFrame(*static_cast<IImageVPA*>(vpa), frame), kOk);
    EXPECT_EQ(frame.pixels, zyl::test::ExpectedPixels(clip, 2));
    HostRelease(image);
}
