// Player selection with a sibling library that claims, declines or lacks its export: a copy of
// the module is loaded from a folder that holds the fake next to it.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/module_host.h"
#include "platform/file_dialog.h"
#include "platform/process.h"
#include "support/temp_dir.h"
#include "support/zyrv_files.h"

namespace {

std::string BuiltModule() {
    const std::string exe = zyl::platform::executablePath();
    return exe.substr(0, exe.rfind('/') + 1) + "libZylAvi.so";
}

// A folder with a copy of the module and, when given, a fake sibling library.
std::string ModuleWith(const zyl::test::TempDir& dir, const char* fake) {
    const std::string module = dir.file("libZylAvi.so");
    std::filesystem::copy_file(BuiltModule(), module);
    if (fake) {
        std::filesystem::copy_file(std::string(ZYLAVI_TEST_FAKES) + "/lib" + fake + ".so",
                                   dir.file("libKELFile.so"));
    }
    return module;
}

}  // namespace

TEST(PlayerSelection, TheSiblingLibraryMayClaimTheFile) {
    zyl::test::TempDir dir;
    const std::string video = zyl::test::WriteZyrv(dir.file("v.zyrv"), {});
    struct Case {
        const char* fake;
        bool opens;
    };
    for (const Case& c : {Case{"kelfile_claims", false}, Case{"kelfile_declines", true},
                          Case{"kelfile_noexport", true}, Case{nullptr, true}}) {
        zyl::test::TempDir moduleDir;
        zyl::tools::LoadedModule module(ModuleWith(moduleDir, c.fake));
        HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(video).c_str());
        EXPECT_EQ(handle != nullptr, c.opens) << (c.fake ? c.fake : "no sibling");
        if (handle)
            HostRelease(handle);
    }
}

TEST(PlayerSelection, NarrowPathsAndTheDialog) {
    zyl::test::TempDir dir;
    const std::string video = zyl::test::WriteZyrv(dir.file("v.zyrv"), {});
    zyl::tools::LoadedModule module;
    HostHandle handle = module.GetImageFromFile(video.c_str());
    ASSERT_NE(handle, nullptr);
    HostRelease(handle);
    EXPECT_EQ(module.GetImageFromFile(nullptr), nullptr);
    // A legal Linux file name that is no text: refused like any file that cannot be opened,
    // since a plain C host cannot catch an exception.
    auto refuse = [&]() noexcept { return module.GetImageFromFile("\xff\xfe.zyrv"); };
    EXPECT_EQ(refuse(), nullptr);
    // Without a user the dialog is cancelled at once.
    zyl::test::ScopedEnv quiet("ZYLAVI_NO_DIALOGS", "1");
    EXPECT_EQ(module.GetImage(), nullptr);
}
