// The process console: the terminal the process runs in, standing in for a console window.
//
// Windows text attributes (foreground bits 0-3, background bits 4-7: blue 1, green 2, red 4,
// intensity 8) become ANSI SGR colours, the window title an OSC 2 title sequence. The terminal
// is standard error when it is a terminal, else standard output when it is one; with neither,
// the console is unavailable and writes are dropped (a process without a terminal has no window
// to show them in).
//
// The terminal console keeps the current attribute under its own mutex; writes from several
// threads do not tear within one write() call. Tests replace the console through
// setConsoleForTesting (not thread-safe against concurrent console() users).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zyl::platform {

class Console {
public:
    virtual ~Console() = default;
    virtual bool available() const = 0;
    // Writes UTF-8 text; returns the bytes written (0 when unavailable).
    virtual std::size_t write(std::string_view text) = 0;
    virtual std::uint16_t attribute() const = 0;
    virtual bool setAttribute(std::uint16_t attribute) = 0;
    virtual bool setTitle(std::string_view title) = 0;
};

// The console in force: the test replacement if one is set, else the process terminal.
Console& console();
// nullptr restores the terminal.
void setConsoleForTesting(Console* replacement);

// The SGR sequence that shows a Windows text attribute; 0x07 (the console default) resets.
std::string attributeToAnsi(std::uint16_t attribute);

}  // namespace zyl::platform
