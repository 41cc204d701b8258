#include "module/rawvideo/RawVideo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "module/base/errors/host_exceptions.h"
#include "module/logging/log_config.h"
#include "module/rawvideo/FramePool.h"
#include "platform/text.h"

namespace ZYL {
namespace {

constexpr std::uint64_t kLimit31 = std::uint64_t{1} << 31;

std::wstring Widen(const std::string& text) {
    auto wide = zyl::platform::utf8ToWide(text);
    if (wide)
        return *wide;
    // Bytes that are no UTF-8 (a foreign file name) still show, one character each.
    return std::wstring(text.begin(), text.end());
}

[[noreturn]] void Fail(std::uint32_t code, const std::string& text) {
    throw ZYLException(Widen(text), code);
}

std::string LastError(int error) {
    return std::to_string(static_cast<unsigned>(error));
}

std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

// Reads up to size bytes at position; returns the bytes read or -1 (errno set).
ssize_t ReadAt(int file, std::uint8_t* data, std::size_t size, std::uint64_t position) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            pread(file, data + done, size - done, static_cast<off_t>(position + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::once_flag g_configureOnce;

// The extension as the container's file names have always been read: the last component's
// text from its last dot, so a file called just ".zyrv" is all extension.
std::string Extension(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    if (name == "." || name == "..")
        return {};
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

}  // namespace

int PlanesOf(std::uint32_t pixelFormat) {
    switch (pixelFormat) {
        case kPixelMono8:
            return 1;
        case kPixelRGB8:
        case kPixelBGR8:
            return 3;
        case kPixelRGBA8:
            return 4;
        default:
            return 0;
    }
}

const char* PixelFormatName(std::uint32_t pixelFormat) {
    switch (pixelFormat) {
        case kPixelMono8:
            return "Mono8";
        case kPixelRGB8:
            return "RGB8";
        case kPixelBGR8:
            return "BGR8";
        case kPixelRGBA8:
            return "RGBA8";
        default:
            return "unknown";
    }
}

std::uint64_t RawVideoInterfaceId() {
    static const std::uint64_t id = HostInterfaceId("ZYLRawVideo");
    return id;
}

std::string QuotePath(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '&')
            out.push_back('&');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

RawVideo::RawVideo(const std::wstring& widePath) {
    auto narrow = zyl::platform::wideToUtf8(widePath);
    std::filesystem::path path(narrow ? *narrow : std::string());
    std::error_code ec;
    if (!path.empty()) {
        path = std::filesystem::absolute(path, ec);
    }
    m_path = path;

    // The raw video component asks a log service how to log, once per process.
    std::call_once(g_configureOnce, [] { qnLogging::configure_logging("Reel2", "", {}); });

    const std::string shown = QuotePath(m_path.string());
    if (!narrow || m_path.empty() || m_path.parent_path().empty() || Extension(m_path).empty()) {
        Fail(kRawIoError, "Could not create file handle for opening " + shown +
                              " Make sure the path is valid. Error: " + LastError(errno));
    }
    if (Extension(m_path) != ".zyrv") {
        Fail(kRawIoError, "File extension: " + QuotePath(Extension(m_path)) +
                              " not supported. Use *.zyrv. Error: " + LastError(errno));
    }
    m_file = ::open(m_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (m_file >= 0 && flock(m_file, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(m_file);
        m_file = -1;
        errno = error;
    }
    if (m_file < 0) {
        Fail(kRawIoError,
             "Could not create file handle for opening " + shown + " Error: " + LastError(errno));
    }
    try {
        struct stat info {};
        if (fstat(m_file, &info) != 0) {
            throw zylBase::runtime_error("cannot take the file size");
        }
        m_fileSize = static_cast<std::uint64_t>(info.st_size);

        std::uint8_t header[kRawHeaderSize] = {'Z', 'Y', 'R', 'V', '0', '1', '3', '0'};
        if (ReadAt(m_file, header, sizeof header, 0) < 0) {
            Fail(kRawIoError, "Error reading container header of file: " + shown +
                                  " Error: " + LastError(errno));
        }
        m_width = Get32(header + 8);
        m_height = Get32(header + 12);
        m_lineIncrement = Get64(header + 16);
        m_pixelFormat = Get32(header + 24);
        std::memcpy(&m_frameRate, header + 28, sizeof m_frameRate);
        m_dataOffset = Get32(header + 36);

        m_planes = PlanesOf(m_pixelFormat);
        const std::uint64_t frameBytes =
            std::uint64_t{m_width} * m_height * static_cast<std::uint64_t>(m_planes);
        // A geometry that no frame can have (zero sizes, or beyond the signed 32-bit arithmetic
        // of the format) is refused like an unreadable header, so no division by zero and no
        // oversized buffer can follow.
        if (m_planes == 0 || m_width == 0 || m_height == 0 || m_lineIncrement == 0 ||
            m_width >= kLimit31 || m_height >= kLimit31 || m_dataOffset >= kLimit31 ||
            frameBytes >= kLimit31 || m_lineIncrement >= kLimit31) {
            Fail(kRawBadFormat,
                 "Pixel format of for loaded container is not supported or header is corrupted. "
                 "Supported formats are Mono8, RGB8, BGR8, RGBA8");
        }
        m_componentBits.assign(static_cast<std::size_t>(m_planes), 8);
        m_pool = new FramePool(static_cast<std::size_t>(frameBytes));
        m_frameIndex = 0;
    } catch (...) {
        ::close(m_file);
        m_file = -1;
        throw;
    }
}

RawVideo::~RawVideo() {
    if (m_pool)
        m_pool->Close();
    if (m_file >= 0)
        ::close(m_file);
}

Result RawVideo::GetInterfaces(InterfaceEntry* list, std::uint64_t* count) {
    const InterfaceEntry self{RawVideoInterfaceId(), static_cast<RawVideo*>(this)};
    return ListInterfaces(&self, 1, list, count);
}

std::uint64_t RawVideo::FrameCount() const {
    if (m_writing)
        Fail(kRawNotReading, "Method only applicable in reading mode.");
    // A data offset past the end of the file leaves no frame.
    if (m_fileSize <= m_dataOffset)
        return 0;
    return (m_fileSize - m_dataOffset) /
           (std::uint64_t{m_height} * m_lineIncrement *
            static_cast<std::uint64_t>(HostBytesPerPixel(kDataType8)));
}

void RawVideo::SetFrameIndex(std::uint64_t index) {
    if (m_writing)
        Fail(kRawNotReading, "Method only applicable in reading mode.");
    if (index >= FrameCount())
        Fail(kRawSetIndex, "Desired index exceeds number of frames available.");
    m_frameIndex = index;
}

void RawVideo::ReadImage(HostHandle* image) {
    if (m_writing)
        Fail(kRawNotReading, "Method only applicable in reading mode.");
    if (m_frameIndex >= FrameCount())
        Fail(kRawReadIndex, "Desired index exceeds number of frames available.");
    const std::uint64_t frameSize = m_pool->frameSize();
    const std::uint64_t position = m_dataOffset + frameSize * m_frameIndex;
    if (position > static_cast<std::uint64_t>(LLONG_MAX)) {
        Fail(kRawIoError, "New file position is not sector-aligned! File: " + m_path.string() +
                              " Error: " + LastError(EINVAL));
    }
    FrameBuffer* buffer = m_pool->Take();
    if (buffer == nullptr)
        throw zylBase::bad_alloc();
    const ssize_t got = ReadAt(m_file, buffer->data, frameSize, position);
    if (got < 0) {
        const int error = errno;
        m_pool->Discard(buffer);
        if (error == EINVAL) {
            Fail(kRawIoError, "New file position is not sector-aligned! File: " + m_path.string() +
                                  " Error: " + LastError(error));
        }
        Fail(kRawIoError, "Error Reading image from container. File: " +
                              QuotePath(m_path.string()) + " Error: " + LastError(error));
    }
    // A short read (the file shrank) leaves the unread part zero, as a fresh buffer would be.
    if (static_cast<std::uint64_t>(got) < frameSize) {
        std::memset(buffer->data + got, 0, frameSize - static_cast<std::uint64_t>(got));
    }
    // The host sees the planes in red, green, blue order for both three-plane formats.
    std::int32_t order[4] = {0, 1, 2, 3};
    if (m_pixelFormat == kPixelBGR8)
        std::swap(order[0], order[2]);
    const Result r = HostImageFromMemory(
        buffer->data, frameSize, static_cast<std::int32_t>(m_width),
        static_cast<std::int32_t>(m_height), m_planes, m_componentBits[0], m_planes,
        static_cast<std::int64_t>(m_lineIncrement), 1, order, &FramePool::Return, buffer, image);
    if (r != 0) {
        m_pool->Discard(buffer);
        Fail(kRawImageFailed, "Could not create image from pointer" + std::string("File:") +
                                  QuotePath(m_path.string()) + " Error: " +
                                  std::to_string(static_cast<std::int32_t>(
                                      static_cast<std::uint32_t>(r) & 0x7FFFFFFF)));
    }
    ++m_frameIndex;
}

}  // namespace ZYL
