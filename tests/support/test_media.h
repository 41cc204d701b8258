// Test media made at test time: uncompressed and encoded video files (with text and audio
// streams when asked) whose every frame is a known picture, truncated copies, and reference
// frame digests from libavcodec and from the `ffmpeg` command line to compare a player's frames
// against.
//
// The functions keep no state and take no locks; any thread may call them. Encoders log two
// levels quieter than usual (their statistics stay out of test output); FFmpeg's process-wide
// log level is left alone. Every failure throws std::runtime_error naming the file and the cause.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zyl::test::media {

// Frame n of every test video as packed top-down R, G, B bytes: a colour gradient moved by n,
// with n (modulo 256) drawn in the top quarter as eight black or white blocks, most significant
// bit on the left, so a wrong frame shows even after lossy coding.
std::vector<std::uint8_t> Picture(int n, int width, int height);
// The same picture as one grey byte per pixel ((77 R + 150 G + 29 B) / 256).
std::vector<std::uint8_t> GreyPicture(int n, int width, int height);
// The frame number (modulo 256) read back from the blocks of a decoded picture, packed
// top-down rgb24 or grey (`bytesPerPixel` 3 or 1); -1 when a block is neither dark nor light.
int FrameNumberOf(const std::vector<std::uint8_t>& pixels, int width, int height,
                  int bytesPerPixel);

// An uncompressed AVI of Picture frames: 8 bits (grey palette, GreyPicture), 24 or 32 bits;
// any width, rows padded as DIBs are. Returns the file's path in `dir`.
std::string RawAvi(const std::string& dir, int bits, int width, int height, int frames,
                   int fps = 25);

struct EncodeOptions {
    std::string container = "mp4";  // avi, mp4, mkv, mpg (MPEG-2 program stream), ts, m4v
                                    // (a bare MPEG-4 stream, without a duration)
    std::string codec = "libx264";  // mjpeg, mpeg4, libx264, libx265, mpeg2video
    int width = 64;
    int height = 48;
    int frames = 10;
    int fpsNum = 25;
    int fpsDen = 1;
    int gop = 12;     // a key frame every gop frames in presentation order (closed groups)
    int bframes = 0;  // most consecutive B-frames
    std::string text = "none";  // none, mov_text (mp4) or subrip (mkv)
    int textEvery = 5;          // a cue "frame N" at every frame N divisible by this
    bool audio = false;         // a 440 Hz tone: AAC in mp4/mkv, PCM in avi, else MP2
    std::string name;           // file name in the folder; made from the fields if empty
};

// Encodes Picture frames through libavcodec and muxes them through libavformat. Text cues
// start at their frame's time and last one frame (times in the container's units, rounded to
// the nearest). Returns the file's path in `dir`.
std::string EncodedFile(const std::string& dir, const EncodeOptions& encoding);

// MPEG-4 part 2 ('FMP4', key frame every 12, no B-frames) written with AviWriter next to a text
// stream holding "frame N" at every frame N divisible by `textEvery`.
std::string Mpeg4AviWithText(const std::string& dir, int width, int height, int frames,
                             int textEvery, int fps = 25);

// Copies the first `fraction` (0..1) of `src` to `dst`; returns `dst`.
std::string Truncated(const std::string& src, const std::string& dst, double fraction);

// One MD5 (32 lower-case hex digits) per frame of the file's first video stream, decoded in
// order through libavcodec with default options (drained at the end) and converted by
// libswscale (bit-exact, accurate rounding, point sampling) to packed top-down "rgb24" or
// "gray". With `lumaOnly` the decoder's Y plane is hashed as it is instead.
std::vector<std::string> ReferenceMd5s(const std::string& path,
                                       const std::string& pixelFormat = "rgb24",
                                       bool lumaOnly = false);

// Runs `ffmpeg -nostdin -v error <args>` and returns what it printed on standard output, or
// nothing when no `ffmpeg` is on PATH. With `outputPath` its standard output goes to that file
// instead (a muxer writing to "-" then writes the file as it would a pipe: unseekable) and the
// text returned is empty. Throws when the command fails.
std::optional<std::string> FfmpegCommand(const std::vector<std::string>& args,
                                         const std::string& outputPath = "");

// The MD5s of the first stream that `ffmpeg -v error -i path <args> -f framemd5 -` prints, or
// nothing when no `ffmpeg` is on PATH. Throws when the command fails.
std::optional<std::vector<std::string>> FfmpegCommandMd5s(const std::string& path,
                                                          const std::vector<std::string>& args);

// The MD5s of FFmpeg's conversion of the first video stream to "bgr24" (the byte order of a
// DirectShow RGB24 picture, which the engine's decoder makes), each frame hashed with its bytes
// in R, G, B order as the tools hash frames; `args` (no filter among them) go before the output
// options. Nothing when no `ffmpeg` is on PATH.
std::optional<std::vector<std::string>> FfmpegBgrMd5s(const std::string& path,
                                                      const std::vector<std::string>& args);

}  // namespace zyl::test::media
