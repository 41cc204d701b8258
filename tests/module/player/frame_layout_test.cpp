// The access tables the host reads the current element through, every entry (guards included)
// inside the renderer's frame; format blocks too short for the frame's size refused, not read past.
#include <gtest/gtest.h>

#include <vector>

#include "module/player/AccessTables.h"
#include "module/player/MediaFormat.h"

using namespace ZYL::player;

TEST(FrameLayout, EveryTableEntryStaysInsideTheElementForOddWidths) {
    struct Case {
        int bytesPerPixel, planes, width, height;
        bool bottomUp;
    };
    for (const Case& c : {Case{3, 3, 11, 4, true}, Case{1, 1, 13, 3, false}, Case{4, 3, 7, 2, true},
                          Case{1, 1, 62, 5, true}, Case{3, 3, 1, 1, false}}) {
        SCOPED_TRACE(std::to_string(c.bytesPerPixel) + "x" + std::to_string(c.width));
        AccessTables tables;
        tables.Build(c.bytesPerPixel, PaddedWidth(c.bytesPerPixel, c.width), c.height, c.planes,
                     c.bottomUp);
        // The renderer's frames: lines of whole pixels padded to 4 bytes.
        const std::int64_t line = (c.bytesPerPixel * c.width + 3) / 4 * 4;
        EXPECT_EQ(tables.Stride(), line);
        for (int plane = 0; plane < c.planes; ++plane) {
            const ZYL::VPAEntry* t = tables.Plane(plane);
            ASSERT_NE(t, nullptr);
            const int last = std::max(c.width, c.height) + 3;
            for (int i = -4; i <= last; ++i) {
                EXPECT_GE(t[i].x, 0) << i;
                EXPECT_GE(t[i].y, 0) << i;
                EXPECT_LT(t[std::min(i, c.width + 3)].x + t[std::min(i, c.height + 3)].y,
                          line * c.height)
                    << i;
            }
        }
        EXPECT_EQ(tables.Plane(c.planes), nullptr);
    }
}

TEST(FrameLayout, FormatBlocksTooShortForTheFrameSizeAreRefused) {
    std::vector<BYTE> block(112, 0);
    AM_MEDIA_TYPE type{};
    type.formattype = FORMAT_WaveFormatEx;
    type.cbFormat = 112;
    type.pbFormat = block.data();
    std::int32_t width = 0, height = 0;
    std::int64_t time = 0;
    EXPECT_FALSE(ReadFormatBlock(type, width, height, time)) << "not a video format";
    // The height ends at byte 60 of the first two, at 84 of the others.
    for (const auto& [format, size] : {std::pair{FORMAT_VideoInfo, 60u},
                                       {FORMAT_MPEGVideo, 60u},
                                       {FORMAT_VideoInfo2, 84u},
                                       {FORMAT_MPEG2Video, 84u}}) {
        type.formattype = format;
        type.cbFormat = size;
        EXPECT_TRUE(ReadFormatBlock(type, width, height, time)) << size;
        type.cbFormat = size - 1;
        EXPECT_FALSE(ReadFormatBlock(type, width, height, time)) << size;
    }
}
