// Writing .zyrv files: the 40-byte header and frames appended after it. Used by the tools and
// the tests; one writer per file, one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zyl::tools {

struct ZyrvHeader {
    char magic[4] = {'Z', 'Y', 'R', 'V'};
    char version[4] = {'0', '1', '3', '0'};
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t lineIncrement = 0;
    std::uint32_t pixelFormat = 0;
    double frameRate = 0.0;
    std::uint32_t dataOffset = 40;
};

std::vector<std::uint8_t> EncodeZyrvHeader(const ZyrvHeader& header);
// Planes of a pixel format name ("Mono8", "RGB8", "BGR8", "RGBA8") and its code; false when
// the name is unknown.
bool PixelFormatByName(const std::string& name, std::uint32_t& code, int& planes);

class ZyrvWriter {
public:
    ZyrvWriter() = default;
    ZyrvWriter(const ZyrvWriter&) = delete;
    ZyrvWriter& operator=(const ZyrvWriter&) = delete;
    ~ZyrvWriter();

    // Creates the file and writes the header (padding up to the data offset with zeros).
    bool Open(const std::string& path, const ZyrvHeader& header, std::string& error);
    // Appends one frame of width * height * planes bytes, interleaved, top line first.
    bool Write(const std::uint8_t* frame, std::size_t size, std::string& error);
    bool Close(std::string& error);

private:
    std::FILE* file_ = nullptr;
    std::string path_;
};

}  // namespace zyl::tools
