// zylavi info, grab, convert and demo: opening files through the module as a host would.
//
// Runs on the main thread, except MetadataQueue::Deliver, which the DirectShow player calls on
// its streaming thread; it only appends to the queue under the queue's mutex (the only lock
// here), and the main thread prints what it takes out.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "cli.h"
#include "com/runtime.h"
#include "common/md5.h"
#include "common/module_host.h"
#include "common/pattern.h"
#include "common/png_file.h"
#include "common/zyrv_file.h"
#include "module/config/Configuration.h"
#include "platform/registry.h"

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

// The raw player has no INotify; every other file is played by the DirectShow player.
bool IsRawPlayer(const Camera& camera) {
    return camera.notify == nullptr;
}

const char* PlayerName(const Camera& camera) {
    return IsRawPlayer(camera) ? "raw" : "directshow";
}

struct GrabResult {
    long long delivered = 0;
    double lost = 0;
    double seconds = 0;
    std::vector<std::pair<std::int32_t, std::string>> digests;
    std::vector<std::string> pngs;
};

// What the player says of its metadata event ("" without INotify).
std::string MetadataDescription(Camera& camera) {
    if (!camera.notify)
        return {};
    std::uint64_t size = 0;
    std::uint32_t event = 0;
    std::string description;
    if (camera.notify->DescribeEvent(0, nullptr, &size, &event) == ZYL::kOk && size > 0) {
        description.assign(static_cast<std::size_t>(size), '\0');
        if (camera.notify->DescribeEvent(0, description.data(), &size, &event) != ZYL::kOk)
            return {};
        if (const auto end = description.find('\0'); end != std::string::npos)
            description.resize(end);
    }
    return description;
}

// The description the player gives when the video has a text stream.
constexpr const char* kHasMetadata = "Fired when new Metadata has arrived";

struct Metadata {
    std::string text;
    long long frames = 0;  // frames the host had been given when the text arrived
};

// Hands new-metadata notifications from the player's streaming thread to the main thread.
// Printing from the callback would hold up the stream and interleave with the main thread's
// output.
class MetadataQueue {
public:
    MetadataQueue() = default;
    MetadataQueue(const MetadataQueue&) = delete;
    MetadataQueue& operator=(const MetadataQueue&) = delete;
    // Declared before the camera, so a player being destroyed by an exception can still call.
    ~MetadataQueue() = default;

    // Registers for event 5; false (with the reason) when the player cannot tell any.
    bool Register(Camera& camera, std::string& why) {
        if (!camera.notify) {
            why = "the raw player has no metadata (no INotify)";
            return false;
        }
        // The player describes the event differently when the video has no text stream.
        const std::string description = MetadataDescription(camera);
        if (description != kHasMetadata) {
            why = "no text stream (the player says: \"" + description + "\")";
            return false;
        }
        const ZYL::Result r =
            camera.notify->RegisterEvent(ZYL::kEventNewMetadata, &Deliver, this, &cookie_);
        if (r != ZYL::kOk) {
            why = "registering for metadata failed: " + tools::ResultText(r);
            return false;
        }
        camera_ = &camera;
        return true;
    }

    void Unregister() {
        if (camera_)
            camera_->notify->UnregisterEvent(cookie_);
        camera_ = nullptr;
    }

    void SetFramesDelivered(long long frames) { frames_.store(frames, std::memory_order_relaxed); }

    std::vector<Metadata> Take() {
        std::lock_guard lock(mutex_);
        std::vector<Metadata> taken;
        taken.swap(pending_);
        return taken;
    }

private:
    static ZYL::Result Deliver(std::uint32_t eventId, const void* data, std::uint64_t size,
                               std::uint32_t, void* user) {
        if (eventId != ZYL::kEventNewMetadata || !user)
            return ZYL::kOk;
        auto* self = static_cast<MetadataQueue*>(user);
        // Runs on the player's streaming thread: nothing may escape into it.
        try {
            Metadata item;
            if (data)
                item.text.assign(static_cast<const char*>(data), static_cast<std::size_t>(size));
            item.frames = self->frames_.load(std::memory_order_relaxed);
            std::lock_guard lock(self->mutex_);
            self->pending_.push_back(std::move(item));
        } catch (...) {
            return ZYL::kNoMemory;
        }
        return ZYL::kOk;
    }

