// ZYL::CAVIPlayer: every video file that is not a .zyrv container, played as a camera through a
// filter graph that ends in the module's own renderer filters. The constructor builds and
// pauses the graph; frames reach the host through the acquisition ring buffer, text samples as
// metadata notifications; seeking, stepping, rate and audio go through device control and the
// digital ports.
//
// Threads: host threads call the driver interfaces; the graph's streaming threads call the
// sinks (video frames go straight into the ring buffer inside the video renderer, texts into
// the text queue); the text thread calls the metadata callbacks; the event thread loops the
// stream.
// Locks, outermost first: m_destroyLock (recursive: the destructor, text delivery and the
// registration table), m_lock (recursive, the acquisition operations; held by G2Wait while it
// waits), then m_statusLock (the counters; all G2GetStatus takes), m_textLock (the text
// queue), the graph's and the ring buffer's own locks. Seeking, the audio controls and
// Reserved2 take no player lock. The streaming thread only queues a text, so a callback that
// is slow or blocked never holds the stream (nor its end, nor a seek's flush); which calls a
// callback must not make is in ZylDriver.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "com/com_ptr.h"
#include "directshow/dshow_interfaces.h"
#include "directshow/media/video_decoder.h"
#include "module/base/collections/RingBuffer.h"
#include "module/base/threads/critical_section.h"
#include "module/config/Configuration.h"
#include "module/driver/DeviceControl.h"
#include "module/driver/ZylDriver.h"
#include "module/filters/VideoProgress.h"
#include "module/player/AccessTables.h"
#include "module/player/EventSink.h"
#include "module/player/EventThread.h"
#include "module/player/MediaFormat.h"

namespace COM {
class CDShowTarget;
}

