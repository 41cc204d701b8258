// The error-string database: texts for status codes, keyed by the lower 25 bits (code,
// sub-facility, facility), filled from static tables when the module loads.
//
// One process-wide instance, created on first use; its constructor registers the start-up
// tables, so no lookup can precede them. Register takes the map's exclusive lock, Lookup its
// shared lock. The last-hit cache is one atomic pointer to a map entry, so a reader always sees
// a key together with its own text. The fallback text is per thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <shared_mutex>
#include <string>

namespace qnErrors {

struct ErrorTableEntry {
    alignas(8) std::uint16_t code;
    const char* text;
};
static_assert(sizeof(ErrorTableEntry) == 16, "table entries are padded to 16 bytes");

inline constexpr std::uint16_t kErrorTableEnd = 65535;
inline constexpr std::size_t kMaxErrorTableEntries = 4096;

class CErrorStringDatabase {
public:
    static CErrorStringDatabase& Instance();

    // False when the key is already present; the first text stays.
    bool Register(std::uint16_t code, std::uint8_t subFacility, std::uint8_t facility,
                  const char* text);
    // The text for a status, the per-thread fallback sentence when there is none, or null for
    // key 0 before anything was cached.
    const char* Lookup(std::uint32_t status);

    CErrorStringDatabase(const CErrorStringDatabase&) = delete;
    CErrorStringDatabase& operator=(const CErrorStringDatabase&) = delete;

private:
    CErrorStringDatabase();
    using Map = std::map<std::uint32_t, const char*>;

    std::shared_mutex m_mutex;
    Map m_texts;
    std::atomic<const Map::value_type*> m_last{nullptr};
};

// Registers one table (up to its end entry, a null text or 4096 entries) when constructed.
class CErrorStringRegistrator {
public:
    CErrorStringRegistrator(std::uint8_t subFacility, std::uint8_t facility,
                            const ErrorTableEntry* table);

private:
    std::uint8_t m_subFacility;
    std::uint8_t m_facility;
    const ErrorTableEntry* m_table;
};

}  // namespace qnErrors
