#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/process.h"
#include "platform/text.h"

namespace zyl::platform {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kFileName = "registry.reg";
constexpr const char* kSystemDir = "/etc/zylon";

struct Hive {
    std::string_view full;
    std::string_view abbreviation;
};
constexpr std::array<Hive, 5> kHives{{
    {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_CLASSES_ROOT", "HKCR"},
    {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_USERS", "HKU"},
    {"HKEY_CURRENT_CONFIG", "HKCC"},
}};

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWithKeyNoCase(std::string_view path, std::string_view prefix) {
    return path.size() > prefix.size() && path[prefix.size()] == '\\' &&
           equalsNoCase(path.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// Reads a quoted .reg string starting at s[0] == '"'; returns the characters consumed.
std::optional<std::size_t> readQuoted(std::string_view s, std::string& out) {
    out.clear();
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            out.push_back(s[++i]);
        } else if (c == '"') {
            return i + 1;
        } else {
            out.push_back(c);
        }
    }
    return std::nullopt;
}

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view s) {
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i == s.size())
            break;
        std::size_t start = i;
        int value = 0;
        while (i < s.size() && hexDigit(s[i]) >= 0) {
            value = value * 16 + hexDigit(s[i]);
            ++i;
        }
        if (i == start || i - start > 2)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(value));
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i < s.size()) {
            if (s[i] != ',')
                return std::nullopt;
            ++i;
        }
    }
    return bytes;
}

std::string hexList(const std::vector<std::uint8_t>& data) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        if (i)
            out.push_back(',');
        out += buf;
    }
    return out;
}

// Parses the data part of a value line ("text", dword:..., hex:..., hex(N):...).
std::optional<RegValue> parseData(std::string_view s, std::string& why) {
    RegValue v;
    if (!s.empty() && s.front() == '"') {
        std::string text;
        auto used = readQuoted(s, text);
        if (!used || !trim(s.substr(*used)).empty()) {
            why = "unterminated or malformed string";
            return std::nullopt;
        }
        return RegValue::string(text);
    }
    const auto colon = s.find(':');
    if (colon == std::string_view::npos) {
        why = "value data has no type";
        return std::nullopt;
    }
    std::string_view type = trim(s.substr(0, colon));
    std::string_view body = trim(s.substr(colon + 1));
    if (equalsNoCase(type, "dword")) {
        if (body.empty() || body.size() > 8 ||
            !std::all_of(body.begin(), body.end(), [](char c) { return hexDigit(c) >= 0; })) {
            why = "dword needs 1 to 8 hexadecimal digits";
            return std::nullopt;
        }
        return RegValue::dword(
            static_cast<std::uint32_t>(std::stoul(std::string(body), nullptr, 16)));
    }
    if (equalsNoCase(type, "hex")) {
        v.type = RegType::Binary;
    } else if (type.size() > 5 && equalsNoCase(type.substr(0, 4), "hex(") && type.back() == ')') {
        std::string_view num = type.substr(4, type.size() - 5);
        if (num.empty() || num.size() > 8 ||
            !std::all_of(num.begin(), num.end(), [](char c) { return hexDigit(c) >= 0; })) {
            why = "bad type number in hex(...)";
            return std::nullopt;
        }
        v.type = static_cast<RegType>(std::stoul(std::string(num), nullptr, 16));
    } else {
        why = "unknown value type '" + std::string(type) + "'";
        return std::nullopt;
    }
    auto bytes = parseHexBytes(body);
    if (!bytes) {
        why = "malformed hexadecimal byte list";
        return std::nullopt;
    }
    v.data = std::move(*bytes);
    return v;
}

std::string serializeValue(const RegistryDocument::NamedValue& nv) {
    std::string line = nv.name.empty() ? "@" : quote(nv.name);
    line += '=';
    const RegValue& v = nv.value;
    if (v.type == RegType::Dword && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", *v.asDword());
        return line + buf;
    }
    if (v.type == RegType::String) {
        auto text = v.asString();
        const bool plain = text &&
                           std::none_of(text->begin(), text->end(),
                                        [](char c) { return c == '\n' || c == '\r'; }) &&
                           !v.data.empty() && v.data.back() == 0;
        if (plain) {
            return line + quote(*text);
        }
    }
    if (v.type == RegType::Binary) {
        return line + "hex:" + hexList(v.data);
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
    return line + buf + hexList(v.data);
}

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// Turns a UTF-16LE file (as the Windows editor writes version 5 files) into UTF-8.
std::string decodeFileText(std::string raw) {
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        auto units =
            leBytesToUtf16(std::string_view(raw).substr(2, (raw.size() - 2) & ~std::size_t{1}));
        if (units) {
            if (auto text = utf16ToUtf8(*units))
                return *text;
        }
        return {};
    }
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        raw.erase(0, 3);
    }
    return raw;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

