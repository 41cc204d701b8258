// The C-style container layer, called through the module's exports.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "common/module_host.h"
#include "module/entry/Entry.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

using namespace ZYL;
using zyl::test::ZyrvClip;

namespace {

class Container : public ::testing::Test {
protected:
    Result Open(const std::string& path, HostHandle* handle) {
        return module.OpenRawVideo(zyl::tools::Widen(path).c_str(), handle);
    }
    zyl::tools::LoadedModule module;
    zyl::test::TempDir dir;
};

std::vector<std::uint8_t> ImagePlane(HostHandle image, int plane, int width, int height) {
    std::uint8_t* base = nullptr;
    VPAEntry* table = nullptr;
    EXPECT_EQ(HostPlaneAccess(image, plane, &base, &table), kOk);
    std::vector<std::uint8_t> out;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            out.push_back(base[table[x].x + table[y].y]);
    }
    return out;
}

}  // namespace

TEST_F(Container, IndexRulesAndImagesThatOutliveTheContainer) {
    ZyrvClip clip;
    clip.format = "BGR8";
    clip.frames = 3;
    HostHandle video = nullptr;
    ASSERT_EQ(Open(zyl::test::WriteZyrv(dir.file("v.zyrv"), clip), &video), kOk);
    EXPECT_EQ(module.SetRawVideoFrameIndex(video, 2), kOk);
    EXPECT_EQ(module.SetRawVideoFrameIndex(video, 3), ToResult(0x80000030));
    HostHandle image = nullptr;
    EXPECT_EQ(module.ReadRawVideoImage(video, &image), kOk);
    HostHandle past = nullptr;
    EXPECT_EQ(module.ReadRawVideoImage(video, &past), ToResult(0x8000002E));
    EXPECT_EQ(past, nullptr);
    HostRelease(video);
    // Plane 0 of a BGR8 image is the third byte of every pixel: red.
    const auto red = ImagePlane(image, 0, 32, 24);
    const auto expected = zyl::test::ExpectedPixels(clip, 2);
    for (std::size_t i = 0; i < red.size(); ++i)
        ASSERT_EQ(red[i], expected[3 * i]) << i;
    HostRelease(image);
}

TEST_F(Container, ErrorCodesOfBadFilesAndHandles) {
    HostHandle video = nullptr;
    EXPECT_EQ(Open(dir.file("missing.zyrv"), &video), ToResult(0x8000001B))
        << "created empty, no format";
    EXPECT_EQ(Open(dir.file("v.ZYRV"), &video), ToResult(0x80000003));
    EXPECT_EQ(Open("relative-without-folder", &video), ToResult(0x80000003));
    EXPECT_EQ(Open(dir.file("nowhere/v.zyrv"), &video), ToResult(0x80000003));
    auto header = zyl::tools::EncodeZyrvHeader({});
    header[24] = 0x01;  // pixel format 0x01080001, Mono8, but width and height stay 0
    header[25] = 0x00;
    header[26] = 0x08;
    header[27] = 0x01;
    EXPECT_EQ(Open(zyl::test::WriteBytes(dir.file("zero.zyrv"), header), &video),
              ToResult(0x8000001B));
    EXPECT_EQ(module.SetRawVideoFrameIndex(nullptr, 0), kWrongObject);
    HostHandle image = nullptr;
    EXPECT_EQ(module.ReadRawVideoImage(reinterpret_cast<HostHandle>(0x12345), &image),
              kWrongObject);
    EXPECT_EQ(module.OpenRawVideo(nullptr, &video), ToResult(0x80000003))
        << "null is the empty path";
}

TEST_F(Container, AnyMagicAndVersionAreAccepted) {
    ZyrvClip clip;
    const std::string path = zyl::test::WriteZyrv(dir.file("v.zyrv"), clip);
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    std::fwrite("XXXX9999", 1, 8, f);
    std::fclose(f);
    HostHandle video = nullptr;
    ASSERT_EQ(Open(path, &video), kOk);
    HostRelease(video);
}

TEST(PathExtension, LastComponentOnly) {
    EXPECT_EQ(PathExtension(L"/a/b.zyrv"), L".zyrv");
    EXPECT_EQ(PathExtension(L"/a/dir.zyrv/clip.avi"), L".avi");
    EXPECT_EQ(PathExtension(L"/a/.zyrv"), L".zyrv");
    EXPECT_EQ(PathExtension(L"/a/noext"), L"");
    EXPECT_EQ(PathExtension(L"/a/.."), L"");
    EXPECT_EQ(PathExtension(L""), L"");
}
