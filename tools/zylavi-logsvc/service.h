// The log service's protocol side: answers command datagrams from the per-module settings,
// records module descriptions, and turns log message datagrams into readable lines.
//
// Owns the settings, the descriptions (bounded in number and size) and the counters. Called by
// the service's single network thread only; no locks. Every datagram is validated before it is
// used; a malformed one is counted and dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

namespace zyl::logsvc {

struct ModuleSettings {
    // The configuration set sent to a module, as key/value strings.
    std::map<std::string, std::string> values;
};

struct ServiceConfig {
    ModuleSettings fallback;  // for modules without an entry of their own
    std::map<std::string, ModuleSettings> modules;
};

// Reads a settings file ({"default": {...}, "modules": {"Name": {...}}}); throws
// std::runtime_error naming the file and the cause.
ServiceConfig LoadServiceConfig(const std::string& path);
// destination "logsvc", level "all".
ServiceConfig DefaultServiceConfig();

struct Counters {
    std::uint64_t messages = 0;
    std::uint64_t commands = 0;
    std::uint64_t malformed = 0;
};

class Service {
public:
    static constexpr std::size_t kMaxDescriptions = 1024;

    explicit Service(ServiceConfig config, bool json);

    // The acknowledge to send back, or nothing for a datagram that is dropped. An acknowledge
    // never exceeds one datagram: an answer that would is replaced by a negative one.
    std::optional<std::vector<std::uint8_t>> HandleCommand(const std::uint8_t* data,
                                                           std::size_t size);
    // The line to print for a log message datagram, or nothing for a malformed one.
    std::optional<std::string> HandleMessage(const std::uint8_t* data, std::size_t size,
                                             std::string* why = nullptr);

    const Counters& counters() const { return counters_; }
    const std::map<std::string, std::string>& descriptions() const { return descriptions_; }

private:
    std::vector<std::uint8_t> Acknowledge(std::uint16_t command, std::uint16_t requestId,
                                          std::uint16_t status, const std::string& payload) const;

    ServiceConfig config_;
    bool json_;
    Counters counters_;
    std::map<std::string, std::string> descriptions_;
};

}  // namespace zyl::logsvc
