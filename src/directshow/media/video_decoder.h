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
// Seeks are remembered (StepCache): the pictures a seek decodes on its way to the target are kept
// within a budget the owner sets through IStepCache (none until then), and a later seek to one
// of them delivers it at once; the codec still decodes from the key frame behind it, so what
// follows is exact too, and the pictures decoded again are dropped up to the one delivered.
//
// Threads and locks: the decoder base's. The codec, the converter and the cache are touched
// only under the receive lock (every hook), or at connection time with the filter stopped.
#pragma once

#include <atomic>
#include <vector>

#include "directshow/decoder.h"
#include "directshow/diagnostics.h"
#include "directshow/media/ffmpeg.h"
#include "directshow/media/media_types.h"
#include "directshow/media/step_cache.h"

namespace dshow::media {

inline constexpr CLSID CLSID_VideoDecoder{
    0x2F6A9C13, 0x8E47, 0x4D0B, {0xB1, 0x52, 0x7C, 0x3A, 0x90, 0x1E, 0x6D, 0x24}};

// The decoder's memory of seeks, for whoever plays through it.
inline constexpr IID IID_IStepCache{
    0x5C0E7A42, 0x91D3, 0x4F6B, {0x8A, 0x17, 0x2B, 0x64, 0xE0, 0x93, 0xC5, 0x1D}};
struct IStepCache : IUnknown {
    // Bytes of decoded pictures it may keep; 0 (the start) keeps none.
    virtual HRESULT SetStepCacheBudget(std::uint64_t bytes) = 0;
    // The bytes and pictures kept now, and the seeks answered from them since creation.
    virtual HRESULT GetStepCacheState(std::uint64_t* bytes, ULONG* pictures, ULONG* answered) = 0;
    // Whether a seek is answered from what is kept (the start); pictures are kept either way.
    // A camera playing on would show the answer and then stall while the codec decodes its way
    // from the key frame: its owner turns answers off while it streams.
    virtual HRESULT SetStepCacheAnswers(bool answer) = 0;

protected:
    ~IStepCache() = default;
};

class CVideoDecoder final : public CDecoderFilter, public IStepCache {
public:
    explicit CVideoDecoder(IUnknown* outer);
    ~CVideoDecoder() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;
    HRESULT SetStepCacheBudget(std::uint64_t bytes) override;
    HRESULT GetStepCacheState(std::uint64_t* bytes, ULONG* pictures, ULONG* answered) override;
    HRESULT SetStepCacheAnswers(bool answer) override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

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
    // How far before the frame it means a seek target may fall (see there).
    REFERENCE_TIME TargetSlack() const;

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
    StepCache m_cache;
    FramePtr m_answer;  // the cached picture for this segment's target, until delivered
    REFERENCE_TIME m_answerStart = 0, m_answerEnd = 0;
    // Decoded pictures starting up to here in the file were delivered from the cache already.
    REFERENCE_TIME m_answeredThrough = 0;
    bool m_answered = false;
    bool m_targetReached = false;  // this segment delivered its first picture
    ULONG m_answers = 0;
    std::atomic<bool> m_answering{true};  // set by the owner from any thread
};

}  // namespace dshow::media
