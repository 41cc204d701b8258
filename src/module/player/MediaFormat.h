// What the player learns about its frames from the video renderer's connection: the media type,
// bytes per pixel, planes, size, padded width and time per frame. Plain data and pure
// functions; built once on the constructing thread, read-only afterwards.
#pragma once

#include <cstdint>

#include "directshow/dshow_types.h"

namespace ZYL::player {

struct MediaFormat {
    AM_MEDIA_TYPE connectionType{};  // owned copy; its format block freed by the player
    std::int32_t bytesPerPixel = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t tableHeight = 0;
    std::int32_t planes = 0;
    std::int32_t paddedWidth = 0;
    std::int64_t timePerFrame = 0;
    GUID nativeTimeFormat{};
};

// Bytes per pixel and planes of the four subtypes the video renderer takes; 0 and 0 otherwise.
void PixelLayout(const GUID& subtype, std::int32_t& bytesPerPixel, std::int32_t& planes);

// Width, height and time per frame from the format block; false for a format type that is not
// a video one or a block too short to hold them.
bool ReadFormatBlock(const AM_MEDIA_TYPE& type, std::int32_t& width, std::int32_t& height,
                     std::int64_t& timePerFrame);

// The width in whole pixels of a line padded to 4 bytes.
std::int32_t PaddedWidth(std::int32_t bytesPerPixel, std::int32_t width);

// Bytes of one line padded to 4 bytes: the line length of the frames the renderer receives.
std::int64_t LineStride(std::int32_t bytesPerPixel, std::int32_t paddedWidth);

}  // namespace ZYL::player
