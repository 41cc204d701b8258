// Loads the built module the way a host does and checks what a host can observe of it.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "module/logging/module_log_setup.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace {

std::string ModulePath() {
    const std::string exe = zyl::platform::executablePath();
    return exe.substr(0, exe.rfind('/')) + "/libZylAvi.so";
}

std::string LastLine(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n')
        trimmed.pop_back();
    return trimmed.substr(trimmed.rfind('\n') + 1);
}

}  // namespace

TEST(ModuleLoad, LoadAndUnloadWriteTheModuleLog) {
    zyl::test::TempDir dir;
    zyl::test::ScopedEnv registry(
        "ZYLON_REGISTRY",
        dir.write("r.reg",
                  "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI]\n"
                  "\"LogTarget\"=dword:00000001\n"));
    const std::string log = qnLogging::module_log_file_for(zyl::platform::executablePath());
    std::error_code ec;
    std::filesystem::remove(log, ec);
    void* module = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    EXPECT_TRUE(std::filesystem::exists(log)) << "the log file is opened at load";
    EXPECT_EQ(dlclose(module), 0);
    const std::string content = zyl::test::readFile(log);
    EXPECT_TRUE(LastLine(content).ends_with("[info] End log.")) << content;
    std::filesystem::remove(log, ec);
}

TEST(ModuleLoad, ExportsItsEntryPointsAndNothingElse) {
    const std::string command = "nm -D --defined-only '" + ModulePath() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    const std::set<std::string> allowed = {
        "GetImage",          "GetImageFromFile",  "GetImageFromFileW",
        "CanUnload",         "OpenRawVideo",      "SetRawVideoFrameIndex",
        "ReadRawVideoImage", "DllRegisterServer", "DllUnregisterServer",
        "DllGetClassObject", "DllCanUnloadNow"};
    std::set<std::string> unexpected, found;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string symbol(line);
        symbol = symbol.substr(symbol.rfind(' ') + 1);
        symbol.erase(symbol.find_last_not_of("\r\n") + 1);
        (allowed.count(symbol) ? found : unexpected).insert(symbol);
    }
    EXPECT_EQ(pclose(pipe), 0) << "nm is part of binutils";
    EXPECT_TRUE(unexpected.empty()) << "first unexpected export: " << *unexpected.begin();
    EXPECT_EQ(found, allowed) << "every entry point, the COM server's included";
}
