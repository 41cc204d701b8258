// Loads the built module the way a host does and checks what a host can observe of it.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include <unistd.h>

#include "host/ZylHost.h"
#include "support/zyrv_files.h"

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

namespace {

enum class Held { Image, Container, Nothing };

// A host as hosts are: it loads the module on a thread that then ends, reads one image from a
// container, releases all but what it keeps, and unloads the module as soon as CanUnload allows.
// Runs in a child process (a fresh copy of the module, so this process's state plays no part);
// exit 0 when the kept object is released without a crash.
[[noreturn]] void UnloadingHost(const std::string& module, const std::string& video, Held held) {
    void* library = nullptr;
    HostHandle container = nullptr, image = nullptr;
    std::thread([&] {
        library = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return;
        using Open = ZYL::Result (*)(const wchar_t*, HostHandle*);
        using Read = ZYL::Result (*)(HostHandle, HostHandle*);
        const std::wstring wide(video.begin(), video.end());
        reinterpret_cast<Open>(dlsym(library, "OpenRawVideo"))(wide.c_str(), &container);
        reinterpret_cast<Read>(dlsym(library, "ReadRawVideoImage"))(container, &image);
    }).join();
    if (!library || !container || !image)
        std::_Exit(2);
    auto canUnload = reinterpret_cast<bool (*)()>(dlsym(library, "CanUnload"));
    HostRelease(held == Held::Container ? image : container);
    if (held == Held::Nothing)
        HostRelease(image);
    if (!canUnload())
        std::_Exit(3);
    dlclose(library);
    if (held == Held::Nothing)  // nothing alive: the module really goes
        std::_Exit(dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD) == nullptr ? 0 : 4);
    HostRelease(held == Held::Container ? container : image);
    std::_Exit(0);
}

}  // namespace

TEST(ModuleLoad, AHostThatUnloadsAsSoonAsItMayCanStillReleaseWhatItKeeps) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    zyl::test::TempDir dir;
    const std::string module = dir.file("libZylAvi.so");
    std::filesystem::copy_file(ModulePath(), module);
    const std::string video = zyl::test::WriteZyrv(dir.file("v.zyrv"), {});
    for (Held held : {Held::Image, Held::Container, Held::Nothing}) {
        EXPECT_EXIT(UnloadingHost(module, video, held), testing::ExitedWithCode(0), "")
            << static_cast<int>(held);
    }
}

// Loaded by a relative path, registered after the host changed directory: the registry must
// name the file that was loaded.
TEST(ModuleLoad, RegistrationRecordsThePathLoadedFromWhateverTheDirectoryIsNow) {
    // Forked, not re-run: the child must register into this run's temporary folder.
    GTEST_FLAG_SET(death_test_style, "fast");
    zyl::test::TempDir dir;
    std::filesystem::create_directories(dir.file("lib"));
    std::filesystem::copy_file(ModulePath(), dir.file("lib/libZylAvi.so"));
    const std::string registry = dir.file("r.reg");
    zyl::test::ScopedEnv env("ZYLON_REGISTRY", registry);
    EXPECT_EXIT(
        {
            if (chdir(dir.path().c_str()) != 0)
                std::_Exit(2);
            void* library = dlopen("./lib/libZylAvi.so", RTLD_NOW | RTLD_LOCAL);
            if (!library || chdir("lib") != 0)
                std::_Exit(3);
            auto reg = reinterpret_cast<std::int32_t (*)()>(dlsym(library, "DllRegisterServer"));
            std::_Exit(reg && reg() == 0 ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
    const std::string text = zyl::test::readFile(registry);
    const std::string expected = std::filesystem::canonical(dir.file("lib/libZylAvi.so")).string();
    EXPECT_NE(text.find("@=\"" + expected + "\""), std::string::npos) << text;
}
