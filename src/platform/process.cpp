#include "platform/process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace zyl::platform {

std::string executablePath() {
    std::array<char, 4096> buffer{};
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::uint32_t currentThreadId() {
    thread_local const auto id = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return id;
}

std::uint32_t currentProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

std::string systemErrorText(int error) {
    std::array<char, 256> buffer{};
    // GNU strerror_r returns the text, which may or may not live in our buffer.
    const char* text = strerror_r(error, buffer.data(), buffer.size());
    if (text == nullptr || *text == '\0' || std::strncmp(text, "Unknown error", 13) == 0) {
        return "Error " + std::to_string(error);
    }
    return text;
}

}  // namespace zyl::platform
