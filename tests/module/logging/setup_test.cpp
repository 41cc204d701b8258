#include "module/logging/module_log_setup.h"

#include <gtest/gtest.h>

#include <regex>

#include "module/logging/capture_target.h"
#include "module/logging/logstream.h"
#include "platform/message_box.h"
#include "support/temp_dir.h"

using namespace qnLogging;

namespace {

using ModuleLogSetup = zyl::test::LoggingTest;

// Writes the box onto the console, so the order of lines and box shows.
struct ConsoleBox : zyl::platform::MessageBoxProvider {
    explicit ConsoleBox(zyl::test::FakeConsole& c) : console(c) {
        zyl::platform::setMessageBoxForTesting(this);
    }
    ~ConsoleBox() override { zyl::platform::setMessageBoxForTesting(nullptr); }
    zyl::platform::MessageBoxResult show(std::string_view text, std::string_view caption) override {
        console.log += "{box:" + std::string(caption) + ":" + std::string(text) + "}";
        return zyl::platform::MessageBoxResult::Ok;
    }
    zyl::test::FakeConsole& console;
};

}  // namespace

TEST_F(ModuleLogSetup, LogFileNextToTheExecutableEndsWithEndLog) {
    zyl::test::TempDir dir;
    const std::string exe = dir.file("host-app");
    {
        module_log_setup setup({.logTarget = 1}, exe);
        EXPECT_EQ(setup.log_file(), dir.file("ZylAvi DLL.log"));
        EXPECT_EQ(root_logger()->level_mask(), mask::all);
        logstream(root_logger(), level::fatal) << "two\nlines";
    }
    EXPECT_EQ(target_count(), 0u) << "the tear-down clears the registry";
    const std::string log = zyl::test::readFile(dir.file("ZylAvi DLL.log"));
    EXPECT_TRUE(std::regex_match(log, std::regex(R"(\d\d:\d\d:\d\d(\.\d{6})? \[fatal\] two lines
\d\d:\d\d:\d\d(\.\d{6})? \[info\] End log.
)"))) << log;
}

TEST_F(ModuleLogSetup, ConsoleShowsTheBoxAfterEndLog) {
    zyl::test::FakeConsole console;
    ConsoleBox box(console);
    { module_log_setup setup({.logTarget = 4}, "/nowhere/app"); }
    EXPECT_EQ(console.title, "ZylAvi DLL");
    const auto endLog = console.log.find("[info] End log.");
    const auto boxAt =
        console.log.find("{box:Process detached from ZylAvi.dll:Press 'OK' to close log window}");
    ASSERT_NE(endLog, std::string::npos) << console.log;
    ASSERT_NE(boxAt, std::string::npos);
    EXPECT_LT(endLog, boxAt);
}

TEST_F(ModuleLogSetup, OtherTargetsLogNothingButOpenTheRoot) {
    for (std::uint32_t t : {0u, 2u, 8u, 32u}) {
        module_log_setup setup({.logTarget = t}, "/nowhere/app");
        EXPECT_EQ(target_count(), 0u);
        EXPECT_EQ(root_logger()->level_mask(), mask::all);
    }
}

TEST_F(ModuleLogSetup, ErrorLogTakesOnlyFatalAndErrorLinesWhateverTheTarget) {
    zyl::test::TempDir dir;
    for (std::uint32_t t : {0u, 1u}) {
        const std::string copy = dir.file("errors-" + std::to_string(t) + ".log");
        {
            module_log_setup setup({.logTarget = t}, dir.file("app"), copy);
            logstream(root_logger(), level::info) << "opening";
            logstream(root_logger(), level::fatal) << "cannot open";
            logstream(root_logger(), level::warn) << "skipped";
            logstream(root_logger(), level::err) << "read\nfailed";
        }
        const std::string log = zyl::test::readFile(copy);
        EXPECT_TRUE(std::regex_match(log, std::regex(R"(\S+ \[fatal\] cannot open
\S+ \[err\] read failed
)"))) << "target "
      << t << ": " << log;
    }
    EXPECT_NE(zyl::test::readFile(dir.file("ZylAvi DLL.log")).find("[info] opening"),
              std::string::npos)
        << "the log file still gets every line";
}

// A log file that cannot be written leaves the root closed, but the error log still gets its
// lines.
TEST_F(ModuleLogSetup, UnwritableLogFileStillLoads) {
    {
        module_log_setup setup({.logTarget = 1}, "/proc/zylavi-none/app");
        EXPECT_EQ(target_count(), 0u);
        EXPECT_EQ(root_logger()->level_mask(), 0u) << "the failure came before the root opened";
    }
    zyl::test::TempDir dir;
    const std::string copy = dir.file("errors.log");
    {
        module_log_setup setup({.logTarget = 1}, "/proc/zylavi-none/app", copy);
        logstream(root_logger(), level::err) << "cannot render";
    }
    const std::string log = zyl::test::readFile(copy);
    EXPECT_NE(log.find("[err] cannot render"), std::string::npos) << log;
}

TEST_F(ModuleLogSetup, UnwritableErrorLogLeavesTheRestOfTheSetupAlone) {
    zyl::test::TempDir dir;
    module_log_setup setup({.logTarget = 1}, dir.file("app"), "/proc/zylavi-none/errors.log");
    EXPECT_EQ(target_count(), 1u);
    EXPECT_EQ(root_logger()->level_mask(), mask::all);
}
