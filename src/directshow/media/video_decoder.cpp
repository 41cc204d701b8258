#include "directshow/media/video_decoder.h"

#include <cstddef>
#include <cstring>

namespace dshow::media {
namespace {

bool IsUncompressed(const GUID& subtype) {
    return subtype == MEDIASUBTYPE_RGB8 || subtype == MEDIASUBTYPE_RGB24 ||
           subtype == MEDIASUBTYPE_RGB32 || subtype == MEDIASUBTYPE_NV12;
}

AVPixelFormat TargetFormat(const GUID& subtype) {
    if (subtype == MEDIASUBTYPE_RGB32)
        return AV_PIX_FMT_BGRA;  // DirectShow's RGB32 is B, G, R, X in memory
    if (subtype == MEDIASUBTYPE_RGB24)
        return AV_PIX_FMT_BGR24;
    if (subtype == MEDIASUBTYPE_NV12)
        return AV_PIX_FMT_NV12;
    return AV_PIX_FMT_GRAY8;
}

}  // namespace

CVideoDecoder::CVideoDecoder(IUnknown* outer)
    : CDecoderFilter(L"Video Decoder", outer, CLSID_VideoDecoder),
      m_packet(av_packet_alloc()),
      m_frame(av_frame_alloc()) {}

CVideoDecoder::~CVideoDecoder() = default;

HRESULT CVideoDecoder::CheckInputType(const CMediaType* type) {
    if (!type || type->majortype != MEDIATYPE_Video || IsUncompressed(type->subtype))
        return VFW_E_TYPE_NOT_ACCEPTED;
    const CodecParametersPtr parameters = CodecParametersFromType(*type);
    if (!parameters || !avcodec_find_decoder(parameters->codec_id))
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

int CVideoDecoder::OutputSubtypes(GUID* subtypes) const {
    int count = 0;
    if (m_geometry.bitCount == 8)
        subtypes[count++] = MEDIASUBTYPE_RGB8;
    subtypes[count++] = MEDIASUBTYPE_NV12;
    subtypes[count++] = MEDIASUBTYPE_RGB24;
    subtypes[count++] = MEDIASUBTYPE_RGB32;
    return count;
}

HRESULT CVideoDecoder::GetMediaType(int position, CMediaType* type) {
    if (!type)
        return E_POINTER;
    if (position < 0)
        return E_INVALIDARG;
    if (!m_input.IsConnected())
        return E_UNEXPECTED;
    GUID subtypes[4];
    if (position >= OutputSubtypes(subtypes))
        return VFW_S_NO_MORE_ITEMS;
    *type = UncompressedVideoType(subtypes[position], m_geometry.width, m_geometry.height,
                                  m_geometry.frameTime);
    return type->IsValid() ? S_OK : E_OUTOFMEMORY;
}

HRESULT CVideoDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
    if (FAILED(CheckInputType(in)) || !out || out->majortype != MEDIATYPE_Video)
        return VFW_E_TYPE_NOT_ACCEPTED;
    VideoGeometry input, output;
    if (!ReadVideoGeometry(*in, &input) || !ReadVideoGeometry(*out, &output) ||
        out->formattype != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    GUID subtypes[4];
    const int count = OutputSubtypes(subtypes);
    bool offered = false;
    for (int i = 0; i < count; ++i)
        offered = offered || subtypes[i] == out->subtype;
    // The picture keeps its size: no scaling here. Rows are written bottom-up (RGB) or
    // top-down (NV12) only, so a type asking for the other order is refused.
    BITMAPINFOHEADER bmi{};
    std::memcpy(&bmi, out->pbFormat + offsetof(VIDEOINFOHEADER, bmiHeader), sizeof bmi);
    if (!offered || output.width != input.width || output.height != input.height ||
        bmi.biHeight < 0)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CVideoDecoder::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    const CMediaType& type = m_output.CurrentMediaType();
    request->cBuffers = std::max<LONG>(request->cBuffers, 3);
    request->cbBuffer = std::max<LONG>(request->cbBuffer, static_cast<LONG>(type.lSampleSize));
    request->cbAlign = std::max<LONG>(request->cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < static_cast<LONG>(type.lSampleSize) ? E_FAIL : S_OK;
}

HRESULT CVideoDecoder::SetMediaType(PIN_DIRECTION direction, const CMediaType* type) {
    if (direction == PINDIR_INPUT) {
        m_parameters = CodecParametersFromType(*type);
        if (!m_parameters || !ReadVideoGeometry(*type, &m_geometry))
            return VFW_E_TYPE_NOT_ACCEPTED;
        m_codec.reset();
    } else {
        m_outputSubtype = type->subtype;
        m_scale.reset();
    }
    return S_OK;
}

HRESULT CVideoDecoder::BreakConnect(PIN_DIRECTION direction) {
    CAutoLock lock(&m_csReceive);
    if (direction == PINDIR_INPUT) {
        m_codec.reset();
        m_parameters.reset();
    }
    m_scale.reset();
    return S_OK;
}

HRESULT CVideoDecoder::OpenCodec() {
    if (!m_packet || !m_frame || !m_parameters)
        return E_OUTOFMEMORY;
    // A thread per core (0), on whole frames where the codec allows it.
    return OpenDecoder(m_parameters.get(), 0, &m_codec);
}

HRESULT CVideoDecoder::StartStreaming() {
    CAutoLock lock(&m_csReceive);
    m_haveFrame = false;
    m_draining = false;
    const HRESULT hr = m_codec ? S_OK : OpenCodec();
    return FAILED(hr) ? hr : CDecoderFilter::StartStreaming();
}

HRESULT CVideoDecoder::SendInput(IMediaSample* in) {
    if (!m_codec)
        return E_UNEXPECTED;
    if (!in) {
        if (m_draining)
            return S_OK;
        const int result = avcodec_send_packet(m_codec.get(), nullptr);
        if (result == AVERROR(EAGAIN))
            return S_FALSE;
        m_draining = true;
        return S_OK;
    }
    BYTE* data = nullptr;
    if (FAILED(in->GetPointer(&data)))
        return E_UNEXPECTED;
    av_packet_unref(m_packet.get());
    m_packet->data = data;
    m_packet->size = in->GetActualDataLength();
    REFERENCE_TIME start = 0, end = 0;
    const HRESULT timed = in->GetTime(&start, &end);
    m_packet->pts = SUCCEEDED(timed) ? start : AV_NOPTS_VALUE;
    m_packet->dts = AV_NOPTS_VALUE;
    m_packet->duration = timed == S_OK ? end - start : 0;
    m_packet->flags = in->IsSyncPoint() == S_OK ? AV_PKT_FLAG_KEY : 0;
    const int result = avcodec_send_packet(m_codec.get(), m_packet.get());
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (result == AVERROR(EAGAIN))
        return S_FALSE;
    // Damaged data costs its frames, not the stream.
    return S_OK;
}

bool CVideoDecoder::OutputReady() {
    if (m_haveFrame)
        return true;
    if (!m_codec)
        return false;
    // A damaged frame reports an error and is gone; the next may decode.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int result = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (result == 0) {
            m_haveFrame = true;
            return true;
        }
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return false;
    }
    return false;
}

HRESULT CVideoDecoder::ReceiveOutput(IMediaSample* out) {
    // Sample times are segment times: media time since the segment's start, divided by the
    // rate.
    const double rate = SegmentRate() > 0 ? SegmentRate() : 1.0;
    const auto segmentLength =
        static_cast<REFERENCE_TIME>(static_cast<double>(SegmentStop() - SegmentStart()) / rate);
    while (OutputReady()) {
        m_haveFrame = false;
        REFERENCE_TIME start = m_frame->best_effort_timestamp;
        if (start == AV_NOPTS_VALUE)
            start = m_nextStart;
        REFERENCE_TIME length = m_frame->pkt_duration;
        if (length <= 0)
            length = static_cast<REFERENCE_TIME>(static_cast<double>(m_geometry.frameTime) / rate);
        if (length <= 0)
            length = 1;
        REFERENCE_TIME end = start + length;
        m_nextStart = end;
        // Frames a reordering codec gives back after the stop position are not the segment's.
        if (SegmentStop() > SegmentStart() && start >= segmentLength) {
            av_frame_unref(m_frame.get());
            continue;
        }
        const LONG size =
            UncompressedImageSize(m_outputSubtype, m_geometry.width, m_geometry.height);
        BYTE* buffer = nullptr;
        if (FAILED(out->GetPointer(&buffer)) || out->GetSize() < size) {
            av_frame_unref(m_frame.get());
            return E_UNEXPECTED;
        }
        const HRESULT converted = Convert(buffer);
        av_frame_unref(m_frame.get());
        // A picture that cannot be converted (damaged, or of a layout swscale refuses) costs
        // that frame, not the stream.
        if (FAILED(converted))
            continue;
        out->SetActualDataLength(size);
        out->SetTime(&start, &end);
        out->SetSyncPoint(TRUE);
        out->SetPreroll(FALSE);
        return S_OK;
    }
    return S_FALSE;
}

// NV12's luma must be the decoder's own, whatever its range: a full-range (JPEG) source would
// otherwise be squeezed into the video range on the way.
HRESULT CVideoDecoder::ConvertNv12(BYTE* buffer) {
    const int width = static_cast<int>(m_geometry.width);
    const int height = static_cast<int>(m_geometry.height);
    const int stride = static_cast<int>(UncompressedStride(MEDIASUBTYPE_NV12, m_geometry.width));
    BYTE* chroma = buffer + std::ptrdiff_t{stride} * height;
    const auto format = static_cast<AVPixelFormat>(m_frame->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const bool sameSize = m_frame->width == width && m_frame->height == height;
    const bool plainLuma = desc && !(desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) &&
                           desc->comp[0].plane == 0 && desc->comp[0].depth == 8 &&
                           desc->comp[0].step == 1 && sameSize;
    if (plainLuma && (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P)) {
        av_image_copy_plane(buffer, stride, m_frame->data[0], m_frame->linesize[0], width, height);
        const int chromaWidth = (width + 1) / 2;
        for (int y = 0; y < (height + 1) / 2; ++y) {
            const std::uint8_t* u = m_frame->data[1] + std::ptrdiff_t{y} * m_frame->linesize[1];
            const std::uint8_t* v = m_frame->data[2] + std::ptrdiff_t{y} * m_frame->linesize[2];
            BYTE* out = chroma + std::ptrdiff_t{y} * stride;
            for (int x = 0; x < chromaWidth; ++x) {
                out[2 * x] = u[x];
                out[2 * x + 1] = v[x];
            }
        }
        return S_OK;
    }
    m_scale.reset(sws_getCachedContext(m_scale.release(), m_frame->width, m_frame->height, format,
                                       width, height, AV_PIX_FMT_NV12, SWS_BICUBIC, nullptr,
                                       nullptr, nullptr));
    if (!m_scale)
        return E_FAIL;
    std::uint8_t* planes[4] = {buffer, chroma};
    int strides[4] = {stride, stride};
    if (sws_scale(m_scale.get(), m_frame->data, m_frame->linesize, 0, m_frame->height, planes,
                  strides) <= 0)
        return E_FAIL;
    if (plainLuma)
        av_image_copy_plane(buffer, stride, m_frame->data[0], m_frame->linesize[0], width, height);
    return S_OK;
}

HRESULT CVideoDecoder::Convert(BYTE* buffer) {
    if (m_outputSubtype == MEDIASUBTYPE_NV12)
        return ConvertNv12(buffer);
    const int width = static_cast<int>(m_geometry.width);
    const int height = static_cast<int>(m_geometry.height);
    const AVPixelFormat target = TargetFormat(m_outputSubtype);
    m_scale.reset(sws_getCachedContext(m_scale.release(), m_frame->width, m_frame->height,
                                       static_cast<AVPixelFormat>(m_frame->format), width, height,
                                       target, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!m_scale)
        return E_FAIL;
    // The picture's own colour matrix and range (BT.709 HD, full-range sources), as ffmpeg's
    // scale filter takes them; untagged pictures keep swscale's defaults.
    if (m_frame->colorspace != AVCOL_SPC_UNSPECIFIED ||
        m_frame->color_range != AVCOL_RANGE_UNSPECIFIED) {
        const int space =
            m_frame->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : m_frame->colorspace;
        const int fullRange = m_frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
        sws_setColorspaceDetails(m_scale.get(), sws_getCoefficients(space), fullRange,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    const int stride = static_cast<int>(UncompressedStride(m_outputSubtype, m_geometry.width));
    std::uint8_t* planes[4] = {};
    int strides[4] = {};
    // Bottom-up: the first row written is the last in memory.
    planes[0] = buffer + std::ptrdiff_t{stride} * (height - 1);
    strides[0] = -stride;
    if (m_frame->format == target && m_frame->width == width && m_frame->height == height &&
        target == AV_PIX_FMT_GRAY8) {
        av_image_copy_plane(planes[0], strides[0], m_frame->data[0], m_frame->linesize[0], width,
                            height);
        return S_OK;
    }
    // swscale's fast converters want rows written downwards; reading the picture upwards
    // instead gives the same bottom-up result at their speed. Planar 4:2:0 pictures of even
    // height keep their chroma pairing when read upwards; others are written upwards.
    const AVPixFmtDescriptor* desc =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(m_frame->format));
    const bool readUpwards = desc && (desc->flags & AV_PIX_FMT_FLAG_PLANAR) &&
                             !(desc->flags & AV_PIX_FMT_FLAG_RGB) && m_frame->height % 2 == 0 &&
                             m_frame->height == height && desc->nb_components == 3;
    if (readUpwards) {
        const std::uint8_t* source[4] = {};
        int sourceStrides[4] = {};
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height : AV_CEIL_RSHIFT(height, desc->log2_chroma_h);
            source[plane] =
                m_frame->data[plane] + std::ptrdiff_t{m_frame->linesize[plane]} * (rows - 1);
            sourceStrides[plane] = -m_frame->linesize[plane];
        }
        planes[0] = buffer;
        strides[0] = stride;
        return sws_scale(m_scale.get(), source, sourceStrides, 0, height, planes, strides) > 0
                   ? S_OK
                   : E_FAIL;
    }
    const int rows = sws_scale(m_scale.get(), m_frame->data, m_frame->linesize, 0, m_frame->height,
                               planes, strides);
    return rows > 0 ? S_OK : E_FAIL;
}

void CVideoDecoder::FlushCodec() {
    if (m_codec)
        avcodec_flush_buffers(m_codec.get());
    av_frame_unref(m_frame.get());
    m_haveFrame = false;
    m_draining = false;
}

}  // namespace dshow::media
