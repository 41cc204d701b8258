// The engine's own classes (the filter graph manager and the system clock) become available
// through CoCreateInstance without any registry entry once this has run; a process calls it
// once, before its first CoCreateInstance (the module does so when it loads).
#pragma once

namespace dshow {
void RegisterPlatformClasses();
}
