#include "support/avi_writer.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace zyl::test::media {

namespace {

constexpr std::uint32_t kAvifHasIndex = 0x10;
constexpr std::uint32_t kAvifIsInterleaved = 0x100;
constexpr std::uint32_t kAviifKeyFrame = 0x10;

// Little-endian RIFF output with chunk sizes patched when a chunk closes.
class Riff {
public:
    void U8(std::uint8_t v) { bytes_.push_back(v); }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v & 0xFF));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v & 0xFFFF));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void FourCc(const std::string& code) {
        for (std::size_t i = 0; i < 4; ++i) {
            U8(i < code.size() ? static_cast<std::uint8_t>(code[i]) : ' ');
        }
    }
    void Bytes(const void* data, std::size_t size) {
        if (size == 0) {
            return;
        }
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }

    // Opens a chunk (or a RIFF/LIST with `listType`); returns where its size goes.
    std::size_t Open(const std::string& id, const std::string& listType = {}) {
        FourCc(id);
        const std::size_t at = bytes_.size();
        U32(0);
        if (!listType.empty()) {
            FourCc(listType);
        }
        return at;
    }
    void Close(std::size_t at) {
        const auto size = static_cast<std::uint32_t>(bytes_.size() - at - 4);
        Patch(at, size);
        if (size % 2 != 0) {
            U8(0);  // chunks start on even offsets; the pad is not counted
        }
    }
    void Patch(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }
    std::size_t Size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& Data() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

void StreamHeader(Riff& out, const std::string& type, const std::string& handler,
                  std::uint32_t scale, std::uint32_t rate, std::uint32_t length,
                  std::uint32_t bufferSize, std::uint32_t width, std::uint32_t height) {
    const std::size_t at = out.Open("strh");
    out.FourCc(type);
    if (handler.empty()) {
        out.U32(0);
    } else {
        out.FourCc(handler);
    }
    out.U32(0);  // dwFlags
    out.U16(0);  // wPriority
    out.U16(0);  // wLanguage
    out.U32(0);  // dwInitialFrames
    out.U32(scale);
    out.U32(rate);
    out.U32(0);  // dwStart
    out.U32(length);
    out.U32(bufferSize);
    out.U32(0xFFFFFFFF);  // dwQuality: the default
    out.U32(0);           // dwSampleSize
    out.U16(0);
    out.U16(0);
    out.U16(static_cast<std::uint16_t>(width));
    out.U16(static_cast<std::uint16_t>(height));
    out.Close(at);
}

std::uint32_t DibStride(std::uint32_t width, std::uint16_t bitCount) {
    return (width * bitCount / 8 + 3) & ~3U;
}

}  // namespace

AviWriter::AviWriter(AviVideoFormat video) : video_(std::move(video)) {
    if (video_.width == 0 || video_.height == 0 || video_.rate == 0 || video_.scale == 0) {
        throw std::invalid_argument("AVI video needs a size and a frame rate");
    }
    if (video_.fourcc.empty() && video_.bitCount != 8 && video_.bitCount != 24 &&
        video_.bitCount != 32) {
        throw std::invalid_argument("uncompressed AVI frames have 8, 24 or 32 bits");
    }
}

void AviWriter::EnableText() {
    text_ = true;
}

void AviWriter::AddVideoFrame(std::vector<std::uint8_t> data, bool keyFrame) {
    frames_.push_back(Frame{std::move(data), keyFrame});
}

void AviWriter::AddText(std::uint32_t frame, std::string text) {
    if (text.find('\0') != std::string::npos) {
        throw std::invalid_argument("a text sample holds no NUL");
    }
    texts_[frame] = std::move(text);
}

std::vector<std::uint8_t> AviWriter::Dib(const std::uint8_t* pixels, std::uint32_t width,
                                         std::uint32_t height, std::uint16_t bitCount) {
    const std::uint32_t stride = DibStride(width, bitCount);
    const std::uint32_t in = bitCount == 8 ? 1 : 3;
    std::vector<std::uint8_t> dib(std::size_t{stride} * height, 0);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* src = pixels + std::size_t{height - 1 - y} * width * in;
        std::uint8_t* dst = dib.data() + std::size_t{y} * stride;
        for (std::uint32_t x = 0; x < width; ++x, src += in) {
            if (bitCount == 8) {
                *dst++ = src[0];
            } else {
                *dst++ = src[2];
                *dst++ = src[1];
                *dst++ = src[0];
                if (bitCount == 32) {
                    *dst++ = 0;
                }
            }
        }
    }
    return dib;
}