RegValue RegValue::dword(std::uint32_t value) {
    RegValue v;
    v.type = RegType::Dword;
    v.data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
              static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return v;
}

RegValue RegValue::string(std::string_view text) {
    RegValue v;
    v.type = RegType::String;
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    return v;
}

std::optional<std::uint32_t> RegValue::asDword() const {
    if (type != RegType::Dword || data.size() != 4) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
           (static_cast<std::uint32_t>(data[2]) << 16) |
           (static_cast<std::uint32_t>(data[3]) << 24);
}

std::optional<std::string> RegValue::asString() const {
    if (type != RegType::String && type != RegType::ExpandString) {
        return std::nullopt;
    }
    std::string text(data.begin(), data.end());
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

std::string RegistryDocument::normalizeKeyPath(std::string_view path) {
    path = trim(path);
    std::string out;
    std::size_t pos = 0;
    bool first = true;
    while (pos <= path.size()) {
        std::size_t next = path.find('\\', pos);
        if (next == std::string_view::npos)
            next = path.size();
        std::string_view part = path.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty())
            continue;
        if (first) {
            auto hive = std::find_if(kHives.begin(), kHives.end(), [&](const Hive& h) {
                return equalsNoCase(part, h.full) || equalsNoCase(part, h.abbreviation);
            });
            if (hive == kHives.end())
                return {};
            out = hive->full;
            first = false;
        } else {
            out.push_back('\\');
            out += part;
        }
    }
    return out;
}

RegistryDocument RegistryDocument::parse(std::string_view text,
                                         std::vector<RegistryDiagnostic>* diagnostics) {
    RegistryDocument doc;
    auto report = [&](int line, std::string message) {
        if (diagnostics)
            diagnostics->push_back({line, std::move(message)});
    };
    std::string current;  // canonical path of the key being filled; empty = none
    bool sawHeader = false;
    int lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string logical(trim(text.substr(pos, end - pos)));
        pos = end + 1;
        const int startLine = ++lineNo;
        // Long hex lists continue on the next line after a trailing backslash.
        while (!logical.empty() && logical.back() == '\\' &&
               logical.find('=') != std::string::npos && logical.front() != '[' &&
               pos < text.size()) {
            logical.pop_back();
            end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            logical += trim(text.substr(pos, end - pos));
            pos = end + 1;
            ++lineNo;
        }
        std::string_view line = logical;
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (!sawHeader) {
            sawHeader = true;
            if (line == kHeader4 || line == kHeader5)
                continue;
            report(startLine, "missing header line \"REGEDIT4\"");
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                report(startLine, "key line without closing ']'");
                current.clear();
                continue;
            }
            std::string_view inner = line.substr(1, line.size() - 2);
            const bool remove = !inner.empty() && inner.front() == '-';
            if (remove)
                inner.remove_prefix(1);
            std::string canonical = normalizeKeyPath(inner);
            if (canonical.empty()) {
                report(startLine,
                       "key '" + std::string(inner) + "' does not start with a known hive");
                current.clear();
                continue;
            }
            if (remove) {
                doc.deleteKey(canonical);
                current.clear();
            } else {
                doc.createKey(canonical);
                current = std::move(canonical);
            }
            continue;
        }
        std::string name;
        std::size_t consumed;
        if (line.front() == '@') {
            consumed = 1;
        } else if (line.front() == '"') {
            auto used = readQuoted(line, name);
            if (!used) {
                report(startLine, "unterminated value name");
                continue;
            }
            consumed = *used;
        } else {
            report(startLine, "line is neither a key, a value nor a comment");
            continue;
        }
        std::string_view rest = trim(line.substr(consumed));
        if (rest.empty() || rest.front() != '=') {
            report(startLine, "value name not followed by '='");
            continue;
        }
        rest = trim(rest.substr(1));
        if (current.empty()) {
            report(startLine, "value outside of any key");
            continue;
        }
        if (rest == "-") {
            doc.deleteValue(current, name);
            continue;
        }
        std::string why;
        auto value = parseData(rest, why);
        if (!value) {
            report(startLine, "value \"" + name + "\": " + why);
            continue;
        }
        doc.setValue(current, name, std::move(*value));
    }
    return doc;
}

