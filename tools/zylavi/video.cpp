// zylavi info, grab, convert and demo: opening files through the module as a host would.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli.h"
#include "common/md5.h"
#include "common/module_host.h"
#include "common/pattern.h"
#include "common/png_file.h"
#include "common/zyrv_file.h"

namespace zyl::cli {
namespace {

using tools::Camera;
using tools::Frame;
using tools::LoadedModule;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Progress on standard error, only for a person watching a terminal.
class Progress {
public:
    Progress(const char* what, long long total)
        : what_(what), total_(total), tty_(isatty(STDERR_FILENO) != 0) {}
    ~Progress() {
        if (tty_ && shown_)
            std::cerr << "\r\x1b[K" << std::flush;
    }
    void Update(long long done) {
        if (!tty_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(250))
            return;
        last_ = now;
        shown_ = true;
        std::cerr << "\r" << what_ << " " << done << "/" << total_ << std::flush;
    }

private:
    const char* what_;
    long long total_;
    bool tty_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

const char* InterfaceName(std::uint64_t id) {
    switch (id) {
        case ZYL::kIdImageVPA:
            return "IImageVPA";
        case ZYL::kIdGrabber:
            return "IGrabber";
        case ZYL::kIdBasicDIO:
            return "IBasicDIO";
        case ZYL::kIdGrab2:
            return "IGrab2";
        case ZYL::kIdDeviceCtrl:
            return "IDeviceCtrl";
        case ZYL::kIdNotify:
            return "INotify";
        default:
            return "unknown";
    }
}

std::unique_ptr<Camera> OpenCamera(LoadedModule& module, const std::string& path) {
    // The raw video reader creates a missing file as it opens it, so a mistyped name must
    // never reach the module.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        throw std::runtime_error(path + ": no such file");
    HostHandle handle = module.GetImageFromFileW(tools::Widen(path).c_str());
    if (!handle) {
        throw std::runtime_error(
            "cannot open " + path +
            " as a camera (the module's log says why; see LogTarget in the README)");
    }
    auto camera = std::make_unique<Camera>(handle);
    if (!camera->vpa || !camera->grab2)
        throw std::runtime_error(path + ": the object offers no acquisition interfaces");
    return camera;
}

struct GrabResult {
    long long delivered = 0;
    double lost = 0;
    double seconds = 0;
    std::vector<std::pair<std::int32_t, std::string>> digests;
    std::vector<std::string> pngs;
};

// Waits for frames like a host; calls onFrame for each delivered one.
template <class OnFrame>
ZYL::Result RunGrab(Camera& camera, long long frames, bool snap, OnFrame&& onFrame,
                    GrabResult& result) {
    Progress progress("grabbing", frames);
    const auto start = std::chrono::steady_clock::now();
    ZYL::Result failure = ZYL::kOk;
    for (long long i = 0; i < frames; ++i) {
        ZYL::Result r;
        try {
            r = snap ? camera.grabber->Snap() : camera.grab2->G2Wait();
        } catch (...) {
            // The module reports read failures as exceptions out of G2Wait.
            r = ZYL::kFailed;
        }
        if (r != ZYL::kOk) {
            failure = r;
            break;
        }
        ++result.delivered;
        onFrame(i);
        progress.Update(i + 1);
    }
    result.seconds = Seconds(start);
    camera.grab2->G2GetStatus(2, &result.lost);
    return failure;
}

int Fail(const std::string& command, const std::string& message) {
    std::cerr << "zylavi " << command << ": " << message << "\n";
    return kExitFailed;
}

}  // namespace

int Info(const Args& args) {
    if (args.positional.size() != 1) {
        std::cerr << "zylavi info: needs one FILE\n";
        return kExitUsage;
    }
    const std::string path = args.positional[0];
    try {
        LoadedModule module;
        auto camera = OpenCamera(module, path);
        std::int32_t planes = 0, width = 0, height = 0;
        camera->vpa->GetSize(&planes, &width, &height);
        const std::int32_t frames = camera->GetInt(ZYL::kCmdFrameCount);
        const double frameTime = camera->GetDouble(ZYL::kCmdFrameTimeMs);
        const double length = camera->GetDouble(ZYL::kCmdLengthMs);
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(path) << ",\"planes\":" << planes
                      << ",\"width\":" << width << ",\"height\":" << height
                      << ",\"frames\":" << frames << ",\"frame_time_ms\":" << frameTime
                      << ",\"length_ms\":" << length << ",\"interfaces\":[";
            for (std::size_t i = 0; i < camera->interfaceIds.size(); ++i) {
                std::cout << (i ? "," : "") << "{\"id\":" << camera->interfaceIds[i]
                          << ",\"name\":" << Quoted(InterfaceName(camera->interfaceIds[i])) << "}";
            }
            std::cout << "]}\n";
        } else {
            std::cout << "File:        " << path << "\n"
                      << "Planes:      " << planes << "\n"
                      << "Width:       " << width << "\n"
                      << "Height:      " << height << "\n"
                      << "Frames:      " << frames << "\n"
                      << "Frame time:  " << frameTime << " ms"
                      << (frameTime <= 0 ? " (no rate: not paced)" : "") << "\n"
                      << "Length:      " << length << " ms\n"
                      << "Interfaces: ";
            for (std::uint64_t id : camera->interfaceIds)
                std::cout << " " << InterfaceName(id) << " (" << id << ")";
            std::cout << "\n";
        }
    } catch (const std::exception& e) {
        return Fail("info", e.what());
    }
    return kExitOk;
}

int Grab(const Args& args) {
    if (args.positional.size() != 1) {
        std::cerr << "zylavi grab: needs one FILE\n";
        return kExitUsage;
    }
    long long frames = 10, step = 0, seekFrame = 0, timeout = 0;
    double seekMs = 0;
    if ((args.get("--frames") && (!ToInt(*args.get("--frames"), frames) || frames < 0)) ||
        (args.get("--step") && !ToInt(*args.get("--step"), step)) ||
        (args.get("--seek-frame") && !ToInt(*args.get("--seek-frame"), seekFrame)) ||
        (args.get("--seek-ms") && !ToDouble(*args.get("--seek-ms"), seekMs)) ||
        (args.get("--timeout") && (!ToInt(*args.get("--timeout"), timeout) || timeout < 0))) {
        std::cerr << "zylavi grab: --frames, --step, --seek-frame, --timeout need whole numbers, "
                     "--seek-ms a number\n";
        return kExitUsage;
    }
    if (args.get("--seek-frame") && args.get("--seek-ms")) {
        std::cerr << "zylavi grab: use --seek-frame or --seek-ms, not both\n";
        return kExitUsage;
    }
    const std::string path = args.positional[0];
    const bool snap = args.has("--snap");
    const bool md5 = args.has("--md5");
    const auto outDir = args.get("--out");
    try {
        if (outDir)
            std::filesystem::create_directories(*outDir);
        LoadedModule module;
        auto camera = OpenCamera(module, path);
        if (args.get("--timeout") && camera->grabber)
            camera->grabber->Reserved2(static_cast<std::uint32_t>(timeout));
        if (!snap)
            camera->grab2->G2Grab();
        // A grab starts at the first frame, so seeks come after it.
        if (args.get("--seek-frame"))
            camera->SetInt(ZYL::kCmdFrameIndex, static_cast<std::int32_t>(seekFrame));
        if (args.get("--seek-ms"))
            camera->SetDouble(ZYL::kCmdPositionMs, seekMs);
        GrabResult result;
        Frame frame;
        const ZYL::Result failure = RunGrab(
            *camera, frames, snap,
            [&](long long i) {
                const std::int32_t index = camera->GetInt(ZYL::kCmdFrameIndex);
                if (md5 || outDir) {
                    if (ZYL::Result r = tools::ReadFrame(*camera->vpa, frame); r != ZYL::kOk) {
                        throw std::runtime_error("cannot read the frame's pixels: " +
                                                 tools::ResultText(r));
                    }
                }
                if (md5) {
                    tools::Md5 digest;
                    digest.Update(frame.pixels.data(), frame.pixels.size());
                    result.digests.emplace_back(index, digest.HexDigest());
                    if (!args.json)
                        std::cout << index << " " << result.digests.back().second << "\n";
                }
                if (outDir) {
                    char name[64];
                    std::snprintf(name, sizeof name, "/frame-%06lld-%06d.png", i, index);
                    std::string error;
                    if (!tools::WritePng(*outDir + name, frame.pixels.data(),
                                         static_cast<std::uint32_t>(frame.width),
                                         static_cast<std::uint32_t>(frame.height), frame.planes,
                                         error)) {
                        throw std::runtime_error(error);
                    }
                    result.pngs.push_back(*outDir + name);
                }
                if (step)
                    camera->SetInt(ZYL::kCmdStepFrames, static_cast<std::int32_t>(step));
            },
            result);
        if (!snap)
            camera->grab2->G2Freeze(true);
        const double fps =
            result.seconds > 0 ? static_cast<double>(result.delivered) / result.seconds : 0;
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(path) << ",\"delivered\":" << result.delivered
                      << ",\"lost\":" << result.lost << ",\"seconds\":" << result.seconds
                      << ",\"fps\":" << fps;
            if (failure != ZYL::kOk)
                std::cout << ",\"error\":" << Quoted(tools::ResultText(failure));
            std::cout << ",\"frames\":[";
            for (std::size_t i = 0; i < result.digests.size(); ++i) {
                std::cout << (i ? "," : "") << "{\"index\":" << result.digests[i].first
                          << ",\"md5\":" << Quoted(result.digests[i].second) << "}";
            }
            std::cout << "],\"png\":[";
            for (std::size_t i = 0; i < result.pngs.size(); ++i)
                std::cout << (i ? "," : "") << Quoted(result.pngs[i]);
            std::cout << "]}\n";
        } else {
            std::cout << "Delivered " << result.delivered << " frames, lost " << result.lost
                      << ", in " << result.seconds << " s (" << fps << " frames/s)\n";
            if (!result.pngs.empty())
                std::cout << "Wrote " << result.pngs.size() << " PNG files to " << *outDir << "\n";
        }
        if (failure != ZYL::kOk) {
            std::cerr << "zylavi grab: waiting for frame " << result.delivered
                      << " failed: " << tools::ResultText(failure) << "\n";
            return kExitFailed;
        }
    } catch (const std::exception& e) {
        return Fail("grab", e.what());
    }
    return kExitOk;
}

