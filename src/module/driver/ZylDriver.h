// The driver contract between a host and ZylAvi: interface ids, result codes, records and the
// abstract interfaces with their fixed slot order. Shared by the module, the host stand-in and
// the tools; declarations only.
//
// Every interface derives virtually from IDisposableType, so an object that offers several of
// them has one GetInterfaces/Dispose. An interface on its own answers GetInterfaces with its
// own id, and its default Dispose deletes the object.
#pragma once

#include <cstdint>

namespace ZYL {

using Result = std::int32_t;

constexpr Result ToResult(std::uint32_t code) {
    return static_cast<Result>(code);
}

inline constexpr Result kOk = 0;
inline constexpr Result kFailed = ToResult(0x80000001);
inline constexpr Result kBadArgument = ToResult(0x80000002);
inline constexpr Result kIoError = ToResult(0x80000003);
inline constexpr Result kWaitTimeout = ToResult(0x80000004);
inline constexpr Result kNoMemory = ToResult(0x80000005);
inline constexpr Result kBadPlane = ToResult(0x80000006);
inline constexpr Result kNotSupported = ToResult(0x80000013);
inline constexpr Result kGraphStartFailed = ToResult(0x80000014);
inline constexpr Result kWrongObject = ToResult(0x8000001D);
inline constexpr Result kNotGrabbing = ToResult(0x8000001E);

inline constexpr std::uint64_t kIdImageVPA = 1;
inline constexpr std::uint64_t kIdGrabber = 2;
inline constexpr std::uint64_t kIdBasicDIO = 8;
inline constexpr std::uint64_t kIdGrab2 = 10;
inline constexpr std::uint64_t kIdDeviceCtrl = 16;
inline constexpr std::uint64_t kIdNotify = 21;

// The data type of 8-bit components.
inline constexpr std::int32_t kDataType8 = 8;

struct InterfaceEntry {
    std::uint64_t id;
    void* pointer;
};
static_assert(sizeof(InterfaceEntry) == 16);

// The host's opaque per-image record: an origin and a 2x2 matrix.
struct ImageRecord {
    double originX;
    double originY;
    double matrix[4];
};
static_assert(sizeof(ImageRecord) == 48);

// One entry of a plane's pixel access table: a pixel of column c and line r lies at
// base + table[c].x + table[r].y. Tables have four guard entries before index 0 and after the
// last column and line.
struct VPAEntry {
    std::int64_t x;
    std::int64_t y;
};
static_assert(sizeof(VPAEntry) == 16);

// A class id in the Windows GUID layout.
struct ClassId {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(ClassId) == 16);

class IDisposableType {
public:
    virtual Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) = 0;
    virtual void Dispose() { delete this; }
    virtual ~IDisposableType() = default;

protected:
    // The common answer of an object that offers exactly the given entries.
    static Result ListInterfaces(const InterfaceEntry* entries, std::uint64_t n,
                                 InterfaceEntry* list, std::uint64_t* count) {
        if (count == nullptr)
            return kBadArgument;
        if (list == nullptr) {
            *count = n;
            return kOk;
        }
        if (*count < n)
            return kBadArgument;
        for (std::uint64_t i = 0; i < n; ++i)
            list[i] = entries[i];
        *count = n;
        return kOk;
    }
};

class IImageVPA : public virtual IDisposableType {
public:
    virtual Result GetSize(std::int32_t* planes, std::int32_t* width, std::int32_t* height) = 0;
    virtual Result GetPlaneDataType(std::int32_t plane, std::int32_t* dataType) = 0;
    virtual Result GetPlaneVPA(std::int32_t plane, std::uint8_t** base, VPAEntry** table) = 0;
    virtual Result GetImageRecord(ImageRecord* record) = 0;
    virtual Result SetImageRecord(const ImageRecord* record) = 0;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override {
        const InterfaceEntry self{kIdImageVPA, static_cast<IImageVPA*>(this)};
        return ListInterfaces(&self, 1, list, count);
    }
};

class IGrabber : public virtual IDisposableType {
public:
    virtual Result Snap() = 0;
    virtual Result Reserved1() = 0;
    virtual Result Reserved2(std::uint32_t value) = 0;
    virtual Result ShowInfo() = 0;
    virtual Result GetEngineObjects(void** first, void** second, void** third) = 0;
    virtual Result SetNotify(void* callback, void* context) = 0;
    virtual Result GetClassId(ClassId* id) = 0;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override {
        const InterfaceEntry self{kIdGrabber, static_cast<IGrabber*>(this)};
        return ListInterfaces(&self, 1, list, count);
    }
};

class IGrab2 : public virtual IDisposableType {
public:
    virtual Result G2Grab() = 0;
    virtual Result G2Wait() = 0;
    virtual Result G2Freeze(bool wait) = 0;
    virtual Result G2GetStatus(std::uint32_t selector, double* value) = 0;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override {
        const InterfaceEntry self{kIdGrab2, static_cast<IGrab2*>(this)};
        return ListInterfaces(&self, 1, list, count);
    }
};

