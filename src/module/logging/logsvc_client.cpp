#include "module/logging/logsvc_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "module/logging/logsvc_error.h"
#include "platform/process.h"
#include "platform/text.h"

namespace qnLogging {
namespace {

constexpr int kSocketBuffer = 0x20000;
constexpr int kAttempts = 2;
constexpr std::chrono::milliseconds kAnswerWait{500};
const char* kExchangeFailed =
    "Log client command execution failure when communicating with the server.";

// poll, not select: a descriptor number of 1024 or more does not fit in an fd_set.
bool WaitReadable(int socket, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    pollfd entry{socket, POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready =
            poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready >= 0)
            return ready > 0 && (entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        if (errno != EINTR)
            return false;
    }
}

bool SendDatagram(int socket, const sockaddr_in& to, const std::uint8_t* data, std::size_t size) {
    ssize_t sent;
    do {
        sent = sendto(socket, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

}  // namespace

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    address.sin_addr.s_addr = htonl(endpoint.address);
    return address;
}

int OpenClientUdpSocket() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        throw LogSvcError("Failed to create the log client socket");
    }
    // Best effort, as the buffers only absorb bursts.
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    const int flags = fcntl(s, F_GETFL, 0);
    if (flags >= 0)
        fcntl(s, F_SETFL, flags | O_NONBLOCK);
    return s;
}

ClientSocket::ClientSocket(const Endpoint& server)
    : m_socket(OpenClientUdpSocket()), m_server(ToSockaddr(server)) {}

ClientSocket::~ClientSocket() {
    Close();
}

void ClientSocket::Close() {
    if (m_socket >= 0) {
        ::close(m_socket);
        m_socket = -1;
    }
}

std::string ClientSocket::Execute(std::uint16_t command, std::string_view payload) {
    if (payload.size() > logsvc::kMaxData) {
        throw LogSvcError("The command packet data are out of range");
    }
    std::uint8_t packet[logsvc::kMaxDatagram];
    logsvc::Header header;
    header.magic = logsvc::kCommandMagic;
    header.command = command;
    header.requestId = logsvc::NewRequestId();
    header.dataLength = static_cast<std::uint16_t>(payload.size());
    logsvc::EncodeHeader(header, packet);
    std::memcpy(packet + logsvc::kHeaderSize, payload.data(), payload.size());
    const std::size_t packetSize = logsvc::kHeaderSize + payload.size();

    // Answers to earlier, abandoned requests must not be taken for this one's.
    while (WaitReadable(m_socket, std::chrono::milliseconds{0})) {
        std::uint8_t scratch[1024];
        if (recvfrom(m_socket, scratch, sizeof scratch, 0, nullptr, nullptr) < 0 &&
            errno != EAGAIN) {
            throw LogSvcError(
                "Failed to read out invalid previous data from the log client socket");
        }
    }

    std::uint8_t answer[logsvc::kMaxDatagram];
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!SendDatagram(m_socket, m_server, packet, packetSize))
            continue;
        if (!WaitReadable(m_socket, kAnswerWait))
            continue;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = recvfrom(m_socket, answer, sizeof answer, 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0 || fromLength < sizeof from || from.sin_family != AF_INET ||
            from.sin_addr.s_addr != m_server.sin_addr.s_addr ||
            from.sin_port != m_server.sin_port) {
            continue;
        }
        logsvc::ValidateAcknowledge(answer, static_cast<std::size_t>(received), command,
                                    header.requestId);
        return std::string(reinterpret_cast<const char*>(answer + logsvc::kHeaderSize),
                           logsvc::DecodeHeader(answer).dataLength);
    }
    throw LogSvcError(kExchangeFailed);
}

LogMessageDispatcher::LogMessageDispatcher(const Endpoint& destination, bool threadId)
    : m_socket(OpenClientUdpSocket()),
      m_destination(destination),
      m_address(ToSockaddr(destination)),
      m_pattern(logsvc::DefaultPattern(false, threadId)),
      m_attachmentPattern(logsvc::DefaultPattern(true, threadId)) {}

LogMessageDispatcher::~LogMessageDispatcher() {
    if (m_socket >= 0)
        ::close(m_socket);
}

void LogMessageDispatcher::Send(const basic_timed_msgstate& state,
                                const logsvc::MessageText& text) {
    const bool attachments = !state.attachments.empty();
    logsvc::ContainerFacts facts;
    facts.sequence = (attachments ? m_attachmentSequence : m_plainSequence)
                         .fetch_add(1, std::memory_order_relaxed) +
                     1;
    static const std::uint32_t processId = zyl::platform::currentProcessId();
    facts.processId = processId;
    facts.threadId = zyl::platform::currentThreadId();
    facts.codePage = zyl::platform::kAnsiCodePage;

    std::uint8_t packet[logsvc::kMaxDatagram];
    const std::size_t length =
        logsvc::BuildContainer(packet + logsvc::kHeaderSize, state, text,
                               attachments ? m_attachmentPattern : m_pattern, facts);
    logsvc::Header header;
    header.magic = logsvc::kMessageMagic;
    header.flags = 1;
    header.command = attachments ? logsvc::kLogMessageWithAttachments : logsvc::kLogMessage;
    header.requestId = logsvc::NewRequestId();
    header.dataLength = static_cast<std::uint16_t>(length);
    logsvc::EncodeHeader(header, packet);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (SendDatagram(m_socket, m_address, packet, logsvc::kHeaderSize + length))
            return;
    }
    throw LogSvcError(kExchangeFailed);
}

}  // namespace qnLogging
