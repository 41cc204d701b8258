// Subtitle and text-track packets as the 8-bit, NUL-terminated text a text sample carries:
// AVI text chunks and SubRip as they are, MP4 timed text without its length prefix and style
// boxes, ASS/SSA events without their leading fields and override tags.
//
// A pure function: any thread, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace dshow::media {

// Writes the text of one packet to out, always NUL-terminated and cut to capacity - 1 bytes;
// returns the bytes written with the NUL (0 only when capacity is 0).
std::size_t TextFromPacket(AVCodecID codec, const std::uint8_t* data, std::size_t size, char* out,
                           std::size_t capacity);

}  // namespace dshow::media
