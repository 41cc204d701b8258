// The module's exported entry points: open a file as a host object (by extension: .zyrv gives
// the raw video player, anything else the DirectShow player), and tell whether the module may
// be unloaded. Any host thread; the only shared state is the live counters (atomics). Hosts may
// be plain C: no exception leaves an export; an open that fails is logged at level fatal and
// answered with null. CanUnload counts players only; when it answers yes while containers or
// raw images live, it keeps the module mapped until the process ends, since releasing them runs
// module code.
#pragma once

#include <string>

#include "host/ZylHost.h"

#define ZYLAVI_API extern "C" __attribute__((visibility("default")))

ZYLAVI_API HostHandle GetImage();
ZYLAVI_API HostHandle GetImageFromFile(const char* path);
ZYLAVI_API HostHandle GetImageFromFileW(const wchar_t* path);
ZYLAVI_API bool CanUnload();

namespace ZYL {

// The extension of a path's last component, dot included ("" when there is none).
std::wstring PathExtension(const std::wstring& path);

}  // namespace ZYL
