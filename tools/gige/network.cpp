#include "network.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zyl::gige {

namespace {

struct Entry {
    std::string interfaceName;
    std::string address;
};

std::vector<Entry> Ipv4Entries() {
    std::vector<Entry> entries;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return entries;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            entries.push_back({it->ifa_name, text});
    }
    freeifaddrs(list);
    return entries;
}

}  // namespace

std::vector<std::string> InterfaceAddresses(const std::string& name) {
    std::vector<std::string> addresses;
    for (const Entry& e : Ipv4Entries()) {
        if (e.interfaceName == name || e.interfaceName.rfind(name + ":", 0) == 0)
            addresses.push_back(e.address);
    }
    return addresses;
}

bool InterfaceExists(const std::string& name) {
    if (if_nametoindex(name.c_str()) != 0)
        return true;
    for (const Entry& e : Ipv4Entries()) {
        if (e.interfaceName == name)
            return true;
    }
    return false;
}

std::optional<std::string> InterfaceOf(const std::string& address) {
    for (const Entry& e : Ipv4Entries()) {
        if (e.address == address)
            return e.interfaceName;
    }
    return std::nullopt;
}

std::string ControlPortProblem(const std::string& address) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(kControlPort);
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1)
        return "'" + address + "' is not an IPv4 address";
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return std::string("no UDP socket: ") + std::strerror(errno);
    // Without SO_REUSEADDR this fails while another camera (which binds with it) listens.
    std::string problem;
    if (bind(probe, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        problem = errno == EADDRINUSE
                      ? "UDP port " + std::to_string(kControlPort) + " at " + address +
                            " is in use (another camera is served there)"
                      : "cannot listen at " + address + ":" + std::to_string(kControlPort) + ": " +
                            std::strerror(errno);
    }
    close(probe);
    return problem;
}

}  // namespace zyl::gige
