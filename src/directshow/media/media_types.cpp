#include "directshow/media/media_types.h"

#include <algorithm>
#include <cstring>

namespace dshow::media {
namespace {

constexpr std::size_t kVihBitmap = offsetof(VIDEOINFOHEADER, bmiHeader);
constexpr std::size_t kVih2Bitmap = offsetof(VIDEOINFOHEADER2, bmiHeader);

struct KnownCodec {
    AVCodecID id;
    GUID subtype;
};
constexpr KnownCodec kKnownVideo[] = {
    {AV_CODEC_ID_H264, MEDIASUBTYPE_H264},
    {AV_CODEC_ID_HEVC, MEDIASUBTYPE_HEVC},
    {AV_CODEC_ID_MPEG4, MEDIASUBTYPE_MP4V},
    {AV_CODEC_ID_MJPEG, MEDIASUBTYPE_MJPG},
    {AV_CODEC_ID_MPEG1VIDEO, MEDIASUBTYPE_MPEG1Payload},
    {AV_CODEC_ID_MPEG2VIDEO, MEDIASUBTYPE_MPEG2_VIDEO},
};

// FFmpeg's AVI demuxer marks a bottom-up DIB stream by appending this to its extra data.
constexpr char kBottomUp[] = "BottomUp";
constexpr int kBottomUpLength = sizeof kBottomUp;  // with the NUL

bool HasFourCCTail(const GUID& guid) {
    const GUID tail = FourCCGuid(0);
    return guid.Data2 == tail.Data2 && guid.Data3 == tail.Data3 &&
           std::memcmp(guid.Data4, tail.Data4, sizeof tail.Data4) == 0;
}

// A codec id from a media type, which anyone may have made: only ids FFmpeg knows.
AVCodecID KnownCodecId(std::uint32_t value) {
    for (const AVCodecDescriptor* d = avcodec_descriptor_next(nullptr); d;
         d = avcodec_descriptor_next(d)) {
        if (static_cast<std::uint32_t>(d->id) == value)
            return d->id;
    }
    return AV_CODEC_ID_NONE;
}

}  // namespace

bool IsCodecSubtype(const GUID& guid) {
    const GUID ours = CodecSubtype(0);
    return guid.Data2 == ours.Data2 && guid.Data3 == ours.Data3 &&
           std::memcmp(guid.Data4, ours.Data4, sizeof ours.Data4) == 0;
}

namespace {

GUID VideoSubtype(const AVCodecParameters* p) {
    for (const auto& known : kKnownVideo)
        if (known.id == p->codec_id)
            return known.subtype;
    return CodecSubtype(static_cast<std::uint32_t>(p->codec_id));
}

AVCodecID VideoCodecFor(const GUID& subtype) {
    for (const auto& known : kKnownVideo)
        if (known.subtype == subtype)
            return known.id;
    if (IsCodecSubtype(subtype))
        return KnownCodecId(subtype.Data1);
    if (HasFourCCTail(subtype)) {
        const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
        return av_codec_get_id(tables, subtype.Data1);
    }
    return AV_CODEC_ID_NONE;
}

int DecodedBitCount(const AVCodecParameters* p) {
    const auto* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(p->format));
    if (!desc)
        return 24;
    if (desc->nb_components == 1 && !(desc->flags & AV_PIX_FMT_FLAG_PAL))
        return 8;  // a grey source
    return std::max(av_get_bits_per_pixel(desc), 12);
}

void FillVideoHeader(RECT* source, RECT* target, DWORD* bitRate, REFERENCE_TIME* frameTime,
                     BITMAPINFOHEADER* bmi, const AVCodecParameters* p, REFERENCE_TIME time) {
    *source = RECT{0, 0, p->width, p->height};
    *target = *source;
    *bitRate = static_cast<DWORD>(std::clamp<std::int64_t>(p->bit_rate, 0, 0xFFFFFFFF));
    *frameTime = time;
    bmi->biSize = sizeof(BITMAPINFOHEADER);
    bmi->biWidth = p->width;
    bmi->biHeight = p->height;
    bmi->biPlanes = 1;
}

std::optional<CMediaType> RawVideoType(const AVCodecParameters* p, REFERENCE_TIME frameTime) {
    const int bits = p->bits_per_coded_sample;
    const GUID subtype = bits == 8    ? MEDIASUBTYPE_RGB8
                         : bits == 24 ? MEDIASUBTYPE_RGB24
                                      : MEDIASUBTYPE_RGB32;
    CMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_VideoInfo;
    type.bFixedSizeSamples = TRUE;
    type.bTemporalCompression = FALSE;
    type.lSampleSize = static_cast<ULONG>(DibStride(p->width, bits) * p->height);
    const ULONG length = bits == 8 ? static_cast<ULONG>(SIZE_VIDEOHEADER + SIZE_PALETTE)
                                   : static_cast<ULONG>(sizeof(VIDEOINFOHEADER));
    BYTE* block = type.ReallocFormatBuffer(length);
    if (!block)
        return std::nullopt;
    std::memset(block, 0, length);
    auto* info = reinterpret_cast<VIDEOINFO*>(block);
    FillVideoHeader(&info->rcSource, &info->rcTarget, &info->dwBitRate, &info->AvgTimePerFrame,
                    &info->bmiHeader, p, frameTime);
    info->bmiHeader.biBitCount = static_cast<WORD>(bits);
    info->bmiHeader.biCompression = 0;  // BI_RGB
    info->bmiHeader.biSizeImage = type.lSampleSize;
    if (bits == 8) {
        SetGreyPalette(*info);
        // The file's palette is the tail of the format's extra data, as BGRA quads (before the
        // demuxer's bottom-up marker).
        const int extra = p->extradata_size - (RawRowsBottomUp(p) ? kBottomUpLength : 0);
        const int paletteBytes = std::min(extra, 1024) / 4 * 4;
        if (paletteBytes > 0) {
            std::memcpy(info->bmiColors, p->extradata + extra - paletteBytes,
                        static_cast<std::size_t>(paletteBytes));
            info->bmiHeader.biClrUsed = static_cast<DWORD>(paletteBytes / 4);
        }
    }
    return type;
}

std::optional<CMediaType> CompressedVideoType(const AVCodecParameters* p,
                                              REFERENCE_TIME frameTime) {
    CMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = VideoSubtype(p);
    type.bFixedSizeSamples = FALSE;
    type.bTemporalCompression = TRUE;
    type.lSampleSize = 0;
    const auto extra = static_cast<std::size_t>(std::max(p->extradata_size, 0));
    BITMAPINFOHEADER* bmi = nullptr;
    BYTE* tail = nullptr;
    if (p->codec_id == AV_CODEC_ID_MPEG1VIDEO) {
        type.formattype = FORMAT_MPEGVideo;
        const std::size_t length = offsetof(MPEG1VIDEOINFO, bSequenceHeader) + extra;
        BYTE* block = type.ReallocFormatBuffer(static_cast<ULONG>(length));
        if (!block)
            return std::nullopt;
        std::memset(block, 0, length);
        auto* info = reinterpret_cast<MPEG1VIDEOINFO*>(block);
        FillVideoHeader(&info->hdr.rcSource, &info->hdr.rcTarget, &info->hdr.dwBitRate,
                        &info->hdr.AvgTimePerFrame, &info->hdr.bmiHeader, p, frameTime);
        info->cbSequenceHeader = static_cast<DWORD>(extra);
        bmi = &info->hdr.bmiHeader;
        tail = block + offsetof(MPEG1VIDEOINFO, bSequenceHeader);
    } else {
        const bool mpeg2 = p->codec_id == AV_CODEC_ID_MPEG2VIDEO;
        const bool own = IsCodecSubtype(type.subtype);
        type.formattype = mpeg2 ? FORMAT_MPEG2Video : FORMAT_VideoInfo2;
        const std::size_t head = mpeg2 ? offsetof(MPEG2VIDEOINFO, dwSequenceHeader)
                                       : sizeof(VIDEOINFOHEADER2) + (own ? sizeof(DWORD) : 0);
        const std::size_t length = head + extra;
        BYTE* block = type.ReallocFormatBuffer(static_cast<ULONG>(length));
        if (!block)
            return std::nullopt;
        std::memset(block, 0, length);
        auto* info = reinterpret_cast<VIDEOINFOHEADER2*>(block);
        FillVideoHeader(&info->rcSource, &info->rcTarget, &info->dwBitRate, &info->AvgTimePerFrame,
                        &info->bmiHeader, p, frameTime);
        AVRational aspect =
            p->sample_aspect_ratio.num > 0 ? p->sample_aspect_ratio : AVRational{1, 1};
        av_reduce(&aspect.num, &aspect.den, std::int64_t{p->width} * aspect.num,
                  std::int64_t{p->height} * aspect.den, 0xFFFF);
        info->dwPictAspectRatioX = static_cast<DWORD>(aspect.num);
        info->dwPictAspectRatioY = static_cast<DWORD>(aspect.den);
        if (mpeg2) {
            auto* mpeg = reinterpret_cast<MPEG2VIDEOINFO*>(block);
            mpeg->cbSequenceHeader = static_cast<DWORD>(extra);
            mpeg->dwProfile = static_cast<DWORD>(std::max(p->profile, 0));
            mpeg->dwLevel = static_cast<DWORD>(std::max(p->level, 0));
        }
        if (own) {
            const auto coded = static_cast<DWORD>(std::max(p->bits_per_coded_sample, 0));
            std::memcpy(block + sizeof(VIDEOINFOHEADER2), &coded, sizeof coded);
        }
        bmi = &info->bmiHeader;
        tail = block + head;
    }
    bmi->biBitCount = static_cast<WORD>(DecodedBitCount(p));
    bmi->biCompression = p->codec_tag ? p->codec_tag : type.subtype.Data1;
    if (extra)
        std::memcpy(tail, p->extradata, extra);
    return type;
}

std::optional<CMediaType> AudioType(const AVCodecParameters* p) {
    const int channels = ChannelCount(p);
    if (channels <= 0 || p->sample_rate <= 0)
        return std::nullopt;
    CMediaType type;
    type.majortype = MEDIATYPE_Audio;
    type.formattype = FORMAT_WaveFormatEx;
    const auto extra = static_cast<std::size_t>(std::clamp(p->extradata_size, 0, 0xFFFF));
    WORD tag = 0;
    int bits = 0;
    switch (p->codec_id) {
        case AV_CODEC_ID_PCM_U8:
            tag = 1, bits = 8;
            break;
        case AV_CODEC_ID_PCM_S16LE:
            tag = 1, bits = 16;
            break;
        case AV_CODEC_ID_PCM_S24LE:
            tag = 1, bits = 24;
            break;
        case AV_CODEC_ID_PCM_S32LE:
            tag = 1, bits = 32;
            break;
        case AV_CODEC_ID_PCM_F32LE:
            tag = 3, bits = 32;
            break;
        default:
            break;
    }
    if (tag) {
        type.subtype = FourCCGuid(tag);
        type.bFixedSizeSamples = TRUE;
        type.lSampleSize = static_cast<ULONG>(channels * bits / 8);
    } else {
        const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
        unsigned int riff = 0;
        if (av_codec_get_tag2(tables, p->codec_id, &riff) && riff > 1 && riff <= 0xFFFF)
            tag = static_cast<WORD>(riff);
        type.subtype =
            tag ? FourCCGuid(tag) : CodecSubtype(static_cast<std::uint32_t>(p->codec_id));
        type.bFixedSizeSamples = FALSE;
        type.lSampleSize = 0;
        bits = p->bits_per_coded_sample;
    }
    const std::size_t length = sizeof(WAVEFORMATEX) + extra;
    BYTE* block = type.ReallocFormatBuffer(static_cast<ULONG>(length));
    if (!block)
        return std::nullopt;
    std::memset(block, 0, length);
    WAVEFORMATEX wave{};
    wave.wFormatTag = tag;  // 0 (unknown) for codecs without a WAVE tag: the subtype names them
    wave.nChannels = static_cast<WORD>(channels);
    wave.nSamplesPerSec = static_cast<DWORD>(p->sample_rate);
    wave.wBitsPerSample = static_cast<WORD>(bits);
    wave.nBlockAlign = static_cast<WORD>(p->block_align > 0 ? p->block_align : channels * bits / 8);
    wave.nAvgBytesPerSec = static_cast<DWORD>(
        p->bit_rate > 0 ? p->bit_rate / 8 : std::int64_t{wave.nBlockAlign} * p->sample_rate);
    wave.cbSize = static_cast<WORD>(extra);
    std::memcpy(block, &wave, sizeof wave);
    if (extra)
        std::memcpy(block + sizeof wave, p->extradata, extra);
    return type;
}

bool IsTextStream(const AVCodecParameters* p) {
    if (p->codec_type != AVMEDIA_TYPE_SUBTITLE)
        return false;
    // AVI text streams come without a codec.
    if (p->codec_id == AV_CODEC_ID_NONE || p->codec_id == AV_CODEC_ID_TEXT)
        return true;
    const AVCodecDescriptor* desc = avcodec_descriptor_get(p->codec_id);
    return desc && (desc->props & AV_CODEC_PROP_TEXT_SUB);
}

bool SetExtradata(AVCodecParameters* p, const BYTE* data, std::size_t size) {
    if (!size)
        return true;
    p->extradata = static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!p->extradata)
        return false;
    std::memcpy(p->extradata, data, size);
    p->extradata_size = static_cast<int>(size);
    return true;
}

}  // namespace

