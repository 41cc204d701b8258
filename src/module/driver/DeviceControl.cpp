#include "module/driver/DeviceControl.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace ZYL {
namespace {

bool Within(const CommandValue& v, const CommandValue& lower, const CommandValue& upper,
            bool isDouble) {
    return isDouble ? (v.real >= lower.real && v.real <= upper.real)
                    : (v.integer >= lower.integer && v.integer <= upper.integer);
}

}  // namespace

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

    if (reads) {
        if (outputSize == nullptr)
            return kBadArgument;
        // A null output asks only for the size of the value.
        if (output == nullptr) {
            *outputSize = valueSize;
            return kOk;
        }
        if (*outputSize != valueSize)
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
    // Set and validate take their value from the input; they have no output value, so a null
    // output only reports size 0 and the operation still runs.
    if (output == nullptr && outputSize != nullptr)
        *outputSize = 0;
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

Result RunDeviceCtrlString(DeviceCommands& commands, std::uint32_t command, const char* input,
                           std::uint64_t inputSize, char* output, std::uint64_t* outputLength) {
    const std::uint32_t operation = command & kOperationMask;
    const std::uint32_t number = command & kCommandMask;
    if (!commands.InRange(number))
        return kNotSupported;
    const bool isDouble = commands.IsDouble(number);
    const bool takesInput = operation == kOpSet || operation == kOpValidate;
    const bool needsText = number == kCmdFrameIndex || number == kCmdPositionMs ||
                           number == kCmdStepFrames || number == kCmdSeekRelativeMs;
    if (takesInput && needsText && input == nullptr)
        return kBadArgument;

    // Both C parsers run; the command's type decides which result is used.
    std::string text =
        input ? std::string(input, strnlen(input, static_cast<std::size_t>(inputSize))) : "0";
    CommandValue value;
    value.integer = static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 10));
    value.real = std::strtod(text.c_str(), nullptr);

    std::uint64_t size = isDouble ? sizeof(double) : sizeof(std::int32_t);
    CommandValue result;
    void* out = isDouble ? static_cast<void*>(&result.real) : static_cast<void*>(&result.integer);
    const void* in =
        isDouble ? static_cast<const void*>(&value.real) : static_cast<const void*>(&value.integer);
    const Result r = RunDeviceCtrlCmd(commands, command, in, size, out, &size);
    if (r != kOk)
        return r;
    if (outputLength == nullptr)
        return kOk;

    std::string formatted;
    if (!takesInput) {
        std::ostringstream stream;
        if (isDouble) {
            stream << result.real;
        } else {
            stream << result.integer;
        }
        formatted = stream.str();
    }
    if (output == nullptr) {
        *outputLength = takesInput ? 1 : formatted.size() + 1;
        return kOk;
    }
    if (*outputLength > 0) {
        const std::size_t room = static_cast<std::size_t>(*outputLength - 1);
        const std::size_t n = formatted.size() < room ? formatted.size() : room;
        std::memcpy(output, formatted.data(), n);
        output[n] = '\0';
    }
    *outputLength = formatted.size();
    return kOk;
}

}  // namespace ZYL
