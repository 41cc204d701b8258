// The terminal prompt's must-exist rule; the dialog's is checked through GetImage.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/file_dialog.h"
#include "support/temp_dir.h"

using zyl::platform::FileFilter;

namespace {
const std::vector<FileFilter> kFilters = {{"Videos", "*.zyrv"}};
}  // namespace

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
