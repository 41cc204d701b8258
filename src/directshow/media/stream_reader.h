// StreamReader: one demuxer over a file, reading the packets of one stream. Each output pin of
// the media source owns one, so every stream reads, seeks and ends on its own thread without
// waiting for the others (the price is that each reads the file's bytes once).
//
// Times are media time (100 ns) relative to an origin: by default the stream's own first
// presentation time, so that a stream with a start time other than 0 (an edit list, a program
// stream's clock) still begins at 0 and frame n lies at n times the frame time. The source
// gives every stream of a file the origin of its first video stream, so they stay in step.
//
// Not thread-safe: the owning pin calls it from its streaming thread, or while that thread is
// parked (a seek). No locks.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "directshow/media/ffmpeg.h"

namespace dshow::media {

class StreamReader {
public:
    // Opens the file (a UTF-8 path) and reads its stream information. On failure the HRESULT
    // says what kind and error names the cause.
    static HRESULT Open(const std::string& path, std::unique_ptr<StreamReader>* reader,
                        std::string* error);

    AVFormatContext* Context() const { return m_context.get(); }
    // Reads only this stream from now on; the others are discarded by the demuxer.
    void Select(int streamIndex);
    const AVStream* Stream() const { return m_stream; }
    // The media time that counts as 0 (absolute, in the file's clock).
    void SetOrigin(REFERENCE_TIME origin) { m_origin = origin; }
    REFERENCE_TIME StreamStart() const;

    // The next packet of the stream (packet is unreferenced first): 0, AVERROR_EOF at the end,
    // another error when the file cannot be read further.
    int Read(AVPacket* packet);

    // Moves so that the next packet read is a key frame shown at or before the time: the first
    // frame whose display interval holds the time is then decoded from it. Falls back to the
    // start of the file when the demuxer cannot seek.
    int SeekBefore(REFERENCE_TIME time);
    // After a seek: how many pictures right after the key frame are shown before it and refer
    // back past it (so the decoder drops them), for streams whose times are decode times. Reads
    // ahead; the packets are still returned in order.
    int LeadingBFrames();
    // The palette a palettised stream's packets carry (empty when none was seen yet);
    // LearnPalette reads the first packet for it when none was seen (the next seek moves back).
    const std::vector<std::uint8_t>& Palette() const { return m_palette; }
    void LearnPalette();
    // Where the last SeekBefore landed: the time of the packet read next, 0 at the top of the
    // file, AV_NOPTS_VALUE when unknown.
    REFERENCE_TIME LandedAt() const { return m_landed; }

    // A packet's presentation time (decode time when it has none, and always in AVI, whose
    // times are decode times) relative to the origin, or AV_NOPTS_VALUE.
    REFERENCE_TIME PacketTime(const AVPacket& packet) const;
    REFERENCE_TIME PacketDecodeTime(const AVPacket& packet) const;
    REFERENCE_TIME PacketDuration(const AVPacket& packet) const;

    // Frame time from the stream's frame rate (0 when it has none), duration from the stream
    // or the container, or from reading the stream through when neither states one (0 when
    // still unknown), both in media time.
    // The stream's average frame rate (its nominal rate when it has no average). Variable-
    // frame-rate streams: frame n is the frame shown at n times the average frame time.
    REFERENCE_TIME FrameTime() const;
    AVRational FrameRate() const;  // {0, 1} when the stream has none
    // May read the stream's last packets (then the reader is back at the start).
    REFERENCE_TIME Duration();
    // For a variable-rate video whose container states a nominal rate and no frame count, or
    // an AVI whose index holds empty chunks: the true average from counting its packets or its
    // pictures (FrameRate gives it from then on).
    void MeasureAverageRate();

private:
    StreamReader() = default;
    int ReadRaw(AVPacket* packet);
    int SeekTo(REFERENCE_TIME time);
    // Reads the stream's packets to the end of the file: the end of the last frame shown
    // (AV_NOPTS_VALUE when none had a time), counting them into `packets` when given.
    REFERENCE_TIME ReadToEnd(AVPacket* packet, std::int64_t* packets = nullptr);
    // The end of the last frame shown, from the packets at the end of the file.
    REFERENCE_TIME ScanEnd();
    // The same from every packet of the stream, read once from the start.
    REFERENCE_TIME CountEnd();
    // The same from the packets after the last key frame at or before `near`.
    REFERENCE_TIME TailEnd(REFERENCE_TIME near);
    // Whether another stream (not cover art) is in the file.
    bool SharesTheFile() const;

    FormatContextPtr m_context;
    AVStream* m_stream = nullptr;
    REFERENCE_TIME m_origin = 0;
    PacketPtr m_pending;            // a packet read ahead while seeking, returned next
    std::deque<PacketPtr> m_ahead;  // read ahead by LeadingBFrames, returned after it
    bool m_hasPending = false;
    bool m_untouched = true;         // nothing read since opening: no seek needed for the start
    bool m_decodeTimesOnly = false;  // the container's times are decode times (AVI)
    bool m_untimed = false;          // an elementary stream: packets count, their times do not
    std::vector<std::uint8_t> m_palette;
    REFERENCE_TIME m_landed = AV_NOPTS_VALUE;
    std::int64_t m_counted = 0;  // packets CountEnd read, of stream m_countedStream,
    REFERENCE_TIME m_countedEnd = AV_NOPTS_VALUE;  // and the end it found
    int m_countedStream = -1;
    AVRational m_measuredRate{0, 1};  // counted for stream m_measuredStream
    int m_measuredStream = -1;
};

}  // namespace dshow::media