bool IsRawDib(const AVCodecParameters* p) {
    const int bits = p->bits_per_coded_sample;
    return p->codec_type == AVMEDIA_TYPE_VIDEO && p->codec_id == AV_CODEC_ID_RAWVIDEO &&
           p->codec_tag == 0 && (bits == 8 || bits == 24 || bits == 32);
}

bool RawRowsBottomUp(const AVCodecParameters* p) {
    return p->extradata_size >= kBottomUpLength &&
           std::memcmp(p->extradata + p->extradata_size - kBottomUpLength, kBottomUp,
                       kBottomUpLength) == 0;
}

std::optional<CMediaType> StreamMediaType(const AVStream* stream, REFERENCE_TIME frameTime) {
    const AVCodecParameters* p = stream->codecpar;
    switch (p->codec_type) {
        case AVMEDIA_TYPE_VIDEO: {
            // A header's size is the file's word only: sizes no picture buffer could hold are
            // refused before any stride or buffer is computed from them.
            if (p->width <= 0 || p->height <= 0 || p->width > kMaxSide || p->height > kMaxSide ||
                std::int64_t{p->width} * p->height > kMaxPixels)
                return std::nullopt;
            if (IsRawDib(p))
                return RawVideoType(p, frameTime);
            return CompressedVideoType(p, frameTime);
        }
        case AVMEDIA_TYPE_AUDIO:
            return AudioType(p);
        case AVMEDIA_TYPE_SUBTITLE:
            if (!IsTextStream(p))
                return std::nullopt;
            {
                CMediaType type;
                type.majortype = MEDIATYPE_Text;
                type.subtype = MEDIASUBTYPE_NULL;
                type.formattype = FORMAT_None;
                type.bFixedSizeSamples = FALSE;
                type.lSampleSize = 0;
                return type;
            }
        default:
            return std::nullopt;
    }
}

