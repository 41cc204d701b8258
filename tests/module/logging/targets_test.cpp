#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "module/logging/capture_target.h"
#include "module/logging/console_target.h"
#include "module/logging/file_target.h"
#include "module/logging/formatters.h"
#include "module/logging/logstream.h"
#include "module/logging/stdout_target.h"
#include "module/logging/trace_target.h"
#include "platform/console.h"
#include "platform/debug_output.h"
#include "support/temp_dir.h"

using namespace qnLogging;
using boost::posix_time::hours;
using boost::posix_time::microseconds;
using boost::posix_time::ptime;
using boost::posix_time::seconds;
using zyl::test::CaptureTarget;

namespace {

const ptime kStart(boost::gregorian::date(2024, 3, 5), hours(14) + boost::posix_time::minutes(3));

basic_timed_msgstate Message(std::uint32_t lvl, ptime time, const std::string& loggerName = "",
                             std::uint64_t group = no_group) {
    basic_msgstate state(std::make_shared<detail::inner_logstate>(nullptr, loggerName, mask::all));
    state.level = lvl;
    state.group = group;
    return basic_timed_msgstate(state, time);
}

std::string Format(detail::basic_textformatter& f, const basic_timed_msgstate& m,
                   const std::string& text, const std::shared_ptr<CaptureTarget>& sink) {
    f.write(m, text.data(), text.data() + text.size());
    return sink->messages().back().text;
}

class FakeConsole : public zyl::platform::Console {
public:
    bool available() const override { return present; }
    std::size_t write(std::string_view text) override {
        log += std::string(text);
        return text.size();
    }
    std::uint16_t attribute() const override { return current; }
    bool setAttribute(std::uint16_t a) override {
        log += "<" + std::to_string(a) + ">";
        current = a;
        return true;
    }
    bool setTitle(std::string_view t) override {
        title = t;
        return titleWorks;
    }
    bool present = true;
    bool titleWorks = true;
    std::uint16_t current = 0x07;
    std::string log, title;
};

struct ConsoleSeam {
    explicit ConsoleSeam(FakeConsole& c) { zyl::platform::setConsoleForTesting(&c); }
    ~ConsoleSeam() { zyl::platform::setConsoleForTesting(nullptr); }
};

}  // namespace

TEST(Formatters, ElapsedTimeHeader) {
    auto sink = std::make_shared<CaptureTarget>();
    basic_timespanformatter f(sink, kStart);
    EXPECT_EQ(Format(f, Message(level::info, kStart + seconds(5) + microseconds(250000)),
                     "End log.", sink),
              "00:00:05.250000 [info] End log.");
    EXPECT_EQ(Format(f, Message(level::err, kStart + seconds(62)), "x", sink), "00:01:02 [err] x");
    EXPECT_EQ(Format(f, Message(level::warn, kStart + seconds(62) + microseconds(500)), "x", sink),
              "00:01:02.000500 [warn] x");
    EXPECT_EQ(Format(f, Message(level::debug, kStart + hours(25)), "x", sink), "25:00:00 [debug] x")
        << "hours do not wrap at a day";
    EXPECT_EQ(Format(f, Message(99, kStart, "cam.one"), "x", sink), "00:00:00 cam.one [unknwn] x");
}

TEST(Formatters, DateHeaderWithLoggerAndGroup) {
    auto sink = std::make_shared<CaptureTarget>();
    basic_dateformatter f(sink);
    const ptime t = kStart + seconds(7) + microseconds(120000);
    EXPECT_EQ(Format(f, Message(level::err, t, "Reel2"), "text", sink),
              "2024-Mar-05 14:03:07.120000 Reel2 [err] text");
    register_group_name(std::uint64_t{1} << 5, "io");
    EXPECT_EQ(Format(f, Message(level::trace, kStart, "", std::uint64_t{1} << 5), "t", sink),
              "2024-Mar-05 14:03:00 [io|trace] t");
    EXPECT_THROW(Format(f, Message(level::trace, kStart, "", std::uint64_t{1} << 6), "t", sink),
                 std::invalid_argument);
}

TEST(Formatters, LinesAreJoinedWithSpaces) {
    auto sink = std::make_shared<CaptureTarget>();
    basic_timespanformatter f(sink, kStart);
    const auto m = Message(level::info, kStart);
    EXPECT_EQ(Format(f, m, "a\nb", sink), "00:00:00 [info] a b");
    EXPECT_EQ(Format(f, m, "a\n", sink), "00:00:00 [info] a");
    EXPECT_EQ(Format(f, m, "\n", sink), "00:00:00 [info] ");
    EXPECT_EQ(Format(f, m, "a\n\nb", sink), "00:00:00 [info] a  b");
    EXPECT_EQ(Format(f, m, "", sink), "00:00:00 [info]");
}

TEST(Formatters, WideMessagesGetAWideHeader) {
    auto sink = std::make_shared<CaptureTarget>();
    basic_timespanformatter f(sink, kStart);
    const std::wstring text = L"\u00E9t\u00E9\nnext";
    f.write(Message(level::warn, kStart + seconds(1), "cam"), text.data(),
            text.data() + text.size());
    ASSERT_TRUE(sink->messages().back().isWide);
    EXPECT_EQ(sink->messages().back().wide, L"00:00:01 cam [warn] \u00E9t\u00E9 next");
}