void AviWriter::Write(const std::string& path) const {
    const bool raw = video_.fourcc.empty();
    const std::uint32_t streams = text_ ? 2U : 1U;
    const std::uint32_t textChunks = texts_.empty() ? 0 : texts_.rbegin()->first + 1;

    std::uint32_t largestVideo = 0;
    for (const Frame& f : frames_) {
        largestVideo = std::max(largestVideo, static_cast<std::uint32_t>(f.data.size()));
    }
    std::uint32_t largestText = 1;
    for (const auto& [frame, text] : texts_) {
        largestText = std::max(largestText, static_cast<std::uint32_t>(text.size() + 1));
    }
    const std::uint32_t largest = std::max(largestVideo, largestText);
    const auto frameCount = static_cast<std::uint32_t>(frames_.size());

    Riff out;
    const std::size_t riff = out.Open("RIFF", "AVI ");
    const std::size_t hdrl = out.Open("LIST", "hdrl");
    const std::size_t avih = out.Open("avih");
    out.U32(static_cast<std::uint32_t>(1'000'000ULL * video_.scale / video_.rate));
    out.U32(static_cast<std::uint32_t>(std::uint64_t{largest} * video_.rate / video_.scale));
    out.U32(0);  // dwPaddingGranularity
    out.U32(kAvifHasIndex | kAvifIsInterleaved);
    out.U32(frameCount);
    out.U32(0);  // dwInitialFrames
    out.U32(streams);
    out.U32(largest + 8);
    out.U32(video_.width);
    out.U32(video_.height);
    for (int i = 0; i < 4; ++i) {
        out.U32(0);
    }
    out.Close(avih);

    {
        const std::size_t strl = out.Open("LIST", "strl");
        StreamHeader(out, "vids", video_.fourcc, video_.scale, video_.rate, frameCount,
                     largestVideo, video_.width, video_.height);
        const std::size_t strf = out.Open("strf");
        out.U32(40);
        out.I32(static_cast<std::int32_t>(video_.width));
        out.I32(static_cast<std::int32_t>(video_.height));  // positive: bottom-up
        out.U16(1);
        out.U16(video_.bitCount);
        if (raw) {
            out.U32(0);  // BI_RGB
            out.U32(DibStride(video_.width, video_.bitCount) * video_.height);
        } else {
            out.FourCc(video_.fourcc);
            out.U32(video_.width * video_.height * 3);
        }
        out.U32(0);
        out.U32(0);
        const bool palette = raw && video_.bitCount == 8;
        out.U32(palette ? 256 : 0);  // biClrUsed
        out.U32(0);
        if (palette) {
            for (std::uint32_t i = 0; i < 256; ++i) {
                const auto v = static_cast<std::uint8_t>(i);
                out.U8(v);
                out.U8(v);
                out.U8(v);
                out.U8(0);
            }
        }
        out.Close(strf);
        out.Close(strl);
    }
    if (text_) {
        const std::size_t strl = out.Open("LIST", "strl");
        StreamHeader(out, "txts", "", video_.scale, video_.rate, textChunks, largestText, 0, 0);
        out.Close(out.Open("strf"));  // a text stream has no format block
        out.Close(strl);
    }
    out.Close(hdrl);

    struct Entry {
        std::string id;
        std::uint32_t flags;
        std::uint32_t offset;
        std::uint32_t size;
    };
    std::vector<Entry> index;
    const std::size_t movi = out.Open("LIST", "movi");
    const std::size_t moviStart = movi + 4;  // index offsets count from the 'movi' type
    auto chunk = [&](const std::string& id, const void* data, std::size_t size, bool key) {
        const auto offset = static_cast<std::uint32_t>(out.Size() - moviStart);
        const std::size_t at = out.Open(id);
        out.Bytes(data, size);
        out.Close(at);
        index.push_back({id, key ? kAviifKeyFrame : 0, offset, static_cast<std::uint32_t>(size)});
    };
    for (std::uint32_t n = 0; n < std::max(frameCount, textChunks); ++n) {
        if (n < frameCount) {
            const Frame& f = frames_[n];
            chunk(raw ? "00db" : "00dc", f.data.data(), f.data.size(), f.key);
        }
        if (text_ && n < textChunks) {
            const auto it = texts_.find(n);
            if (it == texts_.end()) {
                chunk("01tx", nullptr, 0, true);
            } else {
                chunk("01tx", it->second.c_str(), it->second.size() + 1, true);
            }
        }
    }
    out.Close(movi);

    const std::size_t idx1 = out.Open("idx1");
    for (const Entry& e : index) {
        out.FourCc(e.id);
        out.U32(e.flags);
        out.U32(e.offset);
        out.U32(e.size);
    }
    out.Close(idx1);
    out.Close(riff);

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(out.Data().data()),
               static_cast<std::streamsize>(out.Size()));
    file.close();
    if (!file) {
        throw std::runtime_error(path + ": cannot write the AVI file");
    }
}

}  // namespace zyl::test::media
