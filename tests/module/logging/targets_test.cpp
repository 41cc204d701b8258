#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "module/logging/capture_target.h"
#include "module/logging/console_target.h"
#include "module/logging/file_target.h"
#include "module/logging/formatters.h"
#include "module/logging/logstream.h"
#include "module/logging/trace_target.h"
#include "platform/debug_output.h"
#include "support/temp_dir.h"

using namespace qnLogging;
using boost::posix_time::hours;
using boost::posix_time::microseconds;
using boost::posix_time::ptime;
using boost::posix_time::seconds;
using zyl::test::CaptureTarget;
using zyl::test::FakeConsole;

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

}  // namespace

// The header of every log line: elapsed time or date, logger, group and level; the lines of a
// message joined with spaces.
TEST(Formatters, HeadersAndJoinedLines) {
    auto sink = std::make_shared<CaptureTarget>();
    basic_timespanformatter span(sink, kStart);
    basic_dateformatter date(sink);
    register_group_name(std::uint64_t{1} << 5, "io");
    const auto at = [](std::uint32_t lvl, boost::posix_time::time_duration after,
                       const std::string& logger = "", std::uint64_t group = no_group) {
        return Message(lvl, kStart + after, logger, group);
    };
    const auto us = [](int n) { return microseconds(n); };
    const struct {
        detail::basic_textformatter& formatter;
        basic_timed_msgstate message;
        std::string text, line;
    } cases[] = {
        {span, at(level::info, seconds(5) + us(250000)), "End log.",
         "00:00:05.250000 [info] End log."},
        {span, at(level::err, seconds(62)), "x", "00:01:02 [err] x"},
        {span, at(level::warn, seconds(62) + us(500)), "x", "00:01:02.000500 [warn] x"},
        {span, at(level::debug, hours(25)), "x", "25:00:00 [debug] x"},  // no wrap at a day
        {span, at(99, seconds(0), "cam.one"), "x", "00:00:00 cam.one [unknwn] x"},
        {date, at(level::err, seconds(7) + us(120000), "Reel2"), "text",
         "2024-Mar-05 14:03:07.120000 Reel2 [err] text"},
        {date, at(level::trace, seconds(0), "", std::uint64_t{1} << 5), "t",
         "2024-Mar-05 14:03:00 [io|trace] t"},
        {span, at(level::info, seconds(0)), "a\n", "00:00:00 [info] a"},
        {span, at(level::info, seconds(0)), "\n", "00:00:00 [info] "},
        {span, at(level::info, seconds(0)), "a\n\nb", "00:00:00 [info] a  b"},
        {span, at(level::info, seconds(0)), "", "00:00:00 [info]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Format(c.formatter, c.message, c.text, sink), c.line);
    EXPECT_THROW(Format(date, at(level::trace, seconds(0), "", std::uint64_t{1} << 6), "t", sink),
                 std::invalid_argument)
        << "a group without a name";
    const std::wstring wide = L"\u00E9t\u00E9\nnext";
    span.write(at(level::warn, seconds(1), "cam"), wide.data(), wide.data() + wide.size());
    ASSERT_TRUE(sink->messages().back().isWide);
    EXPECT_EQ(sink->messages().back().wide, L"00:00:01 cam [warn] \u00E9t\u00E9 next");
}

TEST(ConsoleTarget, ColoursEachLineOnATerminalAndShowsNothingWithout) {
    FakeConsole fake;
    fake.current = 0x1E;
    auto console = std::make_shared<console_target::console>("ZylAvi DLL");
    EXPECT_TRUE(console->allocated());
    EXPECT_EQ(fake.title, "ZylAvi DLL");
    console_target target(console);
    const std::string text = "bad";
    target.write(Message(level::err, kStart), text.data(), text.data() + 3);
    const std::wstring wide = L"\u00E9";
    target.write(Message(level::debug, kStart), wide.data(), wide.data() + 1);
    EXPECT_EQ(fake.log, "<12>bad<30>\n<112>\xC3\xA9<30>\n") << "the colour is restored";

    FakeConsole none;
    none.present = false;
    console_target lost(std::make_shared<console_target::console>("t"));
    lost.write(Message(level::info, kStart), text.data(), text.data() + 3);
    EXPECT_EQ(none.log, "");
    EXPECT_EQ(none.title, "") << "no window, no title";
    none.present = true;
    none.titleWorks = false;
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
    try {
        file_target::file f(dir.path().string());
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error opening file: " + dir.path().string());
    }
    EXPECT_THROW(file_target::file("\xff.log"), base2::character_conversion_error);
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
