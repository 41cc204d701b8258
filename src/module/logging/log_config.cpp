#include "module/logging/log_config.h"

#include <arpa/inet.h>

#include <cctype>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/property_tree/json_parser.hpp>

#include "module/logging/console_target.h"
#include "module/logging/file_target.h"
#include "module/logging/formatters.h"
#include "module/logging/logsvc_error.h"
#include "module/logging/logsvc_target.h"
#include "module/logging/stdout_target.h"
#include "module/logging/target_registry.h"
#include "module/logging/trace_target.h"
#include "platform/debug_output.h"
#include "platform/process.h"

namespace qnLogging {
namespace {

namespace bip = boost::interprocess;
using boost::property_tree::ptree;

std::mutex g_sectionMutex;
std::string g_sectionBase = kConnectionSection;

void Put32(std::uint8_t* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::uint8_t* out, std::uint16_t v) {
    out[0] = static_cast<std::uint8_t>(v);
    out[1] = static_cast<std::uint8_t>(v >> 8);
}
std::uint32_t Get32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8) |
           (static_cast<std::uint32_t>(in[2]) << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}
std::uint16_t Get16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

std::string GetRequired(const ptree& tree, const char* key) {
    auto value = tree.get_optional<std::string>(key);
    if (!value) {
        throw LogSvcError("The configuration set does not contain the requested parameter");
    }
    return *value;
}

std::string GetOptional(const ptree& tree, const char* key, const std::string& fallback) {
    try {
        return tree.get<std::string>(key, fallback);
    } catch (const std::exception&) {
        throw LogSvcError("Unexpected failure when accessing the log config property tree");
    }
}

std::string Serialize(const ptree& tree) {
    try {
        std::ostringstream out;
        boost::property_tree::write_json(out, tree, true);
        return out.str();
    } catch (const std::exception&) {
        throw LogSvcError("Failed to serialize the attrtibute set");
    }
}

ptree Deserialize(const std::string& text) {
    try {
        std::istringstream in(text);
        ptree tree;
        boost::property_tree::read_json(in, tree);
        return tree;
    } catch (const std::exception&) {
        throw LogSvcError("Failed to deserialize the configuration set");
    }
}

// One call with its own line end: the debug output passes only whole lines on to syslog, and a
// report must not run into the next text on standard error.
void Report(const std::string& line) {
    zyl::platform::debugOutput(line + "\n");
}

struct Settings {
    Destination destination = Destination::none;
    std::uint32_t mask = 0;
    std::string file;
    std::optional<Endpoint> sockaddr;  // none: the message endpoint of the connection record
    bool threadId = true;
};

Settings RequestSettings(const std::string& module, const std::string& description,
                         const ptree& attributes) {
    const ConnectionInfo info = ReadConnectionInfo();
    ClientSocket client(info.command);

    ptree request = attributes;
    request.put("module", module);
    try {
        request.put("process", ProcessName());
    } catch (const LogSvcError&) {
        // Without a process name the service still knows the module.
    }
    const std::string text = Serialize(request);
    if (text.size() > logsvc::kMaxData) {
        throw LogSvcError("The log configuration attribute list is too long");
    }
    const ptree answer = Deserialize(client.Execute(logsvc::kGetConfiguration, text));

    Settings settings;
    settings.destination = ParseDestination(GetRequired(answer, "destination"));
    settings.mask = ParseLevel(GetRequired(answer, "level"));
    if (settings.destination == Destination::file) {
        settings.file = GetRequired(answer, "file");
    } else if (settings.destination == Destination::logsvc) {
        const std::string sockaddr = GetOptional(answer, "sockaddr", "");
        if (!sockaddr.empty())
            settings.sockaddr = ParseSocketAddress(sockaddr);
        settings.threadId = ParseBoolean(GetOptional(answer, "thread_id", "on"));
    }

    if (!description.empty()) {
        try {
            if (module.empty()) {
                throw LogSvcError("Trying to set description for a module with empty name");
            }
            ptree describe;
            describe.put("module", module);
            describe.put("description", description);
            const std::string describeText = Serialize(describe);
            if (describeText.size() > logsvc::kMaxData) {
                throw LogSvcError("The module name/description combination is too long");
            }
            client.Execute(logsvc::kSetDescription, describeText);
        } catch (const LogSvcError&) {
            // The description is a courtesy to the service; logging works without it.
        }
    }
    client.Close();
    return settings;
}

void Install(const std::string& module, const Settings& settings) {
    std::shared_ptr<basic_logtarget> target;
    switch (settings.destination) {
        case Destination::file:
            target =
                std::make_shared<file_target>(std::make_shared<file_target::file>(settings.file));
            break;
        case Destination::cout:
            target = std::make_shared<stdout_target>();
            break;
        case Destination::cerr:
            target = std::make_shared<stderr_target>();
            break;
        case Destination::trace:
            target = std::make_shared<basic_trace_target>();
            break;
        case Destination::console:
            target = std::make_shared<console_target>(std::make_shared<console_target::console>());
            break;
        case Destination::logsvc: {
            const Endpoint endpoint =
                settings.sockaddr ? *settings.sockaddr : ReadConnectionInfo().messages;
            register_logsvc_target(basic_logsvc_target(endpoint, settings.threadId));
            break;
        }
        case Destination::none:
        case Destination::evtlog:
            break;
    }
    if (target) {
        register_formatter(basic_dateformatter(std::move(target)));
    }
    set_root_name(module);
    set_level_mask(root_logger(), settings.mask);
}

}  // namespace

