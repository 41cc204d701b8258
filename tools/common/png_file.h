// PNG files of frames: 8-bit grey, RGB or RGBA (1, 3 or 4 planes interleaved, top line first).
#pragma once

#include <cstdint>
#include <string>

namespace zyl::tools {

bool WritePng(const std::string& path, const std::uint8_t* pixels, std::uint32_t width,
              std::uint32_t height, int planes, std::string& error);

}  // namespace zyl::tools
