// The log service client: the UDP socket that exchanges commands with a log service, and the
// dispatcher that sends log messages to it.
//
// ClientSocket is used by one thread at a time (the configuring thread) and lives for one
// configuration call. LogMessageDispatcher is shared by a log service target and its copies and
// may be called from any thread at once: each send builds its packet on the caller's stack and
// makes one sendto; the sequence counters are atomics. No locks.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "module/logging/logsvc_protocol.h"

namespace qnLogging {

// An IPv4 UDP endpoint; address and port in host byte order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

sockaddr_in ToSockaddr(const Endpoint& endpoint);

class ClientSocket {
public:
    // Creates the socket (throws LogSvcError "Failed to create the log client socket").
    explicit ClientSocket(const Endpoint& server);
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;
    ~ClientSocket();

    // Sends a command and waits for its acknowledge (two attempts of 500 ms). Returns the
    // acknowledge's payload. Throws LogSvcError on every failure.
    std::string Execute(std::uint16_t command, std::string_view payload);
    void Close();

private:
    int m_socket = -1;
    sockaddr_in m_server{};
};

class LogMessageDispatcher {
public:
    LogMessageDispatcher(const Endpoint& destination, bool threadId);
    LogMessageDispatcher(const LogMessageDispatcher&) = delete;
    LogMessageDispatcher& operator=(const LogMessageDispatcher&) = delete;
    ~LogMessageDispatcher();

    void Send(const basic_timed_msgstate& state, const logsvc::MessageText& text);
    const Endpoint& destination() const { return m_destination; }

private:
    int m_socket = -1;
    Endpoint m_destination;
    sockaddr_in m_address{};
    std::atomic<std::uint64_t> m_plainSequence{0};
    std::atomic<std::uint64_t> m_attachmentSequence{0};
    std::vector<std::uint8_t> m_pattern;
    std::vector<std::uint8_t> m_attachmentPattern;
};

// Opens a UDP socket with the client's options (128 KiB buffers, non-blocking).
int OpenClientUdpSocket();

}  // namespace qnLogging
