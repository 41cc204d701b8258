// Configuring logging from a log service and sending it messages, over real loopback sockets
// and a real shared-memory record.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>

#include <boost/property_tree/json_parser.hpp>

#include "module/logging/capture_target.h"
#include "module/logging/log_config.h"
#include "module/logging/logstream.h"
#include "module/logging/logsvc_error.h"
#include "module/logging/logsvc_target.h"
#include "platform/debug_output.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/fake_logsvc.h"
#include "support/temp_dir.h"

using namespace qnLogging;
namespace proto = qnLogging::logsvc;
using zyl::test::Datagram;
using zyl::test::FakeLogService;

namespace {

const auto ErrorOf = [](auto&& f) { return zyl::test::Refusal<LogSvcError>(f); };

struct DebugCapture : zyl::platform::DebugOutputSink {
    DebugCapture() { zyl::platform::setDebugOutputForTesting(this); }
    ~DebugCapture() override { zyl::platform::setDebugOutputForTesting(nullptr); }
    void output(std::string_view text) override {
        std::lock_guard lock(mutex);
        lines.emplace_back(text);
    }
    std::vector<std::string> Take() {
        std::lock_guard lock(mutex);
        return std::exchange(lines, {});
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

Datagram Ack(const Datagram& request, const std::string& payload, std::uint16_t status = 0,
             std::uint16_t flags = 0) {
    const proto::Header r = proto::DecodeHeader(request.data());
    proto::Header h;
    h.magic = proto::kCommandMagic;
    h.flags = flags;
    h.command = r.command | proto::kAckBit;
    h.status = status;
    h.requestId = r.requestId;
    h.dataLength = static_cast<std::uint16_t>(payload.size());
    Datagram d(proto::kHeaderSize + payload.size());
    proto::EncodeHeader(h, d.data());
    std::copy(payload.begin(), payload.end(), d.begin() + proto::kHeaderSize);
    return d;
}

// A service answering every configuration request with one configuration set.
FakeLogService::Handler Answer(const std::string& json) {
    return [json](const Datagram& request) { return Ack(request, json); };
}

std::string Payload(const Datagram& d) {
    return std::string(d.begin() + proto::kHeaderSize, d.end());
}

proto::Container Parse(const Datagram& d) {
    std::string why;
    auto c =
        proto::ParseContainer(d.data() + proto::kHeaderSize, d.size() - proto::kHeaderSize, &why);
    EXPECT_TRUE(c) << why;
    return c.value_or(proto::Container{});
}

const boost::property_tree::ptree kNoAttributes;

// The report of a failed configuration as the debug output shows it.
std::string Report(const std::string& cause) {
    return "Failed to retrieve/decode the log configuration for module Reel2: " + cause + "\n";
}

class LogService : public zyl::test::LoggingTest {
protected:
    DebugCapture debug;
};

// Neither holds a regular expression operator: the death test matches them as they are.
const std::string kNoServiceReport =
    "Failed to retrieve/decode the log configuration for module Reel2: Failed to connect to the "
    "shared memory with connection info: Shared memory error";
const std::string kLiveChildReport =
    "Failed to configure the logging infrastructure for module Reel3: Root name can only be "
    "changed if no children are present";

// Makes both kinds of report through the real debug output, then writes "|next" to standard
// error and ends the process.
[[noreturn]] void ReportBothFailuresThenExit() {
    SetConnectionSectionBaseName("zylavi-test-nobody-" + std::to_string(getpid()));
    configure_logging("Reel2", "", kNoAttributes);
    {
        FakeLogService service(Answer(R"({"destination":"none","level":"all"})"));
        const auto child = get_logger("busy");
        configure_logging("Reel3", "", kNoAttributes);
    }
    const char next[] = "|next";
    if (::write(STDERR_FILENO, next, sizeof next - 1) < 0)
        std::_Exit(2);
    std::_Exit(0);
}

}  // namespace

// Each report is a line of its own on the debug output as the system has it, not only as a test
// replacement sees the calls: syslog takes whole lines only, and standard error must not run a
// report into whatever comes next. A fresh process each, since the output mode is read once.
TEST(LogConfigReportDeathTest, ReportsAreWholeLinesOnTheSystemDebugOutput) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            openlog("zylavi-test", LOG_PERROR, LOG_USER);  // syslog records echoed on stderr
            ReportBothFailuresThenExit();
        },
        ::testing::ExitedWithCode(0),
        "zylavi-test: " + kNoServiceReport + "\nzylavi-test: " + kLiveChildReport + "\n\\|next$");
    EXPECT_EXIT(
        {
            setenv("ZYLAVI_DEBUG_OUTPUT", "stderr", 1);
            ReportBothFailuresThenExit();
        },
        ::testing::ExitedWithCode(0),
        "^" + kNoServiceReport + "\n" + kLiveChildReport + "\n\\|next$");
}

