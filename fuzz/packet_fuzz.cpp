// libFuzzer target: the log service's datagram handling (commands and log messages) must
// answer or drop any input, never crash, and keep its memory bounded.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zyl::logsvc::Service human(zyl::logsvc::DefaultServiceConfig(), false);
    static zyl::logsvc::Service json(zyl::logsvc::DefaultServiceConfig(), true);
    const std::vector<std::uint8_t> datagram(data, data + size);
    human.HandleCommand(datagram.data(), datagram.size());
    human.HandleMessage(datagram.data(), datagram.size());
    json.HandleMessage(datagram.data(), datagram.size());
    if (human.descriptions().size() > zyl::logsvc::Service::kMaxDescriptions)
        __builtin_trap();
    return 0;
}
