// The module's machine-wide settings, read from the registry key
// "HKEY_LOCAL_MACHINE\Software\Zylon\Imagora\AVI" into a plain record.
//
// Built on the calling thread and owned by its builder; reading never fails and never logs: a
// missing key, a missing value or a value of another type or size keeps that field's default.
#pragma once

#include <cstdint>
#include <string>

namespace zyl::platform {
class RegistryDocument;
}

namespace ZYL {

inline constexpr const char* kConfigurationKey =
    "HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI";

struct Configuration {
    std::int32_t volume = 0;             // hundredths of a dB, -10000 (silent) .. 0 (full)
    std::int32_t balance = 0;            // -10000 (left) .. 10000 (right)
    std::uint32_t logTarget = 0;         // 0, 1, 2, 4, 8 or 32
    std::uint32_t logLevel = 0;          // 0, a single level bit, or 63
    std::int32_t numBuffers = 2;         // 2 .. 256
    std::uint32_t forceNV12ToMono8 = 0;  // 0 or 1
    // Their defaults leave what a host sees as it was without them.
    std::uint32_t replayMode = 0;  // kReplay*: how a player keeps up with a slow host
    // Decoded pictures a video decoder keeps from its seeks so that stepping back needs no
    // decoding, in MB (0 none). 256 MB hold about 80 1080p pictures: stepping back through a
    // 250-picture group decodes it about three times instead of at every step, well over 30
    // steps a second, and the memory is only taken once the host seeks.
    std::uint32_t stepCacheMB = 256;
};

// "ReplayMode": 0 a camera (frames the host is too slow for are skipped and counted), 1 every
// frame, never before its time (the stream waits for the host), 2 every frame, unclocked.
inline constexpr std::uint32_t kReplayCamera = 0;
inline constexpr std::uint32_t kReplayPaced = 1;
inline constexpr std::uint32_t kReplayFree = 2;

// The record from the registry file in force.
Configuration ReadConfiguration();
// The record from a given registry file or document (for tools and tests).
Configuration ReadConfigurationFrom(const std::string& registryFile);
Configuration ReadConfigurationFrom(const zyl::platform::RegistryDocument& registry);

// Conversions of the stored numbers, exposed for the tools that explain them.
std::int32_t ConvertVolume(std::uint32_t stored);
std::int32_t ConvertBalance(std::uint32_t stored);
std::uint32_t ConvertLogTarget(std::uint32_t stored);
std::uint32_t ConvertLogLevel(std::uint32_t stored);
std::int32_t ConvertNumBuffers(std::uint32_t stored);
std::uint32_t ConvertForceNV12ToMono8(std::uint32_t stored);
std::uint32_t ConvertReplayMode(std::uint32_t stored);
std::uint32_t ConvertStepCacheMB(std::uint32_t stored);

}  // namespace ZYL
