// Message boxes that never block a process without a user.
//
// With a display and zenity available: a desktop dialog. Else, when standard input and standard
// error are terminals: the text on the terminal and a wait for Enter. Else (or when
// ZYLAVI_NO_DIALOGS is set): the text on standard error, and the call returns at once with the
// default answer. Called from any thread; no locks. Tests answer through
// setMessageBoxForTesting.
#pragma once

#include <string_view>

namespace zyl::platform {

enum class MessageBoxResult { Ok, Cancel };

class MessageBoxProvider {
public:
    virtual ~MessageBoxProvider() = default;
    virtual MessageBoxResult show(std::string_view text, std::string_view caption) = 0;
};

MessageBoxResult messageBox(std::string_view text, std::string_view caption);
void setMessageBoxForTesting(MessageBoxProvider* replacement);

}  // namespace zyl::platform
