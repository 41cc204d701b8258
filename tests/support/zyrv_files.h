// Test videos: .zyrv files with the built-in pattern, and raw headers for broken ones.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "common/pattern.h"
#include "common/zyrv_file.h"

namespace zyl::test {

struct ZyrvClip {
    std::uint32_t width = 32;
    std::uint32_t height = 24;
    std::string format = "RGB8";
    int frames = 5;
    double fps = 0.0;
    std::uint32_t dataOffset = 40;
};

// The pixels a host should see for frame k of a pattern file (planes interleaved, RGB order).
inline std::vector<std::uint8_t> ExpectedPixels(const ZyrvClip& clip, int frame) {
    std::uint32_t code;
    int planes;
    tools::PixelFormatByName(clip.format, code, planes);
    std::vector<std::uint8_t> pixels;
    tools::RenderPattern(clip.width, clip.height, planes, static_cast<std::uint32_t>(frame),
                         pixels);
    return pixels;
}

inline std::string WriteZyrv(const std::string& path, const ZyrvClip& clip) {
    std::uint32_t code;
    int planes;
    tools::PixelFormatByName(clip.format, code, planes);
    tools::ZyrvHeader header;
    header.width = clip.width;
    header.height = clip.height;
    header.lineIncrement = std::uint64_t{clip.width} * static_cast<std::uint64_t>(planes);
    header.pixelFormat = code;
    header.frameRate = clip.fps;
    header.dataOffset = clip.dataOffset;
    tools::ZyrvWriter writer;
    std::string error;
    writer.Open(path, header, error);
    for (int k = 0; k < clip.frames; ++k) {
        std::vector<std::uint8_t> frame = ExpectedPixels(clip, k);
        if (clip.format == "BGR8")
            tools::SwapRedBlue(frame);
        writer.Write(frame.data(), frame.size(), error);
    }
    writer.Close(error);
    return path;
}

inline std::string WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace zyl::test
