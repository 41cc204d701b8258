// The log service wire format: the 12-byte datagram header, acknowledge validation, and the
// log message container with its fields. Pure functions over caller-owned buffers; no locks,
// no sockets, callable from any thread. The service side (tools/zylavi-logsvc) parses with the
// same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/logging/msgstate.h"

namespace qnLogging::logsvc {

inline constexpr std::uint16_t kCommandMagic = 0xACCA;
inline constexpr std::uint16_t kMessageMagic = 0xADDA;
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kMaxData = 1388;
inline constexpr std::size_t kMaxDatagram = kHeaderSize + kMaxData;
inline constexpr std::uint16_t kAckBit = 0x8000;

inline constexpr std::uint16_t kGetConfiguration = 0x0001;
inline constexpr std::uint16_t kSetDescription = 0x0041;
inline constexpr std::uint16_t kLogMessage = 0x0101;
inline constexpr std::uint16_t kLogMessageWithAttachments = 0x0102;

inline constexpr std::size_t kContainerHeaderSize = 28;
inline constexpr std::uint16_t kFieldLeftOut = 1;
inline constexpr std::uint16_t kTextCut = 2;
inline constexpr std::uint16_t kAttachmentsPresent = 4;

enum FieldId : std::uint8_t {
    kFieldText = 1,
    kFieldTime = 2,
    kFieldLogger = 3,
    kFieldLevel = 4,
    kFieldGroup = 5,
    kFieldLocation = 6,
    kFieldAttachments = 7,
    kFieldProcessId = 8,
    kFieldThreadId = 9,
    kFieldCodePage = 10,
};

struct Header {
    std::uint16_t magic = 0;
    std::uint16_t flags = 0;
    std::uint16_t command = 0;
    std::uint16_t status = 0;
    std::uint16_t requestId = 0;
    std::uint16_t dataLength = 0;
};

void EncodeHeader(const Header& header, std::uint8_t* out);
Header DecodeHeader(const std::uint8_t* in);

// The low 16 bits of the microseconds from 1970-01-01 to the current local time.
std::uint16_t NewRequestId();
// Microseconds from 1400-01-01 00:00:00 to a local time.
std::uint64_t TimeStampMicroseconds(const boost::posix_time::ptime& time);
boost::posix_time::ptime TimeFromMicroseconds(std::uint64_t microseconds);

// Checks a received acknowledge against its request; throws LogSvcError naming the first check
// that fails (size and magic, command and id, flags, status, in that order).
void ValidateAcknowledge(const std::uint8_t* datagram, std::size_t received, std::uint16_t command,
                         std::uint16_t requestId);

// The field orders of a log message container.
std::vector<std::uint8_t> DefaultPattern(bool withAttachments, bool threadId);

// What a container says beyond the message state.
struct ContainerFacts {
    std::uint64_t sequence = 0;
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    std::uint32_t codePage = 65001;
};

// The text of field 1: narrow bytes as they are, or wide text sent as UTF-16LE.
struct MessageText {
    const char* narrowBegin = nullptr;
    const char* narrowEnd = nullptr;
    const wchar_t* wideBegin = nullptr;
    const wchar_t* wideEnd = nullptr;
    bool wide = false;
};

// Builds a container into out (kMaxData bytes) and returns its length. Throws LogSvcError for
// an inconsistent text range or an unknown field id, std::invalid_argument for an unregistered
// group.
std::size_t BuildContainer(std::uint8_t* out, const basic_timed_msgstate& state,
                           const MessageText& text, const std::vector<std::uint8_t>& pattern,
                           const ContainerFacts& facts);

struct Field {
    std::uint8_t id = 0;
    std::uint8_t marker = 0;
    std::string_view data;
};

struct Container {
    std::uint16_t length = 0;
    std::uint16_t flags = 0;
    std::uint64_t sequence = 0;
    std::uint64_t sequenceAgain = 0;
    std::vector<Field> fields;

    const Field* find(std::uint8_t id) const;
    std::optional<std::uint64_t> number(std::uint8_t id) const;
};

// Parses a container; on malformed input returns nothing and says why.
std::optional<Container> ParseContainer(const std::uint8_t* data, std::size_t size,
                                        std::string* why);

}  // namespace qnLogging::logsvc
