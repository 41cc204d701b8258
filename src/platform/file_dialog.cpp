#include "platform/file_dialog.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// A folder does not count: the dialog would open it rather than return it.
bool IsExistingFile(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

}  // namespace

std::optional<std::string> openFileDialog(const std::vector<FileFilter>& filters) {
    // As the system dialog with its must-exist options: a name that is no existing file is not
    // returned, the user is asked again (every opener would otherwise create it empty).
    while (true) {
        std::optional<std::string> chosen;
        if (FileDialogProvider* replacement = g_replacement.load(std::memory_order_acquire)) {
            chosen = replacement->open(filters);
        } else if (std::getenv("ZYLAVI_NO_DIALOGS")) {
            return std::nullopt;
        } else if (auto desktop = Desktop(filters)) {
            chosen = std::move(desktop);
        } else if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
            return promptForFile(std::cin, std::cerr, filters);
        } else {
            return std::nullopt;
        }
        if (!chosen || chosen->empty())
            return std::nullopt;
        if (IsExistingFile(*chosen))
            return chosen;
    }
}

std::optional<std::string> promptForFile(std::istream& in, std::ostream& out,
                                         const std::vector<FileFilter>& filters) {
    while (true) {
        out << "Open video file (";
        for (std::size_t i = 0; i < filters.size(); ++i)
            out << (i ? ", " : "") << filters[i].description;
        out << "), empty to cancel: " << std::flush;
        std::string line;
        if (!std::getline(in, line) || line.empty())
            return std::nullopt;
        if (IsExistingFile(line))
            return line;
        out << line << ": no such file\n";
    }
}

void setFileDialogForTesting(FileDialogProvider* replacement) {
    g_replacement.store(replacement, std::memory_order_release);
}

}  // namespace zyl::platform
