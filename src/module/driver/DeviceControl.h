// The device-control and digital-I/O rules both players share: operation bits, value sizes,
// limits and validation, and the mapping of ports and bits (the text form of the commands is
// each player's own). A player supplies the commands' values through DeviceCommands; these
// helpers hold no state and take no lock (the player's hooks take what they need).
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

// Bit n of the 32-bit ports: bit n mod 32 of port n / 32, read through the port getter.
template <class GetPort>
Result BitOfPort(std::uint32_t bit, std::uint32_t* value, GetPort&& getPort) {
    std::uint32_t port = 0;
    if (Result r = getPort(bit / 32, &port); r != kOk)
        return r;
    if (!value)
        return kBadArgument;
    *value = (port >> (bit % 32)) & 1u;
    return kOk;
}

}  // namespace ZYL
