// The container's failure texts and codes, from the class itself.
#include <gtest/gtest.h>

#include "module/base/errors/host_exceptions.h"
#include "module/logging/capture_target.h"
#include "module/rawvideo/RawVideo.h"
#include "platform/text.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

using namespace ZYL;

namespace {

std::pair<std::uint32_t, std::string> Failure(const std::string& path) {
    try {
        RawVideo video(*zyl::platform::utf8ToWide(path));
    } catch (const ZYLException& e) {
        return {e.GetError(), *zyl::platform::wideToUtf8(e.GetMessage())};
    }
    return {0, "(opened)"};
}

// The container configures logging once per process; the fixture restores the globals.
using ContainerMessages = zyl::test::LoggingTest;

}  // namespace

TEST_F(ContainerMessages, OpeningFailures) {
    zyl::test::TempDir dir;
    const std::string quoted = QuotePath(dir.file("a&b\".ZYRV"));
    EXPECT_EQ(quoted.substr(quoted.size() - 12), "a&&b&\".ZYRV\"");
    auto [code, text] = Failure(dir.file("a&b\".ZYRV"));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(text.starts_with("File extension: \".ZYRV\" not supported. Use *.zyrv. Error: "))
        << text;
    std::tie(code, text) = Failure(dir.file("noext"));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(text.starts_with("Could not create file handle for opening \"" + dir.file("noext") +
                                 "\" Make sure the path is valid. Error: "))
        << text;
    std::tie(code, text) = Failure(dir.file("no/such/folder.zyrv"));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(text.starts_with("Could not create file handle for opening \"" +
                                 dir.file("no/such/folder.zyrv") + "\" Error: "))
        << text;
    std::tie(code, text) = Failure(dir.file("empty.zyrv"));
    EXPECT_EQ(code, 27u);
    EXPECT_EQ(
        text,
        "Pixel format of for loaded container is not supported or header is corrupted. Supported "
        "formats are Mono8, RGB8, BGR8, RGBA8");
}

TEST_F(ContainerMessages, IndexFailuresLeaveTheContainerUsable) {
    zyl::test::TempDir dir;
    zyl::test::ZyrvClip clip;
    clip.frames = 2;
    RawVideo video(*zyl::platform::utf8ToWide(zyl::test::WriteZyrv(dir.file("v.zyrv"), clip)));
    EXPECT_EQ(video.FrameCount(), 2u);
    try {
        video.SetFrameIndex(2);
        ADD_FAILURE();
    } catch (const ZYLException& e) {
        EXPECT_EQ(e.GetError(), 48u);
        EXPECT_EQ(e.GetMessage(), L"Desired index exceeds number of frames available.");
    }
    video.SetFrameIndex(1);
    HostHandle image = nullptr;
    video.ReadImage(&image);
    HostRelease(image);
    EXPECT_EQ(video.FrameIndex(), 2u);
    try {
        video.ReadImage(&image);
        ADD_FAILURE();
    } catch (const ZYLException& e) {
        EXPECT_EQ(e.GetError(), 46u);
    }
    EXPECT_EQ(video.FrameIndex(), 2u) << "unchanged after a failed read";
    video.SetFrameIndex(0);
    video.ReadImage(&image);
    HostRelease(image);
}
