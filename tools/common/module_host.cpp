#include "common/module_host.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/process.h"
#include "platform/text.h"

namespace zyl::tools {
namespace {

template <class F>
void Resolve(void* handle, const char* name, F& function, const std::string& path) {
    function = reinterpret_cast<F>(dlsym(handle, name));
    if (!function)
        throw std::runtime_error(path + ": no export " + name);
}

}  // namespace

std::string ResultText(ZYL::Result result) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(result));
    return buffer;
}

std::wstring Widen(const std::string& utf8) {
    auto wide = platform::utf8ToWide(utf8);
    return wide ? *wide : std::wstring(utf8.begin(), utf8.end());
}

std::vector<std::string> StripLogTimes(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(begin, end - begin);
        // "00:00:00.012345 [fatal] text": the elapsed time means nothing to a reader.
        const std::size_t space = line.find(' ');
        if (!line.empty())
            lines.push_back(space == std::string::npos ? line : line.substr(space + 1));
        begin = end + 1;
    }
    return lines;
}

LoadedModule::LoadedModule(const std::string& path, bool captureErrors) : path_(path) {
    if (path_.empty()) {
        const std::string exe = platform::executablePath();
        path_ = exe.substr(0, exe.rfind('/') + 1) + "libZylAvi.so";
    }
    const char* kVariable = "ZYLAVI_ERROR_LOG";
    const char* previous = std::getenv(kVariable);
    const std::string saved = previous ? previous : "";
    if (captureErrors) {
        // A memory file: nothing on disk to clean up, and the module appends to it by name.
        errorLog_ = memfd_create("zylavi-module-errors", MFD_CLOEXEC);
        if (errorLog_ >= 0) {
            setenv(kVariable, ("/proc/self/fd/" + std::to_string(errorLog_)).c_str(), 1);
        }
    }
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (errorLog_ >= 0) {
        // Only this load should write there; anything the tool starts later must not inherit it.
        if (previous)
            setenv(kVariable, saved.c_str(), 1);
        else
            unsetenv(kVariable);
    }
    if (!handle_) {
        const char* why = dlerror();
        if (errorLog_ >= 0)
            close(errorLog_);
        throw std::runtime_error("cannot load " + path_ + ": " + (why ? why : "unknown reason"));
    }
    try {
        Resolve(handle_, "GetImage", GetImage, path_);
        Resolve(handle_, "GetImageFromFile", GetImageFromFile, path_);
        Resolve(handle_, "GetImageFromFileW", GetImageFromFileW, path_);
        Resolve(handle_, "CanUnload", CanUnload, path_);
        Resolve(handle_, "OpenRawVideo", OpenRawVideo, path_);
        Resolve(handle_, "SetRawVideoFrameIndex", SetRawVideoFrameIndex, path_);
        Resolve(handle_, "ReadRawVideoImage", ReadRawVideoImage, path_);
    } catch (...) {
        dlclose(handle_);
        if (errorLog_ >= 0)
            close(errorLog_);
        throw;
    }
}

LoadedModule::~LoadedModule() {
    if (handle_)
        dlclose(handle_);
    if (errorLog_ >= 0)
        close(errorLog_);
}

void* LoadedModule::Symbol(const char* name) const {
    return dlsym(handle_, name);
}

