#include "module/player/AccessTables.h"

#include <algorithm>
#include <utility>

#include "module/player/MediaFormat.h"

namespace ZYL::player {

void AccessTables::Build(std::int32_t bytesPerPixel, std::int32_t paddedWidth, std::int32_t height,
                         std::int32_t planes, bool bottomUp) {
    m_tables.clear();
    m_stride = LineStride(bytesPerPixel, paddedWidth);
    const std::int32_t w = std::max(paddedWidth, 0);
    const std::int32_t h = std::max(height, 0);
    const auto entries = static_cast<std::size_t>(std::max(w, h)) + 8;
    for (std::int32_t k = 0; k < planes; ++k) {
        std::vector<VPAEntry> table(entries, VPAEntry{0, 0});
        VPAEntry* t = table.data() + 4;
        for (std::int32_t c = 0; c < w; ++c)
            t[c].x = (planes - 1 - k) + std::int64_t{c} * bytesPerPixel;
        for (std::int32_t r = 0; r < h; ++r)
            t[r].y = r * m_stride;
        for (std::int32_t g = 1; g <= 4; ++g)
            t[-g] = t[0];
        if (w > 0) {
            for (std::int32_t g = 0; g < 4; ++g)
                t[w + g].x = t[w - 1].x;
        }
        if (h > 0) {
            for (std::int32_t g = 0; g < 4; ++g)
                t[h + g].y = t[h - 1].y;
        }
        // Bottom-up frames: line 0 of the image is the last line in memory. The guards keep the
        // unreversed values.
        if (bottomUp) {
            for (std::int32_t r = 0; r < h / 2; ++r)
                std::swap(t[r].y, t[h - 1 - r].y);
        }
        m_tables.push_back(std::move(table));
    }
}

VPAEntry* AccessTables::Plane(std::int32_t plane) {
    if (plane < 0 || static_cast<std::size_t>(plane) >= m_tables.size())
        return nullptr;
    return m_tables[static_cast<std::size_t>(plane)].data() + 4;
}

}  // namespace ZYL::player
