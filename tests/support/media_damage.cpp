#include "support/media_damage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace zyl::test::media {

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what);
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(path, "cannot read");
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        Fail(path, "cannot write");
    }
}

// Every offset of `tag` in `bytes`.
std::vector<std::size_t> Find(const std::string& bytes, const std::string& tag) {
    std::vector<std::size_t> found;
    for (std::size_t at = bytes.find(tag); at != std::string::npos; at = bytes.find(tag, at + 1)) {
        found.push_back(at);
    }
    return found;
}

std::uint32_t Swap(std::uint32_t v) {
    return __builtin_bswap32(v);
}
std::uint64_t Swap(std::uint64_t v) {
    return __builtin_bswap64(v);
}

template <class T>
T Load(const std::string& bytes, std::size_t at, bool bigEndian) {
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return bigEndian ? Swap(value) : value;
}

template <class T>
void Store(std::string& bytes, std::size_t at, T value, bool bigEndian) {
    if (bigEndian) {
        value = Swap(value);
    }
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

void Require(const std::string& path, bool found, const std::string& what) {
    if (!found) {
        Fail(path, "no " + what + " to change");
    }
}

}  // namespace

void CutFile(const std::string& path, double fraction) {
    if (!(fraction >= 0.0 && fraction <= 1.0)) {
        Fail(path, "a fraction between 0 and 1 is needed to cut");
    }
    const auto size = std::filesystem::file_size(path);
    std::filesystem::resize_file(path,
                                 static_cast<std::uintmax_t>(static_cast<double>(size) * fraction));
}

void ZeroBytes(const std::string& path, std::size_t offset, std::size_t count) {
    std::string bytes = Read(path);
    if (offset < bytes.size()) {
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                    std::min(count, bytes.size() - offset), '\0');
    }
    Write(path, bytes);
}

void SetAviStatedFrames(const std::string& path, std::uint32_t frames) {
    std::string bytes = Read(path);
    // After the chunk's tag and size: 'avih' dwTotalFrames is the fifth field, 'strh' dwLength
    // the ninth (counting fccType and fccHandler).
    const auto main = Find(bytes, "avih");
    const auto streams = Find(bytes, "strh");
    Require(path, !main.empty() && !streams.empty(), "AVI header");
    Store(bytes, main[0] + 8 + 16, frames, false);
    for (std::size_t at : streams) {
        Store(bytes, at + 8 + 32, frames, false);
    }
    Write(path, bytes);
}

void ScaleMp4Durations(const std::string& path, double factor) {
    std::string bytes = Read(path);
    bool changed = false;
    // Each box's fields follow its tag: version (1), flags (3), then creation and modification
    // times (4 or 8 each) and, for 'tkhd', the track id and a reserved word before the
    // duration; 'mvhd' and 'mdhd' have the time scale there.
    for (const char* tag : {"mvhd", "tkhd", "mdhd"}) {
        for (std::size_t at : Find(bytes, tag)) {
            const bool wide = bytes[at + 4] == 1;
            const std::size_t duration =
                at + 8 + (wide ? 16 : 8) + (std::strcmp(tag, "tkhd") == 0 ? 8 : 4);
            if (duration + 8 > bytes.size()) {
                continue;
            }
            const auto scale = [&]<class T>(T) {
                const double value = static_cast<double>(Load<T>(bytes, duration, true));
                Store(bytes, duration, static_cast<T>(std::llround(value * factor)), true);
            };
            wide ? scale(std::uint64_t{}) : scale(std::uint32_t{});
            changed = true;
        }
    }
    Require(path, changed, "movie header");
    Write(path, bytes);
}

void ScaleMatroskaDuration(const std::string& path, double factor) {
    std::string bytes = Read(path);
    // Element id 0x4489, then its size as a one-byte number (0x80 | size).
    for (const auto& [marker, size] : {std::pair{std::string("\x44\x89\x88", 3), 8},
                                       std::pair{std::string("\x44\x89\x84", 3), 4}}) {
        const auto found = Find(bytes, marker);
        if (found.empty()) {
            continue;
        }
        const std::size_t at = found[0] + 3;
        if (size == 8) {
            const auto value = std::bit_cast<double>(Load<std::uint64_t>(bytes, at, true));
            Store(bytes, at, std::bit_cast<std::uint64_t>(value * factor), true);
        } else {
            const auto value = std::bit_cast<float>(Load<std::uint32_t>(bytes, at, true));
            Store(bytes, at, std::bit_cast<std::uint32_t>(static_cast<float>(value * factor)),
                  true);
        }
        Write(path, bytes);
        return;
    }
    Fail(path, "no Matroska Duration to change");
}

}  // namespace zyl::test::media