bool ReadVideoGeometry(const AM_MEDIA_TYPE& type, VideoGeometry* geometry) {
    std::size_t bitmap = 0;
    if (type.formattype == FORMAT_VideoInfo || type.formattype == FORMAT_MPEGVideo)
        bitmap = kVihBitmap;
    else if (type.formattype == FORMAT_VideoInfo2 || type.formattype == FORMAT_MPEG2Video)
        bitmap = kVih2Bitmap;
    else
        return false;
    if (!type.pbFormat || type.cbFormat < bitmap + sizeof(BITMAPINFOHEADER))
        return false;
    BITMAPINFOHEADER bmi;
    std::memcpy(&bmi, type.pbFormat + bitmap, sizeof bmi);
    std::memcpy(&geometry->frameTime, type.pbFormat + offsetof(VIDEOINFOHEADER, AvgTimePerFrame),
                sizeof geometry->frameTime);
    geometry->width = bmi.biWidth;
    geometry->height = bmi.biHeight < 0 ? -std::int64_t{bmi.biHeight} > kMaxSide ? 0 : -bmi.biHeight
                                        : bmi.biHeight;
    geometry->bitCount = bmi.biBitCount;
    return geometry->width > 0 && geometry->height > 0 && geometry->width <= kMaxSide &&
           geometry->height <= kMaxSide &&
           std::int64_t{geometry->width} * geometry->height <= kMaxPixels;
}

