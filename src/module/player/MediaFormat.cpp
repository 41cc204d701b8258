#include "module/player/MediaFormat.h"

#include <cstring>

namespace ZYL::player {

void PixelLayout(const GUID& subtype, std::int32_t& bytesPerPixel, std::int32_t& planes) {
    bytesPerPixel = 0;
    planes = 0;
    if (subtype == MEDIASUBTYPE_RGB8 || subtype == MEDIASUBTYPE_NV12) {
        bytesPerPixel = 1;
        planes = 1;
    } else if (subtype == MEDIASUBTYPE_RGB24) {
        bytesPerPixel = 3;
        planes = 3;
    } else if (subtype == MEDIASUBTYPE_RGB32) {
        bytesPerPixel = 4;
        planes = 3;
    }
}

bool ReadFormatBlock(const AM_MEDIA_TYPE& type, std::int32_t& width, std::int32_t& height,
                     std::int64_t& timePerFrame) {
    std::size_t widthAt = 0;
    if (type.formattype == FORMAT_VideoInfo || type.formattype == FORMAT_MPEGVideo) {
        widthAt = 52;
    } else if (type.formattype == FORMAT_VideoInfo2 || type.formattype == FORMAT_MPEG2Video) {
        widthAt = 76;
    } else {
        return false;
    }
    // A block too short for the fields is treated like an unknown format rather than read past.
    if (!type.pbFormat || type.cbFormat < widthAt + 8)
        return false;
    std::memcpy(&timePerFrame, type.pbFormat + 40, sizeof timePerFrame);
    std::memcpy(&width, type.pbFormat + widthAt, sizeof width);
    std::memcpy(&height, type.pbFormat + widthAt + 4, sizeof height);
    return true;
}

std::int32_t PaddedWidth(std::int32_t bytesPerPixel, std::int32_t width) {
    if (bytesPerPixel <= 0)
        return width;
    const std::int32_t line = bytesPerPixel * width;
    if (line % 4 == 0)
        return width;
    return (line / 4 * 4 + 4) / bytesPerPixel;
}

std::int64_t LineStride(std::int32_t bytesPerPixel, std::int32_t paddedWidth) {
    const std::int64_t line = std::int64_t{bytesPerPixel} * paddedWidth;
    return line + (4 - line % 4) % 4;
}

}  // namespace ZYL::player