namespace {

// WxH:FORMAT:FRAMES:FPS
bool ParsePattern(const std::string& text, std::uint32_t& width, std::uint32_t& height,
                  std::string& format, long long& frames, double& fps) {
    std::istringstream in(text);
    std::string size, frameText, fpsText;
    if (!std::getline(in, size, ':') || !std::getline(in, format, ':') ||
        !std::getline(in, frameText, ':') || !std::getline(in, fpsText)) {
        return false;
    }
    const auto x = size.find('x');
    long long w = 0, h = 0;
    if (x == std::string::npos || !ToInt(size.substr(0, x), w) || !ToInt(size.substr(x + 1), h))
        return false;
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384)
        return false;
    if (!ToInt(frameText, frames) || frames < 0 || !ToDouble(fpsText, fps) || fps < 0)
        return false;
    width = static_cast<std::uint32_t>(w);
    height = static_cast<std::uint32_t>(h);
    return true;
}

int WritePattern(const std::string& pattern, const std::string& out, bool json) {
    std::uint32_t width = 0, height = 0;
    std::string format;
    long long frames = 0;
    double fps = 0;
    std::uint32_t code = 0;
    int planes = 0;
    if (!ParsePattern(pattern, width, height, format, frames, fps) ||
        !tools::PixelFormatByName(format, code, planes)) {
        std::cerr << "zylavi convert: --pattern takes WxH:FORMAT:FRAMES:FPS, FORMAT one of Mono8, "
                     "RGB8, BGR8, RGBA8 "
                     "(e.g. 640x480:RGB8:100:25)\n";
        return kExitUsage;
    }
    tools::ZyrvHeader header;
    header.width = width;
    header.height = height;
    header.lineIncrement = std::uint64_t{width} * static_cast<std::uint64_t>(planes);
    header.pixelFormat = code;
    header.frameRate = fps;
    tools::ZyrvWriter writer;
    std::string error;
    if (!writer.Open(out, header, error))
        return Fail("convert", error);
    std::vector<std::uint8_t> frame;
    Progress progress("writing", frames);
    for (long long i = 0; i < frames; ++i) {
        tools::RenderPattern(width, height, planes, static_cast<std::uint32_t>(i), frame);
        if (format == "BGR8")
            tools::SwapRedBlue(frame);
        if (!writer.Write(frame.data(), frame.size(), error))
            return Fail("convert", error);
        progress.Update(i + 1);
    }
    if (!writer.Close(error))
        return Fail("convert", error);
    if (json) {
        std::cout << "{\"output\":" << Quoted(out) << ",\"frames\":" << frames
                  << ",\"width\":" << width << ",\"height\":" << height
                  << ",\"format\":" << Quoted(format) << ",\"fps\":" << fps << "}\n";
    } else {
        std::cout << "Wrote " << frames << " frames of " << width << "x" << height << " " << format
                  << " at " << fps << " fps to " << out << "\n";
    }
    return kExitOk;
}

}  // namespace

