// The log service's wire formats against bytes written out by hand, not against the library's
// own encoders: the shared-memory connection record, the datagram header and the log message
// container with its fields.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "module/logging/capture_target.h"
#include "module/logging/log_config.h"
#include "module/logging/logstream.h"
#include "module/logging/logsvc_protocol.h"
#include "support/fake_logsvc.h"

using namespace qnLogging;
namespace proto = qnLogging::logsvc;
using Bytes = std::vector<std::uint8_t>;
using zyl::test::Datagram;
using zyl::test::FakeLogService;

namespace {

std::uint8_t Lo(std::size_t v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}
std::uint8_t Hi(std::size_t v) {
    return static_cast<std::uint8_t>((v >> 8) & 0xFF);
}

void Append(Bytes& out, std::initializer_list<std::uint8_t> bytes) {
    out.insert(out.end(), bytes);
}
void Append(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

// 2024-03-05 14:03:07.120000, 19697090587120000 microseconds after 1400-01-01 00:00:00.
const boost::posix_time::ptime kStamp(boost::gregorian::date(2024, 3, 5),
                                      boost::posix_time::time_duration(14, 3, 7) +
                                          boost::posix_time::microseconds(120000));
const std::initializer_list<std::uint8_t> kStampBytes = {0x80, 0xD1, 0x8D, 0x47,
                                                         0x66, 0xFA, 0x45, 0x00};

using LogWireBytes = zyl::test::LoggingTest;

}  // namespace

TEST_F(LogWireBytes, ConnectionRecordLayout) {
    const Bytes record = {
        0xBA, 0xBA, 0xAB, 0xAB,  // magic 0xABABBABA
        0x02, 0x00, 0x00, 0x00,  // version 2
        0x20, 0x00, 0x00, 0x00,  // size 32
        0x14, 0x01, 0xA8, 0xC0,  // 192.168.1.20, host order
        0x88, 0x13,              // port 5000
        0x01, 0x00, 0x00, 0x7F,  // 127.0.0.1 at the unaligned offset 18
        0xCD, 0xAB,              // port 43981
    };
    const ConnectionInfo info = DecodeConnectionInfo(record.data());
    EXPECT_EQ(info.magic, 0xABABBABAu);
    EXPECT_EQ(info.version, 2u);
    EXPECT_EQ(info.size, 32u);
    EXPECT_EQ(info.command, (Endpoint{0xC0A80114, 5000}));
    EXPECT_EQ(info.messages, (Endpoint{0x7F000001, 0xABCD}));
    const auto encoded = EncodeConnectionInfo(info);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), record) << "what a service publishes";
}

