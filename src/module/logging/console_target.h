// basic_console_target: messages on the process console, coloured by level.
//
// Owns a shared console object (the terminal's state for this target family) with its mutex;
// a write takes that mutex alone. The colour in force before a message is restored after it,
// so other output keeps its colour.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "module/logging/levels.h"
#include "module/logging/system_error.h"
#include "module/logging/target.h"
#include "platform/console.h"
#include "platform/text.h"

namespace qnLogging {

// The console attribute for a level (Windows attribute bits).
constexpr std::uint16_t console_attribute(std::uint32_t message_level) {
    switch (message_level) {
        case level::fatal:
            return 0xC0;
        case level::err:
            return 0x0C;
        case level::warn:
            return 0x0E;
        case level::info:
            return 0x0F;
        case level::trace:
            return 0x07;
        case level::debug:
            return 0x70;
        default:
            return 0x0F;
    }
}

template <class Mutex = std::mutex>
class basic_console_target : public basic_logtarget {
public:
    class console {
    public:
        explicit console(const std::string& title = std::string()) {
            // A terminal plays the part of the console window: "allocated" means there is one.
            m_allocated = zyl::platform::console().available() ? 1 : 0;
            if (m_allocated && !title.empty() && !zyl::platform::console().setTitle(title)) {
                throw system_error(EIO);
            }
        }
        bool allocated() const { return m_allocated != 0; }

        template <class Writer>
        void write(std::uint32_t message_level, Writer&& writer) {
            std::lock_guard lock(m_mutex);
            if (!m_allocated) {
                return;
            }
            zyl::platform::Console& out = zyl::platform::console();
            if (m_colours) {
                const std::uint16_t previous = out.attribute();
                out.setAttribute(console_attribute(message_level));
                writer(out);
                out.setAttribute(previous);
            } else {
                writer(out);
            }
            out.write("\n");
        }

    private:
        std::uint8_t m_allocated = 0;
        std::uint8_t m_colours = 1;
        std::uint16_t m_width = 80;
        std::uint16_t m_height = 25;
        Mutex m_mutex;
    };

    explicit basic_console_target(std::shared_ptr<console> c) : m_console(std::move(c)) {}

    void write(const basic_timed_msgstate& state, const wchar_t* begin,
               const wchar_t* end) override {
        auto text = zyl::platform::wideToUtf8(
            std::wstring_view(begin, static_cast<std::size_t>(end - begin)));
        m_console->write(state.level, [&](zyl::platform::Console& out) {
            // Text that is not valid Unicode cannot be shown; the line end still is.
            if (text)
                out.write(*text);
        });
    }

    void write(const basic_timed_msgstate& state, const char* begin, const char* end) override {
        m_console->write(state.level, [&](zyl::platform::Console& out) {
            out.write(std::string_view(begin, static_cast<std::size_t>(end - begin)));
        });
    }

    const std::shared_ptr<console>& get_console() const { return m_console; }

private:
    std::shared_ptr<console> m_console;
};

using console_target = basic_console_target<>;

}  // namespace qnLogging
