// The registry: typed values under hierarchical keys, kept in a text file of .reg syntax
// (REGEDIT4 or "Windows Registry Editor Version 5.00"), so values keep their types.
//
// Without $ZYLON_REGISTRY there are two files, layered as HKLM and HKCU are on Windows: the
// machine-wide one and the user's, read together with the user's values winning, written only
// to the user's (and only when an edit changes something).
//
// RegistryDocument is a plain value (no locks; one thread at a time). RegistryKey reads the
// files once when opened and answers queries from that snapshot, like a key opened read-only.
// editRegistry() serialises writers of one file with an advisory lock on "<file>.lock" and
// replaces the file atomically (rename), so readers never see a half-written file and never
// need a lock.
//
// Key paths start with a hive name ("HKEY_LOCAL_MACHINE\Software\..."; HKLM, HKCR and HKCU are
// accepted and written out in full). Key and value names compare case-insensitively (ASCII), as
// on Windows. String data is UTF-8 and is returned with its terminating NUL, as the narrow query
// returns it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyl::platform {

enum class RegType : std::uint32_t {
    None = 0,
    String = 1,
    ExpandString = 2,
    Binary = 3,
    Dword = 4,
    DwordBigEndian = 5,
    Link = 6,
    MultiString = 7,
    Qword = 11,
};

struct RegValue {
    RegType type = RegType::None;
    std::vector<std::uint8_t> data;

    static RegValue dword(std::uint32_t value);
    static RegValue string(std::string_view text);
    // The DWORD if this is a REG_DWORD of exactly four bytes.
    std::optional<std::uint32_t> asDword() const;
    // The text if this is a string type (terminating NULs removed).
    std::optional<std::string> asString() const;

    bool operator==(const RegValue&) const = default;
};

struct RegistryDiagnostic {
    int line = 0;
    std::string message;
};

class RegistryDocument {
public:
    struct NamedValue {
        std::string name;  // empty for the default value ("@")
        RegValue value;
    };
    struct Key {
        std::string path;
        std::vector<NamedValue> values;
    };

    // Never fails: lines that cannot be understood are skipped and reported in diagnostics.
    static RegistryDocument parse(std::string_view text,
                                  std::vector<RegistryDiagnostic>* diagnostics = nullptr);
    std::string serialize() const;

    bool hasKey(std::string_view path) const;
    const RegValue* find(std::string_view keyPath, std::string_view name) const;
    const std::vector<Key>& keys() const { return keys_; }
    // Direct children's names of a key.
    std::vector<std::string> subkeyNames(std::string_view path) const;

    // Creates the key (and nothing else) when absent.
    void createKey(std::string_view path);
    void setValue(std::string_view keyPath, std::string_view name, RegValue value);
    bool deleteValue(std::string_view keyPath, std::string_view name);
    // Removes the key and every key below it; false when there was none.
    bool deleteKey(std::string_view path);

    // Canonical spelling of a key path (hive in full, no doubled or trailing separators); empty
    // when the path has no known hive.
    static std::string normalizeKeyPath(std::string_view path);

private:
    Key* findKey(std::string_view canonicalPath);
    const Key* findKey(std::string_view canonicalPath) const;
    std::vector<Key> keys_;
};

struct RegistryFile {
    bool exists = false;
    std::string error;  // a read error other than "no such file"
    RegistryDocument document;
    std::vector<RegistryDiagnostic> diagnostics;
};

// The machine-wide file: $ZYLON_MACHINE_REGISTRY when set, else /etc/zylon/registry.reg.
std::string machineRegistryPath();
// The per-user file: ${XDG_CONFIG_HOME:-$HOME/.config}/zylon/registry.reg ("" without either).
std::string userRegistryPath();
// The files readers merge, weakest first: $ZYLON_REGISTRY alone when set; else the machine-wide
// file, then the per-user one.
std::vector<std::string> registryReadPaths();
// $ZYLON_REGISTRY when set; else the per-user file.
std::string registryWritePath();

RegistryFile loadRegistry(const std::string& path);

struct RegistryLayer {
    std::string path;
    RegistryFile file;
};
// The registry as readers see it: the files merged key by key, a value that several files hold
// taken from the last (so the user's value wins over the machine's, as HKCU over HKLM on
// Windows). Files that do not exist add nothing; nothing is created.
struct RegistryView {
    std::vector<RegistryLayer> layers;  // in reading order
    RegistryDocument document;
};
RegistryView loadRegistryView();
RegistryView loadRegistryView(const std::vector<std::string>& files);

// Reads, edits and atomically replaces the file under its writer lock. Creates the file and its
// folder when missing, unless the edit changes nothing: then nothing is created or written.
// `edit` may run twice (a trial without the lock first) and must depend on the document only.
// Returns false with a message naming the file and the cause on failure.
bool editRegistry(const std::string& path, const std::function<void(RegistryDocument&)>& edit,
                  std::string* error);

// A key opened for reading from the registry file in force.
class RegistryKey {
public:
    // Empty when the key does not exist (or the file cannot be read).
    static std::optional<RegistryKey> open(std::string_view path);
    static std::optional<RegistryKey> openIn(const std::string& file, std::string_view path);
    static std::optional<RegistryKey> openIn(const RegistryDocument& document,
                                             std::string_view path);

    std::optional<RegValue> query(std::string_view name) const;
    const std::string& path() const { return key_.path; }

private:
    RegistryDocument::Key key_;
};

}  // namespace zyl::platform
