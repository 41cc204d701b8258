// Media types: the Windows layout consumers read at fixed offsets, and ownership of the format
// block and the pUnk reference through copies.
#include "directshow/media_type.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Counted final : IUnknown {
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return static_cast<ULONG>(++references); }
    ULONG Release() override { return static_cast<ULONG>(--references); }
    int references = 1;
    virtual ~Counted() = default;
};

}  // namespace

TEST(MediaType, FormatFieldsSitWhereConsumersReadThem) {
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biWidth = 640;
    vih.bmiHeader.biHeight = -480;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&vih);
    std::int32_t width, height;
    std::int64_t frameTime;
    std::memcpy(&width, bytes + 52, 4);
    std::memcpy(&height, bytes + 56, 4);
    std::memcpy(&frameTime, bytes + 40, 8);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, -480);
    EXPECT_EQ(frameTime, 400000);
    EXPECT_EQ(GuidToString(MEDIATYPE_Video), "{73646976-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidToString(MEDIASUBTYPE_NV12), "{3231564E-0000-0010-8000-00AA00389B71}");
}

TEST(MediaType, CopiesOwnTheirFormatAndReference) {
    Counted unknown;
    CMediaType type(&MEDIATYPE_Video);
    type.SetSubtype(&MEDIASUBTYPE_RGB24);
    type.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.bmiHeader.biWidth = 32;
    ASSERT_TRUE(type.SetFormat(reinterpret_cast<BYTE*>(&vih), sizeof vih));
    type.pUnk = &unknown;
    unknown.AddRef();
    {
        CMediaType copy = type;
        EXPECT_NE(copy.Format(), type.Format()) << "a block of its own";
        EXPECT_TRUE(copy == type);
        EXPECT_EQ(unknown.references, 3);
        AM_MEDIA_TYPE* created = CreateMediaType(&copy);
        EXPECT_EQ(unknown.references, 4);
        DeleteMediaType(created);
        EXPECT_EQ(unknown.references, 3);
        copy.ReallocFormatBuffer(8);
        EXPECT_TRUE(copy != type);
    }
    EXPECT_EQ(unknown.references, 2);
    CMediaType partial(&MEDIATYPE_Video);
    EXPECT_TRUE(type.MatchesPartial(&partial));
    partial.SetSubtype(&MEDIASUBTYPE_RGB32);
    EXPECT_FALSE(type.MatchesPartial(&partial));
    EXPECT_TRUE(partial.IsPartiallySpecified());
    type = CMediaType();
    EXPECT_EQ(unknown.references, 1);
    EXPECT_EQ(type.Format(), nullptr);
    EXPECT_FALSE(type.IsValid());
}

TEST(MediaType, Rgb8CarriesItsPaletteAfterTheHeader) {
    VIDEOINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 6;
    info.bmiHeader.biHeight = 2;
    info.bmiHeader.biBitCount = 8;
    SetGreyPalette(info);
    CMediaType type(&MEDIATYPE_Video);
    type.SetSubtype(&MEDIASUBTYPE_RGB8);
    type.SetFormatType(&FORMAT_VideoInfo);
    ASSERT_TRUE(type.SetFormat(reinterpret_cast<BYTE*>(&info),
                               static_cast<ULONG>(SIZE_VIDEOHEADER + SIZE_PALETTE)));
    ASSERT_EQ(type.FormatLength(), 1112u) << "88-byte header and 256 four-byte entries";
    const BYTE* block = type.Format();
    std::int32_t width = 0;
    std::memcpy(&width, block + 52, sizeof width);
    EXPECT_EQ(width, 6) << "the width sits where it does in VIDEOINFOHEADER";
    for (int level : {0, 1, 128, 255}) {
        const BYTE* entry = block + 88 + 4 * level;
        EXPECT_EQ(entry[0], level);  // blue
        EXPECT_EQ(entry[1], level);  // green
        EXPECT_EQ(entry[2], level);  // red
        EXPECT_EQ(entry[3], 0);
    }
}
