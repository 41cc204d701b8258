// A push source for the graph's tests and the test filter module: the frame source emitting
// numbered RGB32 frames (8x8) straight to a renderer at 40 ms intervals of stream time, then the
// end of the stream. It seeks in frame or media-time units and opens "files" through
// IFileSourceFilter, so RenderFile can build it.
#pragma once

#include "directshow/frame_source.h"

namespace zyl::test {

inline constexpr CLSID CLSID_PushSource{
    0x5E1B0E9C, 0x2F3D, 0x4C5B, {0x9A, 0x8E, 0x7D, 0x6C, 0x5B, 0x4A, 0x3F, 0x99}};

class PushSource final : public FrameSource {
public:
    explicit PushSource(int frames = 10)
        : FrameSource(frames, 40 * MILLISECONDS, 1, MEDIASUBTYPE_RGB32, CLSID_PushSource) {}
    explicit PushSource(IUnknown*) : PushSource() {}  // as a class factory makes it
};

}  // namespace zyl::test
