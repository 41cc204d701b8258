// A small AVI (RIFF 'AVI ') writer for test media: one video stream (uncompressed DIB frames or
// compressed packets under a FourCC) and an optional text stream ('txts'), interleaved per video
// frame in 'movi' and listed in an 'idx1' index with key-frame flags.
//
// The whole file is kept in memory until Write, so the headers can carry the final counts; the
// files it is meant for are a few hundred kilobytes. No state is shared and no lock is taken: a
// writer belongs to the thread that made it.
//
// Text samples: the text stream runs at the video's rate and scale with one chunk per video
// frame up to the last frame given a text; a frame without text gets an empty chunk. FFmpeg's
// AVI demuxer counts every chunk of such a stream as one tick (from the index or, without one,
// while scanning) but returns no packet for an empty chunk, so each text comes out once, at its
// frame's time. Writing only the texts would put the n-th text at tick n.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zyl::test::media {

struct AviVideoFormat {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // 8 (with a 256-entry grey palette), 24 or 32 for uncompressed frames; for compressed
    // frames it is only written to the header.
    std::uint16_t bitCount = 24;
    // Empty for uncompressed DIB frames (BI_RGB, '##db' chunks); otherwise the four characters
    // of the compression, e.g. "FMP4", "XVID" or "MJPG" ('##dc' chunks).
    std::string fourcc;
    // Frames per second is rate / scale.
    std::uint32_t rate = 25;
    std::uint32_t scale = 1;
};

class AviWriter {
public:
    explicit AviWriter(AviVideoFormat video);

    void EnableText();

    // The bytes of one frame: for uncompressed formats a bottom-up DIB (see Dib), otherwise
    // one packet of the codec.
    void AddVideoFrame(std::vector<std::uint8_t> data, bool keyFrame);
    // The text shown from `frame` on; 8-bit text without NUL characters. A frame past the
    // last video frame makes a text stream that outlasts the video.
    void AddText(std::uint32_t frame, std::string text);

    // Throws std::runtime_error naming the file when it cannot be written.
    void Write(const std::string& path) const;

    // A DIB of the writer's uncompressed format from packed top-down pixels: for 8 bits one grey
    // byte per pixel, for 24 and 32 bits R, G, B per pixel. Rows are stored bottom-up, as
    // B, G, R (, 0) and padded to four bytes.
    static std::vector<std::uint8_t> Dib(const std::uint8_t* pixels, std::uint32_t width,
                                         std::uint32_t height, std::uint16_t bitCount);

private:
    struct Frame {
        std::vector<std::uint8_t> data;
        bool key = true;
    };

    AviVideoFormat video_;
    bool text_ = false;
    std::vector<Frame> frames_;
    std::map<std::uint32_t, std::string> texts_;
};

}  // namespace zyl::test::media
