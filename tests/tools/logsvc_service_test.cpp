// The log service daemon: its protocol side directly, and the real program end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>

#include "module/logging/capture_target.h"
#include "module/logging/log_config.h"
#include "module/logging/logstream.h"
#include "module/logging/logsvc_error.h"
#include "module/logging/logsvc_protocol.h"
#include "platform/process.h"
#include "service.h"
#include "support/temp_dir.h"

extern char** environ;

using namespace zyl::logsvc;
namespace proto = qnLogging::logsvc;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Command(std::uint16_t command, const std::string& payload, std::uint16_t id = 7) {
    Bytes d(proto::kHeaderSize + payload.size());
    proto::EncodeHeader(
        {proto::kCommandMagic, 0, command, 0, id, static_cast<std::uint16_t>(payload.size())},
        d.data());
    std::copy(payload.begin(), payload.end(), d.begin() + proto::kHeaderSize);
    return d;
}

Bytes Message(const std::string& text, std::uint64_t group = qnLogging::no_group, bool wide = false,
              const std::vector<std::uint8_t>& pattern = proto::DefaultPattern(false, true)) {
    qnLogging::basic_msgstate state(qnLogging::get_logger("cam.left"));
    state.level = qnLogging::level::warn;
    state.group = group;
    state.location = "src/a.cpp(3)";
    const qnLogging::basic_timed_msgstate timed(
        state,
        boost::posix_time::ptime(boost::gregorian::date(2026, 12, 5), boost::posix_time::hours(9)));
    Bytes d(proto::kMaxDatagram);
    proto::MessageText t{text.data(), text.data() + text.size()};
    std::wstring w(text.begin(), text.end());
    if (wide) {
        t.wide = true;
        t.wideBegin = w.data();
        t.wideEnd = w.data() + w.size();
    }
    proto::ContainerFacts facts{5, 100, 200, 65001};
    const auto length =
        proto::BuildContainer(d.data() + proto::kHeaderSize, timed, t, pattern, facts);
    proto::EncodeHeader(
        {proto::kMessageMagic, 1, proto::kLogMessage, 0, 1, static_cast<std::uint16_t>(length)},
        d.data());
    d.resize(proto::kHeaderSize + length);
    return d;
}

boost::property_tree::ptree Parse(const std::string& json) {
    boost::property_tree::ptree tree;
    std::istringstream in(json);
    boost::property_tree::read_json(in, tree);
    return tree;
}

ServiceConfig TwoModules() {
    ServiceConfig config = DefaultServiceConfig();
    config.modules["Reel2"].values = {
        {"destination", "logsvc"}, {"level", "info"}, {"thread_id", "off"}};
    return config;
}

}  // namespace

// A request is answered under its id, positively only when it names a module (whose own settings
// come back, or the defaults); what is no request is dropped unanswered and counted.
TEST(LogServiceDaemon, AnswersRequestsAndDropsWhatIsNoRequest) {
    Service service(TwoModules(), false);
    Bytes lying = Command(1, R"({"module":"x"})");
    lying[10] = 99;  // data length disagrees
    struct Case {
        Bytes request;
        int answer;  // 1: acknowledged, 0: refused, -1: dropped
        const char* json = "";
        std::size_t cut = 0;  // only this many bytes arrive
    };
    const Case cases[] = {
        {Command(1, R"({"module":"Reel2","process":"app"})"), 1, R"("thread_id":"off")"},
        {Command(1, R"({"module":"Else"})"), 1, R"("level":"all")"},
        {Command(0x41, R"({"module":"Reel2","description":"left camera"})"), 1},
        {Command(0x99, ""), 0},
        {Command(1, "[1,2]"), 0},
        {lying, -1},
        {Command(1, R"({"module":"x"})"), -1, "", 5},
        {Command(1 | proto::kAckBit, ""), -1},  // acknowledges are not answered
    };
    for (const Case& c : cases) {
        const auto answer =
            service.HandleCommand(c.request.data(), c.cut ? c.cut : c.request.size());
        const std::uint16_t command = proto::DecodeHeader(c.request.data()).command;
        SCOPED_TRACE(&c - cases);
        ASSERT_EQ(answer.has_value(), c.answer >= 0);
        if (!answer)
            continue;
        const auto h = proto::DecodeHeader(answer->data());
        EXPECT_EQ(h.requestId, 7);
        EXPECT_EQ(h.status == 0, c.answer == 1);
        if (c.answer == 1) {
            EXPECT_EQ(h.command, command | proto::kAckBit);
            EXPECT_NO_THROW(proto::ValidateAcknowledge(answer->data(), answer->size(), command, 7));
        }
        const std::string json(answer->begin() + proto::kHeaderSize, answer->end());
        EXPECT_NE(json.find(c.json), std::string::npos) << json;
    }
    EXPECT_EQ(service.descriptions().at("Reel2"), "left camera");
    EXPECT_EQ(service.counters().malformed, 4u);
}

