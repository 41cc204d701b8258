// The engine's own filters (sources, decoders, renderers), available without registry
// entries like the system's filters on Windows: each is served as a platform class, and
// intelligent connect merges them with the registered filters by merit. Sources also say which
// extensions they open and how well they recognise a file from its first bytes.
//
// The table is process-wide behind one mutex, taken briefly by any thread; nothing is called
// while it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "com/runtime.h"
#include "directshow/registration.h"

namespace dshow {

struct BuiltinFilter {
    RegisteredFilter description;  // class id, name, merit, pins and their types
    com::FactoryGetter factory = nullptr;
    // For sources: the extensions they open (".avi"), compared without regard to case.
    std::vector<std::wstring> extensions;
    // For sources: how sure they are that a file with these first bytes is theirs (0: not).
    int (*probe)(const std::uint8_t* head, std::size_t size) = nullptr;
};

// Adds (or replaces) a filter; it becomes creatable through CoCreateInstance at once.
void RegisterBuiltinFilter(BuiltinFilter filter);
void UnregisterBuiltinFilter(REFCLSID clsid);

// Registered and built-in filters together, highest merit first; a class in both counts once,
// as registered.
std::vector<RegisteredFilter> AvailableFilters();

// The built-in source for an extension (with its dot).
std::optional<CLSID> BuiltinSourceForExtension(const std::wstring& extension);
// The built-in source that recognises these bytes best.
std::optional<CLSID> ProbeSource(const std::uint8_t* head, std::size_t size);

}  // namespace dshow
