// MD5 digests (RFC 1321) of frame pixels, for comparing frames across runs and tools.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zyl::tools {

class Md5 {
public:
    Md5();
    void Update(const std::uint8_t* data, std::size_t size);
    // The digest as 32 lower-case hexadecimal digits; the object is spent afterwards.
    std::string HexDigest();

private:
    void Block(const std::uint8_t* block);
    std::array<std::uint32_t, 4> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::uint64_t length_ = 0;
};

}  // namespace zyl::tools
