// The GenICam description of a served file and the register map behind it. The registers live
// in the simulated camera's memory; the description is built once per camera, before it
// serves, and is then read-only. No threads, no locks.
#pragma once

#include <cstdint>
#include <string>

namespace zyl::gige {

// Pixel formats in GigE Vision's numbering.
inline constexpr std::uint32_t kMono8 = 0x01080001;
inline constexpr std::uint32_t kRgb8 = 0x02180014;
inline constexpr std::uint32_t kBgr8 = 0x02180015;

const char* PixelFormatName(std::uint32_t format);
int BytesPerPixel(std::uint32_t format);

// Registers of our own, after the simulated camera's and below its description (all 32-bit
// big-endian unless said otherwise).
namespace reg {
inline constexpr std::uint32_t kFrameIndex = 0x8000;   // the frame last served (read-only)
inline constexpr std::uint32_t kFrameCount = 0x8004;   // the file's frames (read-only)
inline constexpr std::uint32_t kSeekFrame = 0x8008;    // request: go to frame N
inline constexpr std::uint32_t kStepFrames = 0x800C;   // request: move N frames (signed)
inline constexpr std::uint32_t kRewind = 0x8010;       // request: back to the first frame
inline constexpr std::uint32_t kLostFrames = 0x8014;   // frames the module skipped (read-only)
inline constexpr std::uint32_t kPayloadSize = 0x8018;  // bytes per image (read-only)
inline constexpr std::uint32_t kFrameRate = 0x8020;    // 64-bit float, frames per second
inline constexpr std::uint32_t kNoSeek = 0xFFFFFFFF;   // kSeekFrame when nothing is asked
// GigE Vision's bootstrap text fields (fixed by the standard).
inline constexpr std::uint32_t kVendorName = 0x48;         // 32 bytes
inline constexpr std::uint32_t kModelName = 0x68;          // 32 bytes
inline constexpr std::uint32_t kDeviceVersion = 0x88;      // 32 bytes
inline constexpr std::uint32_t kSerialNumber = 0xD8;       // 16 bytes
inline constexpr std::uint32_t kStreamPacketSize = 0xD04;  // stream channel 0
inline constexpr std::uint32_t kUserName = 0xE8;           // 16 bytes
}  // namespace reg

struct Description {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pixelFormat = kMono8;
    double frameRate = 25.0;  // the file's, frames per second
    std::uint32_t frameCount = 0;
    bool rateWritable = true;  // false when the player keeps the file's rate
};

// The description's XML text, as GenApi schema 1.1.
std::string GenicamXml(const Description& description);

}  // namespace zyl::gige
