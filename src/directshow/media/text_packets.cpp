#include "directshow/media/text_packets.h"

#include <algorithm>
#include <cstring>

namespace dshow::media {
namespace {

// Appends bytes to the output, leaving room for the NUL.
struct Writer {
    char* out;
    std::size_t capacity;
    std::size_t used = 0;
    void Put(char c) {
        if (used + 1 < capacity)
            out[used++] = c;
    }
    std::size_t Finish() {
        out[used] = '\0';
        return used + 1;
    }
};

void CopyPlain(const std::uint8_t* data, std::size_t size, Writer& writer) {
    for (std::size_t i = 0; i < size && data[i] != 0; ++i)
        writer.Put(static_cast<char>(data[i]));
}

// An ASS event: ReadOrder, Layer, Style, Name, MarginL, MarginR, MarginV, Effect, Text. Only the
// text is shown; "{...}" blocks are styling and "\N" a hard line break.
void CopyAss(const std::uint8_t* data, std::size_t size, Writer& writer) {
    std::size_t i = 0;
    for (int commas = 0; i < size && commas < 8; ++i)
        if (data[i] == ',')
            ++commas;
    bool inTag = false;
    for (; i < size && data[i] != 0; ++i) {
        const char c = static_cast<char>(data[i]);
        if (inTag) {
            inTag = c != '}';
        } else if (c == '{') {
            inTag = true;
        } else if (c == '\\' && i + 1 < size && (data[i + 1] == 'N' || data[i + 1] == 'n')) {
            writer.Put('\n');
            ++i;
        } else {
            writer.Put(c);
        }
    }
}

}  // namespace

std::size_t TextFromPacket(AVCodecID codec, const std::uint8_t* data, std::size_t size, char* out,
                           std::size_t capacity) {
    if (capacity == 0)
        return 0;
    Writer writer{out, capacity};
    if (!data)
        size = 0;
    switch (codec) {
        case AV_CODEC_ID_MOV_TEXT:
            // A 16-bit big-endian length, the text, then style boxes.
            if (size >= 2) {
                const std::size_t length = std::min<std::size_t>(
                    static_cast<std::size_t>(data[0] << 8 | data[1]), size - 2);
                CopyPlain(data + 2, length, writer);
            }
            break;
        case AV_CODEC_ID_ASS:
        case AV_CODEC_ID_SSA:
            CopyAss(data, size, writer);
            break;
        default:
            CopyPlain(data, size, writer);
            break;
    }
    return writer.Finish();
}

}  // namespace dshow::media
