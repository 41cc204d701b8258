// Configuring logging from a log service: find the service through the shared-memory
// connection record, ask it over UDP how this module should log, and install one target, the
// root logger's name and its level mask accordingly.
//
// Runs on the caller's thread, once per process (the caller guards that). Takes the logger
// tree's and the target registry's locks through their public operations. Never throws: every
// failure is reported on the debug output.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "module/logging/logsvc_client.h"

namespace qnLogging {

inline constexpr std::uint32_t kConnectionMagic = 0xABABBABA;
inline constexpr std::size_t kConnectionRecordSize = 24;
inline constexpr const char* kConnectionSection = "qnLogSvcConnectionInfo";

// The 24-byte record a log service publishes.
struct ConnectionInfo {
    std::uint32_t magic = kConnectionMagic;
    std::uint32_t version = 1;
    std::uint32_t size = kConnectionRecordSize;
    Endpoint command;
    Endpoint messages;
};

std::array<std::uint8_t, kConnectionRecordSize> EncodeConnectionInfo(const ConnectionInfo& info);
ConnectionInfo DecodeConnectionInfo(const std::uint8_t* record);

// The section names in the order they are tried.
std::array<std::string, 2> ConnectionSectionNames();
// Replaces the base name ("qnLogSvcConnectionInfo") for tests and private services; empty
// restores it.
void SetConnectionSectionBaseName(const std::string& base);

// Reads and checks the record (throws LogSvcError).
ConnectionInfo ReadConnectionInfo();

enum class Destination { none = 0, file, cout, cerr, trace, console, evtlog, logsvc };

Destination ParseDestination(const std::string& value);
std::uint32_t ParseLevel(const std::string& value);
bool ParseBoolean(const std::string& value);
Endpoint ParseSocketAddress(const std::string& value);

// The process name: the executable's file name without its extension.
std::string ProcessName();

bool configure_logging(const std::string& module, const std::string& description,
                       const boost::property_tree::ptree& attributes);

}  // namespace qnLogging