std::string RegistryDocument::serialize() const {
    std::string out(kHeader4);
    out += "\n";
    for (const Key& key : keys_) {
        out += "\n[" + key.path + "]\n";
        for (const NamedValue& nv : key.values) {
            out += serializeValue(nv);
            out += '\n';
        }
    }
    return out;
}

RegistryDocument::Key* RegistryDocument::findKey(std::string_view canonicalPath) {
    auto it = std::find_if(keys_.begin(), keys_.end(),
                           [&](const Key& k) { return equalsNoCase(k.path, canonicalPath); });
    return it == keys_.end() ? nullptr : &*it;
}

const RegistryDocument::Key* RegistryDocument::findKey(std::string_view canonicalPath) const {
    return const_cast<RegistryDocument*>(this)->findKey(canonicalPath);
}

bool RegistryDocument::hasKey(std::string_view path) const {
    const std::string canonical = normalizeKeyPath(path);
    return !canonical.empty() && findKey(canonical) != nullptr;
}

const RegValue* RegistryDocument::find(std::string_view keyPath, std::string_view name) const {
    const Key* key = findKey(normalizeKeyPath(keyPath));
    if (!key)
        return nullptr;
    for (const NamedValue& nv : key->values) {
        if (equalsNoCase(nv.name, name))
            return &nv.value;
    }
    return nullptr;
}

std::vector<std::string> RegistryDocument::subkeyNames(std::string_view path) const {
    const std::string canonical = normalizeKeyPath(path);
    std::vector<std::string> names;
    for (const Key& key : keys_) {
        if (!startsWithKeyNoCase(key.path, canonical))
            continue;
        std::string_view rest = std::string_view(key.path).substr(canonical.size() + 1);
        rest = rest.substr(0, rest.find('\\'));
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return equalsNoCase(n, rest); })) {
            names.emplace_back(rest);
        }
    }
    return names;
}

void RegistryDocument::createKey(std::string_view path) {
    const std::string canonical = normalizeKeyPath(path);
    if (!canonical.empty() && !findKey(canonical)) {
        keys_.push_back(Key{canonical, {}});
    }
}

void RegistryDocument::setValue(std::string_view keyPath, std::string_view name, RegValue value) {
    createKey(keyPath);
    Key* key = findKey(normalizeKeyPath(keyPath));
    if (!key)
        return;
    for (NamedValue& nv : key->values) {
        if (equalsNoCase(nv.name, name)) {
            nv.value = std::move(value);
            return;
        }
    }
    key->values.push_back(NamedValue{std::string(name), std::move(value)});
}

bool RegistryDocument::deleteValue(std::string_view keyPath, std::string_view name) {
    Key* key = findKey(normalizeKeyPath(keyPath));
    if (!key)
        return false;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const NamedValue& nv) { return equalsNoCase(nv.name, name); });
    if (it == key->values.end())
        return false;
    key->values.erase(it);
    return true;
}

bool RegistryDocument::deleteKey(std::string_view path) {
    const std::string canonical = normalizeKeyPath(path);
    if (canonical.empty())
        return false;
    const auto before = keys_.size();
    std::erase_if(keys_, [&](const Key& k) {
        return equalsNoCase(k.path, canonical) || startsWithKeyNoCase(k.path, canonical);
    });
    return keys_.size() != before;
}

std::string machineRegistryPath() {
    if (const char* file = environment("ZYLON_MACHINE_REGISTRY"))
        return file;
    return std::string(kSystemDir) + "/" + kFileName;
}

std::string userRegistryPath() {
    if (const char* xdg = environment("XDG_CONFIG_HOME"))
        return std::string(xdg) + "/zylon/" + kFileName;
    if (const char* home = environment("HOME"))
        return std::string(home) + "/.config/zylon/" + kFileName;
    return {};
}