int Convert(const Args& args) {
    const auto pattern = args.get("--pattern");
    if (pattern) {
        if (args.positional.size() != 1) {
            std::cerr << "zylavi convert: --pattern WxH:FORMAT:FRAMES:FPS needs one OUT.zyrv\n";
            return kExitUsage;
        }
        return WritePattern(*pattern, args.positional[0], args.json);
    }
    if (args.positional.size() != 2) {
        std::cerr << "zylavi convert: needs IN and OUT.zyrv\n";
        return kExitUsage;
    }
    long long frames = -1;
    if (args.get("--frames") && (!ToInt(*args.get("--frames"), frames) || frames < 0)) {
        std::cerr << "zylavi convert: --frames needs a whole number\n";
        return kExitUsage;
    }
    const std::string in = args.positional[0], out = args.positional[1];
    std::error_code ec;
    if (std::filesystem::exists(out, ec) && std::filesystem::equivalent(in, out, ec)) {
        return Fail("convert", "the output would overwrite the input " + in);
    }
    try {
        LoadedModule module;
        auto camera = OpenCamera(module, in);
        std::int32_t planes = 0, width = 0, height = 0;
        camera->vpa->GetSize(&planes, &width, &height);
        const long long available = camera->GetInt(ZYL::kCmdFrameCount);
        if (frames < 0 || frames > available)
            frames = available;
        const double frameTime = camera->GetDouble(ZYL::kCmdFrameTimeMs);
        tools::ZyrvHeader header;
        header.width = static_cast<std::uint32_t>(width);
        header.height = static_cast<std::uint32_t>(height);
        header.lineIncrement =
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(planes);
        header.pixelFormat = planes == 1 ? 0x01080001u : planes == 3 ? 0x02180014u : 0x02200016u;
        header.frameRate = frameTime > 0 ? 1000.0 / frameTime : 0.0;
        tools::ZyrvWriter writer;
        std::string error;
        if (!writer.Open(out, header, error))
            return Fail("convert", error);
        // Converting is not playback: the frames are read as fast as they come.
        camera->grab2->G2Grab();
        Frame frame;
        GrabResult result;
        const ZYL::Result failure = RunGrab(
            *camera, frames, false,
            [&](long long) {
                if (tools::ReadFrame(*camera->vpa, frame) != ZYL::kOk)
                    throw std::runtime_error("cannot read a frame");
                if (!writer.Write(frame.pixels.data(), frame.pixels.size(), error))
                    throw std::runtime_error(error);
            },
            result);
        camera->grab2->G2Freeze(true);
        if (!writer.Close(error))
            return Fail("convert", error);
        if (failure != ZYL::kOk)
            return Fail("convert", "reading frame " + std::to_string(result.delivered) +
                                       " failed: " + tools::ResultText(failure));
        if (args.json) {
            std::cout << "{\"input\":" << Quoted(in) << ",\"output\":" << Quoted(out)
                      << ",\"frames\":" << result.delivered << "}\n";
        } else {
            std::cout << "Wrote " << result.delivered << " frames of " << width << "x" << height
                      << " (" << planes << " planes) to " << out << "\n";
        }
    } catch (const std::exception& e) {
        return Fail("convert", e.what());
    }
    return kExitOk;
}

