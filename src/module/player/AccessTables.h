// The per-plane pixel access tables the host addresses the current ring buffer element with.
// Built once on the constructing thread; read without a lock afterwards (never changed).
//
// A frame's lines are stride bytes long (bytes per pixel × padded width, rounded up to 4 bytes:
// exactly the line length of the frames the video renderer copies), so the element holds
// stride × height bytes and every table entry stays inside it, also for widths whose line is
// not a multiple of 4 bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "module/driver/ZylDriver.h"

namespace ZYL::player {

class AccessTables {
public:
    // Throws std::bad_alloc when a table cannot be allocated.
    void Build(std::int32_t bytesPerPixel, std::int32_t paddedWidth, std::int32_t height,
               std::int32_t planes, bool bottomUp);

    // Entry 0 of the plane's table (four guard entries precede it); null for a plane not built.
    VPAEntry* Plane(std::int32_t plane);
    std::int64_t Stride() const { return m_stride; }

private:
    std::vector<std::vector<VPAEntry>> m_tables;
    std::int64_t m_stride = 0;
};

}  // namespace ZYL::player