std::array<std::uint8_t, kConnectionRecordSize> EncodeConnectionInfo(const ConnectionInfo& info) {
    std::array<std::uint8_t, kConnectionRecordSize> record{};
    Put32(record.data(), info.magic);
    Put32(record.data() + 4, info.version);
    Put32(record.data() + 8, info.size);
    Put32(record.data() + 12, info.command.address);
    Put16(record.data() + 16, info.command.port);
    Put32(record.data() + 18, info.messages.address);
    Put16(record.data() + 22, info.messages.port);
    return record;
}

ConnectionInfo DecodeConnectionInfo(const std::uint8_t* record) {
    ConnectionInfo info;
    info.magic = Get32(record);
    info.version = Get32(record + 4);
    info.size = Get32(record + 8);
    info.command = {Get32(record + 12), Get16(record + 16)};
    info.messages = {Get32(record + 18), Get16(record + 22)};
    return info;
}

std::array<std::string, 2> ConnectionSectionNames() {
    std::lock_guard lock(g_sectionMutex);
    return {"Global\\" + g_sectionBase, g_sectionBase};
}

void SetConnectionSectionBaseName(const std::string& base) {
    std::lock_guard lock(g_sectionMutex);
    g_sectionBase = base.empty() ? kConnectionSection : base;
}

ConnectionInfo ReadConnectionInfo() {
    std::optional<bip::shared_memory_object> section;
    for (const std::string& name : ConnectionSectionNames()) {
        try {
            section.emplace(bip::open_only, name.c_str(), bip::read_only);
            break;
        } catch (const bip::interprocess_exception&) {
        }
    }
    if (!section) {
        throw LogSvcError(
            "Failed to connect to the shared memory with connection info: Shared memory error");
    }
    std::array<std::uint8_t, kConnectionRecordSize> record{};
    try {
        bip::mapped_region region(*section, bip::read_only);
        if (region.get_size() < kConnectionRecordSize) {
            throw LogSvcError("Failed to retrieve valid connection info");
        }
        std::memcpy(record.data(), region.get_address(), record.size());
    } catch (const bip::interprocess_exception& e) {
        throw LogSvcError(
            std::string("Failed to connect to the shared memory with connection info: ") +
            e.what());
    }
    const ConnectionInfo info = DecodeConnectionInfo(record.data());
    if (info.magic != kConnectionMagic || info.version < 1 || info.size < kConnectionRecordSize) {
        throw LogSvcError("Failed to retrieve valid connection info");
    }
    return info;
}