TEST(LogServiceValues, ParsersAcceptTheirFormsAndNameWhatTheyRefuse) {
    EXPECT_EQ(ParseDestination("logsvc"), Destination::logsvc);
    EXPECT_EQ(ParseDestination("evtlog"), Destination::evtlog);
    EXPECT_EQ(ErrorOf([] { ParseDestination("File"); }), "Unknown log destination specified: File");
    EXPECT_EQ(ParseLevel("warning"), 0x07u);
    EXPECT_EQ(ParseLevel("0X0fffffffe"), 0xFFFFFFFEu);
    for (const char* bad : {"Warning", "0x", "x10", "0xFFFFFFFF", "0x1g", "0x-1", " 0x1"}) {
        EXPECT_EQ(ErrorOf([&] { ParseLevel(bad); }),
                  std::string("Unknown log level specified: ") + bad);
    }
    EXPECT_TRUE(ParseBoolean("enabled"));
    EXPECT_FALSE(ParseBoolean("0"));
    EXPECT_EQ(ErrorOf([] { ParseBoolean("yes"); }),
              "Unrecognized boolean value string specified: yes");
    EXPECT_EQ(ParseSocketAddress("127.0.0.1:65535"), (Endpoint{0x7F000001, 65535}));
    for (const char* bad : {"127.0.0.1:0", "127.0.0.1:080", "127.0.0.1:65536", "localhost:80",
                            "127.0.0.1:", "127.0.0.1", "127.0.0.1:80x", "127.0.0.1:+80"}) {
        EXPECT_EQ(ErrorOf([&] { ParseSocketAddress(bad); }),
                  "Failed to parse socket address string")
            << bad;
    }
}

TEST(LogServiceProtocol, AcknowledgeChecksRunInOrder) {
    Datagram request(proto::kHeaderSize);
    proto::EncodeHeader({proto::kCommandMagic, 0, 1, 0, 4242, 0}, request.data());
    const auto check = [](Datagram d, std::size_t flip = 0) {
        if (flip != 0)
            d[flip] ^= 1;
        return ErrorOf([&] { proto::ValidateAcknowledge(d.data(), d.size(), 1, 4242); });
    };
    Datagram longer = Ack(request, "{}");
    longer.push_back('x');
    const std::string malformed = "Received malformed acknowledge packet";
    const std::string flags = "The received acknowledge contains unsupported flags";
    EXPECT_EQ(check(Ack(request, "{}")), "(accepted)");
    EXPECT_EQ(check(Datagram(11, 0)), malformed);
    EXPECT_EQ(check(longer), malformed);
    EXPECT_EQ(check(Ack(request, "{}"), 8),
              "The received acknowledge does not match the actual request");
    EXPECT_EQ(check(Ack(request, "", 0, 1)), flags);
    EXPECT_EQ(check(Ack(request, "", 1)),
              "The command was not successful (negative acknowledge received)");
    EXPECT_EQ(check(Ack(request, "", 1, 1)), flags) << "flags before the status";
    EXPECT_EQ(check(Ack(request, "", 1, 1), 1), malformed) << "malformed-ness before everything";
}

TEST(LogServiceProtocol, WideTextIsCutToWholeUnits) {
    basic_msgstate state(get_logger(""));
    state.level = level::info;
    const basic_timed_msgstate timed(state, boost::posix_time::microsec_clock::local_time());
    std::uint8_t buffer[proto::kMaxData];
    const std::wstring wide(1000, L'\U0001F600');  // two UTF-16 units each
    proto::MessageText w;
    w.wide = true;
    w.wideBegin = wide.data();
    w.wideEnd = wide.data() + wide.size();
    std::string why;
    const auto c = proto::ParseContainer(
        buffer, proto::BuildContainer(buffer, timed, w, proto::DefaultPattern(false, true), {}),
        &why);
    ASSERT_TRUE(c) << why;
    EXPECT_EQ(c->find(proto::kFieldText)->data.size() % 2, 0u);
    EXPECT_EQ(c->find(proto::kFieldText)->marker, 1);
    EXPECT_TRUE(c->flags & proto::kTextCut);
}

// Without a service, or with a record that is not one, the module is still named and its root
// closed, and each attempt is reported once.
TEST_F(LogService, MissingOrInvalidRecordsLeaveTheRootClosed) {
    auto target = capture();
    const auto attempt = [] {
        set_level_mask(root_logger(), mask::all);
        EXPECT_FALSE(configure_logging("Reel2", "", kNoAttributes));
        EXPECT_EQ(root_logger()->level_mask(), 0u);
    };
    SetConnectionSectionBaseName("zylavi-test-nobody-" + std::to_string(getpid()));
    attempt();
    SetConnectionSectionBaseName("");
    FakeLogService service(Answer("{}"));
    ConnectionInfo oldVersion;
    oldVersion.version = 0;
    service.Publish(EncodeConnectionInfo(oldVersion));
    attempt();
    service.Publish(std::vector<std::uint8_t>(10, 0));
    attempt();
    const std::string invalid = Report("Failed to retrieve valid connection info");
    EXPECT_EQ(debug.Take(), (std::vector<std::string>{kNoServiceReport + "\n", invalid, invalid}));
    EXPECT_EQ(root_logger()->name(), "Reel2");
    logstream(root_logger(), level::fatal) << "nothing gets through";
    EXPECT_TRUE(target->messages().empty());
}