CodecParametersPtr CodecParametersFromType(const AM_MEDIA_TYPE& type) {
    CodecParametersPtr p(avcodec_parameters_alloc());
    if (!p || !type.pbFormat)
        return nullptr;
    if (type.majortype == MEDIATYPE_Video) {
        VideoGeometry geometry;
        if (!ReadVideoGeometry(type, &geometry))
            return nullptr;
        p->codec_type = AVMEDIA_TYPE_VIDEO;
        p->codec_id = VideoCodecFor(type.subtype);
        if (p->codec_id == AV_CODEC_ID_NONE)
            return nullptr;
        p->width = geometry.width;
        p->height = geometry.height;
        p->bits_per_coded_sample = geometry.bitCount;
        // Raw and some other codecs learn their pixel layout from the FourCC.
        const std::size_t bitmapAt =
            (type.formattype == FORMAT_VideoInfo || type.formattype == FORMAT_MPEGVideo)
                ? kVihBitmap
                : kVih2Bitmap;
        std::memcpy(&p->codec_tag,
                    type.pbFormat + bitmapAt + offsetof(BITMAPINFOHEADER, biCompression),
                    sizeof p->codec_tag);
        if (IsCodecSubtype(type.subtype) && p->codec_tag == type.subtype.Data1)
            p->codec_tag = 0;
        std::size_t extraAt = 0, extraSize = 0;
        if (type.formattype == FORMAT_VideoInfo2) {
            extraAt = sizeof(VIDEOINFOHEADER2);
            if (IsCodecSubtype(type.subtype)) {
                DWORD coded = 0;
                if (type.cbFormat < extraAt + sizeof coded)
                    return nullptr;
                std::memcpy(&coded, type.pbFormat + extraAt, sizeof coded);
                p->bits_per_coded_sample = static_cast<int>(coded);
                extraAt += sizeof coded;
            }
        } else if (type.formattype == FORMAT_MPEGVideo || type.formattype == FORMAT_MPEG2Video) {
            const bool mpeg1 = type.formattype == FORMAT_MPEGVideo;
            const std::size_t countAt = mpeg1 ? offsetof(MPEG1VIDEOINFO, cbSequenceHeader)
                                              : offsetof(MPEG2VIDEOINFO, cbSequenceHeader);
            extraAt = mpeg1 ? offsetof(MPEG1VIDEOINFO, bSequenceHeader)
                            : offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
            DWORD count = 0;
            if (type.cbFormat >= countAt + sizeof count)
                std::memcpy(&count, type.pbFormat + countAt, sizeof count);
            extraSize = count;
        } else {
            extraAt = type.cbFormat;
        }
        if (type.formattype == FORMAT_VideoInfo2 && type.cbFormat > extraAt)
            extraSize = type.cbFormat - extraAt;
        if (extraAt + extraSize > type.cbFormat)
            return nullptr;
        if (!SetExtradata(p.get(), type.pbFormat + extraAt, extraSize))
            return nullptr;
        return p;
    }
    if (type.majortype == MEDIATYPE_Audio && type.formattype == FORMAT_WaveFormatEx &&
        type.cbFormat >= sizeof(WAVEFORMATEX)) {
        WAVEFORMATEX wave;
        std::memcpy(&wave, type.pbFormat, sizeof wave);
        p->codec_type = AVMEDIA_TYPE_AUDIO;
        if (type.subtype == MEDIASUBTYPE_PCM) {
            p->codec_id = wave.wBitsPerSample == 8    ? AV_CODEC_ID_PCM_U8
                          : wave.wBitsPerSample == 24 ? AV_CODEC_ID_PCM_S24LE
                          : wave.wBitsPerSample == 32 ? AV_CODEC_ID_PCM_S32LE
                                                      : AV_CODEC_ID_PCM_S16LE;
        } else if (type.subtype == FourCCGuid(3)) {
            p->codec_id = AV_CODEC_ID_PCM_F32LE;
        } else if (IsCodecSubtype(type.subtype)) {
            p->codec_id = KnownCodecId(type.subtype.Data1);
        } else if (HasFourCCTail(type.subtype)) {
            const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
            p->codec_id = av_codec_get_id(tables, type.subtype.Data1);
        }
        if (p->codec_id == AV_CODEC_ID_NONE || wave.nChannels == 0 || wave.nSamplesPerSec == 0)
            return nullptr;
        av_channel_layout_default(&p->ch_layout, wave.nChannels);
        p->sample_rate = static_cast<int>(wave.nSamplesPerSec);
        p->block_align = wave.nBlockAlign;
        p->bits_per_coded_sample = wave.wBitsPerSample;
        p->bit_rate = std::int64_t{wave.nAvgBytesPerSec} * 8;
        const std::size_t extra =
            std::min<std::size_t>(wave.cbSize, type.cbFormat - sizeof(WAVEFORMATEX));
        if (!SetExtradata(p.get(), type.pbFormat + sizeof(WAVEFORMATEX), extra))
            return nullptr;
        return p;
    }
    return nullptr;
}