TEST(ConsoleTarget, ColoursEachMessageAndRestoresTheColour) {
    FakeConsole fake;
    fake.current = 0x1E;
    ConsoleSeam seam(fake);
    auto console = std::make_shared<console_target::console>("ZylAvi DLL");
    EXPECT_TRUE(console->allocated());
    EXPECT_EQ(fake.title, "ZylAvi DLL");
    console_target target(console);
    const std::string text = "bad";
    target.write(Message(level::err, kStart), text.data(), text.data() + 3);
    const std::wstring wide = L"\u00E9";
    target.write(Message(level::debug, kStart), wide.data(), wide.data() + 1);
    EXPECT_EQ(fake.log, "<12>bad<30>\n<112>\xC3\xA9<30>\n");
}

TEST(ConsoleTarget, WithoutATerminalNothingIsShownAndTitleFailureThrows) {
    FakeConsole fake;
    fake.present = false;
    ConsoleSeam seam(fake);
    console_target target(std::make_shared<console_target::console>("t"));
    const std::string text = "lost";
    target.write(Message(level::info, kStart), text.data(), text.data() + text.size());
    EXPECT_EQ(fake.log, "");
    EXPECT_EQ(fake.title, "") << "no window, no title";
    fake.present = true;
    fake.titleWorks = false;
    EXPECT_THROW(console_target::console("t"), system_error);
}

TEST(FileTarget, AppendsOneLinePerMessageAcrossOpenings) {
    zyl::test::TempDir dir;
    const std::string path = dir.write("log.txt", "old\n");
    for (int round = 0; round < 2; ++round) {
        file_target target(std::make_shared<file_target::file>(path));
        const std::string text = "line " + std::to_string(round);
        target.write(Message(level::info, kStart), text.data(), text.data() + text.size());
        target.write(Message(level::info, kStart), text.data(), text.data());  // empty: nothing
    }
    const std::wstring wide = L"\u20AC";
    file_target(std::make_shared<file_target::file>(path))
        .write(Message(level::info, kStart), wide.data(), wide.data() + 1);
    EXPECT_EQ(zyl::test::readFile(path), "old\nline 0\nline 1\n\xE2\x82\xAC\n");
    const std::wstring broken(1, wchar_t(0xD800));
    file_target target(std::make_shared<file_target::file>(path));
    EXPECT_THROW(target.write(Message(level::info, kStart), broken.data(), broken.data() + 1),
                 base2::character_conversion_error);
}

TEST(FileTarget, OpenFailureNamesTheFile) {
    zyl::test::TempDir dir;
    try {
        file_target::file f(dir.path().string());
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error opening file: " + dir.path().string());
    }
    EXPECT_THROW(file_target::file("\xff.log"), base2::character_conversion_error);
}

TEST(StdoutTarget, WritesLinesToTheChosenStream) {
    std::ostringstream captured;
    auto* old = std::cerr.rdbuf(captured.rdbuf());
    stderr_target target;
    const std::string text = "to stderr";
    target.write(Message(level::info, kStart), text.data(), text.data() + text.size());
    const std::wstring wide = L"w\u00E9";
    target.write(Message(level::info, kStart), wide.data(), wide.data() + 2);
    std::cerr.rdbuf(old);
    EXPECT_EQ(captured.str(), "to stderr\nw\xC3\xA9\n");
}

TEST(TraceTarget, SendsTextThenLineEnd) {
    struct Sink : zyl::platform::DebugOutputSink {
        std::vector<std::string> calls;
        void output(std::string_view t) override { calls.emplace_back(t); }
    } sink;
    zyl::platform::setDebugOutputForTesting(&sink);
    basic_trace_target target;
    const std::string text = std::string("ab\0cd", 5);
    target.write(Message(level::info, kStart), text.data(), text.data() + text.size());
    zyl::platform::setDebugOutputForTesting(nullptr);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"ab", "\n"}));
}

// Several threads log through one formatter into one file: every line must be whole.
TEST(FileTarget, ConcurrentWritersNeverTearLines) {
    zyl::test::TempDir dir;
    const std::string path = dir.file("threads.log");
    clear_targets();
    set_level_mask(root_logger(), mask::all);
    register_formatter(basic_timespanformatter(
        std::make_shared<file_target>(std::make_shared<file_target::file>(path))));
    constexpr int kThreads = 4, kMessages = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i) {
                logstream(root_logger(), level::warn)
                    << "thread " << t << "\nmessage " << i << " " << std::string(100, 'a' + t);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    clear_targets();
    set_level_mask(root_logger(), 0);
    std::istringstream lines(zyl::test::readFile(path));
    const std::regex shape(
        R"(\d\d:\d\d:\d\d(\.\d{6})? \[warn\] thread (\d) message \d+ ([a-d])\3{99})");
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_EQ(m[3].str()[0], 'a' + std::stoi(m[2].str()));
    }
    EXPECT_EQ(count, kThreads * kMessages);
}
