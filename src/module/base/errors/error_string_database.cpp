#include "module/base/errors/error_string_database.h"

#include <mutex>

namespace qnErrors {
namespace {

constexpr const char* kNoInfo = "No extended error information available";

// qnBase; the order is the one the table was always written in.
constexpr ErrorTableEntry kBaseTable[] = {
    {0, kNoInfo},
    {1, "Operation failed because the requested amount of memory was not available"},
    {2, "The specified Index is out of the permissible range"},
    {4, "One or more given argument was invalid"},
    {3,
     "The attempted operation is not currently allowed on the object on which it was "
     "attempted"},
    {5, "An object does not have the expected type"},
    {6, "Operation failed because the maximal wait time expired"},
    {7, "Operation failed because it was externally canceled"},
    {8, "Unspecified error"},
    {kErrorTableEnd, nullptr},
};

constexpr ErrorTableEntry kMathTable[] = {
    {0, kNoInfo},
    {1, "Negative Dimensions and Dimension zero are illegal"},
    {2, "Dimension too big"},
    {3,
     "Dimensions of two or more operands did not match in an operation where they would have "
     "needed to"},
    {4, "The given dimension is not valid"},
    {5, "A division by zero was attempted"},
    {6, "The Matrix provided for the last operation has an invalid geometry"},
    {7, "The requested operation is not permitted on a vector that has length zero"},
    {8, "The calculation of the intersection failed because no intersection is available"},
    {kErrorTableEnd, nullptr},
};

constexpr ErrorTableEntry kNoInfoTable[] = {{0, kNoInfo}, {kErrorTableEnd, nullptr}};

constexpr ErrorTableEntry kCollectionsTable[] = {
    {0, kNoInfo},
    {1, "The container element to be accessed could not be found"},
    {2, "The container element could not be accessed"},
    {kErrorTableEnd, nullptr},
};

constexpr ErrorTableEntry kStreamTable[] = {
    {0, kNoInfo},
    {1, "Read operation beyond the end of a stream was attempted"},
    {2, "Unable to open the stream"},
    {kErrorTableEnd, nullptr},
};

constexpr std::uint32_t kKeyMask = 0x1FFFFFF;

std::uint32_t MakeKey(std::uint16_t code, std::uint8_t subFacility, std::uint8_t facility) {
    return (static_cast<std::uint32_t>(facility & 0x1F) << 20) |
           (static_cast<std::uint32_t>(subFacility) << 12) | (code & 0xFFFu);
}

void RegisterTable(CErrorStringDatabase& database, std::uint8_t subFacility, std::uint8_t facility,
                   const ErrorTableEntry* table) {
    for (std::size_t i = 0; i < kMaxErrorTableEntries; ++i) {
        const ErrorTableEntry& entry = table[i];
        if (entry.code == kErrorTableEnd || entry.text == nullptr) {
            break;
        }
        database.Register(entry.code, subFacility, facility, entry.text);
    }
}

}  // namespace

CErrorStringDatabase::CErrorStringDatabase() = default;

CErrorStringDatabase& CErrorStringDatabase::Instance() {
    static CErrorStringDatabase database;
    // The start-up tables, all of facility 1; registered before the first lookup can happen.
    static const bool filled = [] {
        RegisterTable(database, 0, 1, kBaseTable);
        RegisterTable(database, 1, 1, kMathTable);
        RegisterTable(database, 2, 1, kNoInfoTable);
        RegisterTable(database, 3, 1, kNoInfoTable);
        RegisterTable(database, 4, 1, kCollectionsTable);
        RegisterTable(database, 5, 1, kStreamTable);
        RegisterTable(database, 6, 1, kNoInfoTable);
        return true;
    }();
    (void)filled;
    return database;
}

bool CErrorStringDatabase::Register(std::uint16_t code, std::uint8_t subFacility,
                                    std::uint8_t facility, const char* text) {
    std::unique_lock lock(m_mutex);
    return m_texts.emplace(MakeKey(code, subFacility, facility), text).second;
}

const char* CErrorStringDatabase::Lookup(std::uint32_t status) {
    const std::uint32_t key = status & kKeyMask;
    const Map::value_type* last = m_last.load(std::memory_order_acquire);
    const std::uint32_t lastKey = last ? last->first : 0;
    if (key == lastKey) {
        return last ? last->second : nullptr;
    }
    {
        std::shared_lock lock(m_mutex);
        auto it = m_texts.find(key);
        if (it != m_texts.end()) {
            // Map nodes never move or die, so the pointer stays valid.
            m_last.store(&*it, std::memory_order_release);
            return it->second;
        }
    }
    thread_local std::string fallback;
    fallback = "No previous error set and no match for error code found. Error code: " +
               std::to_string(static_cast<std::int32_t>(status));
    return fallback.c_str();
}

CErrorStringRegistrator::CErrorStringRegistrator(std::uint8_t subFacility, std::uint8_t facility,
                                                 const ErrorTableEntry* table)
    : m_subFacility(subFacility), m_facility(facility), m_table(table) {
    RegisterTable(CErrorStringDatabase::Instance(), m_subFacility, m_facility, m_table);
}

}  // namespace qnErrors