// An answer always fits one datagram, and the client reads an answer that would not fit as a
// negative acknowledge; setting names are sent as they are, dots and all.
TEST(LogServiceDaemon, AnswersFitOneDatagram) {
    ServiceConfig config = DefaultServiceConfig();
    config.modules["Reel2"].values = {
        {"destination", "file"}, {"level", "all"}, {"file", "/var/log/" + std::string(1500, 'f')}};
    config.modules["Odd"].values = {
        {"destination", "none"}, {"level", "all"}, {"a.b", "dotted"}, {"", "unnamed"}};
    Service service(config, false);
    const Bytes tooLong = Command(1, R"({"module":"Reel2"})");
    auto answer = service.HandleCommand(tooLong.data(), tooLong.size());
    ASSERT_TRUE(answer);
    EXPECT_LE(answer->size(), proto::kMaxDatagram);
    try {
        proto::ValidateAcknowledge(answer->data(), answer->size(), 1, 7);
        ADD_FAILURE() << "accepted";
    } catch (const qnLogging::LogSvcError& e) {
        EXPECT_STREQ(e.what(), "The command was not successful (negative acknowledge received)");
    }

    const Bytes odd = Command(1, R"({"module":"Odd"})");
    answer = service.HandleCommand(odd.data(), odd.size());
    ASSERT_TRUE(answer);
    EXPECT_NO_THROW(proto::ValidateAcknowledge(answer->data(), answer->size(), 1, 7));
    const auto tree = Parse(std::string(answer->begin() + 12, answer->end()));
    ASSERT_NE(tree.find("a.b"), tree.not_found());
    EXPECT_EQ(tree.find("a.b")->second.data(), "dotted");
    ASSERT_NE(tree.find(""), tree.not_found());
    EXPECT_EQ(tree.find("")->second.data(), "unnamed");
}

TEST(LogServiceDaemon, DescriptionsStayBounded) {
    Service service(DefaultServiceConfig(), false);
    for (std::size_t i = 0; i <= Service::kMaxDescriptions; ++i) {
        const Bytes d =
            Command(0x41, R"({"module":"m)" + std::to_string(i) + R"(","description":"d"})");
        service.HandleCommand(d.data(), d.size());
    }
    EXPECT_EQ(service.descriptions().size(), Service::kMaxDescriptions);
}

TEST(LogServiceDaemon, PrintsOneReadableLinePerMessage) {
    qnLogging::register_group_name(std::uint64_t{1} << 9, "io");
    Service human(DefaultServiceConfig(), false);
    const Bytes m = Message("two\nlines", std::uint64_t{1} << 9);
    const auto line = human.HandleMessage(m.data(), m.size());
    ASSERT_TRUE(line);
    EXPECT_EQ(*line,
              "2026-12-05 09:00:00 pid 100 tid 200 cam.left [io|warn] two lines @ src/a.cpp(3)");

    Service json(DefaultServiceConfig(), true);
    const Bytes w = Message("wide \"quoted\"", qnLogging::no_group, true);
    const auto object = json.HandleMessage(w.data(), w.size());
    ASSERT_TRUE(object);
    const auto tree = Parse(*object);
    EXPECT_EQ(tree.get<std::string>("text"), "wide \"quoted\"");
    EXPECT_EQ(tree.get<int>("pid"), 100);
    EXPECT_EQ(tree.get<std::string>("level"), "warn");
    EXPECT_EQ(tree.get<std::string>("logger"), "cam.left");
    EXPECT_EQ(tree.get<int>("sequence"), 5);

    // Every line stays one valid JSON object when a message leaves fields out.
    const Bytes bare = Message("only text", qnLogging::no_group, false, {proto::kFieldText});
    const auto few = json.HandleMessage(bare.data(), bare.size());
    ASSERT_TRUE(few);
    boost::property_tree::ptree fields;
    ASSERT_NO_THROW(fields = Parse(*few)) << *few;
    EXPECT_EQ(fields.get<std::string>("text"), "only text");
    for (const char* missing : {"time", "pid", "tid", "level_value", "code_page"})
        EXPECT_EQ(fields.get<std::string>(missing), "null") << missing;
}

