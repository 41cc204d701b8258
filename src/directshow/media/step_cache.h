// StepCache: decoded pictures a video decoder keeps from the way to each seek target, so that a
// later seek to one of them (stepping back frame by frame through a long group of pictures,
// where every step would otherwise decode from the key frame) is answered without decoding.
//
// Pictures are kept by reference (FFmpeg's frames share their buffers), keyed by their start in
// the file (media time), within a budget in bytes. Only what a pass from a key frame decodes
// after that key frame is kept: pictures shown before it (an open group's leading pictures)
// are decoded without their references and are never offered again. Times that stop rising
// within a pass mean a file whose times cannot name a picture: the cache then empties and stays
// off for the stream. Past the budget, the pictures farthest from the latest target go first,
// those on the side the steps come from weighing four times less.
//
// Threads: the decoder's receive lock guards every call.
#pragma once

#include <cstdint>
#include <map>

#include "com/com_types.h"
#include "directshow/media/ffmpeg.h"

namespace dshow::media {

class StepCache {
public:
    // 0 turns the cache off and lets every picture go.
    void SetBudget(std::uint64_t bytes);
    std::uint64_t Budget() const { return m_budget; }

    // A pass from a key frame towards `target` begins (after a flush or a new segment).
    void BeginPass(REFERENCE_TIME target);
    // A picture decoded in this pass, with its times in the file. Kept (a new reference) when
    // it belongs and fits.
    void Offer(const AVFrame& frame, REFERENCE_TIME start, REFERENCE_TIME end);
    // The picture shown at `at`, with its times; null when none is kept.
    const AVFrame* Find(REFERENCE_TIME at, REFERENCE_TIME* start, REFERENCE_TIME* end) const;
    // Lets every picture go; Reset also forgets that a stream's times proved unfit (a new
    // connection, a new stream).
    void Clear();
    void Reset();

    std::uint64_t Bytes() const { return m_bytes; }
    std::size_t Count() const { return m_entries.size(); }

private:
    struct Entry {
        FramePtr frame;
        REFERENCE_TIME end = 0;
        std::uint64_t bytes = 0;
    };
    void Trim();
    // How far a picture lies from the latest target, the side the steps come from counting less.
    std::int64_t Distance(REFERENCE_TIME start) const;

    std::map<REFERENCE_TIME, Entry> m_entries;
    std::uint64_t m_budget = 0;
    std::uint64_t m_bytes = 0;
    bool m_off = false;  // the stream's times proved unfit
    REFERENCE_TIME m_target = 0;
    int m_direction = -1;  // where the latest target lay from the one before: -1 back, +1 on
    bool m_keySeen = false;
    bool m_anyThisPass = false;
    REFERENCE_TIME m_lastStart = 0;
};

}  // namespace dshow::media
