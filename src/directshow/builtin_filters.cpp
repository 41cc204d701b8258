#include "directshow/builtin_filters.h"

#include <algorithm>
#include <cwctype>
#include <mutex>

namespace {

struct Table {
    std::mutex mutex;
    std::vector<dshow::BuiltinFilter> filters;
};

Table& TheTable() {
    static Table table;
    return table;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

}  // namespace

void dshow::RegisterBuiltinFilter(BuiltinFilter filter) {
    const CLSID clsid = filter.description.clsid;
    const com::FactoryGetter factory = filter.factory;
    {
        Table& t = TheTable();
        std::lock_guard lock(t.mutex);
        std::erase_if(t.filters,
                      [&](const BuiltinFilter& f) { return f.description.clsid == clsid; });
        for (std::wstring& e : filter.extensions)
            e = Lower(e);
        t.filters.push_back(std::move(filter));
    }
    com::RegisterPlatformClass(clsid, factory);
}

void dshow::UnregisterBuiltinFilter(REFCLSID clsid) {
    {
        Table& t = TheTable();
        std::lock_guard lock(t.mutex);
        std::erase_if(t.filters,
                      [&](const BuiltinFilter& f) { return f.description.clsid == clsid; });
    }
    com::RegisterPlatformClass(clsid, nullptr);
}

std::vector<dshow::RegisteredFilter> dshow::AvailableFilters() {
    std::vector<RegisteredFilter> all = RegisteredFilters();
    {
        Table& t = TheTable();
        std::lock_guard lock(t.mutex);
        for (const BuiltinFilter& f : t.filters) {
            const bool registered = std::any_of(all.begin(), all.end(), [&](const auto& r) {
                return r.clsid == f.description.clsid;
            });
            if (!registered)
                all.push_back(f.description);
        }
    }
    // Stable, so among equal merits registered filters keep their place before built-in ones.
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.merit > b.merit; });
    return all;
}

std::optional<CLSID> dshow::BuiltinSourceForExtension(const std::wstring& extension) {
    const std::wstring wanted = Lower(extension);
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    for (const BuiltinFilter& f : t.filters) {
        if (std::find(f.extensions.begin(), f.extensions.end(), wanted) != f.extensions.end())
            return f.description.clsid;
    }
    return std::nullopt;
}

std::optional<CLSID> dshow::ProbeSource(const std::uint8_t* head, std::size_t size) {
    std::vector<std::pair<CLSID, int (*)(const std::uint8_t*, std::size_t)>> probes;
    {
        Table& t = TheTable();
        std::lock_guard lock(t.mutex);
        for (const BuiltinFilter& f : t.filters) {
            if (f.probe)
                probes.emplace_back(f.description.clsid, f.probe);
        }
    }
    std::optional<CLSID> best;
    int bestScore = 0;
    for (const auto& [clsid, probe] : probes) {
        const int score = probe(head, size);
        if (score > bestScore) {
            bestScore = score;
            best = clsid;
        }
    }
    return best;
}
