#include "module/logging/logstream.h"

#include <gtest/gtest.h>

#include <thread>

#include "module/logging/capture_target.h"

using namespace qnLogging;

using LogStream = zyl::test::LoggingTest;

// A stream emits one message per level set, in one piece. Without a level, or with one the mask
// refuses, nothing goes out and the stream is reset all the same: the next message, its level
// set through the buffer as the log sites do, gets through without the refused text.
TEST_F(LogStream, OneMessagePerLevelAndRefusedOnesLeaveTheStreamUsable) {
    set_level_mask(root_logger(), mask::err);
    auto target = capture();
    {
        logstream s(root_logger());
        s << "no level ";
        s.flush();
        s.level(level::debug) << "refused ";
        s.flush();
        s.logbuf()->msgstate().level = level::err;
        s << "first " << 42;
        s.flush();
        s << "after emission the level is gone ";
        s.flush();
        s.logbuf()->set_level(level::trace);
        s << "refused again ";
        s.flush();
        s.logbuf()->set_level(level::fatal);
        s << "line one\nline two";
    }
    const auto messages = target->messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "first 42");
    EXPECT_EQ(messages[0].level, level::err);
    EXPECT_EQ(messages[1].text, "line one\nline two") << "passed to targets in one piece";
    EXPECT_EQ(messages[1].level, level::fatal);
    EXPECT_EQ(messages[1].group, no_group);
}

// Level and group masks filter, and they are read when a message is emitted, not when its level
// is set.
TEST_F(LogStream, MasksFilterByLevelAndGroupAtEmission) {
    auto target = capture();
    logstream(root_logger(), level::fatal) << "root closed";
    set_level_mask(root_logger(), mask::warn);
    logstream(root_logger(), level::info) << "too verbose";
    logstream(root_logger(), level::warn) << "kept";
    root_logger()->set_group_mask(0x2);
    logstream(root_logger(), level::err).group(0x1) << "other group";
    logstream(root_logger(), level::err).group(0x2) << "this group";
    root_logger()->set_group_mask(no_group);
    logstream(root_logger(), level::warn) << "";
    {
        logstream s(root_logger(), level::info);
        s << "opened before emission";
        set_level_mask(root_logger(), mask::info);
    }
    {
        logstream s(root_logger(), level::info);
        s << "closed before emission";
        set_level_mask(root_logger(), 0);
    }
    {
        set_level_mask(root_logger(), mask::all);
        root_logger()->set_group_mask(0x1);
        logstream s(root_logger(), level::info);
        s.group(0x2) << "group opened before emission";
        root_logger()->set_group_mask(0x3);
    }
    root_logger()->set_group_mask(no_group);
    const auto messages = target->messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].text, "kept");
    EXPECT_EQ(messages[1].text, "this group");
    EXPECT_EQ(messages[1].group, 0x2u);
    EXPECT_EQ(messages[2].text, "opened before emission");
    EXPECT_EQ(messages[3].text, "group opened before emission");
}

TEST_F(LogStream, LongWideAndLocatedMessagesSurviveIntact) {
    set_level_mask(root_logger(), mask::all);
    auto target = capture();
    const std::string longText(5000, 'x');
    logstream(root_logger(), level::info) << longText << "end";
    wlogstream(get_logger("wide"), level::warn) << L"caf\u00E9 " << 7;
    logstream s(root_logger());
    s.level(level::err) << set_location(make_location("src/Exports.cpp", 12)) << "bad file";
    s.flush();
    s.level(level::err) << "next";
    s.flush();
    const auto messages = target->messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].text, longText + "end");
    EXPECT_TRUE(messages[1].isWide);
    EXPECT_EQ(messages[1].wide, L"caf\u00E9 7");
    EXPECT_EQ(messages[2].location, "src/Exports.cpp(12)");
    EXPECT_EQ(messages[3].location, "") << "a location is carried for one message";
}

TEST_F(LogStream, EmissionFailuresNeverLeaveTheDestructor) {
    set_level_mask(root_logger(), mask::all);
    struct Throwing : basic_logtarget {
        void write(const basic_timed_msgstate&, const wchar_t*, const wchar_t*) override {
            throw std::runtime_error("w");
        }
        void write(const basic_timed_msgstate&, const char*, const char*) override {
            throw std::runtime_error("n");
        }
    };
    register_target(std::make_shared<Throwing>());
    EXPECT_NO_THROW({ logstream(root_logger(), level::info) << "boom"; });
    logstream s(root_logger(), level::info);
    s << "boom";
    EXPECT_NO_THROW(s.flush());
    EXPECT_TRUE(s.bad());
}

TEST_F(LogStream, ManyThreadsManyMessagesNoneLostOrMixed) {
    set_level_mask(root_logger(), mask::all);
    auto target = capture();
    constexpr int kThreads = 6, kMessages = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const auto logger = get_logger("worker" + std::to_string(t));
            for (int i = 0; i < kMessages; ++i) {
                logstream(logger, level::info) << "thread " << t << " message " << i;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    const auto messages = target->messages();
    ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kMessages));
    std::vector<int> next(kThreads, 0);
    for (const auto& m : messages) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(m.text.c_str(), "thread %d message %d", &t, &i), 2) << m.text;
        EXPECT_EQ(m.logger, "worker" + std::to_string(t));
        EXPECT_EQ(i, next[t]++) << "each thread's messages arrive in order";
    }
}
