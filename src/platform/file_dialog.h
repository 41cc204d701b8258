// The open-file dialog: a desktop dialog (zenity) when a display is available, else a prompt
// when standard input and standard error are terminals, else (or with ZYLAVI_NO_DIALOGS set)
// cancelled at once, so a process without a user is never blocked. Any thread; no locks. Tests
// answer through setFileDialogForTesting.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zyl::platform {

struct FileFilter {
    std::string description;  // "Video Files (*.avi, *.mpg, *.mpeg)"
    std::string patterns;     // "*.avi;*.mpg;*.mpeg"
};

class FileDialogProvider {
public:
    virtual ~FileDialogProvider() = default;
    virtual std::optional<std::string> open(const std::vector<FileFilter>& filters) = 0;
};

// The chosen path (UTF-8), or nothing when cancelled.
std::optional<std::string> openFileDialog(const std::vector<FileFilter>& filters);
void setFileDialogForTesting(FileDialogProvider* replacement);

}  // namespace zyl::platform
