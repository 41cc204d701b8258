// The player's frame layout: padded widths, the format blocks' width, height and frame time,
// and the access tables that address a ring buffer element line by line.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "module/player/AccessTables.h"
#include "module/player/MediaFormat.h"

using namespace ZYL::player;

TEST(FrameLayout, PaddedWidthsAndStridesFollowTheFourByteLines) {
    struct Case {
        int bpp, width, padded, stride;
    };
    for (const Case& c : {Case{3, 10, 10, 32}, Case{3, 11, 12, 36}, Case{1, 10, 12, 12},
                          Case{4, 7, 7, 28}, Case{1, 12, 12, 12}, Case{3, 1, 1, 4}}) {
        EXPECT_EQ(PaddedWidth(c.bpp, c.width), c.padded) << c.bpp << "x" << c.width;
        EXPECT_EQ(LineStride(c.bpp, PaddedWidth(c.bpp, c.width)), c.stride)
            << c.bpp << "x" << c.width;
    }
    std::int32_t bpp = -1, planes = -1;
    PixelLayout(MEDIASUBTYPE_NV12, bpp, planes);
    EXPECT_EQ(bpp, 1);
    EXPECT_EQ(planes, 1);
    PixelLayout(MEDIASUBTYPE_RGB32, bpp, planes);
    EXPECT_EQ(bpp, 4);
    EXPECT_EQ(planes, 3);
    PixelLayout(MEDIATYPE_Text, bpp, planes);  // anything not taken
    EXPECT_EQ(bpp, 0);
    EXPECT_EQ(planes, 0);
}

TEST(FrameLayout, FormatBlocksAreReadAtTheirOffsetsAndShortOnesRefused) {
    std::vector<BYTE> block(112, 0);
    const std::int64_t frame = 400000;
    std::memcpy(block.data() + 40, &frame, 8);
    const std::int32_t w1 = 320, h1 = -240, w2 = 640, h2 = 480;
    std::memcpy(block.data() + 52, &w1, 4);
    std::memcpy(block.data() + 56, &h1, 4);
    std::memcpy(block.data() + 76, &w2, 4);
    std::memcpy(block.data() + 80, &h2, 4);
    AM_MEDIA_TYPE type{};
    type.pbFormat = block.data();
    type.cbFormat = static_cast<ULONG>(block.size());
    struct Case {
        GUID format;
        std::int32_t width, height;
    };
    for (const Case& c : {Case{FORMAT_VideoInfo, w1, h1}, Case{FORMAT_MPEGVideo, w1, h1},
                          Case{FORMAT_VideoInfo2, w2, h2}, Case{FORMAT_MPEG2Video, w2, h2}}) {
        type.formattype = c.format;
        std::int32_t width = 0, height = 0;
        std::int64_t time = 0;
        ASSERT_TRUE(ReadFormatBlock(type, width, height, time));
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(time, frame);
    }
    type.formattype = FORMAT_VideoInfo2;
    type.cbFormat = 83;  // one byte short of the height
    std::int32_t width = 0, height = 0;
    std::int64_t time = 0;
    EXPECT_FALSE(ReadFormatBlock(type, width, height, time));
    type.cbFormat = 112;
    type.formattype = FORMAT_WaveFormatEx;
    EXPECT_FALSE(ReadFormatBlock(type, width, height, time));
}

TEST(FrameLayout, TablesFlipBottomUpFramesKeepGuardsAndStayInsideTheElement) {
    AccessTables tables;
    // RGB24, width 11 (33 bytes of pixels in a 36-byte line), height 4, bottom line first.
    tables.Build(3, PaddedWidth(3, 11), 4, 3, /*bottomUp=*/true);
    const std::int64_t stride = tables.Stride();
    ASSERT_EQ(stride, 36);
    const std::int64_t elementSize = stride * 4;
    for (int plane = 0; plane < 3; ++plane) {
        const ZYL::VPAEntry* t = tables.Plane(plane);
        ASSERT_NE(t, nullptr);
        // Plane 0 is red: the third byte of a blue-green-red pixel.
        EXPECT_EQ(t[0].x, 2 - plane);
        EXPECT_EQ(t[5].x, 2 - plane + 15);
        EXPECT_EQ(t[0].y, 3 * stride);
        EXPECT_EQ(t[1].y, 2 * stride);
        EXPECT_EQ(t[2].y, stride);
        EXPECT_EQ(t[3].y, 0);
        for (int g = 1; g <= 4; ++g) {
            EXPECT_EQ(t[-g].x, 2 - plane) << "guard " << -g;
            EXPECT_EQ(t[-g].y, 0) << "guards keep the unflipped first line";
        }
        for (int g = 0; g < 4; ++g) {
            EXPECT_EQ(t[12 + g].x, t[11].x);
            EXPECT_EQ(t[4 + g].y, 3 * stride) << "guards keep the unflipped last line";
        }
        // Every pixel of the image lies inside the element.
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 11; ++c)
                EXPECT_LT(t[c].x + t[r].y, elementSize);
        }
    }
    EXPECT_EQ(tables.Plane(3), nullptr);
    EXPECT_EQ(tables.Plane(-1), nullptr);

    // NV12 luma comes top line first and keeps its order.
    tables.Build(1, PaddedWidth(1, 10), 4, 1, /*bottomUp=*/false);
    const ZYL::VPAEntry* luma = tables.Plane(0);
    EXPECT_EQ(tables.Stride(), 12);
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(luma[r].y, r * 12);
    EXPECT_EQ(luma[9].x, 9);
}
