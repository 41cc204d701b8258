// libFuzzer target: acknowledge validation must accept or refuse any datagram with a LogSvcError,
// never crash or read past it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "module/logging/logsvc_error.h"
#include "module/logging/logsvc_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so reads past the datagram are caught.
    const std::vector<std::uint8_t> datagram(data, data + size);
    const std::uint16_t command = size > 0 ? data[0] : 1;
    const std::uint16_t id = size > 1 ? static_cast<std::uint16_t>(data[1] * 257) : 0;
    try {
        qnLogging::logsvc::ValidateAcknowledge(datagram.data(), datagram.size(), command, id);
    } catch (const qnLogging::LogSvcError&) {
    }
    return 0;
}
