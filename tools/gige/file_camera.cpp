#include "file_camera.h"

#include <arv.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "network.h"

namespace zyl::gige {

namespace {

// The simulated device sends a frame per software trigger and looks for one at a fixed
// frequency, spinning for the last part of each millisecond it waits: three looks per frame
// the file plays (a frame waits a third of a frame time at most, two never meet in one look),
// and no more than needed, for the spinning costs.
constexpr double kLooksPerFrame = 3.0;
constexpr double kMinLookHz = 30.0;
constexpr double kMaxLookHz = 500.0;
double LookHz(double framesPerSecond) {
    return std::clamp(kLooksPerFrame * framesPerSecond, kMinLookHz, kMaxLookHz);
}
// The module's G2Wait time-out, so that the pump sees a stopped client or a request soon.
constexpr std::uint32_t kWaitTimeoutMs = 100;
// Registers of Aravis's simulated device that we drive ourselves.
constexpr std::uint32_t kTriggerMode = ARV_FAKE_CAMERA_REGISTER_TRIGGER_MODE;
constexpr std::uint32_t kTriggerSource = ARV_FAKE_CAMERA_REGISTER_TRIGGER_SOURCE;
constexpr std::uint32_t kTriggerSoftware = ARV_FAKE_CAMERA_REGISTER_TRIGGER_SOFTWARE;
constexpr std::uint32_t kAcquisition = ARV_FAKE_CAMERA_REGISTER_ACQUISITION;
// GigE Vision 1.x frame ids are 16 bits and skip 0.
std::uint16_t WireId(std::uint64_t counter) {
    return static_cast<std::uint16_t>((counter - 1) % 0xFFFF + 1);
}

std::string Clip(const std::string& text, std::size_t size) {
    return text.size() <= size ? text : text.substr(0, size);
}

void WriteText(ArvFakeCamera* device, std::uint32_t address, std::size_t size,
               const std::string& text) {
    std::vector<char> field(size, '\0');
    std::memcpy(field.data(), text.data(), std::min(text.size(), size - 1));
    arv_fake_camera_write_memory(device, address, static_cast<guint32>(size), field.data());
}

// Planes R, G, B interleaved as B, G, R, one pixel after the other: each row is a BGR8 row.
bool RowsLieAsBgr(std::uint8_t* const base[3], ZYL::VPAEntry* const table[3], std::size_t width) {
    for (int p = 0; p < 3; ++p) {
        const std::uint8_t* pixel0 = base[p] + table[p][0].x;
        if (pixel0 != base[2] + table[2][0].x + (2 - p) ||
            table[p][width - 1].x - table[p][0].x != static_cast<std::int64_t>(width - 1) * 3)
            return false;
    }
    return true;
}

}  // namespace

FileCamera::FileCamera(std::unique_ptr<tools::Camera> camera, const ServeOptions& options)
    : camera_(std::move(camera)), options_(options) {
    if (!camera_ || !camera_->vpa || !camera_->grab2)
        throw std::runtime_error("the object offers no acquisition interfaces");
    if (options_.serial.empty())
        options_.serial = "ZYLAVI";
    options_.serial = Clip(options_.serial, 15);
    options_.userName = Clip(options_.userName, 15);

    std::int32_t planes = 0, width = 0, height = 0;
    if (camera_->vpa->GetSize(&planes, &width, &height) != ZYL::kOk || width <= 0 || height <= 0)
        throw std::runtime_error("the module reports no picture size");
    description_.width = static_cast<std::uint32_t>(width);
    description_.height = static_cast<std::uint32_t>(height);
    if (planes == 1) {
        description_.pixelFormat = kMono8;
    } else if (planes == 3) {
        // The module's colour pictures lie B, G, R in memory: sent as they lie, row by row.
        description_.pixelFormat = kRgb8;
        std::uint8_t* base[3] = {};
        ZYL::VPAEntry* table[3] = {};
        bool ok = true;
        for (int p = 0; p < 3; ++p)
            ok = ok && camera_->vpa->GetPlaneVPA(p, &base[p], &table[p]) == ZYL::kOk && base[p];
        if (ok && RowsLieAsBgr(base, table, description_.width))
            description_.pixelFormat = kBgr8;
    } else {
        throw std::runtime_error("pictures of " + std::to_string(planes) +
                                 " planes have no GigE Vision pixel format here");
    }
    frameBytes_ = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                  static_cast<std::size_t>(BytesPerPixel(description_.pixelFormat));
    double frameTime = 0;
    if (camera_->TryGetDouble(ZYL::kCmdFrameTimeMs, frameTime) == ZYL::kOk && frameTime > 0)
        frameTimeMs_ = frameTime;
    description_.frameRate = 1000.0 / frameTimeMs_;
    // The raw player keeps the file's rate: the description then offers no other.
    description_.rateWritable = camera_->TrySetDouble(ZYL::kCmdRate, 1.0) == ZYL::kOk;
    frameCounter_ = options_.framesBefore;
    try {
        description_.frameCount = static_cast<std::uint32_t>(
            std::max<std::int32_t>(0, camera_->GetInt(ZYL::kCmdFrameCount)));
    } catch (const std::exception&) {
        description_.frameCount = 0;
    }

    if (!InterfaceOf(options_.address))
        throw std::runtime_error("no interface of this machine has the address " +
                                 options_.address);
    if (std::string problem = ControlPortProblem(options_.address); !problem.empty())
        throw std::runtime_error(problem);

    // Aravis reads the description from a file while it builds the device; it is not needed
    // once the device exists.
    char pattern[] = "/tmp/zylavi-genicam-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        throw std::runtime_error("cannot write the camera description to /tmp");
    close(fd);
    xmlPath_ = pattern;
    { std::ofstream(xmlPath_, std::ios::binary) << GenicamXml(description_); }
    server_ = arv_gv_fake_camera_new_full(options_.address.c_str(), options_.serial.c_str(),
                                          xmlPath_.c_str());
    std::error_code ec;
    std::filesystem::remove(xmlPath_, ec);
    if (!server_ || !arv_gv_fake_camera_is_running(server_)) {
        if (server_)
            g_object_unref(server_);
        throw std::runtime_error("Aravis could not serve a camera at " + options_.address);
    }
    device_ = arv_gv_fake_camera_get_fake_camera(server_);

    WriteText(device_, reg::kVendorName, 32, "ZylAvi");
    WriteText(device_, reg::kModelName, 32, "Video file");
    WriteText(device_, reg::kDeviceVersion, 32, "1.0");
    WriteText(device_, reg::kUserName, 16, options_.userName);
    SetRegister(ARV_FAKE_CAMERA_REGISTER_SENSOR_WIDTH, description_.width);
    SetRegister(ARV_FAKE_CAMERA_REGISTER_SENSOR_HEIGHT, description_.height);
    SetRegister(ARV_FAKE_CAMERA_REGISTER_WIDTH, description_.width);
    SetRegister(ARV_FAKE_CAMERA_REGISTER_HEIGHT, description_.height);
    SetRegister(ARV_FAKE_CAMERA_REGISTER_X_OFFSET, 0);
    SetRegister(ARV_FAKE_CAMERA_REGISTER_Y_OFFSET, 0);
    SetRegister(ARV_FAKE_CAMERA_REGISTER_PIXEL_FORMAT, description_.pixelFormat);
    SetRegister(reg::kPayloadSize, static_cast<std::uint32_t>(frameBytes_));
    SetRegister(reg::kFrameCount, description_.frameCount);
    SetRegister(reg::kFrameIndex, 0);
    SetRegister(reg::kSeekFrame, reg::kNoSeek);
    SetRegister(reg::kStepFrames, 0);
    SetRegister(reg::kRewind, 0);
    SetRegister(reg::kLostFrames, 0);
    SetRateRegister(description_.frameRate);
    // Loopback carries 64 KiB datagrams: fewer, larger packets cost far less per frame than
    // Ethernet's 1400 bytes. Clients may still ask for another size.
    if (options_.address.rfind("127.", 0) == 0)
        SetRegister(reg::kStreamPacketSize, 8192);
    // A frame goes out when we trigger it, never on the device's own clock.
    SetRegister(kTriggerMode, 1);
    SetRegister(kTriggerSource, 1);
    SetRegister(kTriggerSoftware, 0);
    // A replay hands frames as fast as they are taken: look as often as possible.
    SetLookHz(options_.everyFrame ? kMaxLookHz : LookHz(description_.frameRate));

    back_.resize(frameBytes_);
    ready_.resize(frameBytes_);
    if (camera_->grabber)
        camera_->grabber->Reserved2(kWaitTimeoutMs);
    arv_fake_camera_set_fill_pattern(
        device_, reinterpret_cast<ArvFakeCameraFillPattern>(&FileCamera::FillHook), this);
    pump_ = std::thread([this] { Pump(); });
}

FileCamera::~FileCamera() {
    stop_ = true;
    if (pump_.joinable())
        pump_.join();
    // Joins Aravis's thread: a fill under way returns first.
    g_object_unref(server_);
}

ServeStats FileCamera::stats() const {
    std::lock_guard<std::mutex> lock(slotMutex_);
    return stats_;
}

std::string FileCamera::problem() const {
    std::lock_guard<std::mutex> lock(slotMutex_);
    return problem_;
}

void FileCamera::NoteProblem(const std::string& text) {
    std::lock_guard<std::mutex> lock(slotMutex_);
    if (problem_.empty())
        problem_ = text;
}

std::uint32_t FileCamera::Register(std::uint32_t address) const {
    guint32 value = 0;
    arv_fake_camera_read_register(device_, address, &value);
    return value;
}

void FileCamera::SetRegister(std::uint32_t address, std::uint32_t value) {
    arv_fake_camera_write_register(device_, address, value);
}

double FileCamera::RateRegister() const {
    std::uint64_t wire = 0;
    arv_fake_camera_read_memory(device_, reg::kFrameRate, sizeof wire, &wire);
    return std::bit_cast<double>(GUINT64_FROM_BE(wire));
}

void FileCamera::SetRateRegister(double framesPerSecond) {
    const std::uint64_t wire = GUINT64_TO_BE(std::bit_cast<std::uint64_t>(framesPerSecond));
    arv_fake_camera_write_memory(device_, reg::kFrameRate, sizeof wire, &wire);
}

void FileCamera::SetLookHz(double hz) {
    arv_fake_camera_set_trigger_frequency(device_, hz);
    std::lock_guard<std::mutex> lock(slotMutex_);
    lookPeriod_ = std::chrono::microseconds(static_cast<std::int64_t>(1e6 / hz));
}

void FileCamera::FillHook(ArvBuffer* buffer, void* self, std::uint32_t, std::uint32_t,
                          std::uint32_t) {
    static_cast<FileCamera*>(self)->Fill(buffer);
}

// Aravis's thread, once per trigger.
void FileCamera::Fill(ArvBuffer* buffer) {
    // The device's own buffer, made for the payload our registers give (the size it reports is
    // what it has received, nothing on this side).
    auto* data =
        static_cast<std::uint8_t*>(const_cast<void*>(arv_buffer_get_data(buffer, nullptr)));
    std::unique_lock<std::mutex> lock(slotMutex_);
    if (!readyValid_) {
        // Nothing new: the client gets the last frame's id again, which it drops.
        arv_buffer_set_frame_id(buffer, WireId(lastSentId_ ? lastSentId_ : 1));
        arv_buffer_set_timestamp(buffer, lastSentTimestampNs_);
        return;
    }
    // A client that rewrote the picture's registers made the device's buffer another size.
    if (data && arv_fake_camera_get_payload(device_) == frameBytes_)
        std::memcpy(data, ready_.data(), frameBytes_);
    arv_buffer_set_frame_id(buffer, WireId(readyId_));
    arv_buffer_set_timestamp(buffer, readyTimestampNs_);
    lastSentId_ = readyId_;
    lastSentTimestampNs_ = readyTimestampNs_;
    readyValid_ = false;
    ++stats_.sent;
    sent_.notify_all();
    // This frame answered the trigger; a trigger left set would send nothing new.
    SetRegister(kTriggerSoftware, 0);
}

void FileCamera::Pump() {
    bool grabbing = false;
    while (!stop_) {
        FollowAcquisition(grabbing);
        ApplyRequests();
        if (!grabbing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // idle: poll the client
            continue;
        }
        const ZYL::Result r = camera_->grab2->G2Wait();
        if (r == ZYL::kOk) {
            TakeFrame();
        } else if (r != static_cast<ZYL::Result>(0x80000004)) {
            NoteProblem("G2Wait failed: " + tools::ResultText(r));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no busy retry
        }
        std::lock_guard<std::mutex> lock(slotMutex_);
        // A trigger the device cleared without taking our frame is given again.
        if (readyValid_ && Register(kTriggerSoftware) == 0)
            SetRegister(kTriggerSoftware, 1);
    }
    if (grabbing)
        camera_->grab2->G2Freeze(true);
}

void FileCamera::FollowAcquisition(bool& grabbing) {
    const bool wanted =
        arv_fake_camera_get_control_channel_privilege(device_) != 0 && Register(kAcquisition) != 0;
    if (wanted == grabbing)
        return;
    if (wanted) {
        if (const ZYL::Result r = camera_->grab2->G2Grab(); r != ZYL::kOk) {
            NoteProblem("G2Grab failed: " + tools::ResultText(r));
            return;
        }
        skippedAtLastFrame_ = 0;
        grabbing = true;
    } else {
        camera_->grab2->G2Freeze(true);
        grabbing = false;
    }
}

void FileCamera::ApplyRequests() {
    auto refuse = [this] {
        std::lock_guard<std::mutex> lock(slotMutex_);
        ++stats_.refused;
    };
    // The picture is the file's: registers a raw write changed are put back.
    const std::pair<std::uint32_t, std::uint32_t> fixed[] = {
        {ARV_FAKE_CAMERA_REGISTER_WIDTH, description_.width},
        {ARV_FAKE_CAMERA_REGISTER_HEIGHT, description_.height},
        {ARV_FAKE_CAMERA_REGISTER_X_OFFSET, 0},
        {ARV_FAKE_CAMERA_REGISTER_Y_OFFSET, 0},
        {ARV_FAKE_CAMERA_REGISTER_PIXEL_FORMAT, description_.pixelFormat},
        {reg::kPayloadSize, static_cast<std::uint32_t>(frameBytes_)},
        {kTriggerMode, 1},
        {kTriggerSource, 1}};
    for (const auto& [address, value] : fixed) {
        if (Register(address) != value) {
            SetRegister(address, value);
            refuse();
        }
    }
    const double asked = RateRegister();
    if (asked != description_.frameRate * rate_) {
        const double rate = asked / description_.frameRate;
        // The description's limits are printed to nine digits.
        if (rate >= 0.25 * (1 - 1e-8) && rate <= 16.0 * (1 + 1e-8) &&
            camera_->TrySetDouble(ZYL::kCmdRate, rate) == ZYL::kOk) {
            rate_ = rate;
            if (!options_.everyFrame)
                SetLookHz(LookHz(description_.frameRate * rate));
        } else {
            refuse();
        }
        SetRateRegister(description_.frameRate * rate_);
    }
    if (const std::uint32_t seek = Register(reg::kSeekFrame); seek != reg::kNoSeek) {
        SetRegister(reg::kSeekFrame, reg::kNoSeek);
        if (seek < description_.frameCount) {
            try {
                camera_->SetInt(ZYL::kCmdFrameIndex, static_cast<std::int32_t>(seek));
            } catch (const std::exception&) {
                refuse();
            }
        } else {
            refuse();
        }
    }
    if (const auto step = static_cast<std::int32_t>(Register(reg::kStepFrames)); step != 0) {
        SetRegister(reg::kStepFrames, 0);
        try {
            camera_->SetInt(ZYL::kCmdStepFrames, step);
        } catch (const std::exception&) {
            refuse();
        }
    }
    if (Register(reg::kRewind) != 0) {
        SetRegister(reg::kRewind, 0);
        try {
            camera_->SetDouble(ZYL::kCmdRewind, 0.0);
        } catch (const std::exception&) {
            refuse();
        }
    }
}

bool FileCamera::TakeFrame() {
    if (!ReadPixels(back_.data()))
        return false;
    double skipped = 0;
    camera_->grab2->G2GetStatus(2, &skipped);
    const auto missed = static_cast<std::uint64_t>(std::max(0.0, skipped - skippedAtLastFrame_));
    skippedAtLastFrame_ = skipped;
    frameCounter_ += 1 + missed;
    // The module's frame clock: frames played (skipped ones included) times the frame time, so
    // it grows across loops and seeks.
    const double ms = static_cast<double>(frameCounter_ - options_.framesBefore - 1) * frameTimeMs_;
    // The player's position, which a DirectShow file gives to the frame.
    std::int32_t position = 0;
    try {
        position = camera_->GetInt(ZYL::kCmdFrameIndex);
    } catch (const std::exception&) {
        position = 0;
    }
    SetRegister(reg::kFrameIndex, static_cast<std::uint32_t>(position));
    SetRegister(reg::kLostFrames, static_cast<std::uint32_t>(skipped));
    {
        std::unique_lock<std::mutex> lock(slotMutex_);
        // Every frame to the client: the next waits until the network has taken this one
        // (and the module, replaying, waits with it). Not past a stop or a gone client.
        while (options_.everyFrame && readyValid_ && !stop_) {
            sent_.wait_for(lock, std::chrono::milliseconds(kWaitTimeoutMs));
            if (Register(kAcquisition) == 0 ||
                arv_fake_camera_get_control_channel_privilege(device_) == 0)
                break;
        }
        // A camera's frames come in a burst after a loop's restart: the one before gets the
        // device's next look (the module's buffers absorb the wait) rather than being replaced.
        if (readyValid_ && !options_.everyFrame)
            sent_.wait_for(lock, lookPeriod_ + std::chrono::milliseconds(2),
                           [this] { return !readyValid_ || stop_; });
        if (readyValid_)
            ++stats_.replaced;
        ready_.swap(back_);
        readyValid_ = true;
        readyId_ = frameCounter_;
        readyTimestampNs_ = static_cast<std::uint64_t>(ms * 1e6);
        ++stats_.played;
        stats_.skipped += missed;
        SetRegister(kTriggerSoftware, 1);
    }
    return true;
}

// The current image into `out` in the served format: whole rows where the planes lie as they
// will be sent, pixel by pixel otherwise.
bool FileCamera::ReadPixels(std::uint8_t* out) {
    ZYL::IImageVPA& image = *camera_->vpa;
    const std::size_t width = description_.width;
    const std::size_t height = description_.height;
    const int planes = description_.pixelFormat == kMono8 ? 1 : 3;
    std::uint8_t* base[3] = {};
    ZYL::VPAEntry* table[3] = {};
    for (int p = 0; p < planes; ++p) {
        if (image.GetPlaneVPA(p, &base[p], &table[p]) != ZYL::kOk || !base[p] || !table[p])
            return false;
    }
    const std::size_t rowBytes = width * static_cast<std::size_t>(planes);
    const bool rowsAsSent =
        planes == 1 ? table[0][width - 1].x - table[0][0].x == static_cast<std::int64_t>(width - 1)
                    : description_.pixelFormat == kBgr8 && RowsLieAsBgr(base, table, width);
    if (rowsAsSent) {
        // Row y starts where its first pixel's first byte (grey, or blue) lies.
        const int first = planes == 1 ? 0 : 2;
        for (std::size_t y = 0; y < height; ++y) {
            std::memcpy(out + y * rowBytes, base[first] + table[first][y].y + table[first][0].x,
                        rowBytes);
        }
        return true;
    }
    // Plane p is R, G, B; BGR8 puts them the other way round.
    for (int p = 0; p < planes; ++p) {
        const int slot = description_.pixelFormat == kBgr8 ? 2 - p : p;
        for (std::size_t y = 0; y < height; ++y) {
            const std::uint8_t* row = base[p] + table[p][y].y;
            std::uint8_t* dst = out + y * rowBytes + slot;
            for (std::size_t x = 0; x < width; ++x, dst += planes)
                *dst = row[table[p][x].x];
        }
    }
    return true;
}

}  // namespace zyl::gige
