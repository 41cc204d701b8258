// Pulling decoded frames out of a file through the engine, unclocked, into a checksum renderer
// that connects the way the module's video renderer does (RGB8, RGB24, RGB32; NV12 only when
// the luma plane is asked for). Each frame's MD5 is over its pixels top line first, without row
// padding: packed rgb24, or gray for grey RGB8 frames and for the luma plane.
//
// PullFrames runs on the caller's thread and initialises COM there; the renderer hashes on the
// source's streaming thread under its own mutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "com/com_types.h"

namespace zyl::tools {

struct PullOptions {
    int frames = 10;           // how many to hash (fewer when the stream ends first)
    bool mono = false;         // accept NV12 and hash its luma plane
    long long seekFrame = -1;  // start at this frame (TIME_FORMAT_FRAME) when >= 0
    bool texts = false;        // also collect the first text stream's samples
    bool keepPixels = false;   // also keep each frame's pixels as hashed
    double rate = 1.0;         // the playback rate (unclocked all the same)
    std::string only;          // "RGB8", "RGB24" or "RGB32": take only that subtype
};

struct TextSample {
    std::int64_t start = 0;  // 100 ns, relative to the seek
    std::int64_t end = 0;
    std::string text;
};

struct PullResult {
    bool ok = false;
    std::string error;        // why not, naming the file
    std::string pixelFormat;  // "rgb24" or "gray"
    std::string subtype;      // what the renderer was connected with
    std::vector<std::string> md5s;
    std::vector<std::int64_t> startTimes;  // each frame's start, 100 ns, relative to the seek
    std::vector<TextSample> texts;
    std::vector<std::vector<std::uint8_t>> pixels;  // with keepPixels: top-down, packed
    std::int64_t frameCount = -1;  // the stream's length in frames, when it has a frame rate
};

PullResult PullFrames(const std::string& path, const PullOptions& options);

// Renderers that connect like the module's: video (RGB8, RGB24, RGB32, NV12 with mono), hashing
// what it gets, and text, keeping what it gets. With a reference added.
IUnknown* NewChecksumRenderer(bool mono, int frames);
IUnknown* NewTextCollector();

}  // namespace zyl::tools