Destination ParseDestination(const std::string& value) {
    static const std::pair<const char*, Destination> kNames[] = {
        {"none", Destination::none},     {"file", Destination::file},
        {"cout", Destination::cout},     {"cerr", Destination::cerr},
        {"trace", Destination::trace},   {"console", Destination::console},
        {"evtlog", Destination::evtlog}, {"logsvc", Destination::logsvc},
    };
    for (const auto& [name, code] : kNames) {
        if (value == name)
            return code;
    }
    throw LogSvcError("Unknown log destination specified: " + value);
}

std::uint32_t ParseLevel(const std::string& value) {
    static const std::pair<const char*, std::uint32_t> kNames[] = {
        {"none", mask::none}, {"fatal", mask::fatal}, {"err", mask::err},
        {"error", mask::err}, {"warn", mask::warn},   {"warning", mask::warn},
        {"info", mask::info}, {"trace", mask::trace}, {"debug", mask::debug},
        {"all", mask::all},
    };
    for (const auto& [name, mask] : kNames) {
        if (value == name)
            return mask;
    }
    if (value.size() >= 3 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X') &&
        std::all_of(value.begin() + 2, value.end(),
                    [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
        // Leading zeros are allowed; the value must stay below 0xFFFFFFFF.
        const std::size_t first = value.find_first_not_of('0', 2);
        if (first == std::string::npos)
            return 0;
        if (value.size() - first <= 8) {
            const auto mask =
                static_cast<std::uint32_t>(std::stoul(value.substr(first), nullptr, 16));
            if (mask < 0xFFFFFFFFu)
                return mask;
        }
    }
    throw LogSvcError("Unknown log level specified: " + value);
}

bool ParseBoolean(const std::string& value) {
    if (value == "true" || value == "on" || value == "enabled" || value == "1")
        return true;
    if (value == "false" || value == "off" || value == "disabled" || value == "0")
        return false;
    throw LogSvcError("Unrecognized boolean value string specified: " + value);
}

Endpoint ParseSocketAddress(const std::string& value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos) {
        throw LogSvcError("Failed to parse socket address string");
    }
    const std::string host = value.substr(0, colon);
    const std::string port = value.substr(colon + 1);
    in_addr address{};
    const bool portOk =
        !port.empty() && port.size() <= 5 && port[0] >= '1' && port[0] <= '9' &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        std::stoul(port) < 65536;
    if (inet_pton(AF_INET, host.c_str(), &address) != 1 || !portOk) {
        throw LogSvcError("Failed to parse socket address string");
    }
    return Endpoint{ntohl(address.s_addr), static_cast<std::uint16_t>(std::stoul(port))};
}

std::string ProcessName() {
    const std::string exe = zyl::platform::executablePath();
    if (exe.empty()) {
        throw LogSvcError("Could not obtain the current executable path");
    }
    const std::string stem = std::filesystem::path(exe).stem().string();
    if (stem.empty()) {
        throw LogSvcError("Failed to extract process name from the executable path");
    }
    return stem;
}

bool configure_logging(const std::string& module, const std::string& description,
                       const boost::property_tree::ptree& attributes) {
    Settings settings;
    bool configured = true;
    try {
        settings = RequestSettings(module, description, attributes);
    } catch (const std::exception& e) {
        // Every client failure is a LogSvcError; anything else (memory) is reported the same way
        // so that configuring never throws.
        Report("Failed to retrieve/decode the log configuration for module " + module + ": " +
               e.what());
        settings = Settings{};
        configured = false;
    }
    try {
        Install(module, settings);
    } catch (const std::exception& e) {
        Report("Failed to configure the logging infrastructure for module " + module + ": " +
               e.what());
        return false;
    } catch (...) {
        Report("Failed to configure the logging infrastructure for module " + module +
               ": unknown error");
        return false;
    }
    return configured;
}

}  // namespace qnLogging