TEST(LogServiceDaemon, DropsMalformedMessages) {
    Service service(DefaultServiceConfig(), false);
    const Bytes good = Message("ok");
    // The magic, the container's length, the first field's id, a first field running past the
    // end, and "with attachments" for a container without.
    const std::pair<std::size_t, std::uint8_t> damage[] = {
        {0, 0}, {12, static_cast<std::uint8_t>(good[12] ^ 1)}, {12 + 28 + 2, 42}, {12 + 28, 0xFF}, {4, 0x02}};
    std::vector<Bytes> bad = {Bytes(good.begin(), good.begin() + 11)};
    for (const auto& [at, value] : damage) {
        bad.push_back(good);
        bad.back()[at] = value;
    }
    for (const Bytes& d : bad) {
        std::string why;
        EXPECT_FALSE(service.HandleMessage(d.data(), d.size(), &why));
        EXPECT_FALSE(why.empty());
    }
    EXPECT_EQ(service.counters().malformed, bad.size());
    EXPECT_TRUE(service.HandleMessage(good.data(), good.size()));
}

// A command and a log message written out by hand are understood, and the acknowledge carries
// the bytes a client checks.
TEST(LogServiceDaemon, HandWrittenDatagrams) {
    Service service(TwoModules(), false);
    const std::string json = R"({"module":"Reel2"})";
    Bytes command = {0xCA, 0xAC, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00};
    command[10] = static_cast<std::uint8_t>(json.size());
    command.insert(command.end(), json.begin(), json.end());
    const auto answer = service.HandleCommand(command.data(), command.size());
    ASSERT_TRUE(answer);
    ASSERT_GE(answer->size(), 12u);
    EXPECT_EQ(Bytes(answer->begin(), answer->begin() + 10),
              (Bytes{0xCA, 0xAC, 0x00, 0x00, 0x01, 0x80, 0x00, 0x00, 0x34, 0x12}));
    EXPECT_EQ((*answer)[10] | ((*answer)[11] << 8), static_cast<int>(answer->size() - 12));

    Bytes message = {0xDA, 0xAD, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x63, 0x00};
    const Bytes container = {
        0x63, 0x00, 0x00, 0x00,                                                  // 99, no flags
        0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // sequence
        0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // again
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          //
        0x08, 0x00, 0x02, 0x00, 0x80, 0xD1, 0x8D, 0x47, 0x66, 0xFA, 0x45, 0x00,  // time
        0x03, 0x00, 0x03, 0x00, 'c',  'a',  'm',                                 // logger
        0x08, 0x00, 0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // warn
        0x08, 0x00, 0x08, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // pid
        0x08, 0x00, 0x09, 0x00, 0xC8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // tid
        0x02, 0x00, 0x01, 0x00, 'h',  'i',                                       // text
        0x06, 0x00, 0x06, 0x00, 'f',  '.',  'c',  '(',  '1',  ')',               // location
    };
    message.insert(message.end(), container.begin(), container.end());
    std::string why;
    const auto line = service.HandleMessage(message.data(), message.size(), &why);
    ASSERT_TRUE(line) << why;
    EXPECT_EQ(*line, "2024-03-05 14:03:07.120000 pid 100 tid 200 cam [warn] hi @ f.c(1)");
}

TEST(LogServiceDaemon, SettingsFileErrorsNameTheFileAndTheCause) {
    zyl::test::TempDir dir;
    const auto error = [&](const std::string& content) {
        try {
            LoadServiceConfig(dir.write("s.json", content));
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("(loaded)");
    };
    EXPECT_NE(error("{\n\"modules\": {\n}").find(dir.file("s.json") + ":3"), std::string::npos);
    EXPECT_NE(error(R"({"modules":{"Reel2":{"destination":"logsvc","level":"loud"}}})")
                  .find("module \"Reel2\": Unknown log level specified: loud"),
              std::string::npos);
    EXPECT_NE(error(R"({"extra":1})").find("unknown key \"extra\""), std::string::npos);
    EXPECT_EQ(error(R"({"default":{"destination":"file","level":"all","file":"/tmp/x"}})"),
              "(loaded)");
    const std::string longName = "/tmp/" + std::string(1500, 'f');
    EXPECT_NE(error(R"({"modules":{"Reel2":{"destination":"file","level":"all","file":")" +
                    longName + "\"}}}")
                  .find("module \"Reel2\": the answer would take "),
              std::string::npos);
}

namespace {

struct Daemon {
    pid_t pid = -1;
    int out = -1;
    int err = -1;