// The client finds the service through a record written by hand, sends a command whose header
// is checked byte by byte, takes an acknowledge written by hand, and sends its messages to the
// endpoint at offset 18.
TEST_F(LogWireBytes, HandWrittenRecordAndAcknowledgeReachTheService) {
    const std::string json = R"({"destination":"logsvc","level":"all"})";
    FakeLogService service([json](const Datagram& request) {
        // Magic, no flags, command 1 acknowledged, success, the request id echoed.
        Datagram ack = {0xCA, 0xAC, 0x00, 0x00, 0x01, 0x80, 0x00, 0x00, request[8], request[9]};
        Append(ack, {Lo(json.size()), Hi(json.size())});
        Append(ack, json);
        return std::optional<Datagram>(ack);
    });
    const std::uint16_t commandPort = service.command().port;
    const std::uint16_t messagePort = service.messages().port;
    // Version 1, 24 bytes, both endpoints on 127.0.0.1.
    Bytes record = {0xBA, 0xBA, 0xAB, 0xAB, 0x01, 0x00, 0x00, 0x00,
                    0x18, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x7F};
    Append(record, {Lo(commandPort), Hi(commandPort), 0x01, 0x00, 0x00, 0x7F, Lo(messagePort),
                    Hi(messagePort)});
    service.Publish(record);
    ASSERT_TRUE(configure_logging("Reel2", "", {}));

    const auto commands = service.Commands();
    ASSERT_EQ(commands.size(), 1u);
    const Datagram& request = commands[0];
    ASSERT_GE(request.size(), 12u);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 8),
              (Bytes{0xCA, 0xAC, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(request[10] | (request[11] << 8), static_cast<int>(request.size() - 12));
    EXPECT_EQ(request[12], '{') << "the JSON text follows the header directly";

    logstream(root_logger(), level::warn) << "hi";
    const auto messages = service.Messages(1);
    ASSERT_EQ(messages.size(), 1u);
    const Datagram& message = messages[0];
    ASSERT_GE(message.size(), 12u + 28u + 12u);
    EXPECT_EQ(Bytes(message.begin(), message.begin() + 8),
              (Bytes{0xDA, 0xAD, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00}));
    EXPECT_EQ(message[10] | (message[11] << 8), static_cast<int>(message.size() - 12));
    // Container: its length again, no flags, sequence 1 twice, eight zero bytes, then field 2.
    Bytes head = {Lo(message.size() - 12), Hi(message.size() - 12), 0x00, 0x00};
    Append(head, {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    Append(head, {0x08, 0x00, 0x02, 0x00});
    EXPECT_EQ(Bytes(message.begin() + 12, message.begin() + 12 + 32), head);
}

TEST_F(LogWireBytes, MessageContainerFieldByField) {
    basic_msgstate state(get_logger("cam"));
    state.level = level::warn;
    state.location = "f.c(1)";
    const basic_timed_msgstate timed(state, kStamp);
    const std::string text = "hi";
    std::uint8_t out[proto::kMaxData];
    const std::size_t length =
        proto::BuildContainer(out, timed, {text.data(), text.data() + text.size()},
                              proto::DefaultPattern(false, true), {5, 100, 200, 65001});

    Bytes expected = {0x73, 0x00, 0x00, 0x00};                           // 115 bytes, no flags
    Append(expected, {0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});  // sequence
    Append(expected, {0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});  // sequence again
    Append(expected, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x08, 0x00, 0x02, 0x00});  // time stamp
    Append(expected, kStampBytes);
    Append(expected, {0x03, 0x00, 0x03, 0x00});  // logger name
    Append(expected, "cam");
    Append(expected, {0x08, 0x00, 0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x08, 0x00, 0x09, 0x00, 0xC8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x08, 0x00, 0x08, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x00, 0x00, 0x05, 0x00});  // no group: empty name
    Append(expected, {0x08, 0x00, 0x0A, 0x00, 0xE9, 0xFD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x02, 0x00, 0x01, 0x00});  // narrow text, marker 0
    Append(expected, "hi");
    Append(expected, {0x06, 0x00, 0x06, 0x00});  // location
    Append(expected, "f.c(1)");
    EXPECT_EQ(Bytes(out, out + length), expected);
}

TEST_F(LogWireBytes, AttachmentsWideTextAndNoThreadId) {
    basic_msgstate state(get_logger("cam"));
    state.level = level::err;
    state.attachments.resize(1);
    state.attachments[0].bytes[0] = 0xA1;
    state.attachments[0].bytes[263] = 0xB2;
    const basic_timed_msgstate timed(state, kStamp);
    const std::wstring wide = L"h\u00E9";
    proto::MessageText text;
    text.wide = true;
    text.wideBegin = wide.data();
    text.wideEnd = wide.data() + wide.size();
    std::uint8_t out[proto::kMaxData];
    const std::size_t length = proto::BuildContainer(
        out, timed, text, proto::DefaultPattern(true, false), {7, 100, 200, 65001});

    Bytes expected = {0x6F, 0x01, 0x04, 0x00};  // 367 bytes, attachments present
    Append(expected, {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x08, 0x01, 0x07, 0x00, 0xA1});  // 264 bytes of records, first
    expected.insert(expected.end(), 262, 0x00);
    Append(expected, {0xB2});
    Append(expected, {0x08, 0x00, 0x02, 0x00});
    Append(expected, kStampBytes);
    Append(expected, {0x03, 0x00, 0x03, 0x00});
    Append(expected, "cam");
    Append(expected, {0x08, 0x00, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x08, 0x00, 0x08, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x00, 0x00, 0x05, 0x00});
    Append(expected, {0x08, 0x00, 0x0A, 0x00, 0xE9, 0xFD, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    Append(expected, {0x04, 0x00, 0x01, 0x01, 'h', 0x00, 0xE9, 0x00});  // UTF-16LE, marker 1
    Append(expected, {0x00, 0x00, 0x06, 0x00});                         // no location
    EXPECT_EQ(Bytes(out, out + length), expected);
}

// The text takes what is left and the location no longer fits: flags 1 and 2, 1388 bytes.
TEST_F(LogWireBytes, CutTextFillsTheContainer) {
    basic_msgstate state(get_logger("cam"));
    state.level = level::info;
    state.location = "f.c(1)";
    const basic_timed_msgstate timed(state, kStamp);
    const std::string text(2000, 't');
    std::uint8_t out[proto::kMaxData];
    const std::size_t length =
        proto::BuildContainer(out, timed, {text.data(), text.data() + text.size()},
                              proto::DefaultPattern(false, true), {1, 100, 200, 65001});
    ASSERT_EQ(length, 1388u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x6C, 0x05, 0x03, 0x00}));
    // 28 + 12 + 7 + 12 + 12 + 12 + 4 + 12 = 99 bytes before the text, 1285 bytes of text.
    EXPECT_EQ(Bytes(out + 99, out + 103), (Bytes{0x05, 0x05, 0x01, 0x00}));
    EXPECT_EQ(out[103], 't');
    EXPECT_EQ(out[1387], 't');
}