TEST_F(LogService, ConfiguredModuleSendsItsMessagesToTheService) {
    FakeLogService service(Answer(R"({"destination":"logsvc","level":"all","thread_id":"off"})"));
    boost::property_tree::ptree attributes;
    attributes.put("camera", "left");
    ASSERT_TRUE(configure_logging("Reel2", "", attributes));
    EXPECT_EQ(root_logger()->name(), "Reel2");
    EXPECT_EQ(root_logger()->level_mask(), 0xFFu);

    const auto commands = service.Commands();
    ASSERT_EQ(commands.size(), 1u) << "no description, no second command";
    boost::property_tree::ptree request;
    std::istringstream in(Payload(commands[0]));
    boost::property_tree::read_json(in, request);
    EXPECT_EQ(request.get<std::string>("module"), "Reel2");
    EXPECT_EQ(request.get<std::string>("camera"), "left");
    EXPECT_EQ(request.get<std::string>("process"), ProcessName());

    register_group_name(std::uint64_t{1} << 3, "io");
    const auto before = boost::posix_time::microsec_clock::local_time();
    logstream(root_logger(), level::err).group(std::uint64_t{1} << 3) << "narrow text";
    wlogstream(root_logger(), level::info) << L"wide \u00E9";
    const auto messages = service.Messages(2);
    ASSERT_EQ(messages.size(), 2u);
    const auto first = Parse(messages[0]);
    EXPECT_EQ(first.sequence, 1u);
    EXPECT_EQ(first.find(proto::kFieldThreadId), nullptr) << "thread id off";
    EXPECT_EQ(first.find(proto::kFieldText)->data, "narrow text");
    EXPECT_EQ(first.find(proto::kFieldGroup)->data, "io");
    const auto stamp = proto::TimeFromMicroseconds(*first.number(proto::kFieldTime));
    EXPECT_LE((stamp - before).total_milliseconds(), 2000);
    EXPECT_GE((stamp - before).total_microseconds(), 0);
    const auto second = Parse(messages[1]);
    EXPECT_EQ(second.sequence, 2u);
    EXPECT_EQ(zyl::platform::leBytesToUtf16(second.find(proto::kFieldText)->data), u"wide \u00E9");
}

// A busy host hands out descriptor numbers beyond what an fd_set holds (1024); the client's
// sockets must work with them.
TEST_F(LogService, SocketsWorkWithDescriptorsAbove1024) {
    constexpr int kHigh = 1500;
    // Every lower number taken, so the next sockets get numbers above kHigh.
    struct Filler {
        rlimit saved{};
        std::vector<int> fds;
        ~Filler() {
            for (int fd : fds)
                close(fd);
            setrlimit(RLIMIT_NOFILE, &saved);
        }
    } filler;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &filler.saved), 0);
    if (filler.saved.rlim_cur < kHigh + 64) {
        if (filler.saved.rlim_max != RLIM_INFINITY && filler.saved.rlim_max < kHigh + 64)
            GTEST_SKIP() << "the descriptor limit stops at " << filler.saved.rlim_max;
        rlimit raised = filler.saved;
        raised.rlim_cur = kHigh + 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    FakeLogService service(Answer(R"({"destination":"logsvc","level":"all"})"));
    const int base = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(base, 0);
    filler.fds.push_back(base);
    while (filler.fds.back() >= 0 && filler.fds.back() < kHigh)
        filler.fds.push_back(fcntl(base, F_DUPFD_CLOEXEC, 0));
    ASSERT_GE(filler.fds.back(), kHigh);

    EXPECT_TRUE(configure_logging("Reel2", "high descriptors", kNoAttributes));
    EXPECT_EQ(service.Commands().size(), 2u) << "configuration and description";
    logstream(root_logger(), level::info) << "sent from a high descriptor";
    const auto messages = service.Messages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Parse(messages[0]).find(proto::kFieldText)->data, "sent from a high descriptor");
    clear_targets();
}

