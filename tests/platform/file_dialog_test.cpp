// The open-file dialog's must-exist rule, through the test seam and the terminal prompt.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/file_dialog.h"
#include "support/temp_dir.h"

using zyl::platform::FileFilter;

namespace {

const std::vector<FileFilter> kFilters = {{"Videos", "*.zyrv"}};

// Answers the dialog from a script, then cancels.
class ScriptedDialog final : public zyl::platform::FileDialogProvider {
public:
    explicit ScriptedDialog(std::vector<std::optional<std::string>> answers)
        : answers_(std::move(answers)) {
        zyl::platform::setFileDialogForTesting(this);
    }
    ~ScriptedDialog() override { zyl::platform::setFileDialogForTesting(nullptr); }
    std::optional<std::string> open(const std::vector<FileFilter>&) override {
        return asked_ < answers_.size() ? answers_[asked_++] : (++asked_, std::nullopt);
    }
    std::size_t asked() const { return asked_; }

private:
    std::vector<std::optional<std::string>> answers_;
    std::size_t asked_ = 0;
};

}  // namespace

TEST(FileDialog, OnlyAnExistingFileIsEverChosen) {
    zyl::test::TempDir dir;
    const std::string video = dir.write("v.zyrv", "x");
    {
        ScriptedDialog dialog({dir.file("typo.zyrv"), dir.path().string(), video});
        EXPECT_EQ(zyl::platform::openFileDialog(kFilters), video);
        EXPECT_EQ(dialog.asked(), 3u) << "a missing file and a folder are asked again";
    }
    {
        ScriptedDialog dialog({dir.file("typo.zyrv"), std::nullopt});
        EXPECT_EQ(zyl::platform::openFileDialog(kFilters), std::nullopt);
        EXPECT_EQ(dialog.asked(), 2u);
    }
    {
        ScriptedDialog dialog({std::string()});
        EXPECT_EQ(zyl::platform::openFileDialog(kFilters), std::nullopt) << "empty cancels";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("typo.zyrv")));
}

TEST(FileDialog, TheTerminalPromptInsistsOnAnExistingFile) {
    zyl::test::TempDir dir;
    const std::string video = dir.write("v.zyrv", "x");
    std::istringstream in(dir.file("typo.zyrv") + "\n" + video + "\n");
    std::ostringstream out;
    EXPECT_EQ(zyl::platform::promptForFile(in, out, kFilters), video);
    EXPECT_NE(out.str().find("Open video file (Videos), empty to cancel: "), std::string::npos);
    EXPECT_NE(out.str().find(dir.file("typo.zyrv") + ": no such file"), std::string::npos)
        << out.str();

    std::istringstream cancel(dir.file("typo.zyrv") + "\n\n" + video + "\n");
    EXPECT_EQ(zyl::platform::promptForFile(cancel, out, kFilters), std::nullopt)
        << "an empty line cancels";
    std::istringstream ended(dir.file("typo.zyrv") + "\n");
    EXPECT_EQ(zyl::platform::promptForFile(ended, out, kFilters), std::nullopt)
        << "so does the end of the input";
    EXPECT_FALSE(std::filesystem::exists(dir.file("typo.zyrv")));
}