int Demo(const Args& args) {
    char dirTemplate[] = "/tmp/zylavi-demo-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return Fail("demo", "cannot create a temporary folder");
    const std::string dir = dirTemplate;
    const std::string file = dir + "/pattern.zyrv";
    constexpr long long kFrames = 75;  // three seconds at 25 frames per second
    {
        std::ostringstream quiet;
        auto* old = std::cout.rdbuf(quiet.rdbuf());
        const int written = WritePattern("320x240:RGB8:50:25", file, false);
        std::cout.rdbuf(old);
        if (written != kExitOk)
            return written;
    }
    try {
        LoadedModule module;
        auto camera = OpenCamera(module, file);
        camera->grab2->G2Grab();
        Frame frame;
        GrabResult result;
        std::string error;
        const ZYL::Result failure = RunGrab(
            *camera, kFrames, false,
            [&](long long i) {
                if (i % 15 != 0)
                    return;
                if (tools::ReadFrame(*camera->vpa, frame) != ZYL::kOk)
                    throw std::runtime_error("cannot read a frame");
                char name[32];
                std::snprintf(name, sizeof name, "/frame-%02lld.png", i);
                if (!tools::WritePng(dir + name, frame.pixels.data(), 320, 240, frame.planes,
                                     error)) {
                    throw std::runtime_error(error);
                }
                result.pngs.push_back(dir + name);
            },
            result);
        camera->grab2->G2Freeze(true);
        if (failure != ZYL::kOk)
            return Fail("demo", "waiting for a frame failed: " + tools::ResultText(failure));
        const double fps = static_cast<double>(result.delivered) / result.seconds;
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(file) << ",\"delivered\":" << result.delivered
                      << ",\"lost\":" << result.lost << ",\"seconds\":" << result.seconds
                      << ",\"fps\":" << fps << ",\"png\":[";
            for (std::size_t i = 0; i < result.pngs.size(); ++i)
                std::cout << (i ? "," : "") << Quoted(result.pngs[i]);
            std::cout << "]}\n";
        } else {
            std::cout << "ZylAvi demo: a 50-frame 320x240 RGB8 test pattern at 25 frames/s, played "
                         "as a camera\n"
                      << "  file:      " << file << "\n"
                      << "  delivered: " << result.delivered
                      << " frames (looping after frame 49), lost " << result.lost << "\n"
                      << "  time:      " << result.seconds << " s, " << fps << " frames/s\n"
                      << "  pictures:  " << result.pngs.size() << " PNG frames in " << dir << "\n";
        }
    } catch (const std::exception& e) {
        return Fail("demo", e.what());
    }
    return kExitOk;
}

}  // namespace zyl::cli
