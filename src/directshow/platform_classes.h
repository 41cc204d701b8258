// The engine's own classes (the filter graph manager and the system clock) become available
// through CoCreateInstance without any registry entry once this has run; whoever plays through
// the engine calls it (any number of times, from any thread) before its first CoCreateInstance.
#pragma once

namespace dshow {
void RegisterPlatformClasses();
}
