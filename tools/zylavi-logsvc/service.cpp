#include "service.h"

#include <sstream>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/property_tree/json_parser.hpp>

#include "common/json_text.h"
#include "module/logging/levels.h"
#include "module/logging/log_config.h"
#include "module/logging/logsvc_protocol.h"
#include "platform/text.h"

namespace zyl::logsvc {
namespace {

namespace proto = qnLogging::logsvc;
using boost::property_tree::ptree;

constexpr std::uint16_t kStatusUnknownCommand = 1;
constexpr std::uint16_t kStatusBadRequest = 2;
constexpr std::uint16_t kStatusFull = 3;
constexpr std::uint16_t kStatusAnswerTooLong = 4;

// Names are taken as they are: a "." in a setting's name is no path.
std::string SettingsJson(const ModuleSettings& settings) {
    ptree tree;
    for (const auto& [key, value] : settings.values)
        tree.push_back({key, ptree(value)});
    std::ostringstream out;
    boost::property_tree::write_json(out, tree, false);
    return out.str();
}

ModuleSettings ReadSettings(const ptree& node, const std::string& where) {
    ModuleSettings settings;
    for (const auto& [key, child] : node) {
        if (!child.empty()) {
            throw std::runtime_error(where + ": \"" + key + "\" must be a string");
        }
        settings.values[key] = child.data();
    }
    try {
        const auto destination = settings.values.find("destination");
        const auto level = settings.values.find("level");
        if (destination == settings.values.end() || level == settings.values.end()) {
            throw std::runtime_error("needs \"destination\" and \"level\"");
        }
        const auto code = qnLogging::ParseDestination(destination->second);
        qnLogging::ParseLevel(level->second);
        if (code == qnLogging::Destination::file && !settings.values.count("file")) {
            throw std::runtime_error("destination \"file\" needs \"file\"");
        }
        if (auto it = settings.values.find("sockaddr");
            it != settings.values.end() && !it->second.empty()) {
            qnLogging::ParseSocketAddress(it->second);
        }
        if (auto it = settings.values.find("thread_id"); it != settings.values.end()) {
            qnLogging::ParseBoolean(it->second);
        }
        // Refused here rather than answered with a negative acknowledge at every request.
        const std::size_t answer = SettingsJson(settings).size();
        if (answer > proto::kMaxData) {
            throw std::runtime_error("the answer would take " + std::to_string(answer) +
                                     " bytes, more than the " + std::to_string(proto::kMaxData) +
                                     " one datagram carries");
        }
    } catch (const std::exception& e) {
        throw std::runtime_error(where + ": " + e.what());
    }
    return settings;
}

std::optional<ptree> ParseJsonObject(const std::uint8_t* data, std::size_t size) {
    try {
        std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
        ptree tree;
        boost::property_tree::read_json(in, tree);
        return tree;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> GetString(const std::optional<ptree>& tree, const char* key) {
    if (!tree)
        return std::nullopt;
    const auto child = tree->get_child_optional(key);
    if (!child || !child->empty())
        return std::nullopt;
    return child->data();
}

// Text as UTF-8 for display; the narrow form is already UTF-8 (code page 65001).
std::string MessageText(const proto::Field& field) {
    if (field.marker == 1) {
        auto units = platform::leBytesToUtf16(field.data);
        if (units) {
            std::string out;
            // A text cut in the middle of a surrogate pair keeps what converts.
            for (std::size_t n = units->size(); n > 0; --n) {
                if (auto text = platform::utf16ToUtf8(std::u16string_view(*units).substr(0, n)))
                    return *text;
            }
        }
        return {};
    }
    return std::string(field.data);
}

std::string Str(const proto::Container& c, std::uint8_t id) {
    const proto::Field* f = c.find(id);
    return f ? std::string(f->data) : std::string();
}

// A number of the text line, "-" when the message left it out.
std::string Num(const std::optional<std::uint64_t>& v) {
    return v ? std::to_string(*v) : "-";
}

// The same in a JSON line: null when left out.
std::string JsonNum(const std::optional<std::uint64_t>& v) {
    return v ? std::to_string(*v) : "null";
}

}  // namespace

ServiceConfig DefaultServiceConfig() {
    ServiceConfig config;
    config.fallback.values = {{"destination", "logsvc"}, {"level", "all"}};
    return config;
}

ServiceConfig LoadServiceConfig(const std::string& path) {
    ptree tree;
    try {
        boost::property_tree::read_json(path, tree);
    } catch (const boost::property_tree::json_parser_error& e) {
        throw std::runtime_error(path + ":" + std::to_string(e.line()) + ": " + e.message());
    }
    ServiceConfig config = DefaultServiceConfig();
    for (const auto& [key, child] : tree) {
        if (key == "default") {
            config.fallback = ReadSettings(child, path + ": default");
        } else if (key == "modules") {
            for (const auto& [name, entry] : child) {
                config.modules[name] = ReadSettings(entry, path + ": module \"" + name + "\"");
            }
        } else {
            throw std::runtime_error(path + ": unknown key \"" + key +
                                     "\" (expected \"default\" or \"modules\")");
        }
    }
    return config;
}

Service::Service(ServiceConfig config, bool json) : config_(std::move(config)), json_(json) {}

std::vector<std::uint8_t> Service::Acknowledge(std::uint16_t command, std::uint16_t requestId,
                                               std::uint16_t status,
                                               const std::string& payload) const {
    // The client refuses a datagram over the limit as malformed; a negative acknowledge at least
    // tells it that the service has no usable answer.
    if (payload.size() > proto::kMaxData)
        return Acknowledge(command, requestId, kStatusAnswerTooLong, "");
    std::vector<std::uint8_t> packet(proto::kHeaderSize + payload.size());
    proto::Header header;
    header.magic = proto::kCommandMagic;
    header.command = command | proto::kAckBit;
    header.status = status;
    header.requestId = requestId;
    header.dataLength = static_cast<std::uint16_t>(payload.size());
    proto::EncodeHeader(header, packet.data());
    std::copy(payload.begin(), payload.end(), packet.begin() + proto::kHeaderSize);
    return packet;
}

std::optional<std::vector<std::uint8_t>> Service::HandleCommand(const std::uint8_t* data,
                                                                std::size_t size) {
    if (size < proto::kHeaderSize || size > proto::kMaxDatagram) {
        ++counters_.malformed;
        return std::nullopt;
    }
    const proto::Header h = proto::DecodeHeader(data);
    if (h.magic != proto::kCommandMagic || h.flags != 0 || h.status != 0 ||
        (h.command & proto::kAckBit) != 0 || h.dataLength != size - proto::kHeaderSize) {
        ++counters_.malformed;
        return std::nullopt;
    }
    ++counters_.commands;
    const std::uint8_t* payload = data + proto::kHeaderSize;
    if (h.command == proto::kGetConfiguration) {
        const auto request = ParseJsonObject(payload, h.dataLength);
        const auto module = GetString(request, "module");
        if (!module) {
            ++counters_.malformed;
            return Acknowledge(h.command, h.requestId, kStatusBadRequest, "");
        }
        const auto it = config_.modules.find(*module);
        const ModuleSettings& settings =
            it != config_.modules.end() ? it->second : config_.fallback;
        return Acknowledge(h.command, h.requestId, 0, SettingsJson(settings));
    }
    if (h.command == proto::kSetDescription) {
        const auto request = ParseJsonObject(payload, h.dataLength);
        const auto module = GetString(request, "module");
        const auto description = GetString(request, "description");
        if (!module || !description) {
            ++counters_.malformed;
            return Acknowledge(h.command, h.requestId, kStatusBadRequest, "");
        }
        if (descriptions_.size() >= kMaxDescriptions && !descriptions_.count(*module)) {
            return Acknowledge(h.command, h.requestId, kStatusFull, "");
        }
        descriptions_[*module] = *description;
        return Acknowledge(h.command, h.requestId, 0, "");
    }
    return Acknowledge(h.command, h.requestId, kStatusUnknownCommand, "");
}

std::optional<std::string> Service::HandleMessage(const std::uint8_t* data, std::size_t size,
                                                  std::string* why) {
    auto drop = [&](const char* reason) -> std::optional<std::string> {
        ++counters_.malformed;
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (size < proto::kHeaderSize || size > proto::kMaxDatagram)
        return drop("datagram size out of range");
    const proto::Header h = proto::DecodeHeader(data);
    if (h.magic != proto::kMessageMagic || h.flags != 1 || h.status != 0)
        return drop("bad header");
    if (h.command != proto::kLogMessage && h.command != proto::kLogMessageWithAttachments) {
        return drop("unknown message command");
    }
    if (h.dataLength != size - proto::kHeaderSize)
        return drop("data length disagrees with the datagram");
    std::string reason;
    auto container = proto::ParseContainer(data + proto::kHeaderSize, h.dataLength, &reason);
    if (!container) {
        ++counters_.malformed;
        if (why)
            *why = reason;
        return std::nullopt;
    }
    const bool attachments = (container->flags & proto::kAttachmentsPresent) != 0;
    if (attachments != (h.command == proto::kLogMessageWithAttachments)) {
        return drop("attachment flag disagrees with the command");
    }
    ++counters_.messages;

    const auto stamp = container->number(proto::kFieldTime);
    std::string time;
    if (stamp) {
        time = boost::posix_time::to_iso_extended_string(proto::TimeFromMicroseconds(*stamp));
        if (auto t = time.find('T'); t != std::string::npos)
            time[t] = ' ';
    }
    const auto levelValue = container->number(proto::kFieldLevel);
    const std::string level(
        qnLogging::level_name(levelValue ? static_cast<std::uint32_t>(*levelValue) : 0));
    const proto::Field* textField = container->find(proto::kFieldText);
    const std::string text = textField ? MessageText(*textField) : std::string();
    const std::string logger = Str(*container, proto::kFieldLogger);
    const std::string group = Str(*container, proto::kFieldGroup);
    const std::string location = Str(*container, proto::kFieldLocation);
    const bool cut = (container->flags & proto::kTextCut) != 0;
    const bool leftOut = (container->flags & proto::kFieldLeftOut) != 0;

    std::ostringstream line;
    if (json_) {
        using tools::JsonQuote;
        line << "{\"time\":" << (stamp ? JsonQuote(time) : "null")
             << ",\"pid\":" << JsonNum(container->number(proto::kFieldProcessId))
             << ",\"tid\":" << JsonNum(container->number(proto::kFieldThreadId))
             << ",\"logger\":" << JsonQuote(logger) << ",\"level\":" << JsonQuote(level)
             << ",\"level_value\":" << JsonNum(levelValue) << ",\"group\":" << JsonQuote(group)
             << ",\"location\":" << JsonQuote(location) << ",\"text\":" << JsonQuote(text)
             << ",\"text_cut\":" << (cut ? "true" : "false")
             << ",\"fields_left_out\":" << (leftOut ? "true" : "false")
             << ",\"sequence\":" << container->sequence
             << ",\"code_page\":" << JsonNum(container->number(proto::kFieldCodePage)) << "}";
        return line.str();
    }
    std::string flat = text;
    for (char& c : flat) {
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    }
    line << (stamp ? time : "-") << " pid " << Num(container->number(proto::kFieldProcessId))
         << " tid " << Num(container->number(proto::kFieldThreadId)) << " "
         << (logger.empty() ? "-" : logger) << " [" << (group.empty() ? "" : group + "|") << level
         << "] " << flat;
    if (cut)
        line << " [text cut]";
    if (!location.empty())
        line << " @ " << location;
    return line.str();
}

}  // namespace zyl::logsvc
