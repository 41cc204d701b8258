// CAudioDecoder: every audio codec FFmpeg decodes (integer and float PCM included), on the
// decoder base. It takes the media source's audio types (media_types.h) and gives interleaved
// 16-bit PCM at the stream's own rate, with at most two channels: libswresample converts the
// sample format and downmixes wider layouts to stereo.
//
// Times come from the codec's best effort time stamps in media time relative to the segment.
// Audio is cut to the sample at both ends of a segment: the samples of a frame that lie before
// 0 (the part of the first frame a seek decodes before its target) or at or past the segment's
// stop are not delivered, so playback starts exactly at the target; frames wholly outside are
// dropped unconverted. A decoded frame larger than an output buffer leaves in several samples.
//
// In steady state nothing is allocated per sample: the packet's buffer, the frame and the
// resampler are kept and reused (FFmpeg's own reference counting aside).
//
// Threads and locks: the decoder base's. The codec and the resampler are touched only under
// the receive lock (every hook), or at connection time with the filter stopped.
#pragma once

#include "directshow/decoder.h"
#include "directshow/diagnostics.h"
#include "directshow/media/ffmpeg.h"
#include "directshow/media/media_types.h"

namespace dshow::media {

inline constexpr CLSID CLSID_AudioDecoder{
    0x5B1E7A42, 0x93C6, 0x4F1D, {0xA8, 0x0B, 0x26, 0x4D, 0xE1, 0x7C, 0x35, 0x9F}};

// The type the decoder gives and the audio renderer takes: interleaved 16-bit PCM,
// FORMAT_WaveFormatEx, fixed-size samples of one block (a sample per channel).
CMediaType Pcm16Type(int channels, int sampleRate);
// The channel count and rate of such a type with one or two channels; false for anything else.
bool ReadPcm16(const AM_MEDIA_TYPE& type, int* channels, int* sampleRate);

struct BufferFreer {
    void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
using BufferPtr = std::unique_ptr<AVBufferRef, BufferFreer>;

class CAudioDecoder final : public CDecoderFilter {
public:
    explicit CAudioDecoder(IUnknown* outer);
    ~CAudioDecoder() override;

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

private:
    HRESULT OpenCodec();
    // Copies the input into the kept packet buffer, growing it only when it is too small or
    // the codec still holds it.
    bool FillPacket(const BYTE* data, LONG size);
    // Makes the resampler convert from m_frame's layout, format and rate (kept while they stay).
    bool PrepareResampler();
    // Converts up to `count` samples of m_frame from m_frameOffset into buffer (room for
    // `room` output samples); the number of output samples written, or a negative error.
    int Convert(BYTE* buffer, int count, int room);
    void DropFrame();

    // Set at connection (filter stopped).
    CodecParametersPtr m_parameters;
    int m_outChannels = 0;
    int m_outRate = 0;

    // Guarded by the receive lock.
    CodecContextPtr m_codec;
    PacketPtr m_packet;
    BufferPtr m_packetData;
    FramePtr m_frame;
    ResamplePtr m_resample;
    AVChannelLayout m_resampleLayout{};
    AVSampleFormat m_resampleFormat = AV_SAMPLE_FMT_NONE;
    int m_resampleRate = 0;
    bool m_haveFrame = false;
    bool m_draining = false;
    LossCounter m_rejected;  // packets the codec refused
    LossCounter m_lost;      // frames it could not decode
    int m_frameOffset = 0;   // samples of m_frame already delivered or cut
    REFERENCE_TIME m_frameStart = 0;
    REFERENCE_TIME m_nextStart = 0;
};

}  // namespace dshow::media
