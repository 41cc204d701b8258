// The media types the FFmpeg filters exchange: format blocks with the geometry at the byte
// offsets consumers read, codec parameters surviving the trip through a media type, and text
// packets of each subtitle kind turned into bounded, NUL-terminated text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "directshow/media/media_types.h"
#include "directshow/media/text_packets.h"

using namespace dshow::media;

namespace {

struct StreamFixture {
    FormatContextPtr context{avformat_alloc_context()};
    AVStream* stream = avformat_new_stream(context.get(), nullptr);

    void Video(AVCodecID codec, int width, int height, std::string extra = {}) {
        AVCodecParameters* p = stream->codecpar;
        p->codec_type = AVMEDIA_TYPE_VIDEO;
        p->codec_id = codec;
        p->width = width;
        p->height = height;
        p->format = AV_PIX_FMT_YUV420P;
        SetExtra(extra);
    }
    void SetExtra(const std::string& extra) {
        AVCodecParameters* p = stream->codecpar;
        av_freep(&p->extradata);
        p->extradata_size = 0;
        if (extra.empty())
            return;
        p->extradata =
            static_cast<std::uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(p->extradata, extra.data(), extra.size());
        p->extradata_size = static_cast<int>(extra.size());
    }
};

template <class T>
T At(const CMediaType& type, std::size_t offset) {
    T value{};
    EXPECT_LE(offset + sizeof value, type.cbFormat);
    std::memcpy(&value, type.pbFormat + offset, sizeof value);
    return value;
}

TEST(MediaTypes, CompressedVideoCarriesItsGeometryWhereConsumersReadItAndRoundTrips) {
    struct Case {
        AVCodecID codec;
        GUID format;
        std::size_t widthAt;
    };
    const std::string extra("\x01\x64\x00\x1f\xff\xe1\x00\x05SPS!", 13);
    for (const Case& c : {Case{AV_CODEC_ID_H264, FORMAT_VideoInfo2, 76},
                          Case{AV_CODEC_ID_HEVC, FORMAT_VideoInfo2, 76},
                          Case{AV_CODEC_ID_MPEG2VIDEO, FORMAT_MPEG2Video, 76},
                          Case{AV_CODEC_ID_MPEG1VIDEO, FORMAT_MPEGVideo, 52},
                          Case{AV_CODEC_ID_VP9, FORMAT_VideoInfo2, 76}}) {
        SCOPED_TRACE(avcodec_get_name(c.codec));
        StreamFixture f;
        f.Video(c.codec, 1920, 1080, extra);
        const auto type = StreamMediaType(f.stream, 333'667);
        ASSERT_TRUE(type);
        EXPECT_EQ(type->majortype, MEDIATYPE_Video);
        EXPECT_EQ(type->formattype, c.format);
        EXPECT_FALSE(type->bFixedSizeSamples);
        EXPECT_EQ(At<std::int32_t>(*type, c.widthAt), 1920);
        EXPECT_EQ(At<std::int32_t>(*type, c.widthAt + 4), 1080);
        EXPECT_EQ(At<std::int64_t>(*type, 40), 333'667);

        const CodecParametersPtr back = CodecParametersFromType(*type);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->codec_id, c.codec);
        EXPECT_EQ(back->width, 1920);
        EXPECT_EQ(back->height, 1080);
        ASSERT_EQ(back->extradata_size, static_cast<int>(extra.size()));
        EXPECT_EQ(std::memcmp(back->extradata, extra.data(), extra.size()), 0);
    }
}

TEST(MediaTypes, UncompressedAviVideoIsABottomUpDibWithItsPalette) {
    // An 8-bit stream of odd width: rows padded to 4 bytes, the file's palette, and FFmpeg's
    // bottom-up marker after it.
    StreamFixture f;
    f.Video(AV_CODEC_ID_RAWVIDEO, 33, 17);
    f.stream->codecpar->bits_per_coded_sample = 8;
    std::string extra(1024, '\0');
    for (int i = 0; i < 256; ++i)
        extra[static_cast<std::size_t>(i) * 4] = static_cast<char>(255 - i);  // blue ramp down
    extra += std::string("BottomUp", 9);
    f.SetExtra(extra);
    auto type = StreamMediaType(f.stream, 400'000);
    ASSERT_TRUE(type);
    EXPECT_TRUE(RawRowsBottomUp(f.stream->codecpar));
    EXPECT_EQ(type->subtype, MEDIASUBTYPE_RGB8);
    EXPECT_EQ(type->formattype, FORMAT_VideoInfo);
    EXPECT_TRUE(type->bFixedSizeSamples);
    EXPECT_EQ(type->lSampleSize, 36u * 17u);
    EXPECT_EQ(At<std::int32_t>(*type, 52), 33);
    EXPECT_EQ(At<std::int32_t>(*type, 56), 17);
    const auto* info = reinterpret_cast<const VIDEOINFO*>(type->pbFormat);
    EXPECT_EQ(info->bmiColors[0].rgbBlue, 255);
    EXPECT_EQ(info->bmiColors[255].rgbBlue, 0);

    f.stream->codecpar->bits_per_coded_sample = 24;
    f.SetExtra({});
    type = StreamMediaType(f.stream, 400'000);
    ASSERT_TRUE(type);
    EXPECT_FALSE(RawRowsBottomUp(f.stream->codecpar));  // a top-down file
    EXPECT_EQ(type->subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(type->lSampleSize, 100u * 17u);
    // A raw stream with a FourCC is not a DIB: it goes to a decoder.
    f.stream->codecpar->codec_tag = MKTAG('Y', '8', '0', '0');
    type = StreamMediaType(f.stream, 400'000);
    ASSERT_TRUE(type);
    EXPECT_NE(type->subtype, MEDIASUBTYPE_RGB8);
    const CodecParametersPtr back = CodecParametersFromType(*type);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->codec_tag, MKTAG('Y', '8', '0', '0'));
}

TEST(MediaTypes, DecoderOutputTypesPadRowsLikeADib) {
    const CMediaType nv12 = UncompressedVideoType(MEDIASUBTYPE_NV12, 33, 17, 400'000);
    EXPECT_EQ(UncompressedStride(MEDIASUBTYPE_NV12, 33), 36);
    EXPECT_EQ(nv12.lSampleSize, 36u * 17u + 36u * 9u);
    EXPECT_EQ(UncompressedImageSize(MEDIASUBTYPE_RGB24, 33, 17), 100 * 17);
    EXPECT_EQ(UncompressedImageSize(MEDIASUBTYPE_RGB32, 33, 17), 132 * 17);
    const CMediaType rgb8 = UncompressedVideoType(MEDIASUBTYPE_RGB8, 10, 2, 0);
    ASSERT_EQ(rgb8.cbFormat, SIZE_VIDEOHEADER + SIZE_PALETTE);
    const auto* info = reinterpret_cast<const VIDEOINFO*>(rgb8.pbFormat);
    EXPECT_EQ(info->bmiColors[200].rgbGreen, 200);
    EXPECT_EQ(rgb8.lSampleSize, 12u * 2u);
}

TEST(MediaTypes, AudioTravelsAsWaveFormatWithItsExtraData) {
    StreamFixture f;
    AVCodecParameters* p = f.stream->codecpar;
    p->codec_type = AVMEDIA_TYPE_AUDIO;
    p->codec_id = AV_CODEC_ID_AAC;
    p->sample_rate = 48000;
    av_channel_layout_default(&p->ch_layout, 2);
    f.SetExtra(std::string("\x11\x90", 2));
    const auto type = StreamMediaType(f.stream, 0);
    ASSERT_TRUE(type);
    EXPECT_EQ(type->formattype, FORMAT_WaveFormatEx);
    WAVEFORMATEX wave;
    std::memcpy(&wave, type->pbFormat, sizeof wave);
    EXPECT_EQ(wave.wFormatTag, 0x00FF);
    EXPECT_EQ(wave.nChannels, 2);
    EXPECT_EQ(wave.nSamplesPerSec, 48000u);
    EXPECT_EQ(wave.cbSize, 2);
    const CodecParametersPtr back = CodecParametersFromType(*type);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(back->sample_rate, 48000);
    EXPECT_EQ(back->ch_layout.nb_channels, 2);
    ASSERT_EQ(back->extradata_size, 2);

    // A truncated format block is refused, not read past its end.
    CMediaType cut(*type);
    cut.cbFormat = sizeof(WAVEFORMATEX) - 1;
    EXPECT_FALSE(CodecParametersFromType(cut));
    CMediaType video = UncompressedVideoType(MEDIASUBTYPE_RGB24, 8, 8, 0);
    video.subtype = MEDIASUBTYPE_H264;
    video.cbFormat = 60;
    EXPECT_FALSE(CodecParametersFromType(video));
}

TEST(MediaTypes, TextStreamsAreTextWithoutAFormat) {
    StreamFixture f;
    f.stream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    for (AVCodecID codec :
         {AV_CODEC_ID_NONE, AV_CODEC_ID_SUBRIP, AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_ASS}) {
        f.stream->codecpar->codec_id = codec;
        const auto type = StreamMediaType(f.stream, 0);
        ASSERT_TRUE(type) << avcodec_get_name(codec);
        EXPECT_EQ(type->majortype, MEDIATYPE_Text);
    }
    f.stream->codecpar->codec_id = AV_CODEC_ID_DVD_SUBTITLE;  // pictures, not text
    EXPECT_FALSE(StreamMediaType(f.stream, 0));
}

std::string Text(AVCodecID codec, const std::string& packet, std::size_t capacity = 256) {
    std::string out(capacity, '?');
    const std::size_t written =
        TextFromPacket(codec, reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(),
                       out.data(), capacity);
    EXPECT_GE(written, 1u);
    EXPECT_EQ(out[written - 1], '\0');
    return out.substr(0, written - 1);
}

TEST(TextPackets, EachKindBecomesPlainNulTerminatedText) {
    // MP4 timed text: a big-endian length, the text, then style boxes.
    EXPECT_EQ(Text(AV_CODEC_ID_MOV_TEXT, std::string("\x00\x07"
                                                     "frame 5"
                                                     "\x00\x00\x00\x0cstyl",
                                                     17)),
              "frame 5");
    // A length beyond the packet is cut at the packet.
    EXPECT_EQ(Text(AV_CODEC_ID_MOV_TEXT, std::string("\x00\x40"
                                                     "abc",
                                                     5)),
              "abc");
    EXPECT_EQ(Text(AV_CODEC_ID_MOV_TEXT, std::string("\x00", 1)), "");
    // ASS: the ninth field is the text; override blocks go, \N breaks the line.
    EXPECT_EQ(Text(AV_CODEC_ID_ASS, "3,0,Default,,0,0,0,,{\\i1}frame{\\i0} 8\\Nnext"),
              "frame 8\nnext");
    EXPECT_EQ(Text(AV_CODEC_ID_ASS, "3,0,Default"), "");
    // SubRip and AVI text: as they are, up to a NUL or the packet's end.
    EXPECT_EQ(Text(AV_CODEC_ID_SUBRIP, "frame 4"), "frame 4");
    EXPECT_EQ(Text(AV_CODEC_ID_NONE, std::string("frame 3\0junk", 12)), "frame 3");
}

TEST(TextPackets, OutputIsBoundedByItsCapacity) {
    EXPECT_EQ(Text(AV_CODEC_ID_SUBRIP, "0123456789", 5), "0123");
    EXPECT_EQ(Text(AV_CODEC_ID_SUBRIP, "", 1), "");
    char none = 'x';
    EXPECT_EQ(TextFromPacket(AV_CODEC_ID_SUBRIP, nullptr, 10, &none, 0), 0u);
    EXPECT_EQ(none, 'x');
    char one[4] = "zzz";
    EXPECT_EQ(TextFromPacket(AV_CODEC_ID_SUBRIP, nullptr, 10, one, sizeof one), 1u);
    EXPECT_EQ(one[0], '\0');
}

}  // namespace
