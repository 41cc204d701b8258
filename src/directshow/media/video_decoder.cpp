#include "directshow/media/video_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "directshow/diagnostics.h"
#include "directshow/time_scale.h"

namespace dshow::media {
namespace {

bool IsUncompressed(const GUID& subtype) {
    return subtype == MEDIASUBTYPE_RGB8 || subtype == MEDIASUBTYPE_RGB24 ||
           subtype == MEDIASUBTYPE_RGB32 || subtype == MEDIASUBTYPE_NV12;
}

// swscale takes the old full-range ("J") layouts only with a warning on the process's terminal;
// the same layout with its range given explicitly converts the same, without one.
AVPixelFormat PlainLayout(AVPixelFormat format, bool* fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            *fullRange = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            *fullRange = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            *fullRange = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            *fullRange = true;
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            *fullRange = true;
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

// A frame's colour tags as plain numbers: a damaged stream can carry values its enum has no
// name for, which must not be read as the enum; those count as untagged.
int TagOf(const void* field, int count, int untagged) {
    int value = 0;
    std::memcpy(&value, field, sizeof value);
    return value >= 0 && value < count ? value : untagged;
}
int ColorSpaceOf(const AVFrame& frame) {
    static_assert(sizeof frame.colorspace == sizeof(int));
    return TagOf(&frame.colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
}
bool FullRange(const AVFrame& frame) {
    static_assert(sizeof frame.color_range == sizeof(int));
    return TagOf(&frame.color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED) == AVCOL_RANGE_JPEG;
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

// Rows this many bytes long, at addresses so aligned, are written by swscale straight into a
// sample (see Convert).
constexpr LONG kDirectWriteAlign = 64;

// More input times than any codec holds frames back (reordering plus frame threads).
constexpr std::size_t kMaxPendingTimes = 64;

// Undecodable frames skipped in one call before the decoder lets the stream go on: a damaged
// run costs its frames without holding the streaming thread.
constexpr int kUndecodableFramesPerCall = 16;

// One sample being converted, one on its way to the renderer and one the renderer holds.
constexpr LONG kOutputSamples = 3;

}  // namespace

CVideoDecoder::CVideoDecoder(IUnknown* outer)
    : CDecoderFilter(L"Video Decoder", outer, CLSID_VideoDecoder),
      m_packet(av_packet_alloc()),
      m_frame(av_frame_alloc()) {
    m_pendingTimes.reserve(kMaxPendingTimes);
}

CVideoDecoder::~CVideoDecoder() = default;

HRESULT CVideoDecoder::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IStepCache)
        return GetInterface(static_cast<IStepCache*>(this), object);
    return CDecoderFilter::NonDelegatingQueryInterface(riid, object);
}

HRESULT CVideoDecoder::SetStepCacheBudget(std::uint64_t bytes) {
    CAutoLock lock(&m_csReceive);
    m_cache.SetBudget(bytes);
    return S_OK;
}

HRESULT CVideoDecoder::GetStepCacheState(std::uint64_t* bytes, ULONG* pictures, ULONG* answered) {
    CAutoLock lock(&m_csReceive);
    if (bytes)
        *bytes = m_cache.Bytes();
    if (pictures)
        *pictures = static_cast<ULONG>(m_cache.Count());
    if (answered)
        *answered = m_answers;
    return S_OK;
}

HRESULT CVideoDecoder::SetStepCacheAnswers(bool answer) {
    m_answering = answer;
    return S_OK;
}

HRESULT CVideoDecoder::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    const HRESULT hr = CDecoderFilter::NewSegment(start, stop, rate);
    CAutoLock lock(&m_csReceive);
    m_answer.reset();
    m_answered = false;
    m_targetReached = false;
    m_cache.BeginPass(start);
    REFERENCE_TIME from = 0, to = 0;
    if (const AVFrame* kept =
            m_answering ? m_cache.Find(start + TargetSlack(), &from, &to) : nullptr) {
        FramePtr answer(av_frame_alloc());
        if (answer && av_frame_ref(answer.get(), kept) == 0) {
            m_answer = std::move(answer);
            m_answerStart = from;
            m_answerEnd = to;
        }
    }
    return hr;
}

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
    // Exactly the picture: rows are copied in whole (see Convert), so nothing writes past it,
    // and a renderer's allocator may lend memory of just that size.
    const LONG needed = static_cast<LONG>(type.lSampleSize);
    request->cBuffers = std::max<LONG>(request->cBuffers, kOutputSamples);
    request->cbBuffer = std::max<LONG>(request->cbBuffer, needed);
    // Cache-line aligned samples let Convert write rows straight in.
    request->cbAlign = std::max<LONG>(request->cbAlign, kDirectWriteAlign);
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < needed ? E_FAIL : S_OK;
}