    Daemon(const std::vector<std::string>& args) {
        const std::string exe = zyl::platform::executablePath();
        const std::string program = exe.substr(0, exe.rfind('/')) + "/zylavi-logsvc";
        int outPipe[2], errPipe[2];
        EXPECT_EQ(pipe(outPipe), 0);
        EXPECT_EQ(pipe(errPipe), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        out = outPipe[0];
        err = errPipe[0];
    }
    ~Daemon() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out);
        close(err);
    }
    static std::string ReadAll(int fd) {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    int Stop() {
        kill(pid, SIGTERM);
        return Wait();
    }
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

bool WaitForSection(const std::string& name) {
    for (int i = 0; i < 500; ++i) {
        if (std::filesystem::exists("/dev/shm/" + name))
            return true;
        usleep(10000);
    }
    return false;
}

using LogServiceProgram = zyl::test::LoggingTest;

}  // namespace

TEST_F(LogServiceProgram, ModuleConfiguredByTheRunningServiceIsPrinted) {
    zyl::test::TempDir dir;
    const std::string section = "zylavi-test-daemon-" + std::to_string(getpid());
    const std::string settings = dir.write(
        "settings.json", R"({"modules":{"Reel2":{"destination":"logsvc","level":"info"}}})");
    Daemon daemon({"--section", section, "--config", settings, "--json"});
    ASSERT_TRUE(WaitForSection(section));

    Daemon second({"--section", section});
    EXPECT_EQ(second.Wait(), 1) << "a second service on the same record is refused";
    EXPECT_NE(Daemon::ReadAll(second.err).find("another log service already answers"),
              std::string::npos);

    qnLogging::SetConnectionSectionBaseName(section);
    const bool configured = qnLogging::configure_logging("Reel2", "test module", {});
    qnLogging::SetConnectionSectionBaseName("");
    ASSERT_TRUE(configured);
    qnLogging::logstream(qnLogging::root_logger(), qnLogging::level::info) << "hello service";
    qnLogging::logstream(qnLogging::root_logger(), qnLogging::level::debug) << "filtered by level";
    qnLogging::wlogstream(qnLogging::root_logger(), qnLogging::level::err) << L"wide \u00E9";
    usleep(200000);
    EXPECT_EQ(daemon.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + section)) << "the record is removed at stop";

    std::istringstream lines(Daemon::ReadAll(daemon.out));
    std::vector<boost::property_tree::ptree> objects;
    for (std::string line; std::getline(lines, line);)
        objects.push_back(Parse(line));
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].get<std::string>("text"), "hello service");
    EXPECT_EQ(objects[0].get<std::string>("logger"), "Reel2");
    EXPECT_EQ(objects[0].get<int>("pid"), getpid());
    EXPECT_EQ(objects[0].get<unsigned>("tid"), zyl::platform::currentThreadId());
    EXPECT_EQ(objects[1].get<std::string>("text"), "wide \u00E9");
    EXPECT_EQ(objects[1].get<std::string>("level"), "err");
    EXPECT_NE(Daemon::ReadAll(daemon.err).find("2 messages, 3 commands, 0 malformed"),
              std::string::npos);
}

// The record the running service publishes, byte for byte.
TEST_F(LogServiceProgram, PublishesItsConnectionRecord) {
    const std::string section = "zylavi-test-record-" + std::to_string(getpid());
    Daemon daemon({"--section", section, "--address", "127.0.0.1"});
    // The service announces itself once the record is in place.
    std::string announced;
    char c;
    while (read(daemon.err, &c, 1) == 1 && c != '\n')
        announced.push_back(c);
    unsigned commandPort = 0, messagePort = 0;
    const std::size_t ports = announced.find("(commands port ");
    ASSERT_NE(ports, std::string::npos) << announced;
    ASSERT_EQ(std::sscanf(announced.c_str() + ports, "(commands port %u, messages port %u)",
                          &commandPort, &messagePort),
              2)
        << announced;

    std::ifstream in("/dev/shm/" + section, std::ios::binary);
    const Bytes record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(record.size(), 24u);
    const auto lo = [](unsigned port) { return static_cast<std::uint8_t>(port & 0xFF); };
    const auto hi = [](unsigned port) { return static_cast<std::uint8_t>(port >> 8); };
    const Bytes expected = {
        0xBA, 0xBA, 0xAB, 0xAB,                                    // magic 0xABABBABA
        0x01, 0x00, 0x00, 0x00,                                    // version 1
        0x18, 0x00, 0x00, 0x00,                                    // 24 bytes
        0x01, 0x00, 0x00, 0x7F, lo(commandPort), hi(commandPort),  // 127.0.0.1, host order
        0x01, 0x00, 0x00, 0x7F, lo(messagePort), hi(messagePort),
    };
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 24), expected);
    EXPECT_EQ(daemon.Stop(), 0);
}

TEST_F(LogServiceProgram, RefusesBadArgumentsAndSettings) {
    zyl::test::TempDir dir;
    EXPECT_EQ(Daemon({"--command-port", "70000"}).Wait(), 2);
    EXPECT_EQ(Daemon({"--bogus"}).Wait(), 2);
    EXPECT_EQ(Daemon({"--config", dir.write("bad.json", "{")}).Wait(), 3);
    Daemon help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(Daemon::ReadAll(help.out).find("Usage: zylavi-logsvc"), std::string::npos);
}
