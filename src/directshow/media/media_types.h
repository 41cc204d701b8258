// The media types the FFmpeg filters speak: what a demuxed stream leaves the source as, and how
// a decoder gets the codec's parameters back from such a type.
//
// Video leaves with the codec's subtype and a format block laid out like Windows':
//  - uncompressed AVI video (BI_RGB, 8, 24 or 32 bits) as RGB8 (VIDEOINFO with its palette),
//    RGB24 or RGB32, FORMAT_VideoInfo, fixed-size samples of the file's own DIB rows;
//  - MPEG-1 as FORMAT_MPEGVideo, MPEG-2 as FORMAT_MPEG2Video, with the sequence header in the
//    block as on Windows;
//  - everything else as FORMAT_VideoInfo2. The codec's extra data (avcC, hvcC, VOL headers...)
//    follows the VIDEOINFOHEADER2, as many Windows decoders take it.
// The BITMAPINFOHEADER's biBitCount says how deep a decoded picture is (8 for grey sources).
// Codecs without a well-known FourCC get a subtype of the engine's own carrying FFmpeg's codec
// id, so that whatever FFmpeg decodes can travel. Only the engine's decoder takes those, so
// they carry what FFmpeg's codecs need besides the bytes: the coded depth (a DWORD before the
// extra data; QuickTime codecs tell grey and 16-bit pictures by it), and in every sample the
// packet's side data (palettes): after the payload, entries of (type, size, bytes), then the
// entries' length and the payload's length, two DWORDs (SampleTrailer below).
// Audio: WAVEFORMATEX with the extra data after it (cbSize), PCM as MEDIASUBTYPE_PCM.
// Text: MEDIATYPE_Text, no format block.
//
// Pure functions: any thread, no locks.
#pragma once

#include <optional>

#include "directshow/media/ffmpeg.h"
#include "directshow/media_type.h"

namespace dshow::media {

inline constexpr GUID MEDIASUBTYPE_MPEG1Payload{
    0xE436EB81, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_MPEG2_VIDEO{
    0xE06D8026, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};
inline constexpr GUID MEDIASUBTYPE_H264 = FourCCGuid(0x34363248);  // 'H264'
inline constexpr GUID MEDIASUBTYPE_HEVC = FourCCGuid(0x43564548);  // 'HEVC'
inline constexpr GUID MEDIASUBTYPE_MP4V = FourCCGuid(0x5634504D);  // 'MP4V'
inline constexpr GUID MEDIASUBTYPE_MJPG = FourCCGuid(0x47504A4D);  // 'MJPG'

// The engine's own subtypes: Data1 is FFmpeg's codec id.
constexpr GUID CodecSubtype(std::uint32_t codecId) {
    return GUID{codecId, 0x5A59, 0x4646, {0x8C, 0x3E, 0x21, 0x6B, 0x0D, 0x47, 0x9A, 0x15}};
}

#pragma pack(push, 1)
struct MPEG1VIDEOINFO {
    VIDEOINFOHEADER hdr;
    DWORD dwStartTimeCode;
    DWORD cbSequenceHeader;
    BYTE bSequenceHeader[1];
};
#pragma pack(pop)
struct MPEG2VIDEOINFO {
    VIDEOINFOHEADER2 hdr;
    DWORD dwStartTimeCode;
    DWORD cbSequenceHeader;
    DWORD dwProfile;
    DWORD dwLevel;
    DWORD dwFlags;
    DWORD dwSequenceHeader[1];
};
static_assert(offsetof(MPEG1VIDEOINFO, bSequenceHeader) == 96);
static_assert(offsetof(MPEG2VIDEOINFO, dwSequenceHeader) == 132);

// The largest pictures the filters take: 32768 on a side, 2^28 pixels (a 32-bit picture of
// that size still has a size that fits a LONG).
inline constexpr int kMaxSide = 32768;
inline constexpr std::int64_t kMaxPixels = std::int64_t{1} << 28;

// The bytes of one row of a bottom-up DIB: padded to whole 32-bit words.
constexpr LONG DibStride(LONG width, int bitsPerPixel) {
    return ((width * bitsPerPixel + 31) / 32) * 4;
}

// An uncompressed BI_RGB stream of 8, 24 or 32 bits, and whether the file stores its rows
// bottom-up (a DIB's usual order; a negative height in the file means top-down).
bool IsRawDib(const AVCodecParameters* parameters);
bool RawRowsBottomUp(const AVCodecParameters* parameters);

// The type a stream leaves the source as; nothing for streams the engine cannot carry.
// frameTime is the stream's time per frame (0 when unknown).
std::optional<CMediaType> StreamMediaType(const AVStream* stream, REFERENCE_TIME frameTime);

// The codec parameters behind a type StreamMediaType made: codec id, size, depth, extra data,
// audio layout. Nothing when the type is not one a decoder of ours takes.
struct CodecParametersDeleter {
    void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
CodecParametersPtr CodecParametersFromType(const AM_MEDIA_TYPE& type);

bool IsCodecSubtype(const GUID& subtype);

// The side data trailer of the engine's own subtypes' samples. Append writes the packet's side
// data and the two lengths after `payload` bytes at `sample` (false when `capacity` is too
// small); Apply reads them back into a packet whose data is the sample, cutting its size to
// the payload (false for a malformed trailer).
std::size_t SampleTrailerSize(const AVPacket& packet);
bool AppendSampleTrailer(const AVPacket& packet, BYTE* sample, std::size_t payload,
                         std::size_t capacity, std::size_t* total);
bool ApplySampleTrailer(AVPacket* packet);

// Width, height (positive, as displayed), time per frame and bit depth of a video type's format
// block; false for a type without one of the four video format blocks.
struct VideoGeometry {
    LONG width = 0;
    LONG height = 0;
    REFERENCE_TIME frameTime = 0;
    int bitCount = 0;
};
bool ReadVideoGeometry(const AM_MEDIA_TYPE& type, VideoGeometry* geometry);

// An uncompressed type for a decoder's output: subtype RGB8 (grey palette), RGB24, RGB32 (both
// bottom-up) or NV12 (top-down, rows padded to 4 bytes like the others), FORMAT_VideoInfo.
CMediaType UncompressedVideoType(const GUID& subtype, LONG width, LONG height,
                                 REFERENCE_TIME frameTime);
// The row stride and the size of one picture of such a type.
LONG UncompressedStride(const GUID& subtype, LONG width);
LONG UncompressedImageSize(const GUID& subtype, LONG width, LONG height);

}  // namespace dshow::media
