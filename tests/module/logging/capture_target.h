// Test targets and a fixture that leaves the logging globals as it found them.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "module/logging/logger.h"
#include "module/logging/target_registry.h"
#include "platform/console.h"

namespace zyl::test {

struct CapturedMessage {
    std::string text;  // narrow text, or wide text narrowed for comparison
    std::wstring wide;
    bool isWide = false;
    std::uint32_t level = 0;
    std::uint64_t group = 0;
    std::string location;
    std::string logger;
};

class CaptureTarget : public qnLogging::basic_logtarget {
public:
    void write(const qnLogging::basic_timed_msgstate& s, const wchar_t* b,
               const wchar_t* e) override {
        CapturedMessage m = common(s);
        m.wide.assign(b, e);
        m.isWide = true;
        for (wchar_t c : m.wide)
            m.text.push_back(static_cast<char>(c));
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(m));
    }
    void write(const qnLogging::basic_timed_msgstate& s, const char* b, const char* e) override {
        CapturedMessage m = common(s);
        m.text.assign(b, e);
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(m));
    }
    std::vector<CapturedMessage> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    static CapturedMessage common(const qnLogging::basic_timed_msgstate& s) {
        CapturedMessage m;
        m.level = s.level;
        m.group = s.group;
        m.location = s.location;
        m.logger = s.logger ? s.logger->name() : "";
        return m;
    }
    mutable std::mutex mutex_;
    std::vector<CapturedMessage> messages_;
};

// A terminal that keeps what is written to it, colours as "<attribute>"; installed while alive.
class FakeConsole : public zyl::platform::Console {
public:
    FakeConsole() { zyl::platform::setConsoleForTesting(this); }
    ~FakeConsole() override { zyl::platform::setConsoleForTesting(nullptr); }
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

// The text of the E that f throws, or "(accepted)".
template <class E, class F>
std::string Refusal(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(accepted)";
}

// Clears the target registry and closes the root before and after each test.
class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        qnLogging::clear_targets();
        qnLogging::set_level_mask(qnLogging::root_logger(), 0);
        qnLogging::purge_loggers();
        try {
            qnLogging::set_root_name("");
        } catch (const std::exception&) {
            // A test that leaks a logger fails on its own.
        }
    }
    std::shared_ptr<CaptureTarget> capture() {
        auto target = std::make_shared<CaptureTarget>();
        qnLogging::register_target(target);
        return target;
    }
};

}  // namespace zyl::test
