// GetImage as this process's own copy of the entry points runs it, with the dialog answered
// through the platform's test seam.
#include <gtest/gtest.h>

#include <filesystem>

#include "module/entry/Entry.h"
#include "platform/file_dialog.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

using zyl::platform::FileFilter;

namespace {

// Answers the dialog from a script, then cancels; remembers the filters it was shown.
class ScriptedDialog final : public zyl::platform::FileDialogProvider {
public:
    explicit ScriptedDialog(std::vector<std::optional<std::string>> answers)
        : answers_(std::move(answers)) {
        zyl::platform::setFileDialogForTesting(this);
    }
    ~ScriptedDialog() override { zyl::platform::setFileDialogForTesting(nullptr); }
    std::optional<std::string> open(const std::vector<FileFilter>& filters) override {
        shown = filters;
        return asked_ < answers_.size() ? answers_[asked_++] : (++asked_, std::nullopt);
    }
    std::size_t asked() const { return asked_; }
    std::vector<FileFilter> shown;

private:
    std::vector<std::optional<std::string>> answers_;
    std::size_t asked_ = 0;
};

}  // namespace

TEST(OpenDialog, AMistypedNameOrAFolderIsAskedAgainAndNeverCreated) {
    zyl::test::TempDir dir;
    const std::string video = zyl::test::WriteZyrv(dir.file("v.zyrv"), {});
    ScriptedDialog dialog({dir.file("typo.zyrv"), dir.path().string(), video});
    HostHandle handle = GetImage();
    EXPECT_NE(handle, nullptr);
    HostRelease(handle);
    EXPECT_EQ(dialog.asked(), 3u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("typo.zyrv")));
    ASSERT_EQ(dialog.shown.size(), 2u);
    EXPECT_EQ(dialog.shown[0].description, "Video Files (*.avi, *.mpg, *.mpeg)");
    EXPECT_EQ(dialog.shown[0].patterns, "*.avi;*.mpg;*.mpeg");
    EXPECT_EQ(dialog.shown[1].description, "All Files (*.*)");
    EXPECT_EQ(dialog.shown[1].patterns, "*.*");
}

TEST(OpenDialog, AnEmptyAnswerCancels) {
    ScriptedDialog dialog({std::string()});
    EXPECT_EQ(GetImage(), nullptr);
    EXPECT_EQ(dialog.asked(), 1u);
}
