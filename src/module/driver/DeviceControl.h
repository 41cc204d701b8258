// The device-control and digital-I/O rules both players share: operation bits, value sizes,
// limits and validation, the text form of commands, and the mapping of ports and bits. A player
// supplies the commands' values through DeviceCommands; these helpers hold no state and take no
// lock (the player's hooks take what they need).
#pragma once

#include <cstdint>

#include "module/driver/ZylDriver.h"

namespace ZYL {

struct CommandValue {
    std::int32_t integer = 0;
    double real = 0.0;
};

class DeviceCommands {
public:
    virtual ~DeviceCommands() = default;
    virtual bool InRange(std::uint32_t number) const = 0;
    virtual bool IsDouble(std::uint32_t number) const = 0;
    // Get and set answer kFailed for a direction the command does not have.
    virtual Result Get(std::uint32_t number, CommandValue& value) = 0;
    virtual Result Set(std::uint32_t number, const CommandValue& value) = 0;
    // Commands without limits answer -1 for both.
    virtual void Limits(std::uint32_t number, CommandValue& lower, CommandValue& upper) = 0;
};

Result RunDeviceCtrlCmd(DeviceCommands& commands, std::uint32_t command, const void* input,
                        std::uint64_t inputSize, void* output, std::uint64_t* outputSize);

Result RunDeviceCtrlString(DeviceCommands& commands, std::uint32_t command, const char* input,
                           std::uint64_t inputSize, char* output, std::uint64_t* outputLength);

}  // namespace ZYL
