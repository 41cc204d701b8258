// zylavi-logsvc: a log service for ZylAvi modules on this machine.
//
// Publishes its connection record in shared memory, answers configuration requests from a JSON
// settings file, records module descriptions and prints every log message it receives on one
// line. One thread: a poll loop over the command and message sockets; signals only set a flag.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include "module/logging/log_config.h"
#include "module/logging/logsvc_error.h"
#include "service.h"

namespace {

namespace bip = boost::interprocess;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConfig = 3;

const char* kUsage =
    "Usage: zylavi-logsvc [OPTIONS]\n"
    "\n"
    "A log service for ZylAvi modules: modules that configure their logging from a log service\n"
    "find it through shared memory, ask it how to log, and send it their messages, which it\n"
    "prints one per line.\n"
    "\n"
    "Options:\n"
    "  --config FILE        per-module settings (JSON); default: every module logs everything "
    "here\n"
    "  --address ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
    "  --command-port N     UDP port for commands (default 0: any free port)\n"
    "  --message-port N     UDP port for log messages (default 0: any free port)\n"
    "  --section NAME       shared-memory name of the connection record\n"
    "                       (default qnLogSvcConnectionInfo)\n"
    "  --replace            take over the record even if another service answers on it\n"
    "  --json               print one JSON object per message instead of a line of text\n"
    "  -h, --help           show this help\n"
    "\n"
    "Settings file:\n"
    "  {\"default\": {\"destination\": \"logsvc\", \"level\": \"info\"},\n"
    "   \"modules\": {\"Reel2\": {\"destination\": \"logsvc\", \"level\": \"all\", \"thread_id\": "
    "\"off\"}}}\n"
    "  Values: destination none|file|cout|cerr|trace|console|evtlog|logsvc; level\n"
    "  none|fatal|err|warn|info|trace|debug|all|0xMASK; file (for file); sockaddr, thread_id\n"
    "  (for logsvc).\n"
    "\n"
    "Stops on SIGINT or SIGTERM and removes its record. Exit codes: 0 stopped cleanly, 1 could\n"
    "not start (socket, shared memory, another service running), 2 usage error, 3 bad settings\n"
    "file.\n";

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

struct Options {
    std::string config;
    std::string address = "127.0.0.1";
    std::uint16_t commandPort = 0;
    std::uint16_t messagePort = 0;
    std::string section = qnLogging::kConnectionSection;
    bool replace = false;
    bool json = false;
};

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long value = std::stoul(text);
    if (value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

int BindUdp(std::uint32_t address, std::uint16_t port, std::uint16_t& bound, std::string& error) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int size = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in where = qnLogging::ToSockaddr({address, port});
    if (bind(s, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        error = "cannot listen on port " + std::to_string(port) + ": " + std::strerror(errno);
        close(s);
        return -1;
    }
    socklen_t length = sizeof where;
    getsockname(s, reinterpret_cast<sockaddr*>(&where), &length);
    bound = ntohs(where.sin_port);
    return s;
}

// Whether a service answers on the record currently published under the name.
bool AnotherServiceAnswers() {
    try {
        const qnLogging::ConnectionInfo info = qnLogging::ReadConnectionInfo();
        qnLogging::ClientSocket probe(info.command);
        probe.Execute(qnLogging::logsvc::kGetConfiguration, "{\"module\":\"zylavi-logsvc probe\"}");
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::cerr << "zylavi-logsvc: " << name << " needs a value\n";
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return kExitOk;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--replace") {
            options.replace = true;
        } else if (arg == "--config" || arg == "--address" || arg == "--section" ||
                   arg == "--command-port" || arg == "--message-port") {
            const auto v = value(arg.c_str());
            if (!v)
                return kExitUsage;
            if (arg == "--config")
                options.config = *v;
            if (arg == "--address")
                options.address = *v;
            if (arg == "--section")
                options.section = *v;
            if (arg == "--command-port" || arg == "--message-port") {
                const auto port = ParsePort(*v);
                if (!port) {
                    std::cerr << "zylavi-logsvc: " << arg << ": not a port number: " << *v << "\n";
                    return kExitUsage;
                }
                (arg == "--command-port" ? options.commandPort : options.messagePort) = *port;
            }
        } else {
            std::cerr << "zylavi-logsvc: unknown argument " << arg << "\n\n" << kUsage;
            return kExitUsage;
        }
    }
    in_addr address{};
    if (inet_pton(AF_INET, options.address.c_str(), &address) != 1) {
        std::cerr << "zylavi-logsvc: --address: not a dotted IPv4 address: " << options.address
                  << "\n";
        return kExitUsage;
    }

    zyl::logsvc::ServiceConfig config = zyl::logsvc::DefaultServiceConfig();
    if (!options.config.empty()) {
        try {
            config = zyl::logsvc::LoadServiceConfig(options.config);
        } catch (const std::exception& e) {
            std::cerr << "zylavi-logsvc: " << e.what() << "\n";
            return kExitConfig;
        }
    }

    std::string error;
    std::uint16_t commandPort = 0, messagePort = 0;
    const std::uint32_t host = ntohl(address.s_addr);
    const int commands = BindUdp(host, options.commandPort, commandPort, error);
    const int messages = commands < 0 ? -1 : BindUdp(host, options.messagePort, messagePort, error);
    if (commands < 0 || messages < 0) {
        std::cerr << "zylavi-logsvc: " << error << "\n";
        if (commands >= 0)
            close(commands);
        return kExitFailed;
    }

    qnLogging::SetConnectionSectionBaseName(options.section);
    if (!options.replace && AnotherServiceAnswers()) {
        std::cerr << "zylavi-logsvc: another log service already answers on \"" << options.section
                  << "\" (stop it, or use --replace or another --section)\n";
        return kExitFailed;
    }
    qnLogging::ConnectionInfo info;
    info.command = {host, commandPort};
    info.messages = {host, messagePort};
    const auto record = qnLogging::EncodeConnectionInfo(info);
    try {
        bip::shared_memory_object::remove(options.section.c_str());
        bip::shared_memory_object section(bip::create_only, options.section.c_str(),
                                          bip::read_write);
        section.truncate(static_cast<bip::offset_t>(record.size()));
        bip::mapped_region region(section, bip::read_write);
        std::memcpy(region.get_address(), record.data(), record.size());
    } catch (const bip::interprocess_exception& e) {
        std::cerr << "zylavi-logsvc: cannot publish the connection record \"" << options.section
                  << "\": " << e.what() << "\n";
        return kExitFailed;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::cerr << "zylavi-logsvc: listening on " << options.address << " (commands port "
              << commandPort << ", messages port " << messagePort << "), record \""
              << options.section << "\"\n"
              << std::flush;

    zyl::logsvc::Service service(std::move(config), options.json);
    // One buffer for every datagram: memory stays bounded whatever arrives. Oversized datagrams
    // are recognised by MSG_TRUNC and dropped.
    static std::uint8_t buffer[65536];
    pollfd fds[2] = {{commands, POLLIN, 0}, {messages, POLLIN, 0}};
    while (!g_stop) {
        const int ready = poll(fds, 2, 500);
        if (ready <= 0)
            continue;
        for (int which = 0; which < 2; ++which) {
            if (!(fds[which].revents & POLLIN))
                continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t size = recvfrom(fds[which].fd, buffer, sizeof buffer, MSG_TRUNC,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (size < 0)
                continue;
            const auto length = static_cast<std::size_t>(size);
            if (which == 0) {
                if (auto answer =
                        service.HandleCommand(buffer, std::min(length, sizeof buffer + 1))) {
                    sendto(commands, answer->data(), answer->size(), 0,
                           reinterpret_cast<sockaddr*>(&from), fromLength);
                }
            } else if (auto line =
                           service.HandleMessage(buffer, std::min(length, sizeof buffer + 1))) {
                std::fwrite(line->data(), 1, line->size(), stdout);
                std::fputc('\n', stdout);
            }
        }
    }

    bip::shared_memory_object::remove(options.section.c_str());
    close(commands);
    close(messages);
    const auto& c = service.counters();
    std::cerr << "zylavi-logsvc: stopped; " << c.messages << " messages, " << c.commands
              << " commands, " << c.malformed << " malformed datagrams dropped\n";
    return kExitOk;
}
