#include "common/pattern.h"

#include <utility>

namespace zyl::tools {

void RenderPattern(std::uint32_t width, std::uint32_t height, int planes, std::uint32_t frame,
                   std::vector<std::uint8_t>& out) {
    out.resize(static_cast<std::size_t>(width) * height * static_cast<std::size_t>(planes));
    const std::uint32_t side = std::max<std::uint32_t>(height / 4, 1);
    const std::uint32_t boxX = (frame * 4) % std::max<std::uint32_t>(width, 1);
    const std::uint32_t boxY = (height - side) / 2;
    std::uint8_t* p = out.data();
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const bool box = x >= boxX && x < boxX + side && y >= boxY && y < boxY + side;
            const auto r = static_cast<std::uint8_t>(box ? 255 : (x + 3 * frame) & 0xFF);
            const auto g = static_cast<std::uint8_t>(box ? 255 : (y + 2 * frame) & 0xFF);
            const auto b = static_cast<std::uint8_t>(box ? 255 : ((x ^ y) + frame) & 0xFF);
            if (planes == 1) {
                *p++ = static_cast<std::uint8_t>((r * 77 + g * 150 + b * 29) >> 8);
                continue;
            }
            *p++ = r;
            *p++ = g;
            *p++ = b;
            if (planes == 4)
                *p++ = static_cast<std::uint8_t>(255 - (frame & 0x7F));
        }
    }
}

void SwapRedBlue(std::vector<std::uint8_t>& frame) {
    for (std::size_t i = 0; i + 2 < frame.size(); i += 3)
        std::swap(frame[i], frame[i + 2]);
}

}  // namespace zyl::tools
