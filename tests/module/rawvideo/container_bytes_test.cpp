// The .zyrv header and frame layout against files written out by hand, byte for byte, rather
// than by the tools' own writer: the reader takes each field from its offset, and the writer
// produces exactly these bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "common/module_host.h"
#include "host/ZylHost.h"
#include "module/logging/capture_target.h"
#include "module/rawvideo/RawVideo.h"
#include "platform/text.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

using namespace ZYL;
using Bytes = std::vector<std::uint8_t>;

namespace {

// RGB8, 4 x 2 pixels, 29.97 frames/s, frames from offset 48 (eight bytes of padding first).
const Bytes kHeader = {
    'Z',  'Y',  'R',  'V',                           // magic
    '0',  '1',  '3',  '0',                           // version
    0x04, 0x00, 0x00, 0x00,                          // width 4
    0x02, 0x00, 0x00, 0x00,                          // height 2
    0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // line increment 12
    0x14, 0x00, 0x18, 0x02,                          // pixel format 0x02180014, RGB8
    0xB8, 0x1E, 0x85, 0xEB, 0x51, 0xF8, 0x3D, 0x40,  // 29.97, IEEE 754 double
    0x30, 0x00, 0x00, 0x00,                          // data offset 48
};

std::string Write(const std::string& path, const std::vector<Bytes>& parts) {
    Bytes file;
    for (const Bytes& part : parts)
        file.insert(file.end(), part.begin(), part.end());
    return zyl::test::WriteBytes(path, file);
}

// A frame whose every byte names its frame and position: 0xF0 | frame, then 1, 2, ...
Bytes Frame(std::uint8_t frame, std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i == 0 ? 0xF0 | frame : i);
    return bytes;
}

// An image as the host sees it: planes interleaved per pixel, top line first.
Bytes Pixels(HostHandle image) {
    void* vpa = nullptr;
    EXPECT_EQ(HostQueryInterface(image, kIdImageVPA, &vpa), kOk);
    zyl::tools::Frame frame;
    if (vpa == nullptr)
        return {};
    EXPECT_EQ(zyl::tools::ReadFrame(*static_cast<IImageVPA*>(vpa), frame), kOk);
    return frame.pixels;
}

std::wstring Wide(const std::string& path) {
    return *zyl::platform::utf8ToWide(path);
}

// The container configures logging once per process; the fixture restores the globals.
using ContainerBytes = zyl::test::LoggingTest;

}  // namespace

TEST_F(ContainerBytes, HeaderFieldsAreReadFromTheirOffsets) {
    zyl::test::TempDir dir;
    // Two whole frames of 24 bytes and a partial third that does not count.
    const std::string path = Write(dir.file("hand.zyrv"), {kHeader, Bytes(8, 0xEE), Frame(0, 24),
                                                           Frame(1, 24), Bytes(10, 0xDD)});
    RawVideo video(Wide(path));
    EXPECT_EQ(video.Width(), 4u);
    EXPECT_EQ(video.Height(), 2u);
    EXPECT_EQ(video.PixelFormat(), 0x02180014u);
    EXPECT_EQ(video.FrameRate(), 29.97);
    EXPECT_EQ(video.FrameCount(), 2u) << "(106 - 48) / (2 * 12), rounded down";

    video.SetFrameIndex(1);
    HostHandle image = nullptr;
    video.ReadImage(&image);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Pixels(image), Frame(1, 24)) << "frame 1 starts at 48 + 24, already R, G, B";
    HostRelease(image);
}

TEST_F(ContainerBytes, BgrPlanesAndTheFramePosition) {
    zyl::test::TempDir dir;
    Bytes header = kHeader;
    header[24] = 0x15;  // 0x02180015, BGR8
    const std::string path = Write(dir.file("bgr.zyrv"), {header, Bytes(8, 0), Frame(0, 24)});
    RawVideo video(Wide(path));
    HostHandle image = nullptr;
    video.ReadImage(&image);
    ASSERT_NE(image, nullptr);
    Bytes rgb = Frame(0, 24);
    for (std::size_t i = 0; i < rgb.size(); i += 3)
        std::swap(rgb[i], rgb[i + 2]);
    EXPECT_EQ(Pixels(image), rgb) << "the host sees red, green, blue";
    HostRelease(image);

    // Mono8 640 x 480 from offset 512: frame 2 is read from file position 614912.
    const Bytes mono = {'Z',  'Y',  'R',  'V',  '0',  '1',  '3',  '0',  0x80, 0x02,
                        0x00, 0x00, 0xE0, 0x01, 0x00, 0x00, 0x80, 0x02, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x08, 0x01, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00};
    Bytes file(512 + 3 * 307200, 0x00);
    std::memcpy(file.data(), mono.data(), mono.size());
    file[614912] = 0xA2;
    file[614912 + 307199] = 0xB2;
    file[614911] = 0xFF;  // last byte of frame 1
    RawVideo large(Wide(zyl::test::WriteBytes(dir.file("mono.zyrv"), file)));
    EXPECT_EQ(large.Width(), 640u);
    EXPECT_EQ(large.Height(), 480u);
    EXPECT_EQ(large.FrameRate(), 0.0);
    EXPECT_EQ(large.FrameCount(), 3u);
    large.SetFrameIndex(2);
    large.ReadImage(&image);
    ASSERT_NE(image, nullptr);
    const Bytes pixels = Pixels(image);
    ASSERT_EQ(pixels.size(), 307200u);
    EXPECT_EQ(pixels.front(), 0xA2);
    EXPECT_EQ(pixels.back(), 0xB2);
    HostRelease(image);
}

TEST(ContainerWriterBytes, WritesTheHeaderByteForByte) {
    zyl::tools::ZyrvHeader header;
    header.width = 4;
    header.height = 2;
    header.lineIncrement = 12;
    header.pixelFormat = 0x02180014;
    header.frameRate = 29.97;
    header.dataOffset = 48;
    EXPECT_EQ(zyl::tools::EncodeZyrvHeader(header), kHeader);
}
