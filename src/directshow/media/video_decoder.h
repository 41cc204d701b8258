// CVideoDecoder: every video codec FFmpeg decodes, on the decoder base. It takes the media
// source's compressed types (media_types.h) and gives uncompressed pictures, converted with
// libswscale, offered in this order:
//   - grey sources: RGB8 with a grey palette first (the picture as it is, one byte a pixel);
//   - NV12 (luma exactly as decoded, then interleaved chroma): taken only by a renderer that
//     wants the luma plane, and cheapest to make from the 4:2:0 most codecs decode to;
//   - RGB24 before RGB32: on 1080p H.264 (media_bench decode, 300 frames, four runs each)
//     decode + conversion + the renderer's copy took 1.44-1.53 s to RGB24 and 1.28-1.57 s to
//     RGB32, the same within the machine's noise; RGB24 needs a quarter less memory for every
//     ring-buffer element the host keeps and for every copy into it;
//   - RGB32.
// RGB rows are bottom-up and every type's rows are padded to 4 bytes (media_types.h).
//
// Frames are decoded with a thread per core (frame threads). Frames are stamped in media time
// relative to the segment, so the base drops the frames a seek decodes before its target, and
// this class drops those at or past the segment's stop. Times always rise in display order:
// inputs stamped with decode times (AVI; files muxed with presentation equal to decode time
// despite B-frames) give their times to the frames in ascending order (OutputTime).
//
// Threads and locks: the decoder base's. The codec and the converter are touched only under
// the receive lock (every hook), or at connection time with the filter stopped.
#pragma once

#include <vector>

#include "directshow/decoder.h"
#include "directshow/diagnostics.h"
#include "directshow/media/ffmpeg.h"
#include "directshow/media/media_types.h"

namespace dshow::media {

inline constexpr CLSID CLSID_VideoDecoder{
    0x2F6A9C13, 0x8E47, 0x4D0B, {0xB1, 0x52, 0x7C, 0x3A, 0x90, 0x1E, 0x6D, 0x24}};

class CVideoDecoder final : public CDecoderFilter {
public:
    explicit CVideoDecoder(IUnknown* outer);
    ~CVideoDecoder() override;

    HRESULT CheckInputType(const CMediaType* type) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* type) override;
    HRESULT BreakConnect(PIN_DIRECTION direction) override;
    HRESULT StartStreaming() override;

    HRESULT SendInput(IMediaSample* in) override;
    bool OutputReady() override;
    HRESULT ReceiveOutput(IMediaSample* out) override;
    void FlushCodec() override;

    // Packets the codec refused and frames lost to damage, since creation (receive lock).
    long PacketsRejected() const { return m_rejected.Total(); }
    long FramesLost() const { return m_lost.Total(); }

private:
    // The output subtypes for the connected input, in the order offered.
    int OutputSubtypes(GUID* subtypes) const;
    HRESULT OpenCodec();
    // Converts m_frame into the sample's buffer in the output type's layout.
    HRESULT Convert(BYTE* buffer);
    HRESULT ConvertNv12(BYTE* buffer);
    // Converts m_frame into m_converted (made once per size and format) with m_scale.
    HRESULT ScaleIntoConverted(AVPixelFormat target);
    // Output times: each input time is noted as it goes in, and each frame coming out takes
    // one (see OutputTime).
    void NoteInputTime(REFERENCE_TIME time);
    REFERENCE_TIME OutputTime(REFERENCE_TIME own);
    void ResetTimes();

    // Set at connection (filter stopped).
    VideoGeometry m_geometry;
    GUID m_outputSubtype{};
    bool m_sideData = false;  // input samples end with side data (media_types.h)
    CodecParametersPtr m_parameters;

    // Guarded by the receive lock.
    CodecContextPtr m_codec;
    PacketPtr m_packet;
    FramePtr m_frame;
    ScalePtr m_scale;
    FramePtr m_converted;  // the converted picture, made once per size
    bool m_haveFrame = false;
    bool m_draining = false;
    REFERENCE_TIME m_nextStart = 0;
    std::vector<REFERENCE_TIME> m_pendingTimes;  // input times not yet given out, ascending
    REFERENCE_TIME m_lastInputTime = AV_NOPTS_VALUE;
    bool m_ownTimesHold = false;  // the input's times proved to be presentation times
    bool m_saidResized = false;   // a change of picture size was reported
    LossCounter m_rejected;       // packets the codec refused
    LossCounter m_lost;           // frames it could not decode, or that could not be converted
};

}  // namespace dshow::media