class IDeviceCtrl : public virtual IDisposableType {
public:
    virtual Result DeviceCtrlString(std::uint32_t command, const char* input,
                                    std::uint64_t inputSize, char* output,
                                    std::uint64_t* outputLength) = 0;
    virtual Result DeviceCtrlCmd(std::uint32_t command, const void* input, std::uint64_t inputSize,
                                 void* output, std::uint64_t* outputSize) = 0;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override {
        const InterfaceEntry self{kIdDeviceCtrl, static_cast<IDeviceCtrl*>(this)};
        return ListInterfaces(&self, 1, list, count);
    }
};

class IBasicDIO : public virtual IDisposableType {
public:
    virtual Result GetInputCount(std::uint32_t* count) = 0;
    virtual Result GetOutputCount(std::uint32_t* count) = 0;
    virtual Result GetInputBit(std::uint32_t bit, std::uint32_t* value) = 0;
    virtual Result GetInputPort(std::uint32_t port, std::uint32_t* value) = 0;
    virtual Result GetOutputBit(std::uint32_t bit, std::uint32_t* value) = 0;
    virtual Result GetOutputPort(std::uint32_t port, std::uint32_t* value) = 0;
    virtual Result SetOutputBit(std::uint32_t bit, std::uint32_t value) = 0;
    virtual Result SetOutputPort(std::uint32_t port, std::uint32_t value) = 0;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override {
        const InterfaceEntry self{kIdBasicDIO, static_cast<IBasicDIO*>(this)};
        return ListInterfaces(&self, 1, list, count);
    }
};

// The host's notification callback: (event id, data, data size, data type, user data). The
// data is valid only during the call; the result is not used.
//
// Callbacks run on a thread of the player, one at a time and in registration order, never on
// the stream's own thread: a slow or blocked callback delays later metadata, never the frames.
// A callback may call G2GetStatus, IImageVPA, Reserved2, device control, the digital ports
// (seeking included) and INotify (registering and unregistering, itself too). It must not:
// - call G2Grab, G2Wait, G2Freeze or Snap: they take the player lock, which a host thread's
//   G2Wait holds for as long as it waits (with an infinite time-out, until a frame comes);
// - release the player's last reference: disposing of a player waits for its running callback.
// A callback must return; disposing of the player waits for it.
using NotifyCallback = Result (*)(std::uint32_t eventId, const void* data, std::uint64_t size,
                                  std::uint32_t dataType, void* userData);

// The only player event: new metadata (a text sample) has arrived with a frame.
inline constexpr std::uint32_t kEventNewMetadata = 5;
// The data type of a metadata notification: 8-bit text.
inline constexpr std::uint32_t kNotifyDataText = 2;
// INotify's own results (not failure codes).
inline constexpr Result kNotifyUnknownEvent = 19;
inline constexpr Result kNotifyNotFound = 1;
inline constexpr Result kNotifyBadArgument = 2;

class INotify : public virtual IDisposableType {
public:
    virtual Result RegisterEvent(std::uint32_t eventId, NotifyCallback callback, void* userData,
                                 std::int64_t* cookie) = 0;
    virtual Result UnregisterEvent(std::int64_t cookie) = 0;
    virtual Result GetSupport(std::uint32_t* value) = 0;
    virtual Result DescribeEvent(std::uint32_t index, char* text, std::uint64_t* size,
                                 std::uint32_t* eventId) = 0;
    virtual Result GetEventInfo(std::uint32_t eventId, std::uint32_t infoCode,
                                std::uint64_t* value) = 0;
    virtual Result IsRegistered(std::int64_t cookie, bool* registered) = 0;

    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override {
        const InterfaceEntry self{kIdNotify, static_cast<INotify*>(this)};
        return ListInterfaces(&self, 1, list, count);
    }
};

// Device-control operations (top four bits of a command).
inline constexpr std::uint32_t kOperationMask = 0xF0000000;
inline constexpr std::uint32_t kCommandMask = 0x0FFFFFFF;
inline constexpr std::uint32_t kOpGet = 0x00000000;
inline constexpr std::uint32_t kOpSet = 0x10000000;
inline constexpr std::uint32_t kOpLowerLimit = 0x20000000;
inline constexpr std::uint32_t kOpUpperLimit = 0x30000000;
inline constexpr std::uint32_t kOpValidate = 0x40000000;

// Device-control command numbers.
inline constexpr std::uint32_t kCmdVolume = 256;
inline constexpr std::uint32_t kCmdBalance = 257;
inline constexpr std::uint32_t kCmdFrameIndex = 258;
inline constexpr std::uint32_t kCmdFrameCount = 259;
inline constexpr std::uint32_t kCmdRate = 260;
inline constexpr std::uint32_t kCmdPositionMs = 261;
inline constexpr std::uint32_t kCmdLengthMs = 262;
inline constexpr std::uint32_t kCmdStepFrames = 263;
inline constexpr std::uint32_t kCmdRewind = 264;
inline constexpr std::uint32_t kCmdFrameTimeMs = 265;
inline constexpr std::uint32_t kCmdSeekRelativeMs = 266;

}  // namespace ZYL
