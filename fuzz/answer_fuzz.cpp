// libFuzzer target: the log service's answers, as its clients read them. Whatever settings a
// module has and whatever datagram arrives, an acknowledge fits one datagram and the client
// either accepts it or reads it as a negative acknowledge, and an accepted configuration set
// parses; every line printed with --json is valid UTF-8 and valid JSON.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <boost/property_tree/json_parser.hpp>

#include "module/logging/logsvc_error.h"
#include "module/logging/logsvc_protocol.h"
#include "platform/text.h"
#include "service.h"

namespace {

namespace proto = qnLogging::logsvc;

bool ParsesAsJson(const std::string& text) {
    try {
        std::istringstream in(text);
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(in, tree);
        return true;
    } catch (const boost::property_tree::json_parser_error&) {
        return false;
    }
}

// Text as a settings file can hold it: its reader accepts only valid UTF-8.
std::string SettingsText(FuzzedDataProvider& input, std::size_t maxLength) {
    std::string text = input.ConsumeRandomLengthString(maxLength);
    return zyl::platform::utf8ToWide(text) ? text : std::string();
}

// Settings straight from the input, past the other checks a settings file gets, then a request.
void CheckAcknowledge(FuzzedDataProvider& input) {
    zyl::logsvc::ServiceConfig config = zyl::logsvc::DefaultServiceConfig();
    const std::string module = SettingsText(input, 32);
    auto& values = config.modules[module].values;
    for (int n = input.ConsumeIntegralInRange(0, 8); n > 0; --n) {
        const std::string key = SettingsText(input, 32);
        values[key] = SettingsText(input, 2000);
    }
    zyl::logsvc::Service service(std::move(config), false);

    const std::uint16_t command =
        input.ConsumeBool() ? proto::kGetConfiguration : input.ConsumeIntegral<std::uint16_t>();
    const std::uint16_t id = input.ConsumeIntegral<std::uint16_t>();
    const std::string payload = input.ConsumeBool()
                                    ? "{\"module\":\"" + module + "\"}"
                                    : input.ConsumeRandomLengthString(proto::kMaxData);
    std::vector<std::uint8_t> request(proto::kHeaderSize + payload.size());
    proto::EncodeHeader(
        {proto::kCommandMagic, 0, command, 0, id, static_cast<std::uint16_t>(payload.size())},
        request.data());
    std::memcpy(request.data() + proto::kHeaderSize, payload.data(), payload.size());

    const auto answer = service.HandleCommand(request.data(), request.size());
    if (!answer)
        return;
    if (answer->size() > proto::kMaxDatagram)
        __builtin_trap();
    // An exact-size copy, so reads past the acknowledge are caught.
    const std::vector<std::uint8_t> datagram(*answer);
    try {
        proto::ValidateAcknowledge(datagram.data(), datagram.size(), command, id);
    } catch (const qnLogging::LogSvcError& e) {
        if (std::strcmp(e.what(),
                        "The command was not successful (negative acknowledge received)") != 0)
            __builtin_trap();
        return;
    }
    if (command == proto::kGetConfiguration &&
        !ParsesAsJson(std::string(datagram.begin() + proto::kHeaderSize, datagram.end())))
        __builtin_trap();
}

void CheckJsonLine(FuzzedDataProvider& input) {
    static zyl::logsvc::Service json(zyl::logsvc::DefaultServiceConfig(), true);
    const std::vector<std::uint8_t> datagram = input.ConsumeRemainingBytes<std::uint8_t>();
    const auto line = json.HandleMessage(datagram.data(), datagram.size());
    if (line && (!zyl::platform::utf8ToWide(*line) || !ParsesAsJson(*line)))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool())
        CheckAcknowledge(input);
    else
        CheckJsonLine(input);
    return 0;
}
