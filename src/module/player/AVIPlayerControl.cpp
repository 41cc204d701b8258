// CAVIPlayer's playback control: the seek routines with their wrap-around, the digital ports
// and device control. Nothing here takes the player lock: every call is one or a few graph
// calls, which the graph manager serialises with the event thread's rewind.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <sstream>
#include <string>

#include "module/player/AVIPlayer.h"

namespace ZYL {
namespace {

constexpr std::uint32_t kFirstCommand = 0x100;
constexpr std::uint32_t kLastCommand = 0x10A;
constexpr double kUnitsPerMs = 10000.0;
// As dshow::media::CVideoDecoder takes a target that falls just short of a frame.
constexpr double kSeekSlackUnits = 4.0;
// A position past the last frame by less than a 100-ns unit is the last frame, not a wrap: the
// last frame's time reckoned by its number and by the length may differ by rounding.
constexpr double kWrapToleranceMs = 1e-4;

// A graph call's result as the driver interfaces report it.
Result ToResult(HRESULT hr) {
    if (SUCCEEDED(hr))
        return kOk;
    if (hr == E_NOTIMPL)
        return kNotSupported;
    if (hr == E_INVALIDARG)
        return kBadArgument;
    return kFailed;
}

// ms brought into the video as adding or subtracting span until it lies in [0, span] would:
// before the start it continues from the end, past the last frame from the start. fmod gives
// that result in one step, so no position, however far off, makes the seek loop.
double Wrap(double ms, double span) {
    if (ms < 0) {
        const double r = std::fmod(ms, span);
        return r < 0 ? r + span : 0.0;
    }
    // The last frame reckoned by its number may come out a rounding error past the span.
    if (ms > span + kWrapToleranceMs) {
        const double r = std::fmod(ms, span);
        return r == 0 ? span : r;
    }
    return std::min(ms, span);
}

// A frame number or count as the integer commands carry it, never an out-of-range conversion:
// not a number or below 0 gives 0, and 2147483647 stands for everything beyond, notably the
// length of a file whose duration the engine cannot tell (its stop is the largest position).
std::int32_t ToFrames(double frames) {
    constexpr double kMost = std::numeric_limits<std::int32_t>::max();
    if (!(frames > 0))
        return 0;
    if (frames >= kMost)
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(frames);
}

// The frame a position lies in, on the frame grid (FrameGridMs). A position computed from a
// frame number is truncated to whole 100-ns units on its way to the graph, so it may fall a unit
// or two before its frame: that much still counts as the frame, as the video decoder shows it.
std::int32_t FrameAt(double ms, double gridMs) {
    return gridMs > 0 ? ToFrames((ms * kUnitsPerMs + kSeekSlackUnits) / (gridMs * kUnitsPerMs)) : 0;
}

std::string FormatValue(bool isDouble, const CommandValue& value) {
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    if (isDouble) {
        stream << value.real;
    } else {
        stream << value.integer;
    }
    return stream.str();
}

}  // namespace

double CAVIPlayer::FrameTimeMs() const {
    return static_cast<double>(m_format.timePerFrame) / kUnitsPerMs;
}

double CAVIPlayer::FrameGridMs() {
    // DirectShow's frame time is whole 100-ns units: 30 frames/s is 333333 for 333333.3, so
    // frame n reckoned from it falls n/3 units short, a whole frame short after an hour. When
    // the video is a whole number of frames of nearly that time, its length divided by the
    // count is the exact time, and frame n's time lands on frame n.
    const double frame = FrameTimeMs();
    const double stop = StopTimeMs();
    if (frame > 0 && std::isfinite(stop) && stop > 0) {
        const double count = std::floor(stop / frame + 0.5);
        if (count >= 1 && std::abs(stop / count - frame) * kUnitsPerMs < 1.0)
            return stop / count;
    }
    return frame;
}

double CAVIPlayer::StopTimeMs(HRESULT* hr) {
    LONGLONG stop = 0;
    const HRESULT read = m_mediaSeeking->GetStopPosition(&stop);
    if (hr)
        *hr = read;
    return static_cast<double>(stop) / kUnitsPerMs;
}

void CAVIPlayer::NoteSeek(std::optional<double> target) {
    std::lock_guard status(m_statusLock);
    ++m_seekSerial;
    if (target) {
        m_resumePosition = *target;
        m_resumeSerial = m_seekSerial;
    }
}

HRESULT CAVIPlayer::CurrentTimeMs(double& ms) {
    if (m_config.replayMode != kReplayCamera) {
        // The graph's position runs ahead of the host by the frames waiting for it: the start
        // of the frame the host holds, as a paused graph reports the frame it shows.
        double held = 0;
        bool valid = false;
        {
            std::lock_guard status(m_statusLock);
            valid = m_heldSerial == m_seekSerial;
            held = m_heldPosition;
        }
        if (valid) {
            ms = held / kUnitsPerMs;
            return S_OK;
        }
    }
    LONGLONG current = 0;
    const HRESULT hr = m_mediaSeeking->GetCurrentPosition(&current);
    ms = static_cast<double>(current) / kUnitsPerMs;
    return hr;
}

std::int32_t CAVIPlayer::FrameCount() {
    const double frame = FrameTimeMs();
    return frame > 0 ? ToFrames(StopTimeMs() / frame + 0.5) : 0;
}

HRESULT CAVIPlayer::SeekToTime(double ms) {
    // Not a position at all: refused as a bad value rather than converted to a time.
    if (!std::isfinite(ms))
        return E_INVALIDARG;
    const double last = StopTimeMs() - FrameGridMs();
    // A single-frame video has no span to wrap in: every position is its only frame.
    ms = last > 0 ? Wrap(ms, last) : 0.0;
    LONGLONG current = static_cast<LONGLONG>(ms * kUnitsPerMs);
    LONGLONG stop = 0;
    NoteSeek();
    const HRESULT hr = m_mediaSeeking->SetPositions(&current, AM_SEEKING_AbsolutePositioning, &stop,
                                                    AM_SEEKING_NoPositioning);
    NoteSeek(static_cast<double>(current));
    return hr;
}

HRESULT CAVIPlayer::SeekToFrame(std::int32_t frame) {
    return SeekToTime(frame * FrameGridMs());
}

HRESULT CAVIPlayer::SeekRelative(double ms) {
    double current = 0;
    if (const HRESULT hr = CurrentTimeMs(current); FAILED(hr))
        return hr;
    return SeekToTime(current + ms);
}

HRESULT CAVIPlayer::StepFrames(std::int32_t frames) {
    double current = 0;
    if (const HRESULT hr = CurrentTimeMs(current); FAILED(hr))
        return hr;
    const double frame = FrameGridMs();
    const std::int32_t currentFrame = FrameAt(current, frame);
    return SeekToTime((static_cast<double>(currentFrame) + frames) * frame);
}

HRESULT CAVIPlayer::SetRate(double rate) {
    double held = 0;
    bool valid = false;
    bool resumes = false;
    if (m_config.replayMode != kReplayCamera) {
        // The same rate again changes nothing; a restart would only drop the frames waiting.
        if (double now = 0; SUCCEEDED(m_mediaSeeking->GetRate(&now)) && now == rate)
            return S_OK;
        std::lock_guard status(m_statusLock);
        valid = m_heldSerial == m_seekSerial;
        resumes = !valid && m_resumeSerial == m_seekSerial;
        held = valid ? m_heldPosition : m_resumePosition;
    }
    const HRESULT hr = m_mediaSeeking->SetRate(rate);
    if (FAILED(hr) || !(valid || resumes))
        return hr;
    // A rate change restarts the stream where the graph stands, which a replay is past (its
    // clock ran on, or the frames waiting for the host were made already), and the restart
    // drops what the ring holds: a replay goes on from the frame after the one held, or from
    // the one the host was to get first.
    const std::int32_t next = FrameAt(held / kUnitsPerMs, FrameGridMs()) + (valid ? 1 : 0);
    const HRESULT seek = SeekToFrame(next < FrameCount() ? next : 0);
    return FAILED(seek) ? seek : hr;
}

HRESULT CAVIPlayer::Rewind() {
    LONGLONG current = 0;
    LONGLONG stop = 0;
    if (const HRESULT hr = m_mediaSeeking->GetPositions(&current, &stop); FAILED(hr))
        return hr;
    current = 0;
    NoteSeek();
    const HRESULT hr = m_mediaSeeking->SetPositions(&current, AM_SEEKING_AbsolutePositioning, &stop,
                                                    AM_SEEKING_NoPositioning);
    NoteSeek(0.0);
    return hr;
}

Result CAVIPlayer::GetInputCount(std::uint32_t* count) {
    if (!count)
        return kBadArgument;
    *count = 32;
    return kOk;
}

Result CAVIPlayer::GetOutputCount(std::uint32_t* count) {
    if (!count)
        return kBadArgument;
    *count = 128;
    return kOk;
}

// The ports answer in the driver's result codes, as device control does: a graph call's HRESULT
// (S_FALSE included) is no result a host could read.
// Bit numbers are unsigned here: a "negative" one is a very large number whose port does not
// exist, so reads answer as for any missing port and SetOutputBit refuses it.
Result CAVIPlayer::GetInputBit(std::uint32_t bit, std::uint32_t* value) {
    return BitOfPort(bit, value, [this](std::uint32_t port, std::uint32_t* out) {
        return GetInputPort(port, out);
    });
}

Result CAVIPlayer::GetInputPort(std::uint32_t port, std::uint32_t* value) {
    if (port != 0)
        return kBadArgument;
    if (!value)
        return kBadArgument;
    *value = static_cast<std::uint32_t>(FrameCount());
    return kOk;
}

Result CAVIPlayer::GetOutputBit(std::uint32_t bit, std::uint32_t* value) {
    return BitOfPort(bit, value, [this](std::uint32_t port, std::uint32_t* out) {
        return GetOutputPort(port, out);
    });
}

Result CAVIPlayer::GetOutputPort(std::uint32_t port, std::uint32_t* value) {
    if (port > 3)
        return kBadArgument;
    if (!value)
        return kBadArgument;
    switch (port) {
        case 0:
            *value = 0;
            return kOk;
        case 1: {
            double current = 0;
            if (const HRESULT hr = CurrentTimeMs(current); FAILED(hr))
                return ToResult(hr);
            const double frame = FrameGridMs();
            *value = static_cast<std::uint32_t>(FrameAt(current, frame));
            return kOk;
        }
        default: {
            LONG level = 0;
            const HRESULT hr =
                port == 2 ? m_basicAudio->get_Volume(&level) : m_basicAudio->get_Balance(&level);
            if (FAILED(hr))
                return ToResult(hr);
            *value = static_cast<std::uint32_t>(level);
            return kOk;
        }
    }
}

Result CAVIPlayer::SetOutputBit(std::uint32_t bit, std::uint32_t value) {
    if (bit > 6)
        return kNotSupported;
    if (value == 0)
        return kOk;
    static constexpr std::int32_t kSteps[] = {1, -1, 10, -10, 100, -100};
    return ToResult(bit == 6 ? Rewind() : StepFrames(kSteps[bit]));
}

Result CAVIPlayer::SetOutputPort(std::uint32_t port, std::uint32_t value) {
    const auto signedValue = static_cast<std::int32_t>(value);
    switch (port) {
        case 1:
            return ToResult(SeekToFrame(signedValue));
        case 2:
            return ToResult(m_basicAudio->put_Volume(signedValue));
        case 3:
            return ToResult(m_basicAudio->put_Balance(signedValue));
        default:
            return kNotSupported;
    }
}

bool CAVIPlayer::InRange(std::uint32_t number) const {
    return number >= kFirstCommand && number <= kLastCommand;
}

bool CAVIPlayer::IsDouble(std::uint32_t number) const {
    return !(number <= kCmdFrameCount || number == kCmdStepFrames);
}

void CAVIPlayer::Limits(std::uint32_t number, CommandValue& lower, CommandValue& upper) {
    lower = CommandValue{-1, -1.0};
    upper = CommandValue{-1, -1.0};
    switch (number) {
        case kCmdVolume:
            lower.integer = -10000;
            upper.integer = 0;
            break;
        case kCmdBalance:
            lower.integer = -10000;
            upper.integer = 10000;
            break;
        case kCmdFrameIndex:
            lower.integer = 0;
            upper.integer = FrameCount() - 1;
            break;
        case kCmdRate:
            lower.real = 0.25;
            upper.real = 16.0;
            break;
        case kCmdPositionMs:
            lower.real = 0.0;
            upper.real = StopTimeMs() - FrameGridMs();
            break;
        default:
            break;
    }
}

Result CAVIPlayer::Get(std::uint32_t number, CommandValue& value) {
    HRESULT hr = S_OK;
    switch (number) {
        case kCmdVolume:
        case kCmdBalance: {
            LONG level = 0;
            hr = number == kCmdVolume ? m_basicAudio->get_Volume(&level)
                                      : m_basicAudio->get_Balance(&level);
            value.integer = level;
            break;
        }
        case kCmdFrameIndex: {
            double current = 0;
            hr = CurrentTimeMs(current);
            const double frame = FrameGridMs();
            value.integer = FrameAt(current, frame);
            break;
        }
        case kCmdFrameCount:
            StopTimeMs(&hr);
            value.integer = FrameCount();
            break;
        case kCmdRate:
            hr = m_mediaSeeking->GetRate(&value.real);
            break;
        case kCmdPositionMs:
            hr = CurrentTimeMs(value.real);
            break;
        case kCmdLengthMs:
            value.real = StopTimeMs(&hr);
            break;
        case kCmdFrameTimeMs:
            value.real = FrameTimeMs();
            break;
        default:
            return kFailed;
    }
    return ToResult(hr);
}

Result CAVIPlayer::Set(std::uint32_t number, const CommandValue& value) {
    switch (number) {
        case kCmdVolume:
            return ToResult(m_basicAudio->put_Volume(value.integer));
        case kCmdBalance:
            return ToResult(m_basicAudio->put_Balance(value.integer));
        case kCmdFrameIndex:
            return ToResult(SeekToFrame(value.integer));
        case kCmdRate:
            return ToResult(SetRate(value.real));
        case kCmdPositionMs:
            return ToResult(SeekToTime(value.real));
        case kCmdStepFrames:
            return ToResult(StepFrames(value.integer));
        case kCmdRewind:
            return ToResult(Rewind());
        case kCmdSeekRelativeMs:
            return ToResult(SeekRelative(value.real));
        default:
            return kFailed;
    }
}

Result CAVIPlayer::DeviceCtrlCmd(std::uint32_t command, const void* input, std::uint64_t inputSize,
                                 void* output, std::uint64_t* outputSize) {
    return RunDeviceCtrlCmd(*this, command, input, inputSize, output, outputSize);
}

Result CAVIPlayer::DeviceCtrlString(std::uint32_t command, const char* input,
                                    std::uint64_t inputSize, char* output,
                                    std::uint64_t* outputLength) {
    const std::uint32_t operation = command & kOperationMask;
    const std::uint32_t number = command & kCommandMask;
    CommandValue value;
    if (input) {
        // A text without its NUL ends with the input size (0: the caller gave none).
        const std::string text =
            inputSize ? std::string(input, strnlen(input, static_cast<std::size_t>(inputSize)))
                      : std::string(input);
        value.integer = std::atoi(text.c_str());
        value.real = std::atof(text.c_str());
    }
    if (!InRange(number))
        return kNotSupported;
    if (!outputLength)
        return kBadArgument;
    const bool isDouble = IsDouble(number);
    std::uint64_t valueSize = isDouble ? sizeof(double) : sizeof(std::int32_t);
    // One value serves as input and output: a get overwrites it, a set leaves the value set.
    void* slot = isDouble ? static_cast<void*>(&value.real) : static_cast<void*>(&value.integer);
    const bool takes = operation == kOpSet || operation == kOpValidate;

    if (output) {
        const bool needsText = number == kCmdVolume || number == kCmdBalance ||
                               number == kCmdFrameIndex || number == kCmdRate ||
                               number == kCmdPositionMs || number == kCmdStepFrames ||
                               number == kCmdSeekRelativeMs;
        if (takes && needsText && (!input || inputSize == 0))
            return kBadArgument;
        const Result r = DeviceCtrlCmd(command, slot, valueSize, slot, &valueSize);
        if (r == kOk && *outputLength != 0) {
            const std::string text = FormatValue(isDouble, value);
            if (text.size() <= *outputLength - 1) {
                std::memcpy(output, text.c_str(), text.size() + 1);
            } else {
                output[0] = '\0';
            }
            *outputLength = std::strlen(output);
        }
        return r;
    }
    if (operation == kOpSet) {
        *outputLength = 1;
        return kOk;
    }
    const Result r = DeviceCtrlCmd(command, slot, valueSize, slot, &valueSize);
    if (r < 0)
        return r;
    *outputLength = FormatValue(isDouble, value).size() + 1;
    return r;
}

}  // namespace ZYL