TEST_F(LogService, AttachmentsTravelWithTheirOwnCounterAndTheThreadId) {
    FakeLogService sink(Answer("{}"));
    basic_logsvc_target target(sink.messages(), true);
    basic_msgstate state(root_logger());
    state.level = level::info;
    const std::string text = "t";
    const basic_timed_msgstate plain(state, boost::posix_time::microsec_clock::local_time());
    state.attachments.resize(2);
    const basic_timed_msgstate attached(state, plain.time);
    target.write(plain, text.data(), text.data() + 1);
    target.write(attached, text.data(), text.data() + 1);
    target.write(attached, text.data(), text.data() + 1);
    const auto messages = sink.Messages(3);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(proto::DecodeHeader(messages[1].data()).command, proto::kLogMessageWithAttachments);
    const auto first = Parse(messages[0]), second = Parse(messages[1]), third = Parse(messages[2]);
    EXPECT_EQ(first.number(proto::kFieldThreadId), zyl::platform::currentThreadId());
    EXPECT_EQ(first.sequence, 1u);
    EXPECT_EQ(second.sequence, 1u) << "each command code counts on its own";
    EXPECT_EQ(third.sequence, 2u);
}

// Each failure is reported once, names the module, closes its root, adds no target and sends
// no description.
TEST_F(LogService, FailedExchangesAreReportedAndStopLogging) {
    struct Case {
        FakeLogService::Handler handler;
        bool foreign;
        std::string cause;
        bool silent = false;
    };
    const std::vector<Case> cases = {
        {[](const Datagram& r) { return Ack(r, "", 1); }, false,
         "The command was not successful (negative acknowledge received)"},
        {Answer(R"({"destination":"logsvc","level":"all"})"), true,
         "Log client command execution failure when communicating with the server."},
        {[](const Datagram&) { return std::optional<Datagram>(); }, false,
         "Log client command execution failure when communicating with the server.", true},
        {Answer(R"({"level":"all"})"), false,
         "The configuration set does not contain the requested parameter"},
        {Answer(R"({"destination":"logsvc","level":"loud"})"), false,
         "Unknown log level specified: loud"},
        {Answer("not json"), false, "Failed to deserialize the configuration set"},
        {Answer(R"({"destination":"logsvc","level":"all","sockaddr":"localhost:80"})"), false,
         "Failed to parse socket address string"},
    };
    for (const Case& c : cases) {
        FakeLogService service(c.handler, c.foreign);
        set_level_mask(root_logger(), mask::all);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(configure_logging("Reel2", "left camera", kNoAttributes));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(debug.Take(), std::vector<std::string>{Report(c.cause)});
        EXPECT_EQ(root_logger()->name(), "Reel2");
        EXPECT_EQ(root_logger()->level_mask(), 0u) << c.cause;
        EXPECT_EQ(target_count(), 0u);
        EXPECT_EQ(service.Commands().size(), c.foreign || c.silent ? 2u : 1u)
            << "two attempts at most, and no description: " << c.cause;
        if (c.silent) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(1000)) << "two 0.5 s waits";
        }
    }
}

TEST_F(LogService, OversizedRequestsAndDescriptions) {
    // "sockaddr" is read only for the service destination.
    FakeLogService service(Answer(R"({"destination":"evtlog","level":"warn","sockaddr":"bad"})"));
    ASSERT_TRUE(configure_logging("Reel2", std::string(2000, 'd'), kNoAttributes))
        << "a description that does not fit is left out silently";
    EXPECT_EQ(service.Commands().size(), 1u);
    EXPECT_EQ(root_logger()->level_mask(), 0x07u) << "evtlog: no target, but the level is set";
    EXPECT_EQ(target_count(), 0u);

    ASSERT_TRUE(configure_logging("Reel2", "left camera", kNoAttributes));
    const auto commands = service.Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(proto::DecodeHeader(commands[2].data()).command, proto::kSetDescription);
    EXPECT_NE(Payload(commands[2]).find("\"description\": \"left camera\""), std::string::npos);

    boost::property_tree::ptree attributes;
    attributes.put("big", std::string(1400, 'a'));
    EXPECT_FALSE(configure_logging("Reel2", "", attributes));
    EXPECT_EQ(debug.Take().back(), Report("The log configuration attribute list is too long"));
}

TEST_F(LogService, FileDestinationWritesDatedLines) {
    zyl::test::TempDir dir;
    const std::string file = dir.file("reel.log");
    FakeLogService service(
        Answer(R"({"destination":"file","level":"info","file":")" + file + "\"}"));
    ASSERT_TRUE(configure_logging("Reel2", "", kNoAttributes));
    logstream(root_logger(), level::info) << "dated";
    logstream(root_logger(), level::debug) << "filtered";
    clear_targets();
    const std::string content = zyl::test::readFile(file);
    EXPECT_TRUE(std::regex_match(
        content,
        std::regex(R"(\d{4}-[A-Z][a-z]{2}-\d\d \d\d:\d\d:\d\d(\.\d{6})? Reel2 \[info\] dated
)"))) << content;
}
