#include "module/config/Configuration.h"

#include <algorithm>
#include <optional>

#include "platform/registry.h"

namespace ZYL {
namespace {

Configuration ReadFromKey(const std::optional<zyl::platform::RegistryKey>& key) {
    Configuration config;
    if (!key) {
        return config;
    }
    auto read = [&](const char* name) -> std::optional<std::uint32_t> {
        auto value = key->query(name);
        return value ? value->asDword() : std::nullopt;
    };
    if (auto v = read("DefaultVolume"))
        config.volume = ConvertVolume(*v);
    if (auto v = read("DefaultBalance"))
        config.balance = ConvertBalance(*v);
    if (auto v = read("LogTarget"))
        config.logTarget = ConvertLogTarget(*v);
    if (auto v = read("LogLevel"))
        config.logLevel = ConvertLogLevel(*v);
    if (auto v = read("NumBuffers"))
        config.numBuffers = ConvertNumBuffers(*v);
    if (auto v = read("ForceNV12ToMono8"))
        config.forceNV12ToMono8 = ConvertForceNV12ToMono8(*v);
    if (auto v = read("ReplayMode"))
        config.replayMode = ConvertReplayMode(*v);
    if (auto v = read("StepCacheMB"))
        config.stepCacheMB = ConvertStepCacheMB(*v);
    return config;
}

}  // namespace

// The subtraction happens on the signed 32-bit value, before clamping, and wraps like the
// original's 32-bit arithmetic.
std::int32_t ConvertVolume(std::uint32_t stored) {
    const auto value = static_cast<std::int32_t>(stored - 10000u);
    return std::clamp(value, -10000, 0);
}

std::int32_t ConvertBalance(std::uint32_t stored) {
    const auto value = static_cast<std::int32_t>(stored - 10000u);
    return std::clamp(value, -10000, 10000);
}

std::uint32_t ConvertLogTarget(std::uint32_t stored) {
    switch (stored) {
        case 1:
        case 2:
        case 4:
        case 8:
        case 32:
            return stored;
        default:
            return 0;
    }
}

std::uint32_t ConvertLogLevel(std::uint32_t stored) {
    switch (stored) {
        case 1:
        case 2:
        case 4:
        case 8:
        case 16:
        case 32:
            return stored;
        case 64:
            return 63;
        default:
            return 0;
    }
}

std::int32_t ConvertNumBuffers(std::uint32_t stored) {
    return std::clamp(static_cast<std::int32_t>(stored), 2, 256);
}

std::uint32_t ConvertForceNV12ToMono8(std::uint32_t stored) {
    return stored == 1 ? 1 : 0;
}

std::uint32_t ConvertReplayMode(std::uint32_t stored) {
    return stored == kReplayPaced || stored == kReplayFree ? stored : kReplayCamera;
}

// More than 16 GB is surely a slip of the keyboard: held to that.
std::uint32_t ConvertStepCacheMB(std::uint32_t stored) {
    return std::min<std::uint32_t>(stored, 16384);
}

Configuration ReadConfiguration() {
    return ReadFromKey(zyl::platform::RegistryKey::open(kConfigurationKey));
}

Configuration ReadConfigurationFrom(const std::string& registryFile) {
    return ReadFromKey(zyl::platform::RegistryKey::openIn(registryFile, kConfigurationKey));
}

Configuration ReadConfigurationFrom(const zyl::platform::RegistryDocument& registry) {
    return ReadFromKey(zyl::platform::RegistryKey::openIn(registry, kConfigurationKey));
}

}  // namespace ZYL
