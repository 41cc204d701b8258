// The open-file dialog: a desktop dialog (zenity) when a display is available, else a prompt
// when standard input and standard error are terminals, else (or with ZYLAVI_NO_DIALOGS set)
// cancelled at once, so a process without a user is never blocked. Whatever answers, only an
// existing file is returned; any other name is asked for again. Any thread; no locks. Tests
// answer through setFileDialogForTesting.
#pragma once

#include <iosfwd>
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

// The terminal fallback: asks on out and reads the answer from in until it names an existing
// file; an empty line or the end of the input cancels.
std::optional<std::string> promptForFile(std::istream& in, std::ostream& out,
                                         const std::vector<FileFilter>& filters);

}  // namespace zyl::platform
