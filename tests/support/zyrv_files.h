// Test videos: .zyrv files with the built-in pattern, and raw headers for broken ones.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "common/pattern.h"
#include "common/zyrv_file.h"

namespace zyl::test {

struct ZyrvSpec {
    std::uint32_t width = 32;
    std::uint32_t height = 24;
    std::string format = "RGB8";
    int frames = 5;
    double fps = 0.0;
    std::uint32_t dataOffset = 40;
};

// The pixels a host should see for frame k of a pattern file (planes interleaved, RGB order).
inline std::vector<std::uint8_t> ExpectedPixels(const ZyrvSpec& spec, int frame) {
    std::uint32_t code;
    int planes;
    tools::PixelFormatByName(spec.format, code, planes);
    std::vector<std::uint8_t> pixels;
    tools::RenderPattern(spec.width, spec.height, planes, static_cast<std::uint32_t>(frame),
                         pixels);
    return pixels;
}

inline std::string WriteZyrv(const std::string& path, const ZyrvSpec& spec) {
    std::uint32_t code;
    int planes;
    tools::PixelFormatByName(spec.format, code, planes);
    tools::ZyrvHeader header;
    header.width = spec.width;
    header.height = spec.height;
    header.lineIncrement = std::uint64_t{spec.width} * static_cast<std::uint64_t>(planes);
    header.pixelFormat = code;
    header.frameRate = spec.fps;
    header.dataOffset = spec.dataOffset;
    tools::ZyrvWriter writer;
    std::string error;
    writer.Open(path, header, error);
    for (int k = 0; k < spec.frames; ++k) {
        std::vector<std::uint8_t> frame = ExpectedPixels(spec, k);
        if (spec.format == "BGR8")
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
