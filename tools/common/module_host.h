// Loading libZylAvi.so the way a host does and using what it opens: the module's exports, a
// camera (a host object with its driver interfaces) and frame extraction through the access
// tables. One thread per camera; the module and the host stand-in take their own locks.
//
// LoadedModule can keep a copy of the module's fatal and error lines (the module's
// ZYLAVI_ERROR_LOG, pointed at a memory file) so a tool can say why an open failed; the module
// writes it under its own target lock, the tool reads it on the thread that opened the file.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/ZylHost.h"
#include "module/driver/ZylDriver.h"

namespace zyl::tools {

class LoadedModule {
public:
    // The module next to this executable unless a path is given; throws std::runtime_error
    // naming the file and the loader's reason. With captureErrors the module's fatal and error
    // lines are kept for ErrorLinesSince (the process must still be single-threaded: the
    // module reads the environment while it loads).
    explicit LoadedModule(const std::string& path = std::string(), bool captureErrors = false);
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    ~LoadedModule();

    HostHandle (*GetImage)() = nullptr;
    HostHandle (*GetImageFromFile)(const char*) = nullptr;
    HostHandle (*GetImageFromFileW)(const wchar_t*) = nullptr;
    bool (*CanUnload)() = nullptr;
    ZYL::Result (*OpenRawVideo)(const wchar_t*, HostHandle*) = nullptr;
    ZYL::Result (*SetRawVideoFrameIndex)(HostHandle, std::uint64_t) = nullptr;
    ZYL::Result (*ReadRawVideoImage)(HostHandle, HostHandle*) = nullptr;

    const std::string& path() const { return path_; }
    // An export that not every module has; null when missing.
    void* Symbol(const char* name) const;

    // A position in the captured lines, and the lines written after it with the module's time
    // stamp taken off ("[fatal] Creation of ..."). Empty without capture.
    std::uint64_t ErrorMark() const;
    std::vector<std::string> ErrorLinesSince(std::uint64_t mark) const;

private:
    void* handle_ = nullptr;
    std::string path_;
    int errorLog_ = -1;
};

// A host object opened by the module, with the interfaces it offers (null where it offers none).
class Camera {
public:
    explicit Camera(HostHandle handle);
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;
    ~Camera();

    HostHandle handle() const { return handle_; }
    ZYL::IImageVPA* vpa = nullptr;
    ZYL::IGrabber* grabber = nullptr;
    ZYL::IGrab2* grab2 = nullptr;
    ZYL::IDeviceCtrl* device = nullptr;
    ZYL::IBasicDIO* dio = nullptr;
    ZYL::INotify* notify = nullptr;
    // The ids the object answers, in the order it lists them.
    std::vector<std::uint64_t> interfaceIds;

    // Device-control helpers; throw std::runtime_error with the result code on failure.
    std::int32_t GetInt(std::uint32_t command);
    double GetDouble(std::uint32_t command);
    void SetInt(std::uint32_t command, std::int32_t value);
    void SetDouble(std::uint32_t command, double value);
    // The same without the exception: the player's result (kNotSupported without IDeviceCtrl).
    ZYL::Result TryGetDouble(std::uint32_t command, double& value);
    ZYL::Result TrySetDouble(std::uint32_t command, double value);

private:
    ZYL::Result Call(std::uint32_t command, const void* input, std::uint64_t inputSize,
                     void* output, std::uint64_t outputSize);
    void Control(std::uint32_t command, const void* input, std::uint64_t inputSize, void* output,
                 std::uint64_t outputSize);
    HostHandle handle_;
};

struct Frame {
    std::int32_t planes = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> pixels;  // planes interleaved per pixel, top line first
};

// The current image of an IImageVPA, read through its access tables.
ZYL::Result ReadFrame(ZYL::IImageVPA& image, Frame& frame);

std::string ResultText(ZYL::Result result);
// The lines of a captured module log that follow a time stamp, without it.
std::vector<std::string> StripLogTimes(const std::string& text);
std::wstring Widen(const std::string& utf8);

}  // namespace zyl::tools
