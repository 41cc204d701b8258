// Media types: ownership of the format block and the pUnk reference through copies.
#include "directshow/media_type.h"

#include <gtest/gtest.h>

namespace {

struct Counted final : IUnknown {
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return static_cast<ULONG>(++references); }
    ULONG Release() override { return static_cast<ULONG>(--references); }
    int references = 1;
    virtual ~Counted() = default;
};

}  // namespace

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
