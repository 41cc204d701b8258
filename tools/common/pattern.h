// The built-in moving test pattern: colour gradients that drift with the frame number and a
// bright square that crosses the picture. Pure functions.
#pragma once

#include <cstdint>
#include <vector>

namespace zyl::tools {

// One frame, planes interleaved per pixel in red, green, blue (, alpha) order, top line first.
// For a BGR8 file, StorePattern swaps the bytes so a host sees the same picture.
void RenderPattern(std::uint32_t width, std::uint32_t height, int planes, std::uint32_t frame,
                   std::vector<std::uint8_t>& out);
// Reorders an RGB frame into BGR byte order in place.
void SwapRedBlue(std::vector<std::uint8_t>& frame);

}  // namespace zyl::tools
