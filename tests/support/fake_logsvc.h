// A log service stand-in on loopback: real UDP sockets and a real shared-memory connection
// record under a name of its own, answering commands through a handler the test supplies and
// keeping every log message datagram it receives. One thread of its own; the received list is
// guarded by a mutex.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include "module/logging/log_config.h"

namespace zyl::test {

using Datagram = std::vector<std::uint8_t>;

class FakeLogService {
public:
    using Handler = std::function<std::optional<Datagram>(const Datagram&)>;

    explicit FakeLogService(Handler handler, bool answerFromAnotherPort = false)
        : handler_(std::move(handler)) {
        static std::atomic<int> counter{0};
        section_ = "zylavi-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        commands_ = Bind(command_);
        messages_ = Bind(messages_endpoint_);
        if (answerFromAnotherPort) {
            qnLogging::Endpoint unused;
            replier_ = Bind(unused);
        }
        qnLogging::ConnectionInfo info;
        info.command = command_;
        info.messages = messages_endpoint_;
        Publish(qnLogging::EncodeConnectionInfo(info));
        qnLogging::SetConnectionSectionBaseName(section_);
        thread_ = std::thread([this] { Run(); });
    }

    ~FakeLogService() {
        stop_ = true;
        thread_.join();
        boost::interprocess::shared_memory_object::remove(section_.c_str());
        qnLogging::SetConnectionSectionBaseName("");
        for (int fd : {commands_, messages_, replier_}) {
            if (fd >= 0)
                close(fd);
        }
    }

    // Replaces the published record (for malformed-record tests).
    void Publish(const std::vector<std::uint8_t>& bytes) {
        namespace bip = boost::interprocess;
        bip::shared_memory_object::remove(section_.c_str());
        bip::shared_memory_object shm(bip::create_only, section_.c_str(), bip::read_write);
        shm.truncate(static_cast<bip::offset_t>(bytes.size()));
        bip::mapped_region region(shm, bip::read_write);
        std::memcpy(region.get_address(), bytes.data(), bytes.size());
    }
    template <std::size_t N>
    void Publish(const std::array<std::uint8_t, N>& bytes) {
        Publish(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }

    // Waits up to two seconds for at least n log message datagrams.
    std::vector<Datagram> Messages(std::size_t n) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(2), [&] { return messages_received_.size() >= n; });
        return messages_received_;
    }
    std::vector<Datagram> Commands() {
        std::lock_guard lock(mutex_);
        return commands_received_;
    }

    const qnLogging::Endpoint& command() const { return command_; }
    const qnLogging::Endpoint& messages() const { return messages_endpoint_; }

private:
    static int Bind(qnLogging::Endpoint& endpoint) {
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in where = qnLogging::ToSockaddr({INADDR_LOOPBACK, 0});
        bind(s, reinterpret_cast<sockaddr*>(&where), sizeof where);
        socklen_t length = sizeof where;
        getsockname(s, reinterpret_cast<sockaddr*>(&where), &length);
        endpoint = {INADDR_LOOPBACK, ntohs(where.sin_port)};
        return s;
    }

    void Run() {
        pollfd fds[2] = {{commands_, POLLIN, 0}, {messages_, POLLIN, 0}};
        std::uint8_t buffer[2048];
        while (!stop_) {
            if (poll(fds, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = recvfrom(fds[i].fd, buffer, sizeof buffer, 0,
                                           reinterpret_cast<sockaddr*>(&from), &length);
                if (n < 0)
                    continue;
                Datagram d(buffer, buffer + n);
                if (i == 1) {
                    std::lock_guard lock(mutex_);
                    messages_received_.push_back(std::move(d));
                    cv_.notify_all();
                    continue;
                }
                {
                    std::lock_guard lock(mutex_);
                    commands_received_.push_back(d);
                }
                if (auto answer = handler_(d)) {
                    sendto(replier_ >= 0 ? replier_ : commands_, answer->data(), answer->size(), 0,
                           reinterpret_cast<sockaddr*>(&from), length);
                }
            }
        }
    }

    Handler handler_;
    std::string section_;
    int commands_ = -1, messages_ = -1, replier_ = -1;
    qnLogging::Endpoint command_, messages_endpoint_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Datagram> messages_received_, commands_received_;
};

}  // namespace zyl::test