    std::mutex mutex_;
    std::vector<Metadata> pending_;
    std::atomic<long long> frames_{0};
    Camera* camera_ = nullptr;
    std::int64_t cookie_ = 0;
};

std::string MetadataJson(const std::vector<Metadata>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i ? ",{\"text\":" : "{\"text\":") + Quoted(items[i].text) +
               ",\"frames\":" + std::to_string(items[i].frames) + "}";
    }
    return out + "]";
}

void PrintMetadata(const std::vector<Metadata>& items) {
    for (const Metadata& item : items)
        std::cout << "metadata after " << item.frames << " frames: " << item.text << "\n";
}

std::string NotesJson(const std::vector<std::string>& notes) {
    std::string out = "[";
    for (std::size_t i = 0; i < notes.size(); ++i)
        out += (i ? "," : "") + Quoted(notes[i]);
    return out + "]";
}

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

std::unique_ptr<tools::Camera> OpenCamera(tools::LoadedModule& module, const std::string& path) {
    // The raw video reader creates a missing file as it opens it, so a mistyped name must
    // never reach the module.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        throw std::runtime_error(path + ": no such file");
    const std::uint64_t mark = module.ErrorMark();
    HostHandle handle = module.GetImageFromFileW(tools::Widen(path).c_str());
    if (!handle) {
        const std::vector<std::string> reasons = module.ErrorLinesSince(mark);
        if (reasons.empty()) {
            // The raw player hands the module's log to the log service, which keeps it.
            throw std::runtime_error(
                "cannot open " + path +
                ": the module logged no reason here (see LogTarget in the README, or run "
                "zylavi-logsvc for .zyrv files)");
        }
        std::string message = "cannot open " + path + ":";
        for (const std::string& line : reasons)
            message += "\n  " + line;
        throw std::runtime_error(message);
    }
    auto camera = std::make_unique<tools::Camera>(handle);
    if (!camera->vpa || !camera->grab2)
        throw std::runtime_error(path + ": the object offers no acquisition interfaces");
    return camera;
}

