// RawVideo: a .zyrv container opened for reading, living in host storage. Reads the frame at
// its frame index into a pooled buffer and hands it to the host as an image over that buffer.
//
// No lock: the caller serialises every call on one container (the raw player under its own
// lock). The file is held with an exclusive advisory lock for the container's life, so a second
// open of the same file fails. Failures throw ZYLException (text and code).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/ZylHost.h"
#include "module/driver/ZylDriver.h"
#include "module/entry/LiveCounters.h"

namespace ZYL {

class FramePool;

inline constexpr std::uint32_t kPixelMono8 = 0x01080001;
inline constexpr std::uint32_t kPixelRGB8 = 0x02180014;
inline constexpr std::uint32_t kPixelBGR8 = 0x02180015;
inline constexpr std::uint32_t kPixelRGBA8 = 0x02200016;
inline constexpr std::size_t kRawHeaderSize = 40;

// Planes of a supported pixel format, 0 for any other code.
int PlanesOf(std::uint32_t pixelFormat);
const char* PixelFormatName(std::uint32_t pixelFormat);

// The id the host assigned to "ZYLRawVideo" (asked once per process).
std::uint64_t RawVideoInterfaceId();

// Error codes of the container (reach the caller as 0x80000000 | code).
inline constexpr std::uint32_t kRawIoError = 3;
inline constexpr std::uint32_t kRawImageFailed = 16;
inline constexpr std::uint32_t kRawNotReading = 19;
inline constexpr std::uint32_t kRawBadFormat = 27;
inline constexpr std::uint32_t kRawReadIndex = 46;
inline constexpr std::uint32_t kRawSetIndex = 48;

class RawVideo : public IDisposableType {
public:
    explicit RawVideo(const std::wstring& path);
    RawVideo(const RawVideo&) = delete;
    RawVideo& operator=(const RawVideo&) = delete;
    ~RawVideo() override;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override;

    std::uint64_t FrameCount() const;
    void SetFrameIndex(std::uint64_t index);
    // Reads the frame at the frame index into a new host image and advances the index.
    void ReadImage(HostHandle* image);

    std::uint32_t Width() const { return m_width; }
    std::uint32_t Height() const { return m_height; }
    std::uint32_t PixelFormat() const { return m_pixelFormat; }
    double FrameRate() const { return m_frameRate; }
    std::uint64_t FrameIndex() const { return m_frameIndex; }
    const std::filesystem::path& Path() const { return m_path; }

private:
    UncountedObject m_live;
    bool m_writing = false;
    int m_file = -1;
    std::filesystem::path m_path;
    std::uint32_t m_width = 0;
    std::uint32_t m_height = 0;
    std::uint64_t m_lineIncrement = 0;
    std::int32_t m_planes = 0;
    std::vector<std::int32_t> m_componentBits;
    std::uint32_t m_pixelFormat = 0;
    std::uint64_t m_fileSize = 0;
    double m_frameRate = 0.0;
    std::uint64_t m_frameIndex = 0;
    std::uint32_t m_dataOffset = 0;
    FramePool* m_pool = nullptr;
};

// The quoting of a path in messages: double quotes around it, '"' and '&' escaped with '&'.
std::string QuotePath(const std::string& text);

}  // namespace ZYL

// The C-style container layer (exported).
extern "C" {
__attribute__((visibility("default"))) ZYL::Result OpenRawVideo(const wchar_t* path,
                                                                HostHandle* container);
__attribute__((visibility("default"))) ZYL::Result SetRawVideoFrameIndex(HostHandle container,
                                                                         std::uint64_t index);
__attribute__((visibility("default"))) ZYL::Result ReadRawVideoImage(HostHandle container,
                                                                     HostHandle* image);
}