namespace ZYL {

class CAVIPlayer : public IImageVPA,
                   public IGrabber,
                   public IGrab2,
                   public IDeviceCtrl,
                   public IBasicDIO,
                   public INotify,
                   public virtual IDisposableType,
                   private DeviceCommands {
public:
    explicit CAVIPlayer(const wchar_t* fileName);
    CAVIPlayer(const CAVIPlayer&) = delete;
    CAVIPlayer& operator=(const CAVIPlayer&) = delete;
    ~CAVIPlayer() override;

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
    Result Reserved2(std::uint32_t timeoutMs) override;
    Result ShowInfo() override;
    Result GetEngineObjects(void** graphBuilder, void** mediaControl, void** basicAudio) override;
    Result SetNotify(void*, void*) override { return kNotSupported; }
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

    // INotify
    Result RegisterEvent(std::uint32_t eventId, NotifyCallback callback, void* userData,
                         std::int64_t* cookie) override;
    Result UnregisterEvent(std::int64_t cookie) override;
    Result GetSupport(std::uint32_t* value) override;
    Result DescribeEvent(std::uint32_t index, char* text, std::uint64_t* size,
                         std::uint32_t* eventId) override;
    Result GetEventInfo(std::uint32_t eventId, std::uint32_t infoCode,
                        std::uint64_t* value) override;
    Result IsRegistered(std::int64_t cookie, bool* registered) override;

    // Marks the player as being destroyed, gets host threads out of G2Wait and the player lock
    // and ends the text thread (waiting for a callback under way); runs before the destructor
    // (and again at its start, for a player destroyed directly).
    void ReleaseWaiters();

    // The sinks' sample paths (streaming thread).
    HRESULT AnnounceVideoSample(IMediaSample* sample);
    HRESULT AnnounceTextSample(IMediaSample* sample);

    // Seek routines: each returns the HRESULT of its last graph call.
    HRESULT SeekToTime(double ms);
    HRESULT SeekToFrame(std::int32_t frame);
    HRESULT SeekRelative(double ms);
    HRESULT StepFrames(std::int32_t frames);
    HRESULT Rewind();

    const player::MediaFormat& Format() const { return m_format; }
    bool HasMetadata() const { return m_hasMetadata; }

private:
    struct Registration {
        NotifyCallback callback = nullptr;
        std::uint32_t eventId = kEventNewMetadata;
        void* userData = nullptr;
    };

    // Construction steps; each throws CqnHRESULTException with its message.
    void CreateGraph();
    void InsertRenderers();
    void InsertExternalDecoders();
    void ConfigureGraph(const wchar_t* fileName);
    // ReplayMode 1 and 2: no frame skipped, metadata after its frame; 2 also unclocked.
    void ConfigureReplay();
    void ReadMediaFormat();
    void DeriveTimePerFrame();
    void BuildAccessTables();
    void CreateRingBuffer();
    void Unadvise();
    // The one way down, for the failing constructor and the destructor: stops the graph and
    // the event thread, ends the sinks' connections, frees the connection type.
    void ShutDown();
    // The text thread's body, and its end (called by the destructor).
    void DeliverTexts();
    void DeliverText(const std::string& text);
    void StopTextDelivery();
    std::uint64_t RendererDrops();
    // Counters to 0, acquiring: what a successful start does.
    void StartCounting();

    // Playback control helpers (no player lock).
    double FrameTimeMs() const;
    // The playback rate; a replay goes on from the frame after the one the host holds.
    HRESULT SetRate(double rate);
    // The frame time positions and frame numbers are reckoned in (see there).
    double FrameGridMs();
    double StopTimeMs(HRESULT* hr = nullptr);
    HRESULT CurrentTimeMs(double& ms);
    std::int32_t FrameCount();
    // The device-control commands, for the rules both players share (DeviceControl.h).
    bool InRange(std::uint32_t number) const override;
    bool IsDouble(std::uint32_t number) const override;
    Result Get(std::uint32_t number, CommandValue& value) override;
    Result Set(std::uint32_t number, const CommandValue& value) override;
    void Limits(std::uint32_t number, CommandValue& lower, CommandValue& upper) override;

    // Members in reverse order of their release at destruction (C++ destroys bottom-up).
    // "Set up" members are written only by the constructor (and released by the destructor):
    // every thread reads them without a lock once the player exists.
    ComPtr<IGraphBuilder> m_graphBuilder;      // set up; the graph locks itself
    ComPtr<IMediaControl> m_mediaControl;      // set up
    ComPtr<IMediaSeeking> m_mediaSeeking;      // set up
    ComPtr<IMediaEventEx> m_mediaEvents;       // set up
    ComPtr<IBasicAudio> m_basicAudio;          // set up
    ComPtr<IBaseFilter> m_videoRenderer;       // set up
    ComPtr<IBaseFilter> m_textRenderer;        // set up
    CAVIPlayerEventThread m_eventThread;       // started and stopped by set-up and ShutDown
    ComPtr<IUnknown> m_videoRendererIdentity;  // set up
    ComPtr<IUnknown> m_textRendererIdentity;   // set up
    ComPtr<CAVIPlayerVideoSink> m_videoSink;   // set up
    ComPtr<CAVIPlayerTextSink> m_textSink;     // set up
    std::recursive_mutex m_destroyLock;        // the destructor, text delivery, the registrations
    player::AccessTables m_tables;             // set up
    std::shared_ptr<qnCollections::CRingBuffer> m_ringBuffer;  // set up; locks itself
    qnThreads::CCriticalSection m_lock;                    // serialises the acquisition operations
    std::map<std::int64_t, Registration> m_registrations;  // guarded by m_destroyLock
    std::mutex m_textLock;
    std::condition_variable m_textQueued;  // m_texts or m_textStop changed (m_textLock)
    std::deque<std::string> m_texts;       // guarded by m_textLock
    bool m_textStop = false;               // guarded by m_textLock
    std::thread m_textThread;              // started by set-up, joined by StopTextDelivery

    DWORD m_videoCookie = 0;       // set up
    DWORD m_textCookie = 0;        // set up
    bool m_hasMetadata = false;    // set up
    player::MediaFormat m_format;  // set up
    Configuration m_config;        // set up
    bool m_forceMono = false;      // set up

    std::atomic<std::uint32_t> m_currentIndex{0};  // written under m_lock (G2Wait, Snap)
    // Replaying, the current frame is the one the host holds (its element's stamp), unless a
    // seek came after it was handed out: seeks move the serial before and after, so a frame
    // handed out meanwhile never counts. Under m_statusLock.
    std::uint64_t m_seekSerial = 0;
    std::uint64_t m_heldSerial = ~std::uint64_t{0};
    double m_heldPosition = 0;
    // Replaying: where the host's next frame starts until it takes one (the latest seek's
    // target, or the file's start), valid while m_resumeSerial is the seek serial.
    double m_resumePosition = 0;
    std::uint64_t m_resumeSerial = 0;
    // The decoders that remember seeks (set up once). A camera that streams does not have its
    // seeks answered from them (G2Grab turns that off, G2Freeze on again); a replay always
    // does, as it waits for its frames anyway.
    std::vector<ComPtr<dshow::media::IStepCache>> m_stepCaches;
    void AnswerSeeksFromCache(bool answer);
    // Replaying a file with a text stream: hears of each frame handed out (set up once).
    std::shared_ptr<COM::CVideoProgress> m_videoProgress;
    // Before and after each seek; after it with the target (100-ns units) a replay resumes from.
    void NoteSeek(std::optional<double> target = std::nullopt);
    std::atomic<std::uint32_t> m_waitTimeoutMs{0};  // any thread (Reserved2), no lock
    // Leaf lock of the acquisition counters below (a start resets them together); the only lock
    // G2GetStatus takes.
    std::mutex m_statusLock;
    std::atomic<std::uint64_t> m_skipped{0};  // reset under m_statusLock, counted lock-free
    std::uint64_t m_droppedAtStart = 0;       // guarded by m_statusLock
    // The video renderer as its class (this library's own, checked at creation); valid while
    // m_videoRenderer holds it. Set up.
    COM::CDShowTarget* m_videoTarget = nullptr;
    std::atomic<std::uint64_t> m_acquired{0};         // reset under m_statusLock, counted lock-free
    bool m_acquiring = false;                         // guarded by m_statusLock
    std::atomic<std::uint64_t> m_metadataCounter{0};  // the text thread counts, anyone reads
    std::int64_t m_lastCookie = 0;                    // guarded by m_destroyLock
    std::atomic<bool> m_destroying{false};            // set once, by ReleaseWaiters
    // Host threads inside G2Wait; ReleaseWaiters waits on m_waitersLeft until none is left.
    std::mutex m_waitLock;                  // leaf
    std::condition_variable m_waitersLeft;  // m_waiting fell to 0 (m_waitLock)
    int m_waiting = 0;                      // guarded by m_waitLock
    std::mutex m_recordLock;                // leaf
    ImageRecord m_record{};                 // guarded by m_recordLock
};

}  // namespace ZYL
