#include "platform/file_dialog.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace zyl::platform {
namespace {

std::atomic<FileDialogProvider*> g_replacement{nullptr};

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    return out + "'";
}

std::optional<std::string> Desktop(const std::vector<FileFilter>& filters) {
    if (!(std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")))
        return std::nullopt;
    if (std::system("command -v zenity >/dev/null 2>&1") != 0)
        return std::nullopt;
    std::string command = "zenity --file-selection";
    for (const FileFilter& f : filters) {
        std::string patterns = f.patterns;
        for (char& c : patterns) {
            if (c == ';')
                c = ' ';
        }
        command += " --file-filter=" + ShellQuote(f.description + " | " + patterns);
    }
    command += " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return std::nullopt;
    std::string chosen;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe))
        chosen += buffer;
    const int status = pclose(pipe);
    while (!chosen.empty() && (chosen.back() == '\n' || chosen.back() == '\r'))
        chosen.pop_back();
    if (status != 0)
        return std::string();  // the user cancelled
    return chosen;
}

}  // namespace

std::optional<std::string> openFileDialog(const std::vector<FileFilter>& filters) {
    if (FileDialogProvider* replacement = g_replacement.load(std::memory_order_acquire)) {
        return replacement->open(filters);
    }
    if (std::getenv("ZYLAVI_NO_DIALOGS"))
        return std::nullopt;
    if (auto chosen = Desktop(filters)) {
        if (chosen->empty())
            return std::nullopt;
        return chosen;
    }
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
        std::cerr << "Open video file (";
        for (std::size_t i = 0; i < filters.size(); ++i)
            std::cerr << (i ? ", " : "") << filters[i].description;
        std::cerr << "), empty to cancel: " << std::flush;
        std::string line;
        if (std::getline(std::cin, line) && !line.empty())
            return line;
    }
    return std::nullopt;
}

void setFileDialogForTesting(FileDialogProvider* replacement) {
    g_replacement.store(replacement, std::memory_order_release);
}

}  // namespace zyl::platform