std::uint64_t LoadedModule::ErrorMark() const {
    struct stat info {};
    if (errorLog_ < 0 || fstat(errorLog_, &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

std::vector<std::string> LoadedModule::ErrorLinesSince(std::uint64_t mark) const {
    const std::uint64_t end = ErrorMark();
    if (end <= mark)
        return {};
    std::string text(static_cast<std::size_t>(end - mark), '\0');
    const ssize_t n = pread(errorLog_, text.data(), text.size(), static_cast<off_t>(mark));
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return StripLogTimes(text);
}

Camera::Camera(HostHandle handle) : handle_(handle) {
    auto ask = [&](std::uint64_t id, auto*& out) {
        void* pointer = nullptr;
        if (HostQueryInterface(handle_, id, &pointer) == ZYL::kOk && pointer) {
            out = static_cast<std::remove_reference_t<decltype(out)>>(pointer);
            return true;
        }
        return false;
    };
    ask(ZYL::kIdImageVPA, vpa);
    ask(ZYL::kIdGrabber, grabber);
    ask(ZYL::kIdGrab2, grab2);
    ask(ZYL::kIdDeviceCtrl, device);
    ask(ZYL::kIdBasicDIO, dio);
    ask(ZYL::kIdNotify, notify);
    for (std::uint64_t id : {ZYL::kIdImageVPA, ZYL::kIdGrabber, ZYL::kIdBasicDIO,
                             ZYL::kIdDeviceCtrl, ZYL::kIdGrab2, ZYL::kIdNotify}) {
        void* pointer = nullptr;
        if (HostQueryInterface(handle_, id, &pointer) == ZYL::kOk && pointer)
            interfaceIds.push_back(id);
    }
}

Camera::~Camera() {
    HostRelease(handle_);
}

ZYL::Result Camera::Call(std::uint32_t command, const void* input, std::uint64_t inputSize,
                         void* output, std::uint64_t outputSize) {
    return device ? device->DeviceCtrlCmd(command, input, inputSize, output,
                                          output ? &outputSize : nullptr)
                  : ZYL::kNotSupported;
}

// One device-control call; a failure becomes an exception naming the command and the result.
void Camera::Control(std::uint32_t command, const void* input, std::uint64_t inputSize,
                     void* output, std::uint64_t outputSize) {
    const ZYL::Result r = Call(command, input, inputSize, output, outputSize);
    if (r != ZYL::kOk) {
        throw std::runtime_error("device control " + std::to_string(command & ZYL::kCommandMask) +
                                 " failed: " + ResultText(r));
    }
}

std::int32_t Camera::GetInt(std::uint32_t command) {
    std::int32_t value = 0;
    Control(command, nullptr, 0, &value, sizeof value);
    return value;
}

double Camera::GetDouble(std::uint32_t command) {
    double value = 0;
    Control(command, nullptr, 0, &value, sizeof value);
    return value;
}

// A set passes an output as well: the DirectShow player answers a call without one as a size
// query and sets nothing.
void Camera::SetInt(std::uint32_t command, std::int32_t value) {
    std::int32_t out = value;
    Control(command | ZYL::kOpSet, &value, sizeof value, &out, sizeof out);
}

void Camera::SetDouble(std::uint32_t command, double value) {
    double out = value;
    Control(command | ZYL::kOpSet, &value, sizeof value, &out, sizeof out);
}

ZYL::Result Camera::TryGetDouble(std::uint32_t command, double& value) {
    return Call(command, nullptr, 0, &value, sizeof value);
}

ZYL::Result Camera::TrySetDouble(std::uint32_t command, double value) {
    double out = value;
    return Call(command | ZYL::kOpSet, &value, sizeof value, &out, sizeof out);
}

ZYL::Result ReadFrame(ZYL::IImageVPA& image, Frame& frame) {
    if (ZYL::Result r = image.GetSize(&frame.planes, &frame.width, &frame.height); r != ZYL::kOk)
        return r;
    if (frame.planes <= 0 || frame.width <= 0 || frame.height <= 0)
        return ZYL::kFailed;
    const auto planes = static_cast<std::size_t>(frame.planes);
    const auto width = static_cast<std::size_t>(frame.width);
    frame.pixels.resize(planes * width * static_cast<std::size_t>(frame.height));
    for (std::size_t p = 0; p < planes; ++p) {
        std::uint8_t* base = nullptr;
        ZYL::VPAEntry* table = nullptr;
        if (ZYL::Result r = image.GetPlaneVPA(static_cast<std::int32_t>(p), &base, &table);
            r != ZYL::kOk)
            return r;
        if (!base || !table)
            return ZYL::kFailed;
        std::uint8_t* out = frame.pixels.data() + p;
        for (std::int32_t y = 0; y < frame.height; ++y) {
            const std::int64_t row = table[y].y;
            for (std::int32_t x = 0; x < frame.width; ++x) {
                *out = base[row + table[x].x];
                out += planes;
            }
        }
    }
    return ZYL::kOk;
}

}  // namespace zyl::tools
