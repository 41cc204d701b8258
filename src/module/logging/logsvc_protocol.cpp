#include "module/logging/logsvc_protocol.h"

#include <algorithm>
#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "module/logging/logsvc_error.h"

namespace qnLogging::logsvc {
namespace {

constexpr std::size_t kFieldHeader = 4;
constexpr std::size_t kAttachmentSize = sizeof(attachment_record);

void Put16(std::uint8_t* out, std::uint16_t v) {
    out[0] = static_cast<std::uint8_t>(v);
    out[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put64(std::uint8_t* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t Get16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

std::uint64_t Get64(const std::uint8_t* in) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | in[i];
    return v;
}

// UTF-16 code units of one wide character; characters beyond Unicode go out as U+FFFD.
int Utf16Units(wchar_t c) {
    const auto cp = static_cast<std::uint32_t>(c);
    return (cp > 0xFFFF && cp <= 0x10FFFF) ? 2 : 1;
}

// Writes at most maxBytes (even) of the text as UTF-16LE; returns the bytes written.
std::size_t WriteUtf16(std::uint8_t* out, const wchar_t* begin, const wchar_t* end,
                       std::size_t maxBytes) {
    std::size_t written = 0;
    auto unit = [&](std::uint16_t u) {
        if (written + 2 > maxBytes)
            return false;
        Put16(out + written, u);
        written += 2;
        return true;
    };
    for (const wchar_t* p = begin; p != end; ++p) {
        auto cp = static_cast<std::uint32_t>(*p);
        if (cp > 0x10FFFF)
            cp = 0xFFFD;
        if (cp > 0xFFFF) {
            cp -= 0x10000;
            if (!unit(static_cast<std::uint16_t>(0xD800 + (cp >> 10))))
                break;
            if (!unit(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF))))
                break;
        } else if (!unit(static_cast<std::uint16_t>(cp))) {
            break;
        }
    }
    return written;
}

class ContainerWriter {
public:
    explicit ContainerWriter(std::uint8_t* out) : out_(out) { std::memset(out_, 0, kMaxData); }
    std::size_t remaining() const { return kMaxData - pos_; }
    void field(std::uint8_t id, std::uint8_t marker, const void* data, std::size_t size) {
        Put16(out_ + pos_, static_cast<std::uint16_t>(size));
        out_[pos_ + 2] = id;
        out_[pos_ + 3] = marker;
        if (size)
            std::memcpy(out_ + pos_ + kFieldHeader, data, size);
        pos_ += kFieldHeader + size;
    }
    std::uint8_t* reserve(std::uint8_t id, std::uint8_t marker, std::size_t size) {
        field(id, marker, nullptr, 0);
        Put16(out_ + pos_ - kFieldHeader, static_cast<std::uint16_t>(size));
        std::uint8_t* data = out_ + pos_;
        pos_ += size;
        return data;
    }
    std::size_t finish(std::uint16_t flags, std::uint64_t sequence) {
        Put16(out_, static_cast<std::uint16_t>(pos_));
        Put16(out_ + 2, flags);
        Put64(out_ + 4, sequence);
        Put64(out_ + 12, sequence);
        return pos_;
    }

private:
    std::uint8_t* out_;
    std::size_t pos_ = kContainerHeaderSize;
};

}  // namespace

void EncodeHeader(const Header& h, std::uint8_t* out) {
    Put16(out, h.magic);
    Put16(out + 2, h.flags);
    Put16(out + 4, h.command);
    Put16(out + 6, h.status);
    Put16(out + 8, h.requestId);
    Put16(out + 10, h.dataLength);
}

Header DecodeHeader(const std::uint8_t* in) {
    return Header{Get16(in),     Get16(in + 2), Get16(in + 4),
                  Get16(in + 6), Get16(in + 8), Get16(in + 10)};
}

std::uint16_t NewRequestId() {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    const auto elapsed = boost::posix_time::microsec_clock::local_time() - epoch;
    return static_cast<std::uint16_t>(elapsed.total_microseconds());
}

std::uint64_t TimeStampMicroseconds(const boost::posix_time::ptime& time) {
    static const boost::posix_time::ptime origin(boost::gregorian::date(1400, 1, 1));
    return static_cast<std::uint64_t>((time - origin).total_microseconds());
}

boost::posix_time::ptime TimeFromMicroseconds(std::uint64_t microseconds) {
    static const boost::posix_time::ptime origin(boost::gregorian::date(1400, 1, 1));
    // Far beyond any real time stamp: keep the arithmetic inside boost's range.
    constexpr std::uint64_t kLimit = 8000ull * 366 * 24 * 3600 * 1000000;
    return origin + boost::posix_time::microseconds(
                        static_cast<std::int64_t>(std::min(microseconds, kLimit)));
}

void ValidateAcknowledge(const std::uint8_t* datagram, std::size_t received, std::uint16_t command,
                         std::uint16_t requestId) {
    if (received < kHeaderSize) {
        throw LogSvcError("Received malformed acknowledge packet");
    }
    const Header h = DecodeHeader(datagram);
    if (h.magic != kCommandMagic || h.dataLength > kMaxData || received - kHeaderSize > kMaxData ||
        received != h.dataLength + kHeaderSize) {
        throw LogSvcError("Received malformed acknowledge packet");
    }
    if (h.command != (command | kAckBit) || h.requestId != requestId) {
        throw LogSvcError("The received acknowledge does not match the actual request");
    }
    if (h.flags != 0) {
        throw LogSvcError("The received acknowledge contains unsupported flags");
    }
    if (h.status != 0) {
        throw LogSvcError("The command was not successful (negative acknowledge received)");
    }
}

std::vector<std::uint8_t> DefaultPattern(bool withAttachments, bool threadId) {
    std::vector<std::uint8_t> pattern = {kFieldTime,     kFieldLogger,    kFieldLevel,
                                         kFieldThreadId, kFieldProcessId, kFieldGroup,
                                         kFieldCodePage, kFieldText,      kFieldLocation};
    if (withAttachments)
        pattern.insert(pattern.begin(), kFieldAttachments);
    if (!threadId)
        std::erase(pattern, kFieldThreadId);
    return pattern;
}

std::size_t BuildContainer(std::uint8_t* out, const basic_timed_msgstate& state,
                           const MessageText& text, const std::vector<std::uint8_t>& pattern,
                           const ContainerFacts& facts) {
    const bool badNarrow =
        !text.wide && (text.narrowBegin == nullptr || text.narrowEnd == nullptr ||
                       text.narrowEnd < text.narrowBegin);
    const bool badWide = text.wide && (text.wideBegin == nullptr || text.wideEnd == nullptr ||
                                       text.wideEnd < text.wideBegin);
    if (badNarrow || badWide) {
        throw LogSvcError("Constructing an input log message container from inconstant data");
    }
    ContainerWriter writer(out);
    std::uint16_t flags = 0;
    for (std::uint8_t id : pattern) {
        if (id < kFieldText || id > kFieldCodePage) {
            throw LogSvcError("Invalid pattern used when constructing the log message container");
        }
        if (writer.remaining() < kFieldHeader) {
            flags |= kFieldLeftOut;
            break;
        }
        const std::size_t room = writer.remaining() - kFieldHeader;
        if (id == kFieldText) {
            if (text.wide) {
                std::size_t bytes = 0;
                for (const wchar_t* p = text.wideBegin; p != text.wideEnd; ++p)
                    bytes += 2 * Utf16Units(*p);
                const std::size_t limit = std::min(bytes, room & ~std::size_t{1});
                if (limit < bytes)
                    flags |= kTextCut;
                std::uint8_t* data = writer.reserve(kFieldText, 1, limit);
                // A surrogate pair that does not fit whole is left out; its space stays zero.
                WriteUtf16(data, text.wideBegin, text.wideEnd, limit);
            } else {
                std::size_t bytes = static_cast<std::size_t>(text.narrowEnd - text.narrowBegin);
                if (bytes > room) {
                    bytes = room;
                    flags |= kTextCut;
                }
                writer.field(kFieldText, 0, text.narrowBegin, bytes);
            }
            continue;
        }
        if (id == kFieldAttachments && state.attachments.empty()) {
            continue;
        }
        std::uint8_t number[8];
        const void* data = number;
        std::size_t size = 8;
        std::string owned;
        switch (id) {
            case kFieldTime:
                Put64(number, TimeStampMicroseconds(state.time));
                break;
            case kFieldLevel:
                Put64(number, state.level);
                break;
            case kFieldProcessId:
                Put64(number, facts.processId);
                break;
            case kFieldThreadId:
                Put64(number, facts.threadId);
                break;
            case kFieldCodePage:
                Put64(number, facts.codePage);
                break;
            case kFieldLogger:
                owned = state.logger ? state.logger->name() : std::string();
                data = owned.data();
                size = owned.size();
                break;
            case kFieldGroup:
                if (state.group != no_group)
                    owned = group_name(state.group);
                data = owned.data();
                size = owned.size();
                break;
            case kFieldLocation:
                data = state.location.data();
                size = state.location.size();
                break;
            case kFieldAttachments:
                data = state.attachments.data();
                size = state.attachments.size() * kAttachmentSize;
                break;
            default:
                break;
        }
        if (size > room) {
            flags |= kFieldLeftOut;
            break;
        }
        writer.field(id, 0, data, size);
    }
    if (!state.attachments.empty())
        flags |= kAttachmentsPresent;
    return writer.finish(flags, facts.sequence);
}

const Field* Container::find(std::uint8_t id) const {
    for (const Field& f : fields) {
        if (f.id == id)
            return &f;
    }
    return nullptr;
}

std::optional<std::uint64_t> Container::number(std::uint8_t id) const {
    const Field* f = find(id);
    if (!f || f->data.size() != 8)
        return std::nullopt;
    return Get64(reinterpret_cast<const std::uint8_t*>(f->data.data()));
}

std::optional<Container> ParseContainer(const std::uint8_t* data, std::size_t size,
                                        std::string* why) {
    auto fail = [&](const char* reason) -> std::optional<Container> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (size < kContainerHeaderSize || size > kMaxData)
        return fail("container size out of range");
    Container c;
    c.length = Get16(data);
    c.flags = Get16(data + 2);
    c.sequence = Get64(data + 4);
    c.sequenceAgain = Get64(data + 12);
    if (c.length != size)
        return fail("container length disagrees with the packet");
    if (c.flags & ~(kFieldLeftOut | kTextCut | kAttachmentsPresent))
        return fail("unknown container flags");
    std::size_t pos = kContainerHeaderSize;
    while (pos < size) {
        if (size - pos < kFieldHeader)
            return fail("truncated field header");
        Field f;
        const std::size_t length = Get16(data + pos);
        f.id = data[pos + 2];
        f.marker = data[pos + 3];
        pos += kFieldHeader;
        if (length > size - pos)
            return fail("field runs past the container");
        f.data = std::string_view(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        if (f.id < kFieldText || f.id > kFieldCodePage)
            return fail("unknown field id");
        if (f.marker > 1 || (f.marker == 1 && (f.id != kFieldText || length % 2 != 0))) {
            return fail("bad encoding marker");
        }
        const bool numeric = f.id == kFieldTime || f.id == kFieldLevel || f.id == kFieldProcessId ||
                             f.id == kFieldThreadId || f.id == kFieldCodePage;
        if (numeric && length != 8)
            return fail("numeric field is not 8 bytes");
        if (f.id == kFieldAttachments && length % kAttachmentSize != 0) {
            return fail("attachment field is not a whole number of records");
        }
        if (c.find(f.id))
            return fail("field appears twice");
        c.fields.push_back(f);
    }
    return c;
}

}  // namespace qnLogging::logsvc
