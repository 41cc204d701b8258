#include "platform/console.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace zyl::platform {
namespace {

constexpr std::uint16_t kDefaultAttribute = 0x07;

// Windows colour bits are blue 1, green 2, red 4; ANSI colour numbers are red 1, green 2, blue 4.
int ansiColour(unsigned bits) {
    return ((bits & 4) ? 1 : 0) | (bits & 2) | ((bits & 1) ? 4 : 0);
}

class TerminalConsole final : public Console {
public:
    TerminalConsole() {
        if (isatty(STDERR_FILENO)) {
            fd_ = STDERR_FILENO;
        } else if (isatty(STDOUT_FILENO)) {
            fd_ = STDOUT_FILENO;
        }
    }

    bool available() const override { return fd_ >= 0; }

    std::size_t write(std::string_view text) override {
        if (fd_ < 0)
            return 0;
        std::lock_guard lock(mutex_);
        return writeAll(text);
    }

    std::uint16_t attribute() const override {
        std::lock_guard lock(mutex_);
        return attribute_;
    }

    bool setAttribute(std::uint16_t attribute) override {
        if (fd_ < 0)
            return false;
        std::lock_guard lock(mutex_);
        const std::string sequence = attributeToAnsi(attribute);
        if (writeAll(sequence) != sequence.size())
            return false;
        attribute_ = attribute;
        return true;
    }

    bool setTitle(std::string_view title) override {
        if (fd_ < 0)
            return false;
        std::string sequence = "\x1b]2;";
        for (char c : title) {
            // Control characters would end the sequence early.
            sequence.push_back(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
        }
        sequence += "\x07";
        std::lock_guard lock(mutex_);
        return writeAll(sequence) == sequence.size();
    }

private:
    std::size_t writeAll(std::string_view text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    int fd_ = -1;
    mutable std::mutex mutex_;
    std::uint16_t attribute_ = kDefaultAttribute;
};

std::atomic<Console*> g_replacement{nullptr};

}  // namespace

std::string attributeToAnsi(std::uint16_t attribute) {
    if ((attribute & 0xFF) == kDefaultAttribute) {
        return "\x1b[0m";
    }
    const unsigned fg = attribute & 0x0F;
    const unsigned bg = (attribute >> 4) & 0x0F;
    std::string out = "\x1b[0;";
    out += std::to_string(((fg & 8) ? 90 : 30) + ansiColour(fg));
    out += ';';
    out += std::to_string(((bg & 8) ? 100 : 40) + ansiColour(bg));
    out += 'm';
    return out;
}

Console& console() {
    if (Console* replacement = g_replacement.load(std::memory_order_acquire)) {
        return *replacement;
    }
    static TerminalConsole terminal;
    return terminal;
}

void setConsoleForTesting(Console* replacement) {
    g_replacement.store(replacement, std::memory_order_release);
}

}  // namespace zyl::platform
