#include "platform/message_box.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

extern char** environ;

namespace zyl::platform {
namespace {

std::atomic<MessageBoxProvider*> g_replacement{nullptr};

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    if (!path)
        return false;
    std::string dirs(path);
    std::size_t pos = 0;
    while (pos <= dirs.size()) {
        std::size_t end = dirs.find(':', pos);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(pos, end - pos) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        pos = end + 1;
    }
    return false;
}

std::optional<MessageBoxResult> desktopDialog(std::string_view text, std::string_view caption) {
    const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    if (!display || !onPath("zenity"))
        return std::nullopt;
    std::string title = "--title=" + std::string(caption);
    std::string body = "--text=" + std::string(text);
    char* argv[] = {const_cast<char*>("zenity"), const_cast<char*>("--info"), title.data(),
                    body.data(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "zenity", nullptr, nullptr, argv, environ) != 0)
        return std::nullopt;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? MessageBoxResult::Ok
                                                           : MessageBoxResult::Cancel;
}

}  // namespace

MessageBoxResult messageBox(std::string_view text, std::string_view caption) {
    if (MessageBoxProvider* replacement = g_replacement.load(std::memory_order_acquire)) {
        return replacement->show(text, caption);
    }
    const bool quiet = std::getenv("ZYLAVI_NO_DIALOGS") != nullptr;
    if (!quiet) {
        if (auto answer = desktopDialog(text, caption))
            return *answer;
        if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
            std::fprintf(stderr, "\n[%.*s] %.*s (press Enter) ", static_cast<int>(caption.size()),
                         caption.data(), static_cast<int>(text.size()), text.data());
            std::fflush(stderr);
            int c;
            while ((c = std::getchar()) != EOF && c != '\n') {
            }
            return MessageBoxResult::Ok;
        }
    }
    std::fprintf(stderr, "[%.*s] %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
    return MessageBoxResult::Ok;
}

void setMessageBoxForTesting(MessageBoxProvider* replacement) {
    g_replacement.store(replacement, std::memory_order_release);
}

}  // namespace zyl::platform