std::vector<std::string> registryReadPaths() {
    if (const char* file = environment("ZYLON_REGISTRY"))
        return {file};
    std::vector<std::string> files{machineRegistryPath()};
    if (std::string user = userRegistryPath(); !user.empty() && user != files.front())
        files.push_back(std::move(user));
    return files;
}

std::string registryWritePath() {
    if (const char* file = environment("ZYLON_REGISTRY"))
        return file;
    // Without a home there is no user's file: the machine-wide one is all there is.
    const std::string user = userRegistryPath();
    return user.empty() ? machineRegistryPath() : user;
}

RegistryView loadRegistryView() {
    return loadRegistryView(registryReadPaths());
}

RegistryView loadRegistryView(const std::vector<std::string>& files) {
    RegistryView view;
    for (const std::string& path : files) {
        RegistryLayer layer{path, loadRegistry(path)};
        for (const auto& key : layer.file.document.keys()) {
            view.document.createKey(key.path);
            for (const auto& value : key.values)
                view.document.setValue(key.path, value.name, value.value);
        }
        view.layers.push_back(std::move(layer));
    }
    return view;
}

RegistryFile loadRegistry(const std::string& path) {
    RegistryFile result;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        result.error = path + ": is a folder, not a registry file";
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int err = errno;
        if (err != ENOENT) {
            result.error = path + ": " + systemErrorText(err);
        }
        return result;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        result.error = path + ": read error";
        return result;
    }
    result.exists = true;
    result.document = RegistryDocument::parse(decodeFileText(buffer.str()), &result.diagnostics);
    return result;
}

bool editRegistry(const std::string& path, const std::function<void(RegistryDocument&)>& edit,
                  std::string* error) {
    auto fail = [&](const std::string& what, int err) {
        if (error)
            *error = path + ": " + what + ": " + systemErrorText(err);
        return false;
    };
    {
        // An edit that changes nothing (an unregistration that finds nothing to remove) leaves
        // the file, its folder and its lock file as they are, or absent.
        RegistryFile before = loadRegistry(path);
        if (!before.error.empty()) {
            if (error)
                *error = before.error;
            return false;
        }
        const std::string unchanged = before.document.serialize();
        edit(before.document);
        if (before.document.serialize() == unchanged)
            return true;
    }
    const std::filesystem::path target(path);
    if (target.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(target.parent_path(), ec);
        if (ec)
            return fail("cannot create folder " + target.parent_path().string(), ec.value());
    }
    Fd lock;
    lock.fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock.fd < 0)
        return fail("cannot open lock file", errno);
    while (flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail("cannot lock", errno);
    }
    RegistryFile current = loadRegistry(path);
    if (!current.error.empty()) {
        if (error)
            *error = current.error;
        return false;
    }
    edit(current.document);
    const std::string text = current.document.serialize();
    const std::string temp = path + ".tmp." + std::to_string(currentProcessId());
    {
        Fd out;
        out.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out.fd < 0)
            return fail("cannot create " + temp, errno);
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = ::write(out.fd, text.data() + written, text.size() - written);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                const int err = errno;
                ::unlink(temp.c_str());
                return fail("cannot write " + temp, err);
            }
            written += static_cast<std::size_t>(n);
        }
        if (::fsync(out.fd) != 0) {
            const int err = errno;
            ::unlink(temp.c_str());
            return fail("cannot flush " + temp, err);
        }
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return fail("cannot replace the file", err);
    }
    return true;
}

std::optional<RegistryKey> RegistryKey::open(std::string_view path) {
    return openIn(loadRegistryView().document, path);
}

std::optional<RegistryKey> RegistryKey::openIn(const std::string& file, std::string_view path) {
    RegistryFile loaded = loadRegistry(file);
    if (!loaded.exists)
        return std::nullopt;
    return openIn(loaded.document, path);
}

std::optional<RegistryKey> RegistryKey::openIn(const RegistryDocument& document,
                                               std::string_view path) {
    const std::string canonical = RegistryDocument::normalizeKeyPath(path);
    for (const auto& key : document.keys()) {
        if (equalsNoCase(key.path, canonical)) {
            RegistryKey result;
            result.key_ = key;
            return result;
        }
    }
    return std::nullopt;
}

std::optional<RegValue> RegistryKey::query(std::string_view name) const {
    for (const auto& nv : key_.values) {
        if (equalsNoCase(nv.name, name))
            return nv.value;
    }
    return std::nullopt;
}

}  // namespace zyl::platform
