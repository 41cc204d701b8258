// Facts about the running process: its executable's path and the calling thread's id.
// Any thread; no locks. currentThreadId caches the kernel id per thread (one system call per
// thread's life).
#pragma once

#include <cstdint>
#include <string>

namespace zyl::platform {

// Absolute path of the process's executable (GetModuleFileName with no module); empty if the
// system cannot tell.
std::string executablePath();

// Kernel thread id of the caller; never 0.
std::uint32_t currentThreadId();
std::uint32_t currentProcessId();

// Text for an errno value (strerror_r), "Error N" when the system has none.
std::string systemErrorText(int error);

}  // namespace zyl::platform