LONG UncompressedStride(const GUID& subtype, LONG width) {
    if (subtype == MEDIASUBTYPE_RGB32)
        return DibStride(width, 32);
    if (subtype == MEDIASUBTYPE_RGB24)
        return DibStride(width, 24);
    // RGB8 and NV12's luma: one byte per pixel, rows padded like a DIB's so the luma plane
    // lines up with an 8-bit picture of the same width.
    return DibStride(width, 8);
}

LONG UncompressedImageSize(const GUID& subtype, LONG width, LONG height) {
    const LONG stride = UncompressedStride(subtype, width);
    if (subtype == MEDIASUBTYPE_NV12)
        return stride * height + stride * ((height + 1) / 2);
    return stride * height;
}

CMediaType UncompressedVideoType(const GUID& subtype, LONG width, LONG height,
                                 REFERENCE_TIME frameTime) {
    CMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_VideoInfo;
    type.bFixedSizeSamples = TRUE;
    type.bTemporalCompression = FALSE;
    type.lSampleSize = static_cast<ULONG>(UncompressedImageSize(subtype, width, height));
    const bool palette = subtype == MEDIASUBTYPE_RGB8;
    const auto length =
        static_cast<ULONG>(palette ? SIZE_VIDEOHEADER + SIZE_PALETTE : sizeof(VIDEOINFOHEADER));
    BYTE* block = type.ReallocFormatBuffer(length);
    if (!block)
        return CMediaType();
    std::memset(block, 0, length);
    auto* info = reinterpret_cast<VIDEOINFO*>(block);
    info->rcSource = RECT{0, 0, width, height};
    info->rcTarget = info->rcSource;
    info->AvgTimePerFrame = frameTime;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = width;
    info->bmiHeader.biHeight = height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biSizeImage = type.lSampleSize;
    if (subtype == MEDIASUBTYPE_NV12) {
        info->bmiHeader.biBitCount = 12;
        info->bmiHeader.biCompression = MEDIASUBTYPE_NV12.Data1;
    } else {
        info->bmiHeader.biBitCount = subtype == MEDIASUBTYPE_RGB32   ? 32
                                     : subtype == MEDIASUBTYPE_RGB24 ? 24
                                                                     : 8;
        info->bmiHeader.biCompression = 0;  // BI_RGB
    }
    if (palette)
        SetGreyPalette(*info);
    return type;
}

