#include "common/zyrv_file.h"

#include <cerrno>
#include <cstring>

namespace zyl::tools {
namespace {

void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<std::uint8_t> EncodeZyrvHeader(const ZyrvHeader& h) {
    std::vector<std::uint8_t> bytes(40, 0);
    std::memcpy(bytes.data(), h.magic, 4);
    std::memcpy(bytes.data() + 4, h.version, 4);
    Put32(bytes.data() + 8, h.width);
    Put32(bytes.data() + 12, h.height);
    Put64(bytes.data() + 16, h.lineIncrement);
    Put32(bytes.data() + 24, h.pixelFormat);
    std::memcpy(bytes.data() + 28, &h.frameRate, sizeof h.frameRate);
    Put32(bytes.data() + 36, h.dataOffset);
    return bytes;
}

bool PixelFormatByName(const std::string& name, std::uint32_t& code, int& planes) {
    struct Entry {
        const char* name;
        std::uint32_t code;
        int planes;
    };
    static const Entry kFormats[] = {{"Mono8", 0x01080001, 1},
                                     {"RGB8", 0x02180014, 3},
                                     {"BGR8", 0x02180015, 3},
                                     {"RGBA8", 0x02200016, 4}};
    for (const Entry& e : kFormats) {
        if (name == e.name) {
            code = e.code;
            planes = e.planes;
            return true;
        }
    }
    return false;
}

ZyrvWriter::~ZyrvWriter() {
    if (file_)
        std::fclose(file_);
}

bool ZyrvWriter::Open(const std::string& path, const ZyrvHeader& header, std::string& error) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::uint8_t> bytes = EncodeZyrvHeader(header);
    if (header.dataOffset > bytes.size())
        bytes.resize(header.dataOffset, 0);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ZyrvWriter::Write(const std::uint8_t* frame, std::size_t size, std::string& error) {
    if (std::fwrite(frame, 1, size, file_) != size) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ZyrvWriter::Close(std::string& error) {
    if (!file_)
        return true;
    const bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok)
        error = path_ + ": " + std::strerror(errno);
    return ok;
}

}  // namespace zyl::tools