int Info(const Args& args) {
    if (args.positional.size() != 1) {
        std::cerr << "zylavi info: needs one FILE\n";
        return kExitUsage;
    }
    const std::string path = args.positional[0];
    try {
        LoadedModule module("", true);
        auto camera = OpenCamera(module, path);
        std::int32_t planes = 0, width = 0, height = 0;
        camera->vpa->GetSize(&planes, &width, &height);
        const std::int32_t frames = camera->GetInt(ZYL::kCmdFrameCount);
        const double frameTime = camera->GetDouble(ZYL::kCmdFrameTimeMs);
        const double length = camera->GetDouble(ZYL::kCmdLengthMs);
        const std::string metadata = MetadataDescription(*camera);
        const char* textStream = IsRawPlayer(*camera)       ? "null"
                                 : metadata == kHasMetadata ? "true"
                                                            : "false";
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(path)
                      << ",\"player\":" << Quoted(PlayerName(*camera))
                      << ",\"text_stream\":" << textStream << ",\"planes\":" << planes
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
                      << "Player:      "
                      << (IsRawPlayer(*camera) ? "raw video (.zyrv)" : "DirectShow") << "\n"
                      << "Planes:      " << planes << "\n"
                      << "Width:       " << width << "\n"
                      << "Height:      " << height << "\n"
                      << "Frames:      " << frames << "\n"
                      << "Frame time:  " << frameTime << " ms"
                      << (frameTime <= 0 ? " (no rate: not paced)" : "") << "\n"
                      << "Length:      " << length << " ms\n";
            if (!IsRawPlayer(*camera)) {
                std::cout << "Metadata:    "
                          << (metadata == kHasMetadata ? "a text stream" : "none") << "\n";
            }
            std::cout << "Interfaces: ";
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
    double seekMs = 0, rate = 1;
    if ((args.get("--frames") && (!ToInt(*args.get("--frames"), frames) || frames < 0)) ||
        (args.get("--step") && !ToInt(*args.get("--step"), step)) ||
        (args.get("--seek-frame") && !ToInt(*args.get("--seek-frame"), seekFrame)) ||
        (args.get("--seek-ms") && !ToDouble(*args.get("--seek-ms"), seekMs)) ||
        (args.get("--rate") && !ToDouble(*args.get("--rate"), rate)) ||
        (args.get("--timeout") &&
         (!ToInt(*args.get("--timeout"), timeout) || timeout < 0 || timeout > 0xFFFFFFFFLL))) {
        std::cerr << "zylavi grab: --frames, --step, --seek-frame, --timeout need whole numbers, "
                     "--seek-ms and --rate numbers\n";
        return kExitUsage;
    }
    if (args.get("--seek-frame") && args.get("--seek-ms")) {
        std::cerr << "zylavi grab: use --seek-frame or --seek-ms, not both\n";
        return kExitUsage;
    }
    std::optional<std::uint32_t> replay;
    if (const auto mode = args.get("--replay")) {
        if (*mode == "paced") {
            replay = ZYL::kReplayPaced;
        } else if (*mode == "free") {
            replay = ZYL::kReplayFree;
        } else {
            std::cerr << "zylavi grab: --replay takes paced or free, not '" << *mode << "'\n";
            return kExitUsage;
        }
    }
    const std::string path = args.positional[0];
    const bool snap = args.has("--snap");
    const bool md5 = args.has("--md5");
    const bool wantMetadata = args.has("--metadata");
    const auto outDir = args.get("--out");
    std::vector<std::string> notes;
    auto note = [&](const std::string& text) {
        notes.push_back(text);
        std::cerr << "zylavi grab: " << text << "\n";
    };
    try {
        if (outDir)
            std::filesystem::create_directories(*outDir);
        // Before the module: a player reads its settings when it is made.
        std::optional<SettingForOneRun> replaySetting;
        if (replay)
            replaySetting.emplace("ReplayMode", *replay);
        LoadedModule module("", true);
        MetadataQueue metadata;
        auto camera = OpenCamera(module, path);
        if (args.get("--timeout")) {
            const ZYL::Result r =
                camera->grabber ? camera->grabber->Reserved2(static_cast<std::uint32_t>(timeout))
                                : ZYL::kNotSupported;
            if (r != ZYL::kOk) {
                note("--timeout ignored: the " + std::string(PlayerName(*camera)) +
                     " player has no wait time-out (" + tools::ResultText(r) + ")");
            }
        }
        if (args.get("--rate")) {
            const ZYL::Result r = camera->TrySetDouble(ZYL::kCmdRate, rate);
            if (r == ZYL::kBadArgument) {
                double low = 0, high = 0;
                std::string range;
                if (camera->TryGetDouble(ZYL::kCmdRate | ZYL::kOpLowerLimit, low) == ZYL::kOk &&
                    camera->TryGetDouble(ZYL::kCmdRate | ZYL::kOpUpperLimit, high) == ZYL::kOk) {
                    std::ostringstream text;
                    text << "; it plays at " << low << " to " << high;
                    range = text.str();
                }
                std::cerr << "zylavi grab: the player refuses rate " << *args.get("--rate") << " ("
                          << tools::ResultText(r) << ", bad argument" << range << ")\n";
                return kExitUsage;
            }
            if (r != ZYL::kOk) {
                return Fail("grab", "cannot play " + path + " at rate " + *args.get("--rate") +
                                        ": " + tools::ResultText(r) +
                                        (r == ZYL::kNotSupported
                                             ? " (the " + std::string(PlayerName(*camera)) +
                                                   " player has no playback rate)"
                                             : ""));
            }
        }
        bool registered = false;
        if (wantMetadata) {
            std::string why;
            registered = metadata.Register(*camera, why);
            if (!registered)
                note("--metadata: " + path + ": " + why);
        }
        auto seek = [&] {
            if (args.get("--seek-frame"))
                camera->SetInt(ZYL::kCmdFrameIndex, static_cast<std::int32_t>(seekFrame));
            if (args.get("--seek-ms"))
                camera->SetDouble(ZYL::kCmdPositionMs, seekMs);
        };
        // Either way the first frame shown is the one sought: the raw player starts every grab
        // at frame 0 and reads the next frame when asked, so it seeks after the start (and
        // before a snap, which does not rewind); the DirectShow player plays on from where it
        // is paused and would already have queued frames after a start.
        const bool seekAfterStart = !snap && IsRawPlayer(*camera);
        if (!seekAfterStart)
            seek();
        if (!snap) {
            if (ZYL::Result r = camera->grab2->G2Grab(); r != ZYL::kOk)
                return Fail("grab", "starting the grab failed: " + tools::ResultText(r));
        }
        if (seekAfterStart)
            seek();
        GrabResult result;
        Frame frame;
        std::vector<Metadata> texts;
        auto takeMetadata = [&] {
            if (!registered)
                return;
            std::vector<Metadata> arrived = metadata.Take();
            if (!args.json)
                PrintMetadata(arrived);
            texts.insert(texts.end(), arrived.begin(), arrived.end());
        };
        const ZYL::Result failure = RunGrab(
            *camera, frames, snap,
            [&](long long i) {
                metadata.SetFramesDelivered(i + 1);
                takeMetadata();
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
        // Paused: no text arrives any more.
        metadata.Unregister();
        takeMetadata();
        const double fps =
            result.seconds > 0 ? static_cast<double>(result.delivered) / result.seconds : 0;
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(path)
                      << ",\"player\":" << Quoted(PlayerName(*camera))
                      << ",\"delivered\":" << result.delivered << ",\"lost\":" << result.lost
                      << ",\"seconds\":" << result.seconds << ",\"fps\":" << fps;
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
            std::cout << "]";
            if (wantMetadata)
                std::cout << ",\"metadata\":" << MetadataJson(texts);
            std::cout << ",\"notes\":" << NotesJson(notes) << "}\n";
        } else {
            std::cout << "Delivered " << result.delivered << " frames, lost " << result.lost
                      << ", in " << result.seconds << " s (" << fps << " frames/s)\n";
            if (registered)
                std::cout << "Metadata: " << texts.size() << " texts\n";
            if (!result.pngs.empty())
                std::cout << "Wrote " << result.pngs.size() << " PNG files to " << *outDir << "\n";
        }
        if (failure != ZYL::kOk) {
            std::cerr << "zylavi grab: waiting for frame " << result.delivered
                      << " failed: " << tools::ResultText(failure)
                      << (failure == ZYL::kWaitTimeout ? " (no frame within the wait time-out)"
                                                       : "")
                      << "\n";
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
        LoadedModule module("", true);
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

namespace {

// The demo's compressed half: the pattern as MPEG-4 video in MP4 with a text per second.
constexpr std::uint32_t kDemoWidth = 320;
constexpr std::uint32_t kDemoHeight = 240;
constexpr long long kDemoCompressedFrames = 50;  // two seconds at 25 frames per second

std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::string ShellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

// Encodes the pattern with a subtitle cue per second; throws with ffmpeg's exit status.
void EncodeDemoVideo(const std::string& ffmpeg, const std::string& dir, const std::string& out) {
    const std::string cues = dir + "/pattern.srt";
    {
        std::ofstream srt(cues);
        for (long long second = 0; second * 25 < kDemoCompressedFrames; ++second) {
            const std::string ss = (second < 10 ? "0" : "") + std::to_string(second);
            srt << second + 1 << "\n00:00:" << ss << ",000 --> 00:00:" << ss << ",960\nsecond "
                << second << " of the demo\n\n";
        }
        if (!srt)
            throw std::runtime_error("cannot write " + cues);
    }
    const std::string command =
        ShellQuoted(ffmpeg) + " -nostdin -v error -y -f rawvideo -pix_fmt rgb24 -s " +
        std::to_string(kDemoWidth) + "x" + std::to_string(kDemoHeight) + " -r 25 -i - -i " +
        ShellQuoted(cues) + " -map 0:v -map 1:s -c:v mpeg4 -q:v 3 -pix_fmt yuv420p -c:s mov_text " +
        ShellQuoted(out);
    // A failing encoder closes the pipe; the write must then fail rather than kill the tool.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    FILE* pipe = popen(command.c_str(), "w");
    bool written = pipe != nullptr;
    std::vector<std::uint8_t> frame;
    for (long long i = 0; written && i < kDemoCompressedFrames; ++i) {
        tools::RenderPattern(kDemoWidth, kDemoHeight, 3, static_cast<std::uint32_t>(i), frame);
        written = std::fwrite(frame.data(), 1, frame.size(), pipe) == frame.size();
    }
    const int status = pipe ? pclose(pipe) : -1;
    sigaction(SIGPIPE, &previous, nullptr);
    if (!written || status != 0) {
        throw std::runtime_error("ffmpeg could not encode " + out + " (exit status " +
                                 std::to_string(status) + "; run " + command +
                                 " by hand to see why)");
    }
}

// The DirectShow player creates the module's renderer filters from the registry file, so the
// demo plays with a private copy of it in which this build is registered; the user's file is
// left alone.
void UsePrivateRegistry(const std::string& dir) {
    const std::string copy = dir + "/registry.reg";
    // Both layers as the module would read them, in one file.
    std::ofstream(copy) << platform::loadRegistryView().document.serialize();
    setenv("ZYLON_REGISTRY", copy.c_str(), 1);
}

struct DemoPlay {
    GrabResult grab;
    std::vector<Metadata> metadata;
};

DemoPlay PlayCompressed(LoadedModule& module, const std::string& file) {
    auto registerServer =
        reinterpret_cast<com::DllRegisterServerFn>(module.Symbol("DllRegisterServer"));
    if (!registerServer || registerServer() < 0)
        throw std::runtime_error("cannot register " + module.path() + " for the demo");
    DemoPlay play;
    MetadataQueue metadata;
    auto camera = OpenCamera(module, file);
    std::string why;
    if (!metadata.Register(*camera, why))
        throw std::runtime_error(file + ": " + why);
    camera->grab2->G2Grab();
    const ZYL::Result failure = RunGrab(
        *camera, kDemoCompressedFrames, false,
        [&](long long i) { metadata.SetFramesDelivered(i + 1); }, play.grab);
    camera->grab2->G2Freeze(true);
    metadata.Unregister();
    play.metadata = metadata.Take();
    if (failure != ZYL::kOk)
        throw std::runtime_error("waiting for a frame of " + file +
                                 " failed: " + tools::ResultText(failure));
    return play;
}

}  // namespace

int Demo(const Args& args) {
    char dirTemplate[] = "/tmp/zylavi-demo-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return Fail("demo", "cannot create a temporary folder");
    const std::string dir = dirTemplate;
    const std::string file = dir + "/pattern.zyrv";
    const std::string compressed = dir + "/pattern.mp4";
    constexpr long long kFrames = 75;  // three seconds at 25 frames per second
    {
        std::ostringstream quiet;
        auto* old = std::cout.rdbuf(quiet.rdbuf());
        const int written = WritePattern("320x240:RGB8:50:25", file, false);
        std::cout.rdbuf(old);
        if (written != kExitOk)
            return written;
    }
    // Both files exist before the module loads, so no encoder runs beside its threads.
    std::string skipped;
    const std::string ffmpeg = FindOnPath("ffmpeg");
    if (ffmpeg.empty()) {
        skipped = "no ffmpeg command on PATH: the compressed-video half of the demo is skipped";
    } else {
        try {
            EncodeDemoVideo(ffmpeg, dir, compressed);
        } catch (const std::exception& e) {
            return Fail("demo", e.what());
        }
        UsePrivateRegistry(dir);
    }
    try {
        LoadedModule module("", true);
        GrabResult result;
        {
            auto camera = OpenCamera(module, file);
            camera->grab2->G2Grab();
            Frame frame;
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
                    if (!tools::WritePng(dir + name, frame.pixels.data(), kDemoWidth, kDemoHeight,
                                         frame.planes, error)) {
                        throw std::runtime_error(error);
                    }
                    result.pngs.push_back(dir + name);
                },
                result);
            camera->grab2->G2Freeze(true);
            if (failure != ZYL::kOk)
                return Fail("demo", "waiting for a frame failed: " + tools::ResultText(failure));
        }
        DemoPlay play;
        if (skipped.empty())
            play = PlayCompressed(module, compressed);
        const double fps = static_cast<double>(result.delivered) / result.seconds;
        const double compressedFps =
            play.grab.seconds > 0 ? static_cast<double>(play.grab.delivered) / play.grab.seconds
                                  : 0;
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(file) << ",\"delivered\":" << result.delivered
                      << ",\"lost\":" << result.lost << ",\"seconds\":" << result.seconds
                      << ",\"fps\":" << fps << ",\"png\":[";
            for (std::size_t i = 0; i < result.pngs.size(); ++i)
                std::cout << (i ? "," : "") << Quoted(result.pngs[i]);
            std::cout << "],\"directshow\":";
            if (skipped.empty()) {
                std::cout << "{\"file\":" << Quoted(compressed)
                          << ",\"delivered\":" << play.grab.delivered
                          << ",\"lost\":" << play.grab.lost << ",\"seconds\":" << play.grab.seconds
                          << ",\"fps\":" << compressedFps
                          << ",\"metadata\":" << MetadataJson(play.metadata) << "}";
            } else {
                std::cout << "null,\"note\":" << Quoted(skipped);
            }
            std::cout << "}\n";
        } else {
            std::cout << "ZylAvi demo: a 50-frame 320x240 RGB8 test pattern at 25 frames/s, played "
                         "as a camera\n"
                      << "  file:      " << file << "\n"
                      << "  delivered: " << result.delivered
                      << " frames (looping after frame 49), lost " << result.lost << "\n"
                      << "  time:      " << result.seconds << " s, " << fps << " frames/s\n"
                      << "  pictures:  " << result.pngs.size() << " PNG frames in " << dir << "\n";
            if (skipped.empty()) {
                std::cout << "The same pattern as MPEG-4 video in MP4 with a text track, played "
                             "through the DirectShow player\n"
                          << "  file:      " << compressed << "\n"
                          << "  delivered: " << play.grab.delivered << " frames, lost "
                          << play.grab.lost << "\n"
                          << "  time:      " << play.grab.seconds << " s, " << compressedFps
                          << " frames/s\n"
                          << "  metadata:  " << play.metadata.size() << " texts\n";
                for (const Metadata& item : play.metadata) {
                    std::cout << "    after " << item.frames << " frames: " << item.text << "\n";
                }
            } else {
                std::cout << "Note: " << skipped << "\n";
            }
        }
    } catch (const std::exception& e) {
        return Fail("demo", e.what());
    }
    return kExitOk;
}

}  // namespace zyl::cli