std::size_t SampleTrailerSize(const AVPacket& packet) {
    std::size_t size = 2 * sizeof(DWORD);
    for (int i = 0; i < packet.side_data_elems; ++i)
        size += 2 * sizeof(DWORD) + packet.side_data[i].size;
    return size;
}

bool AppendSampleTrailer(const AVPacket& packet, BYTE* sample, std::size_t payload,
                         std::size_t capacity, std::size_t* total) {
    const std::size_t size = SampleTrailerSize(packet);
    if (payload > capacity || capacity - payload < size)
        return false;
    BYTE* at = sample + payload;
    const auto put = [&at](DWORD value) {
        std::memcpy(at, &value, sizeof value);
        at += sizeof value;
    };
    for (int i = 0; i < packet.side_data_elems; ++i) {
        const AVPacketSideData& side = packet.side_data[i];
        put(static_cast<DWORD>(side.type));
        put(static_cast<DWORD>(side.size));
        if (side.size)
            std::memcpy(at, side.data, side.size);
        at += side.size;
    }
    put(static_cast<DWORD>(size - 2 * sizeof(DWORD)));
    put(static_cast<DWORD>(payload));
    *total = payload + size;
    return true;
}

bool ApplySampleTrailer(AVPacket* packet) {
    const auto total = static_cast<std::size_t>(std::max(packet->size, 0));
    if (total < 2 * sizeof(DWORD))
        return false;
    DWORD entries = 0, payload = 0;
    std::memcpy(&entries, packet->data + total - 2 * sizeof(DWORD), sizeof entries);
    std::memcpy(&payload, packet->data + total - sizeof(DWORD), sizeof payload);
    if (payload > total - 2 * sizeof(DWORD) || entries != total - 2 * sizeof(DWORD) - payload)
        return false;
    const BYTE* at = packet->data + payload;
    const BYTE* end = at + entries;
    while (at < end) {
        DWORD kind = 0, size = 0;
        if (static_cast<std::size_t>(end - at) < 2 * sizeof(DWORD))
            return false;
        std::memcpy(&kind, at, sizeof kind);
        std::memcpy(&size, at + sizeof kind, sizeof size);
        at += 2 * sizeof(DWORD);
        if (size > static_cast<std::size_t>(end - at) || kind >= AV_PKT_DATA_NB)
            return false;
        std::uint8_t* copy =
            av_packet_new_side_data(packet, static_cast<AVPacketSideDataType>(kind), size);
        if (!copy)
            return false;
        std::memcpy(copy, at, size);
        at += size;
    }
    packet->size = static_cast<int>(payload);
    return true;
}

}  // namespace dshow::media
