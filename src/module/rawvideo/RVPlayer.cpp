#include "module/rawvideo/RVPlayer.h"

#include <time.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "module/base/errors/hresult_exception.h"
#include "module/entry/LiveCounters.h"
#include "module/logging/logstream.h"
#include "module/rawvideo/RawVideo.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace ZYL {
namespace {

constexpr const char* kFile = "RVPlayer";
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::uint32_t kInputBits = 32;
constexpr std::uint32_t kOutputBits = 128;
constexpr double kMinFrameRate = 0.1;

void Log(std::uint32_t level, const char* text) {
    QN_LOG(qnLogging::root_logger(), level) << text;
}

[[noreturn]] void Throw(const char* message, unsigned line) {
    throw qnErrors::CqnHRESULTException(message, kFile, line);
}

RawVideo* ContainerObject(HostHandle handle) {
    void* pointer = nullptr;
    if (handle == nullptr || HostQueryInterface(handle, RawVideoInterfaceId(), &pointer) != kOk)
        return nullptr;
    return static_cast<RawVideo*>(pointer);
}

class SystemClock final : public PacingClock {
public:
    std::int64_t Now() override { return zyl::platform::monotonicNanoseconds(); }
    void SleepUntil(std::int64_t dueNs) override {
        timespec due{static_cast<time_t>(dueNs / 1'000'000'000),
                     static_cast<long>(dueNs % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    }
};

std::atomic<PacingClock*> g_testClock{nullptr};

PacingClock& Clock() {
    static SystemClock system;
    PacingClock* replacement = g_testClock.load(std::memory_order_acquire);
    return replacement ? *replacement : system;
}

void SleepUntil(std::int64_t dueNs) {
    // The clock is read again after every sleep, so a sleep that returns early never makes a
    // frame early.
    PacingClock& clock = Clock();
    for (std::int64_t now = clock.Now(); now < dueNs; now = clock.Now())
        clock.SleepUntil(dueNs);
}

}  // namespace

void SetPacingClockForTesting(PacingClock* clock) {
    g_testClock.store(clock, std::memory_order_release);
}

RVPlayer::RVPlayer(const std::wstring& path) {
    m_config = ReadConfiguration();
    HostHandle container = nullptr;
    if (OpenRawVideo(path.c_str(), &container) != kOk) {
        Throw("Unable to load media file", 131);
    }
    m_container = zylBase::HostRef<IDisposableType>(container, nullptr);
    ReadMetadata();
    CreateFirstImage();
    HostInitRecord(&m_record);
    LiveRVPlayers().fetch_add(1);
}

RVPlayer::~RVPlayer() {
    Log(qnLogging::level::info, "Destroying RVPlayer object.");
    LiveRVPlayers().fetch_sub(1);
    m_currentImage.Reset();
    m_container.Reset();
}

void RVPlayer::ReadMetadata() {
    RawVideo* video = ContainerObject(m_container.handle());
    if (video) {
        m_frameCount = video->FrameCount();
    } else {
        Log(qnLogging::level::fatal, "Cannot query meta data (total number of frames) from file.");
    }
    if (!video) {
        Log(qnLogging::level::fatal, "Cannot decode the format type (pixel format) of the video.");
        Log(qnLogging::level::fatal, "Cannot decode the format type of the video.");
    } else if (PlanesOf(video->PixelFormat()) == 0) {
        Log(qnLogging::level::fatal, "Cannot decode the format type of the video.");
    } else {
        m_planes = PlanesOf(video->PixelFormat());
    }
    m_dataType = kDataType8;
    if (video) {
        m_height = static_cast<std::int32_t>(video->Height());
        m_width = static_cast<std::int32_t>(video->Width());
    } else {
        Log(qnLogging::level::fatal, "Cannot decode the format type (frame height) of the video.");
        Log(qnLogging::level::fatal, "Cannot decode the format type (frame width) of the video.");
    }
    if (m_height <= 0 || m_width <= 0) {
        Log(qnLogging::level::fatal, "Cannot decode the format type of the video.");
    }
    const double rate = video ? video->FrameRate() : 0.0;
    // G2Wait sleeps out a frame time holding the player's lock, so a rate below one frame in ten
    // seconds is taken for a damaged header and refused like an unreadable one: near 0 it would
    // stall the host for hours, and the smallest rates give frame times beyond any integer.
    const bool refused = rate > 0.0 && rate < kMinFrameRate;
    if (!video || refused) {
        Log(qnLogging::level::fatal, "Cannot decode the format type (frame rate) of the video.");
    }
    if (rate > 0.0 && !refused) {
        m_frameTimeMs = static_cast<std::int64_t>(std::trunc(1000.0 / rate));
    } else {
        Log(qnLogging::level::warn, "No frame time set for video. Using default.");
    }
}

void RVPlayer::CreateFirstImage() {
    HostHandle image = nullptr;
    if (HostCreateImage(kDataType8, m_planes, m_width, m_height, &image) != kOk) {
        Throw("Unable to create buffer", 196);
    }
    zylBase::HostRef<IImageVPA> created(image, nullptr);
    ImageRecord record;
    if (HostGetImageRecord(image, &record) != kOk)
        Throw("Unable to create buffer", 201);
    for (std::int32_t plane = 0; plane < m_planes; ++plane) {
        if (HostSetPlaneRecord(image, plane, &record, 0) != kOk)
            Throw("Unable to create buffer", 204);
    }
    void* vpa = nullptr;
    if (HostQueryInterface(image, kIdImageVPA, &vpa) == kOk && vpa != nullptr) {
        m_currentImage =
            zylBase::HostRef<IImageVPA>(created.Release(), static_cast<IImageVPA*>(vpa));
    }
}

Result RVPlayer::GetInterfaces(InterfaceEntry* list, std::uint64_t* count) {
    const InterfaceEntry entries[] = {
        {kIdImageVPA, static_cast<IImageVPA*>(this)},
        {kIdGrabber, static_cast<IGrabber*>(this)},
        {kIdBasicDIO, static_cast<IBasicDIO*>(this)},
        {kIdDeviceCtrl, static_cast<IDeviceCtrl*>(this)},
        {kIdGrab2, static_cast<IGrab2*>(this)},
    };
    return ListInterfaces(entries, 5, list, count);
}

Result RVPlayer::GetSize(std::int32_t* planes, std::int32_t* width, std::int32_t* height) {
    if (planes)
        *planes = m_planes;
    if (width)
        *width = m_width;
    if (height)
        *height = m_height;
    return kOk;
}

Result RVPlayer::GetPlaneDataType(std::int32_t plane, std::int32_t* dataType) {
    if (plane < 0 || plane >= m_planes)
        return kBadPlane;
    if (dataType)
        *dataType = m_dataType;
    return kOk;
}

Result RVPlayer::GetPlaneVPA(std::int32_t plane, std::uint8_t** base, VPAEntry** table) {
    std::lock_guard imageLock(m_imageLock);
    return HostPlaneAccess(m_currentImage.handle(), plane, base, table);
}

Result RVPlayer::GetImageRecord(ImageRecord* record) {
    if (!record)
        return kBadArgument;
    *record = m_record;
    return kOk;
}

Result RVPlayer::SetImageRecord(const ImageRecord* record) {
    if (!record)
        return kBadArgument;
    m_record = *record;
    return kOk;
}

Result RVPlayer::Snap() {
    qnThreads::CAutoLock lock(m_lock);
    m_delivered = 0;
    m_lost = 0;
    m_running = true;
    Result waited = kFailed;
    try {
        waited = G2Wait();
    } catch (...) {
    }
    if (waited != kOk)
        Log(qnLogging::level::err, "G2Wait failed.");
    if (G2Freeze(true) != kOk)
        Log(qnLogging::level::err, "G2Freeze failed.");
    return kOk;
}

Result RVPlayer::ShowInfo() {
    zyl::platform::messageBox("ZYL AVI interface DLL version 2", "Info");
    return kOk;
}

Result RVPlayer::SetNotify(void*, void*) {
    Log(qnLogging::level::warn, "Obsolete method IGrabber::SetNotify was called.");
    return kNotSupported;
}

Result RVPlayer::GetClassId(ClassId* id) {
    if (!id)
        return kBadArgument;
    *id = ClassId{0x7DBE4A03, 0xAD3D, 0x4533, {0x85, 0x1F, 0x61, 0xB4, 0xAE, 0x62, 0xC2, 0x0E}};
    return kOk;
}

Result RVPlayer::G2Grab() {
    qnThreads::CAutoLock lock(m_lock);
    m_delivered = 0;
    m_lost = 0;
    m_running = true;
    m_nextIndex = 0;
    m_currentIndex = 0;
    m_dueNs = Clock().Now() + m_frameTimeMs * kNsPerMs;
    return kOk;
}

Result RVPlayer::G2Wait() {
    if (!m_running) {
        Log(qnLogging::level::err,
            "Cannot read frame from video. G2Grab has to run prior calling G2Wait");
        return kNotGrabbing;
    }
    qnThreads::CAutoLock lock(m_lock);
    std::uint64_t next = m_nextIndex.load();
    if (next >= m_frameCount)
        next = 0;
    if (SetRawVideoFrameIndex(m_container.handle(), next) != kOk) {
        Log(qnLogging::level::err, "Cannot set frame index for video.");
    }
    // The image the host sees stays until the next one is read: a failed read leaves it, and
    // GetPlaneVPA always finds one.
    HostHandle image = nullptr;
    if (ReadRawVideoImage(m_container.handle(), &image) < 0) {
        Throw("Unable to read frame from video", 304);
    }
    zylBase::HostRef<IImageVPA> previous = WrapImage(image);
    {
        std::lock_guard imageLock(m_imageLock);
        std::swap(previous, m_currentImage);
    }
    previous.Reset();
    m_currentIndex = next;
    // A seek stored meanwhile wins over the plain advance.
    std::uint64_t expected = m_nextIndex.load();
    m_nextIndex.compare_exchange_strong(
        expected, expected == next || expected >= m_frameCount ? next + 1 : expected);
    ++m_delivered;

    // This player never skips a frame, so a camera and a paced replay are alike here; an
    // unclocked replay hands each frame over as soon as it is read.
    if (m_config.replayMode != kReplayFree)
        SleepUntil(m_dueNs);
    m_dueNs += m_frameTimeMs * kNsPerMs;
    return kOk;
}

zylBase::HostRef<IImageVPA> RVPlayer::WrapImage(HostHandle image) {
    zylBase::HostRef<IImageVPA> wrapped(image, nullptr);
    void* vpa = nullptr;
    if (HostQueryInterface(image, kIdImageVPA, &vpa) == kOk && vpa != nullptr) {
        return zylBase::HostRef<IImageVPA>(wrapped.Release(), static_cast<IImageVPA*>(vpa));
    }
    return {};
}

Result RVPlayer::G2Freeze(bool) {
    qnThreads::CAutoLock lock(m_lock);
    m_running = false;
    return kOk;
}

Result RVPlayer::G2GetStatus(std::uint32_t selector, double* value) {
    qnThreads::CAutoLock lock(m_lock);
    if (!value)
        return kBadArgument;
    switch (selector) {
        case 0:
            *value = static_cast<double>(m_delivered);
            return kOk;
        case 1:
            *value = 0.0;
            return kOk;
        case 2:
            *value = static_cast<double>(m_lost);
            return kOk;
        case 5:
            *value = m_running ? 1.0 : 0.0;
            return kOk;
        default:
            return kNotSupported;
    }
}

double RVPlayer::SpanMs() const {
    return static_cast<double>(m_frameCount) * static_cast<double>(m_frameTimeMs) -
           static_cast<double>(m_frameTimeMs);
}

void RVPlayer::SeekWrapped(double position, double span, double unit) {
    if (!std::isfinite(position))
        position = 0.0;
    // The same result as adding or subtracting the span until the position lies in [0, span],
    // without looping over huge values.
    if (position < 0.0) {
        position += std::ceil(-position / span) * span;
    } else if (position > span) {
        position -= std::ceil((position - span) / span) * span;
    }
    auto index = static_cast<std::uint64_t>(std::floor(position / unit));
    if (index >= m_frameCount)
        index = m_frameCount - 1;
    m_nextIndex = index;
}

// Without a frame time (no rate in the file) positions in milliseconds mean nothing: time seeks
// keep the position, frame seeks and steps wrap in frame units the same way. A video of fewer
// than two frames has nowhere else to go than its first frame.
void RVPlayer::SeekToTime(double ms) {
    if (m_frameCount < 2) {
        m_nextIndex = 0;
        return;
    }
    if (m_frameTimeMs <= 0)
        return;
    SeekWrapped(ms, SpanMs(), static_cast<double>(m_frameTimeMs));
}

void RVPlayer::SeekToFrame(std::int64_t frame) {
    if (m_frameCount < 2) {
        m_nextIndex = 0;
        return;
    }
    if (m_frameTimeMs <= 0) {
        SeekWrapped(static_cast<double>(frame), static_cast<double>(m_frameCount - 1), 1.0);
        return;
    }
    SeekToTime(static_cast<double>(frame) * static_cast<double>(m_frameTimeMs));
}

void RVPlayer::SeekRelative(double ms) {
    SeekToTime(static_cast<double>(m_currentIndex.load()) * static_cast<double>(m_frameTimeMs) +
               ms);
}

void RVPlayer::StepFrames(std::int64_t frames) {
    SeekToFrame(static_cast<std::int64_t>(m_currentIndex.load()) + frames);
}

void RVPlayer::Rewind() {
    m_nextIndex = 0;
}

bool RVPlayer::InRange(std::uint32_t number) const {
    return number >= kCmdFrameIndex && number <= kCmdSeekRelativeMs;
}

bool RVPlayer::IsDouble(std::uint32_t number) const {
    return number != kCmdFrameIndex && number != kCmdFrameCount && number != kCmdStepFrames;
}

Result RVPlayer::Get(std::uint32_t number, CommandValue& value) {
    switch (number) {
        case kCmdFrameIndex:
            value.integer = static_cast<std::int32_t>(m_currentIndex.load());
            return kOk;
        case kCmdFrameCount:
            value.integer = static_cast<std::int32_t>(m_frameCount);
            return kOk;
        case kCmdPositionMs:
            value.real =
                static_cast<double>(m_currentIndex.load()) * static_cast<double>(m_frameTimeMs);
            return kOk;
        case kCmdLengthMs:
            value.real = static_cast<double>(m_frameCount) * static_cast<double>(m_frameTimeMs);
            return kOk;
        case kCmdFrameTimeMs:
            value.real = static_cast<double>(m_frameTimeMs);
            return kOk;
        case kCmdRate:
            return kNotSupported;
        default:
            return kFailed;
    }
}

Result RVPlayer::Set(std::uint32_t number, const CommandValue& value) {
    switch (number) {
        case kCmdFrameIndex:
            SeekToFrame(value.integer);
            return kOk;
        case kCmdPositionMs:
            SeekToTime(value.real);
            return kOk;
        case kCmdStepFrames:
            StepFrames(value.integer);
            return kOk;
        case kCmdRewind:
            Rewind();
            return kOk;
        case kCmdSeekRelativeMs:
            SeekRelative(value.real);
            return kOk;
        case kCmdRate:
            return kNotSupported;
        default:
            return kFailed;
    }
}

void RVPlayer::Limits(std::uint32_t number, CommandValue& lower, CommandValue& upper) {
    lower = upper = CommandValue{-1, -1.0};
    if (number == kCmdFrameIndex) {
        lower.integer = 0;
        upper.integer = static_cast<std::int32_t>(m_frameCount) - 1;
    } else if (number == kCmdPositionMs) {
        lower.real = 0.0;
        upper.real = SpanMs();
    }
}

// The input is C text read up to its terminator, whatever size comes with it.
Result RVPlayer::DeviceCtrlString(std::uint32_t command, const char* input, std::uint64_t,
                                  char* output, std::uint64_t* outputLength) {
    const std::uint32_t operation = command & kOperationMask;
    const std::uint32_t number = command & kCommandMask;
    if (!InRange(number))
        return kNotSupported;
    const bool isDouble = IsDouble(number);
    const bool takesInput = operation == kOpSet || operation == kOpValidate;
    const bool needsText = number == kCmdFrameIndex || number == kCmdPositionMs ||
                           number == kCmdStepFrames || number == kCmdSeekRelativeMs;
    if (takesInput && needsText && input == nullptr)
        return kBadArgument;

    // Both C parsers run; the command's type decides which result is used.
    const char* text = input ? input : "0";
    CommandValue value;
    value.integer = static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
    value.real = std::strtod(text, nullptr);

    std::uint64_t size = isDouble ? sizeof(double) : sizeof(std::int32_t);
    CommandValue result;
    void* out = isDouble ? static_cast<void*>(&result.real) : static_cast<void*>(&result.integer);
    const void* in =
        isDouble ? static_cast<const void*>(&value.real) : static_cast<const void*>(&value.integer);
    const Result r = RunDeviceCtrlCmd(*this, command, in, size, out, &size);
    if (r != kOk)
        return r;
    if (outputLength == nullptr)
        return kOk;

    std::string formatted;
    if (!takesInput) {
        std::ostringstream stream;
        if (isDouble) {
            stream << result.real;
        } else {
            stream << result.integer;
        }
        formatted = stream.str();
    }
    if (output == nullptr) {
        *outputLength = takesInput ? 1 : formatted.size() + 1;
        return kOk;
    }
    if (*outputLength > 0) {
        const std::size_t room = static_cast<std::size_t>(*outputLength - 1);
        const std::size_t n = formatted.size() < room ? formatted.size() : room;
        std::memcpy(output, formatted.data(), n);
        output[n] = '\0';
    }
    *outputLength = formatted.size();
    return kOk;
}

Result RVPlayer::DeviceCtrlCmd(std::uint32_t command, const void* input, std::uint64_t inputSize,
                               void* output, std::uint64_t* outputSize) {
    return RunDeviceCtrlCmd(*this, command, input, inputSize, output, outputSize);
}

Result RVPlayer::GetInputCount(std::uint32_t* count) {
    if (!count)
        return kBadArgument;
    *count = kInputBits;
    return kOk;
}

Result RVPlayer::GetOutputCount(std::uint32_t* count) {
    if (!count)
        return kBadArgument;
    *count = kOutputBits;
    return kOk;
}

Result RVPlayer::GetInputBit(std::uint32_t bit, std::uint32_t* value) {
    return BitOfPort(
        bit, value, [this](std::uint32_t port, std::uint32_t* v) { return GetInputPort(port, v); });
}

Result RVPlayer::GetInputPort(std::uint32_t port, std::uint32_t* value) {
    if (port != 0 || !value)
        return kBadArgument;
    *value = static_cast<std::uint32_t>(m_frameCount);
    return kOk;
}

Result RVPlayer::GetOutputBit(std::uint32_t bit, std::uint32_t* value) {
    return BitOfPort(bit, value, [this](std::uint32_t port, std::uint32_t* v) {
        return GetOutputPort(port, v);
    });
}

Result RVPlayer::GetOutputPort(std::uint32_t port, std::uint32_t* value) {
    if (!value)
        return kBadArgument;
    if (port == 0) {
        *value = 0;
        return kOk;
    }
    if (port == 1) {
        *value = static_cast<std::uint32_t>(m_currentIndex.load());
        return kOk;
    }
    return kBadArgument;
}

Result RVPlayer::SetOutputBit(std::uint32_t bit, std::uint32_t value) {
    static constexpr std::int64_t kSteps[] = {1, -1, 10, -10, 100, -100};
    if (bit > 6)
        return kNotSupported;
    if (value == 0)
        return kOk;
    if (bit == 6) {
        Rewind();
    } else {
        StepFrames(kSteps[bit]);
    }
    return kOk;
}

Result RVPlayer::SetOutputPort(std::uint32_t port, std::uint32_t value) {
    if (port == 0)
        return kNotSupported;
    if (port != 1)
        return kBadArgument;
    SeekToFrame(static_cast<std::int64_t>(value));
    return kOk;
}

}  // namespace ZYL
