// ZYL::RVPlayer: a .zyrv container played as a camera. No thread of its own: G2Wait reads the
// next frame on the caller's thread, paced on a fixed schedule from G2Grab, looping at the end.
//
// One recursive lock (m_lock) guards the acquisition state; G2Wait holds it while it reads and
// while it sleeps. Seeks only store the atomic next index, without the lock. The IImageVPA
// getters read fields fixed at construction; GetPlaneVPA takes only m_imageLock, which guards
// the current image for the moment G2Wait swaps in a new one, so it never waits for a read or
// a sleep. Lock order: m_lock, m_imageLock, then the host's own locks; an image is released
// outside m_imageLock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "module/base/threads/critical_section.h"
#include "module/config/Configuration.h"
#include "module/driver/DeviceControl.h"
#include "module/driver/ZylDriver.h"
#include "module/entry/HostStorage.h"

namespace ZYL {

// The time G2Wait paces by: the steady clock in nanoseconds and a sleep until a due time, which
// may return early. Tests put a virtual clock in its place.
class PacingClock {
public:
    virtual ~PacingClock() = default;
    virtual std::int64_t Now() = 0;
    virtual void SleepUntil(std::int64_t dueNs) = 0;
};

// Process-wide; null restores the system clock. Set only while no player paces.
void SetPacingClockForTesting(PacingClock* clock);

class RVPlayer : public IImageVPA,
                 public IGrabber,
                 public IGrab2,
                 public IDeviceCtrl,
                 public IBasicDIO,
                 public virtual IDisposableType,
                 private DeviceCommands {
public:
    explicit RVPlayer(const std::wstring& path);
    RVPlayer(const RVPlayer&) = delete;
    RVPlayer& operator=(const RVPlayer&) = delete;
    ~RVPlayer() override;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override;

    // IImageVPA
    Result GetSize(std::int32_t* planes, std::int32_t* width, std::int32_t* height) override;
    Result GetPlaneDataType(std::int32_t plane, std::int32_t* dataType) override;
    Result GetPlaneVPA(std::int32_t plane, std::uint8_t** base, VPAEntry** table) override;
    Result GetImageRecord(ImageRecord* record) override;
    Result SetImageRecord(const ImageRecord* record) override;

    // IGrabber
    Result Snap() override;
    Result Reserved1() override { return kNotSupported; }
    Result Reserved2(std::uint32_t) override { return kNotSupported; }
    Result ShowInfo() override;
    Result GetEngineObjects(void**, void**, void**) override { return kNotSupported; }
    Result SetNotify(void* callback, void* context) override;
    Result GetClassId(ClassId* id) override;

    // IGrab2
    Result G2Grab() override;
    Result G2Wait() override;
    Result G2Freeze(bool wait) override;
    Result G2GetStatus(std::uint32_t selector, double* value) override;

    // IDeviceCtrl
    Result DeviceCtrlString(std::uint32_t command, const char* input, std::uint64_t inputSize,
                            char* output, std::uint64_t* outputLength) override;
    Result DeviceCtrlCmd(std::uint32_t command, const void* input, std::uint64_t inputSize,
                         void* output, std::uint64_t* outputSize) override;

    // IBasicDIO
    Result GetInputCount(std::uint32_t* count) override;
    Result GetOutputCount(std::uint32_t* count) override;
    Result GetInputBit(std::uint32_t bit, std::uint32_t* value) override;
    Result GetInputPort(std::uint32_t port, std::uint32_t* value) override;
    Result GetOutputBit(std::uint32_t bit, std::uint32_t* value) override;
    Result GetOutputPort(std::uint32_t port, std::uint32_t* value) override;
    Result SetOutputBit(std::uint32_t bit, std::uint32_t value) override;
    Result SetOutputPort(std::uint32_t port, std::uint32_t value) override;

    // Seeking: each only stores the next index.
    void SeekToTime(double ms);
    void SeekToFrame(std::int64_t frame);
    void SeekRelative(double ms);
    void StepFrames(std::int64_t frames);
    void Rewind();

    std::uint64_t NextIndex() const { return m_nextIndex.load(); }
    std::int64_t FrameTimeMs() const { return m_frameTimeMs; }
    std::uint64_t FrameCount() const { return m_frameCount; }

private:
    // DeviceCommands
    bool InRange(std::uint32_t number) const override;
    bool IsDouble(std::uint32_t number) const override;
    Result Get(std::uint32_t number, CommandValue& value) override;
    Result Set(std::uint32_t number, const CommandValue& value) override;
    void Limits(std::uint32_t number, CommandValue& lower, CommandValue& upper) override;

    void ReadMetadata();
    void CreateFirstImage();
    static zylBase::HostRef<IImageVPA> WrapImage(HostHandle image);
    double SpanMs() const;
    // A frame index from a position inside the video (the wrap rules applied).
    void SeekWrapped(double position, double span, double unit);

    std::uint64_t m_lost = 0;
    std::uint64_t m_delivered = 0;
    qnThreads::CCriticalSection m_lock;
    std::atomic<bool> m_running{false};
    Configuration m_config;
    zylBase::HostRef<IDisposableType> m_container;
    std::atomic<std::uint64_t> m_nextIndex{0};
    std::atomic<std::uint64_t> m_currentIndex{0};
    std::uint64_t m_frameCount = 0;
    std::mutex m_imageLock;
    zylBase::HostRef<IImageVPA> m_currentImage;
    std::int64_t m_dueNs = 0;
    std::int32_t m_planes = 0;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::int32_t m_dataType = kDataType8;
    std::int64_t m_frameTimeMs = 0;
    ImageRecord m_record{};
};

}  // namespace ZYL