HRESULT CVideoDecoder::SetMediaType(PIN_DIRECTION direction, const CMediaType* type) {
    if (direction == PINDIR_INPUT) {
        m_ownTimesHold = false;
        m_saidResized = false;
        m_sideData = IsCodecSubtype(type->subtype);
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
        m_cache.Reset();
        m_answer.reset();
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
    ResetTimes();
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
    if (m_sideData && !ApplySampleTrailer(m_packet.get())) {
        av_packet_unref(m_packet.get());
        m_rejected.Note(Severity::Warning,
                        "video decoder: a sample without its side data was skipped");
        return S_OK;  // not a sample of ours: nothing to decode
    }
    REFERENCE_TIME start = 0, end = 0;
    const HRESULT timed = in->GetTime(&start, &end);
    if (SUCCEEDED(timed))
        NoteInputTime(start);
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
    if (result < 0)
        m_rejected.Note(Severity::Warning,
                        "video decoder: a packet was not decoded (" + ErrorText(result) + ")");
    return S_OK;
}

bool CVideoDecoder::OutputReady() {
    if (m_haveFrame || m_answer)
        return true;
    if (!m_codec)
        return false;
    // A damaged frame reports an error and is gone; the next may decode.
    for (int attempt = 0; attempt < kUndecodableFramesPerCall; ++attempt) {
        const int result = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (result == 0) {
            m_haveFrame = true;
            return true;
        }
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return false;
        m_lost.Note(Severity::Warning,
                    "video decoder: a frame could not be decoded (" + ErrorText(result) + ")");
    }
    return false;
}

HRESULT CVideoDecoder::ReceiveOutput(IMediaSample* out) {
    // Sample times are segment times: media time since the segment's start, divided by the
    // rate.
    const double rate = SegmentRate() > 0 ? SegmentRate() : 1.0;
    const auto segmentLength = ScaleTime(SegmentStop() - SegmentStart(), 1.0 / rate);
    // Times in the file, as the cache keeps them.
    const auto inFile = [&](REFERENCE_TIME segmentTime) {
        return SegmentStart() + ScaleTime(segmentTime, rate);
    };
    const REFERENCE_TIME slack = ScaleTime(TargetSlack(), 1.0 / rate);
    while (OutputReady()) {
        REFERENCE_TIME start = 0, end = 0;
        if (m_answer && !m_haveFrame) {
            // The target was decoded by an earlier seek: delivered now, while the codec works
            // its way there again from the key frame.
            av_frame_unref(m_frame.get());
            av_frame_move_ref(m_frame.get(), m_answer.get());
            m_answer.reset();
            start = ScaleTime(m_answerStart - SegmentStart(), 1.0 / rate);
            end = std::max(start + 1, ScaleTime(m_answerEnd - SegmentStart(), 1.0 / rate));
            m_answered = true;
            // Its middle: times scaled by a rate may come back a unit off.
            m_answeredThrough = m_answerStart + (m_answerEnd - m_answerStart) / 2;
            m_targetReached = true;
            ++m_answers;
        } else {
            m_haveFrame = false;
            start = OutputTime(m_frame->best_effort_timestamp);
            REFERENCE_TIME length = m_frame->pkt_duration;
            if (length <= 0)
                length = ScaleTime(m_geometry.frameTime, 1.0 / rate);
            if (length <= 0)
                length = 1;
            end = start + length;
            m_nextStart = end;
            // Decoded again on the way from the key frame: delivered already.
            if (m_answered && inFile(start) <= m_answeredThrough) {
                av_frame_unref(m_frame.get());
                CountPrerollDropped();
                continue;
            }
            // The way to the target, and the target: what a later seek may want again.
            if (!m_targetReached)
                m_cache.Offer(*m_frame, inFile(start), inFile(end));
            if (end > slack)
                m_targetReached = true;
        }
        // Frames a reordering codec gives back after the stop position are not the segment's.
        if (SegmentStop() > SegmentStart() && start >= segmentLength) {
            av_frame_unref(m_frame.get());
            continue;
        }
        // Preroll (over before the segment starts, as after a seek to a frame between key
        // frames) is dropped before its conversion: nobody sees it, and converting each frame
        // of a long group costs a third of the seek.
        if (end <= slack) {
            av_frame_unref(m_frame.get());
            CountPrerollDropped();
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
        if (FAILED(converted)) {
            m_lost.Note(Severity::Warning, "video decoder: a frame could not be converted");
            continue;
        }
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
    bool fullRange = FullRange(*m_frame);
    const AVPixelFormat layout = PlainLayout(format, &fullRange);
    m_scale.reset(sws_getCachedContext(m_scale.release(), m_frame->width, m_frame->height, layout,
                                       width, height, AV_PIX_FMT_NV12, SWS_BICUBIC, nullptr,
                                       nullptr, nullptr));
    if (!m_scale)
        return E_FAIL;
    if (layout != format)
        sws_setColorspaceDetails(m_scale.get(), sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 0, 0, 1 << 16, 1 << 16);
    if (const HRESULT hr = ScaleIntoConverted(AV_PIX_FMT_NV12); FAILED(hr))
        return hr;
    av_image_copy_plane(buffer, stride, m_converted->data[0], m_converted->linesize[0], width,
                        height);
    av_image_copy_plane(chroma, stride, m_converted->data[1], m_converted->linesize[1],
                        (width + 1) / 2 * 2, (height + 1) / 2);
    if (plainLuma)
        av_image_copy_plane(buffer, stride, m_frame->data[0], m_frame->linesize[0], width, height);
    return S_OK;
}

HRESULT CVideoDecoder::ScaleIntoConverted(AVPixelFormat target) {
    const int width = static_cast<int>(m_geometry.width);
    const int height = static_cast<int>(m_geometry.height);
    if (!m_converted || m_converted->width != width || m_converted->height != height ||
        m_converted->format != target) {
        m_converted.reset(av_frame_alloc());
        if (!m_converted)
            return E_OUTOFMEMORY;
        m_converted->width = width;
        m_converted->height = height;
        m_converted->format = target;
        if (av_frame_get_buffer(m_converted.get(), 0) < 0) {
            m_converted.reset();
            return E_OUTOFMEMORY;
        }
    }
    return sws_scale(m_scale.get(), m_frame->data, m_frame->linesize, 0, m_frame->height,
                     m_converted->data, m_converted->linesize) > 0
               ? S_OK
               : E_FAIL;
}

HRESULT CVideoDecoder::Convert(BYTE* buffer) {
    if ((m_frame->width != m_geometry.width || m_frame->height != m_geometry.height) &&
        !m_saidResized) {
        // The connection has one size for the whole stream, as a camera has.
        m_saidResized = true;
        Diagnose(Severity::Warning,
                 "the video changes its picture size mid-stream (" +
                     std::to_string(m_geometry.width) + "x" + std::to_string(m_geometry.height) +
                     " to " + std::to_string(m_frame->width) + "x" +
                     std::to_string(m_frame->height) + "): pictures are scaled to the first size");
    }
    if (m_outputSubtype == MEDIASUBTYPE_NV12)
        return ConvertNv12(buffer);
    const int width = static_cast<int>(m_geometry.width);
    const int height = static_cast<int>(m_geometry.height);
    const AVPixelFormat target = TargetFormat(m_outputSubtype);
    bool fullRange = FullRange(*m_frame);
    const int space = ColorSpaceOf(*m_frame);
    const auto decoded = static_cast<AVPixelFormat>(m_frame->format);
    const AVPixelFormat layout = PlainLayout(decoded, &fullRange);
    m_scale.reset(sws_getCachedContext(m_scale.release(), m_frame->width, m_frame->height, layout,
                                       width, height, target, SWS_BICUBIC, nullptr, nullptr,
                                       nullptr));
    if (!m_scale)
        return E_FAIL;
    // The picture's own colour matrix and range (BT.709 HD, full-range sources), as ffmpeg's
    // scale filter takes them; untagged pictures keep swscale's defaults.
    if (space != AVCOL_SPC_UNSPECIFIED || fullRange || layout != decoded)
        sws_setColorspaceDetails(
            m_scale.get(),
            sws_getCoefficients(space == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : space),
            fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    const int stride = static_cast<int>(UncompressedStride(m_outputSubtype, m_geometry.width));
    const auto format = static_cast<AVPixelFormat>(m_frame->format);
    if (format == target && m_frame->width == width && m_frame->height == height &&
        target == AV_PIX_FMT_GRAY8) {
        // Bottom-up: the first row written is the last in memory.
        av_image_copy_plane(buffer + std::ptrdiff_t{stride} * (height - 1), -stride,
                            m_frame->data[0], m_frame->linesize[0], width, height);
        return S_OK;
    }
    // In general converted downwards into a picture laid out as FFmpeg lays out its own (rows
    // aligned and padded), then copied bottom-up into the sample: bit for bit what FFmpeg's
    // conversion gives. swscale picks its vector code by the rows' alignment and rounds
    // differently without it, dithers by row number (a picture read upwards changes), and
    // writes past a row's end (into the row before, were it written upwards).
    const auto rowBytes = static_cast<std::size_t>(av_image_get_linesize(target, width, 0));
    // Unpadded rows of whole cache lines, aligned, at the picture's own size: swscale takes the
    // same vector code as for a frame of its own and writes nothing past a row, so the rows go
    // straight into the sample, last first, and the copy below is saved.
    const auto aligned = [](const void* p) {
        return reinterpret_cast<std::uintptr_t>(p) % kDirectWriteAlign == 0;
    };
    if (m_frame->width == width && m_frame->height == height &&
        static_cast<std::size_t>(stride) == rowBytes && stride % kDirectWriteAlign == 0 &&
        width % kDirectWriteAlign == 0 && aligned(buffer)) {
        std::uint8_t* rows[4] = {buffer + std::ptrdiff_t{stride} * (height - 1), nullptr, nullptr,
                                 nullptr};
        const int strides[4] = {-stride, 0, 0, 0};
        return sws_scale(m_scale.get(), m_frame->data, m_frame->linesize, 0, m_frame->height, rows,
                         strides) > 0
                   ? S_OK
                   : E_FAIL;
    }
    if (const HRESULT hr = ScaleIntoConverted(target); FAILED(hr))
        return hr;
    for (int row = 0; row < height; ++row)
        std::memcpy(buffer + std::ptrdiff_t{stride} * (height - 1 - row),
                    m_converted->data[0] + std::ptrdiff_t{m_converted->linesize[0]} * row,
                    rowBytes);
    return S_OK;
}

REFERENCE_TIME CVideoDecoder::TargetSlack() const {
    // A seek to a frame computed in milliseconds is truncated to whole 100-ns units on its way
    // here and may fall a unit or two short of the frame: a frame ending that little after
    // the target counts as before it.
    return 4;
}

void CVideoDecoder::FlushCodec() {
    m_answer.reset();
    if (m_codec)
        avcodec_flush_buffers(m_codec.get());
    av_frame_unref(m_frame.get());
    m_haveFrame = false;
    m_draining = false;
    ResetTimes();
}

void CVideoDecoder::ResetTimes() {
    m_pendingTimes.clear();
    m_lastInputTime = AV_NOPTS_VALUE;
    m_nextStart = 0;
}

void CVideoDecoder::NoteInputTime(REFERENCE_TIME time) {
    // Times that go back in decode order can only be presentation times of a reordered
    // stream: from then on each frame keeps its own.
    if (m_lastInputTime != AV_NOPTS_VALUE && time < m_lastInputTime)
        m_ownTimesHold = true;
    m_lastInputTime = time;
    if (m_pendingTimes.size() >= kMaxPendingTimes)
        m_pendingTimes.erase(m_pendingTimes.begin());  // frames the codec never gave back
    m_pendingTimes.insert(std::upper_bound(m_pendingTimes.begin(), m_pendingTimes.end(), time),
                          time);
}

REFERENCE_TIME CVideoDecoder::OutputTime(REFERENCE_TIME own) {
    // Until the input proves its times are presentation times, the frames shown take the
    // input times in ascending order: for a stream whose times are right that is each frame's
    // own, and for one stamped with decode times (AVI, which has no others; files muxed with
    // presentation equal to decode time although they have B-frames) it is the only order
    // that follows the display. A frame lost in the codec would shift its followers by one,
    // which is why proven presentation times are kept as they are.
    REFERENCE_TIME time = own;
    if (!m_pendingTimes.empty()) {
        auto taken = m_pendingTimes.begin();
        if (m_ownTimesHold && own != AV_NOPTS_VALUE) {
            const auto found = std::lower_bound(m_pendingTimes.begin(), m_pendingTimes.end(), own);
            if (found != m_pendingTimes.end() && *found == own)
                taken = found;
        } else {
            time = *taken;
        }
        m_pendingTimes.erase(taken);
    }
    return time == AV_NOPTS_VALUE ? m_nextStart : time;
}

}  // namespace dshow::media
