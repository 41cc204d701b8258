// Where a camera can listen: the IPv4 addresses of the machine's interfaces, and whether the
// GigE Vision control port is free at one of them. Reads the system's tables on the calling
// thread; no state, no locks.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zyl::gige {

// GigE Vision's control port (GVCP), fixed by the standard.
inline constexpr unsigned kControlPort = 3956;

// The IPv4 addresses of interface NAME (its labelled aliases, "lo:1", included), in the
// system's order; empty when it has none.
std::vector<std::string> InterfaceAddresses(const std::string& name);
bool InterfaceExists(const std::string& name);
// The interface that has ADDRESS, if any.
std::optional<std::string> InterfaceOf(const std::string& address);
// Empty when the control port at ADDRESS can be taken; otherwise why not.
std::string ControlPortProblem(const std::string& address);

}  // namespace zyl::gige
