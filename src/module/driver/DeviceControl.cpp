#include "module/driver/DeviceControl.h"

#include <cstring>

namespace ZYL {
namespace {

bool Within(const CommandValue& v, const CommandValue& lower, const CommandValue& upper,
            bool isDouble) {
    return isDouble ? (v.real >= lower.real && v.real <= upper.real)
                    : (v.integer >= lower.integer && v.integer <= upper.integer);
}

}  // namespace

// One answer for both players where the descriptions of the call differ: operation bits that
// name no operation are "not supported" (0x80000013) whatever else the call carries, before
// any size check; with a null output the call only reports the value size (0 for set and
// validate) and does nothing else.
Result RunDeviceCtrlCmd(DeviceCommands& commands, std::uint32_t command, const void* input,
                        std::uint64_t inputSize, void* output, std::uint64_t* outputSize) {
    const std::uint32_t operation = command & kOperationMask;
    const std::uint32_t number = command & kCommandMask;
    if (operation > kOpValidate || !commands.InRange(number))
        return kNotSupported;
    const bool isDouble = commands.IsDouble(number);
    const std::uint64_t valueSize = isDouble ? sizeof(double) : sizeof(std::int32_t);
    const bool reads =
        operation == kOpGet || operation == kOpLowerLimit || operation == kOpUpperLimit;
    if (output == nullptr) {
        if (outputSize != nullptr)
            *outputSize = reads ? valueSize : 0;
        return kOk;
    }

    if (reads) {
        if (outputSize == nullptr || *outputSize != valueSize)
            return kFailed;
        CommandValue value;
        if (operation == kOpGet) {
            if (Result r = commands.Get(number, value); r != kOk)
                return r;
        } else {
            CommandValue lower, upper;
            commands.Limits(number, lower, upper);
            value = operation == kOpLowerLimit ? lower : upper;
        }
        if (isDouble) {
            std::memcpy(output, &value.real, sizeof value.real);
        } else {
            std::memcpy(output, &value.integer, sizeof value.integer);
        }
        return kOk;
    }
    if (input == nullptr || inputSize != valueSize)
        return kFailed;
    CommandValue value;
    if (isDouble) {
        std::memcpy(&value.real, input, sizeof value.real);
    } else {
        std::memcpy(&value.integer, input, sizeof value.integer);
    }
    if (operation == kOpValidate) {
        CommandValue lower, upper;
        commands.Limits(number, lower, upper);
        return Within(value, lower, upper, isDouble) ? kOk : kBadArgument;
    }
    return commands.Set(number, value);
}

}  // namespace ZYL
