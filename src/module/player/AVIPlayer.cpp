// CAVIPlayer's construction and destruction, the image description and the grabber's
// housekeeping slots.
#include "module/player/AVIPlayer.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "com/runtime.h"
#include "directshow/media/media_filters.h"
#include "directshow/media/video_decoder.h"
#include "directshow/media_type.h"
#include "host/ZylHost.h"
#include "module/base/errors/hresult_exception.h"
#include "module/entry/ComServer.h"
#include "module/entry/LiveCounters.h"
#include "module/filters/DShowTarget.h"
#include "module/filters/DShowTextTarget.h"
#include "module/filters/VideoProgress.h"
#include "module/player/PinRoutines.h"
#include "module/player/PlayerLog.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace ZYL {
namespace {

using player::Log;
using player::LogErr;
using qnLogging::level::fatal;
using qnLogging::level::info;

constexpr const char* kFile = "AVIPlayer";

[[noreturn]] void Throw(const char* message, unsigned line) {
    throw qnErrors::CqnHRESULTException(message, kFile, line);
}

std::string Narrow(const wchar_t* text) {
    if (!text)
        return {};
    auto narrow = zyl::platform::wideToUtf8(text);
    return narrow ? *narrow : std::string();
}

// The renderers are used through their classes, so they must be this library's own code: a
// registration that points at another copy of the module would share nothing with this one.
template <class Target>
Target* OwnTarget(IBaseFilter* filter) {
    auto* target = dynamic_cast<Target*>(filter);
    if (!target)
        return nullptr;
    Dl_info theirs{};
    Dl_info ours{};
    if (!dladdr(*reinterpret_cast<void**>(target), &theirs) ||
        !dladdr(reinterpret_cast<void*>(&OwnTarget<Target>), &ours) ||
        theirs.dli_fbase != ours.dli_fbase) {
        return nullptr;
    }
    return target;
}

COM::CDShowTarget* OwnVideoTarget(IBaseFilter* filter) {
    return OwnTarget<COM::CDShowTarget>(filter);
}

// Calls visit for every filter of the graph (with a reference) until it answers true.
template <class Visit>
bool AnyFilter(IGraphBuilder* graph, Visit&& visit) {
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(filters.Put())))
        return false;
    IBaseFilter* raw = nullptr;
    while (filters->Next(1, &raw, nullptr) == S_OK) {
        if (visit(ComPtr<IBaseFilter>::Attach(raw)))
            return true;
    }
    return false;
}

// Calls visit for every pin of the filter (with a reference) until it answers true.
template <class Visit>
bool AnyPin(IBaseFilter* filter, Visit&& visit) {
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.Put())))
        return false;
    IPin* raw = nullptr;
    while (pins->Next(1, &raw, nullptr) == S_OK) {
        if (visit(ComPtr<IPin>::Attach(raw)))
            return true;
    }
    return false;
}

// The video decoders of the graph that remember their seeks, each given that many bytes.
std::vector<ComPtr<dshow::media::IStepCache>> StepCaches(IGraphBuilder* graph,
                                                         std::uint64_t bytes) {
    std::vector<ComPtr<dshow::media::IStepCache>> caches;
    AnyFilter(graph, [&](ComPtr<IBaseFilter> filter) {
        ComPtr<dshow::media::IStepCache> cache;
        if (SUCCEEDED(filter.As(cache, dshow::media::IID_IStepCache))) {
            cache->SetStepCacheBudget(bytes);
            caches.push_back(cache);
        }
        return false;
    });
    return caches;
}

// The filters that play sound: a renderer exposing IBasicAudio of its own, and the filters
// that feed only it.
std::vector<ComPtr<IBaseFilter>> SoundBranch(IGraphBuilder* graph) {
    std::vector<ComPtr<IBaseFilter>> branch;
    AnyFilter(graph, [&](ComPtr<IBaseFilter> filter) {
        ComPtr<IBasicAudio> audio;
        if (FAILED(filter.As(audio, IID_IBasicAudio)))
            return false;
        // Upstream while a filter has one input and one output: the decoders of this sound.
        for (ComPtr<IBaseFilter> at = filter; at;) {
            branch.push_back(at);
            ComPtr<IPin> input = player::GetFirstPin(at.Get(), PINDIR_INPUT);
            ComPtr<IPin> upstream;
            if (!input || input->ConnectedTo(upstream.Put()) != S_OK)
                break;
            PIN_INFO pinInfo{};
            if (FAILED(upstream->QueryPinInfo(&pinInfo)) || !pinInfo.pFilter)
                break;
            ComPtr<IBaseFilter> next = ComPtr<IBaseFilter>::Attach(pinInfo.pFilter);
            int inputs = 0, outputs = 0;
            AnyPin(next.Get(), [&](ComPtr<IPin> pin) {
                PIN_DIRECTION direction = PINDIR_INPUT;
                pin->QueryDirection(&direction);
                ++(direction == PINDIR_INPUT ? inputs : outputs);
                return false;
            });
            at = inputs == 1 && outputs == 1 ? next : nullptr;
        }
        return false;
    });
    return branch;
}

// Whether any filter of the graph offers video on an output pin (a source with a video stream).
bool HasVideoOutput(IGraphBuilder* graph) {
    return AnyFilter(graph, [](ComPtr<IBaseFilter> filter) {
        return AnyPin(filter.Get(), [](ComPtr<IPin> pin) {
            PIN_DIRECTION direction{};
            ComPtr<IEnumMediaTypes> types;
            if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_OUTPUT ||
                FAILED(pin->EnumMediaTypes(types.Put())))
                return false;
            AM_MEDIA_TYPE* type = nullptr;
            while (types->Next(1, &type, nullptr) == S_OK) {
                const bool video = type->majortype == MEDIATYPE_Video;
                DeleteMediaType(type);
                if (video)
                    return true;
            }
            return false;
        });
    });
}

template <class T>
ComPtr<T> CreateFilter(REFCLSID clsid, HRESULT& hr) {
    ComPtr<T> filter;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IBaseFilter, filter.PutVoid());
    return filter;
}

}  // namespace

CAVIPlayer::CAVIPlayer(const wchar_t* fileName) {
    // Step 1: the configuration, then the sinks that refer back to this player.
    m_config = ReadConfiguration();
    m_forceMono = m_config.forceNV12ToMono8 != 0;
    m_videoSink = ComPtr<CAVIPlayerVideoSink>::Attach(new CAVIPlayerVideoSink(this));
    m_textSink = ComPtr<CAVIPlayerTextSink>::Attach(new CAVIPlayerTextSink(this));
    try {
        CreateGraph();
        InsertRenderers();
        InsertExternalDecoders();
        ConfigureGraph(fileName);
        ReadMediaFormat();
        BuildAccessTables();
        CreateRingBuffer();
        std::uint32_t timeout = 0;
        HostDefaultWaitTimeout(&timeout);
        m_waitTimeoutMs = timeout;
        HostInitRecord(&m_record);
        // A graph that cannot pause cannot play either (a decoder that cannot start): the
        // player says so now, with the configuration failure, instead of handing the host a
        // player whose every grab fails.
        if (const HRESULT paused = m_mediaControl->Pause(); FAILED(paused)) {
            LogErr("Unable to pause the filter graph on the first frame of " + Narrow(fileName),
                   paused);
            Throw("Configuration of filter graph failed", __LINE__);
        } else if (paused == S_FALSE) {
            m_mediaControl->GetState(1000, nullptr);
        }
        // Texts of the pause's preroll wait in the queue until the thread runs.
        if (m_hasMetadata)
            m_textThread = std::thread([this] { DeliverTexts(); });
    } catch (...) {
        // The filters the graph keeps must not call back into a player that never was.
        ShutDown();
        throw;
    }
    LiveAVIPlayers().fetch_add(1);
}

void CAVIPlayer::ReleaseWaiters() {
    m_destroying = true;
    // A host thread may still wait in G2Wait (the host disposes from another thread): every
    // wait, and any about to begin, is interrupted, and the last waiter to leave says so.
    if (m_ringBuffer)
        m_ringBuffer->CloseWaits();
    {
        std::unique_lock waiting(m_waitLock);
        m_waitersLeft.wait(waiting, [this] { return m_waiting == 0; });
    }
    // No callback may run once the object is being torn down (a callback calls through its
    // interfaces); a delivery takes the destroy lock, so this comes before the destructor's.
    StopTextDelivery();
    qnThreads::CAutoLock leave(&m_lock);
}

CAVIPlayer::~CAVIPlayer() {
    ReleaseWaiters();
    {
        std::lock_guard destroy(m_destroyLock);
        Log(info, "Destroying CAVIPlayer object.");
        ShutDown();
        LiveAVIPlayers().fetch_sub(1);
    }
    // The members go in reverse order of their declaration, which is the order of release.
}

void CAVIPlayer::ShutDown() {
    // The graph stops first, so no streaming thread calls a sink while the rest goes.
    if (m_mediaControl)
        m_mediaControl->Stop();
    try {
        m_eventThread.StopThread();
    } catch (...) {
        // Only the event thread itself could destroy the player from inside the thread.
    }
    Unadvise();
    FreeMediaType(m_format.connectionType);
}

void CAVIPlayer::CreateGraph() {
    // The engine's own classes and media filters become creatable (idempotent).
    dshow::media::RegisterMediaFilters();
    player::RouteEngineDiagnostics();
    HRESULT hr =
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                         IID_IGraphBuilder, m_graphBuilder.PutVoid());
    if (FAILED(hr)) {
        LogErr("Unable to create Filter Graph", hr);
        Throw("Initialization of DirectShow failed", __LINE__);
    }
    if (hr = m_graphBuilder.As(m_mediaControl, IID_IMediaControl); FAILED(hr)) {
        LogErr("Unable to retrieve IMediaControl interface.", hr);
    } else if (hr = m_graphBuilder.As(m_mediaSeeking, IID_IMediaSeeking); FAILED(hr)) {
        LogErr("Unable to retrieve IMediaSeeking interface.", hr);
    } else if (hr = m_graphBuilder.As(m_mediaEvents, IID_IMediaEventEx); FAILED(hr)) {
        LogErr("Unable to retrieve IMediaEventEx interface.", hr);
    } else if (hr = m_graphBuilder.As(m_basicAudio, IID_IBasicAudio); FAILED(hr)) {
        LogErr("Unable to retrieve IBasicAudio interface.", hr);
    }
    if (FAILED(hr))
        Throw("Initialization of DirectShow failed", __LINE__);
}

void CAVIPlayer::InsertRenderers() {
    const auto fail = [] {
        Throw("Insertion of the ZYL Render filter into Filter Graph failed", __LINE__);
    };
    const auto advise = [](IBaseFilter* filter, REFIID iid, IUnknown* sink, DWORD& cookie) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        HRESULT hr = filter->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
        if (SUCCEEDED(hr))
            hr = container->FindConnectionPoint(iid, point.Put());
        if (SUCCEEDED(hr))
            hr = point->Advise(sink, &cookie);
        if (FAILED(hr))
            LogErr("Unable to connect to SampleSnapped event.", hr);
        return hr;
    };

    HRESULT hr = S_OK;
    ComPtr<IBaseFilter> video = CreateFilter<IBaseFilter>(COM::CLSID_ZYLDirectShowTarget, hr);
    COM::CDShowTarget* target = nullptr;
    if (SUCCEEDED(hr) && !(target = OwnVideoTarget(video.Get()))) {
        hr = E_NOINTERFACE;
        Log(qnLogging::level::err,
            "The registered ZYL render filter belongs to another copy of the module; register "
            "this one with: zylavi register " +
                ModulePath());
    }
    if (FAILED(hr)) {
        LogErr("Unable to create ZYL render filter.", hr);
        // One more line that tells the user how to fix the usual cause.
        if (hr == REGDB_E_CLASSNOTREG)
            Log(qnLogging::level::err, RendererCreationFailureText("ZYL Memory Renderer", hr));
        fail();
    }
    if (hr = m_graphBuilder->AddFilter(video.Get(), L"ZYL Memory Renderer"); FAILED(hr)) {
        LogErr("Unable to insert ZYL render filter into filter graph.", hr);
        fail();
    }
    video.As(m_videoRendererIdentity, IID_IUnknown);
    if (FAILED(advise(video.Get(), COM::IID_IZYLTransfer2,
                      static_cast<COM::IZYLTransfer2*>(m_videoSink.Get()), m_videoCookie)))
        fail();
    m_videoRenderer = video;
    m_videoTarget = target;
    target->SetForceNV12ToMono8(m_forceMono);

    ComPtr<IBaseFilter> text = CreateFilter<IBaseFilter>(COM::CLSID_ZYLDirectShowTextTarget, hr);
    if (FAILED(hr)) {
        LogErr("Unable to create ZYL text render filter.", hr);
        fail();
    }
    if (hr = m_graphBuilder->AddFilter(text.Get(), L"ZYL Text Memory Renderer"); FAILED(hr)) {
        LogErr("Unable to insert ZYL text render filter into filter graph.", hr);
        fail();
    }
    text.As(m_textRendererIdentity, IID_IUnknown);
    if (FAILED(advise(text.Get(), COM::IID_IZYLTextTransfer,
                      static_cast<COM::IZYLTextTransfer*>(m_textSink.Get()), m_textCookie)))
        fail();
    m_textRenderer = text;
}

void CAVIPlayer::InsertExternalDecoders() {
    struct External {
        CLSID clsid;
        const wchar_t* name;
        const char* creationFailure;
        const char* insertionFailure;
    };
    static const External kFilters[] = {
        {{0xE2B7DF25, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}},
         L"Lead H264 Decoder",
         "Unable to create Lead H264 Decoder filter.",
         "Unable to insert Lead H264 Decoder filter into filter graph."},
        {{0xE2B7DE9C, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}},
         L"Lead H265 Decoder",
         "Unable to create Lead H265 Decoder filter.",
         "Unable to insert Lead H265 Decoder filter into filter graph."},
        {{0xE2B7DAF2, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}},
         L"Lead Color Space Converter",
         "Unable to create Lead Color Space Converter filter.",
         "Unable to insert Lead Color Space Converter into filter graph."},
    };
    for (const External& external : kFilters) {
        HRESULT hr = S_OK;
        ComPtr<IBaseFilter> filter = CreateFilter<IBaseFilter>(external.clsid, hr);
        if (FAILED(hr))
            Log(qnLogging::level::err, external.creationFailure);
        // A filter that could not be created is still offered, so its insertion fails and
        // says so as well.
        if (FAILED(m_graphBuilder->AddFilter(filter.Get(), external.name)))
            Log(qnLogging::level::err, external.insertionFailure);
    }
}

void CAVIPlayer::ConfigureGraph(const wchar_t* fileName) {
    const auto fail = [] { Throw("Configuration of filter graph failed", __LINE__); };
    HRESULT hr = m_graphBuilder->RenderFile(fileName, nullptr);
    if (FAILED(hr)) {
        LogErr("Unable to render the input file " + Narrow(fileName) +
                   " - probably a necessary filter is not installed or the file is not "
                   "compatible with DirectShow",
               hr);
        fail();
    }
    if (!player::IsFilterConnected(m_videoRenderer.Get()))
        Log(qnLogging::level::err,
            "Nothing in " + Narrow(fileName) + " reaches the video renderer: " +
                (HasVideoOutput(m_graphBuilder.Get()) ? "no decoder takes its video stream"
                                                      : "it has no video stream"));
    player::ConnectAviSplitterTextPin(m_graphBuilder.Get(), m_textRenderer.Get());
    if (!player::IsFilterConnected(m_textRenderer.Get())) {
        if (hr = m_graphBuilder->RemoveFilter(m_textRenderer.Get()); FAILED(hr)) {
            LogErr("Unable to remove ZYL text render filter from filter graph.", hr);
            fail();
        }
        m_hasMetadata = false;
    } else {
        m_hasMetadata = true;
    }
    player::BypassColorSpaceConverter(m_graphBuilder.Get());
    m_stepCaches = StepCaches(m_graphBuilder.Get(), std::uint64_t{m_config.stepCacheMB} << 20);
    if (m_config.replayMode != ZYL::kReplayCamera)
        ConfigureReplay();

    DWORD capabilities = 0;
    if (hr = m_mediaSeeking->GetCapabilities(&capabilities); FAILED(hr)) {
        LogErr("Unable to retrieve the capabilities of IMediaSeeking", hr);
        fail();
    }
    if (!(capabilities & AM_SEEKING_CanSeekAbsolute)) {
        Log(fatal, "Absolute seeking not supported by this media format.");
        fail();
    }
    if (!(capabilities & AM_SEEKING_CanSeekForwards)) {
        Log(fatal, "Forward seeking not supported by this media format.");
        fail();
    }
    m_basicAudio->put_Volume(m_config.volume);
    m_basicAudio->put_Balance(m_config.balance);

    m_eventThread.Initialise(m_mediaControl.Get(), m_mediaSeeking.Get(), m_mediaEvents.Get());
    if (!m_eventThread.StartThread()) {
        Log(fatal, "Unable to start Media event thread.");
        fail();
    }
}

void CAVIPlayer::ConfigureReplay() {
    std::shared_ptr<COM::CVideoProgress> progress;
    if (m_hasMetadata) {
        if (auto* text = OwnTarget<COM::CDShowTextTarget>(m_textRenderer.Get())) {
            progress = std::make_shared<COM::CVideoProgress>();
            text->SetVideoProgress(progress);
            m_videoProgress = progress;
        }
    }
    if (m_videoTarget)
        m_videoTarget->SetReplay(true, progress);
    if (m_config.replayMode != ZYL::kReplayFree)
        return;
    // Unclocked, a renderer takes each sample as it comes. Sound would still play at its own
    // pace, and the stream's end (and so the loop) wait for it: it is left out. Choice: the
    // volume and balance controls then answer as for a file without sound.
    for (const ComPtr<IBaseFilter>& filter : SoundBranch(m_graphBuilder.Get()))
        m_graphBuilder->RemoveFilter(filter.Get());
    ComPtr<IMediaFilter> clockless;
    if (FAILED(m_graphBuilder.As(clockless, IID_IMediaFilter)) ||
        FAILED(clockless->SetSyncSource(nullptr)))
        Log(qnLogging::level::warn,
            "Cannot run the filter graph without a clock; replay is paced.");
}

void CAVIPlayer::ReadMediaFormat() {
    const auto fail = [] { Throw("Unable to retrieve informations about media format", __LINE__); };
    FreeMediaType(m_format.connectionType);
    m_format = player::MediaFormat{};
    ComPtr<IPin> input = player::GetFirstPin(m_videoRenderer.Get(), PINDIR_INPUT);
    if (!input) {
        Log(info, "Unable to retrieve inbound pin on ZYL render filter.");
        fail();
    }
    if (const HRESULT hr = input->ConnectionMediaType(&m_format.connectionType); FAILED(hr)) {
        LogErr("Unable to retrieve the media type descriptor", hr);
        fail();
    }
    player::PixelLayout(m_format.connectionType.subtype, m_format.bytesPerPixel, m_format.planes);
    if (!player::ReadFormatBlock(m_format.connectionType, m_format.width, m_format.height,
                                 m_format.timePerFrame)) {
        Log(fatal, "Cannot decode the format type of the video.");
        fail();
    }
    m_format.tableHeight = m_format.height;
    m_format.paddedWidth = player::PaddedWidth(m_format.bytesPerPixel, m_format.width);
    if (const HRESULT hr = m_mediaSeeking->GetTimeFormat(&m_format.nativeTimeFormat); FAILED(hr)) {
        LogErr("Unable to retrieve the native time format of this stream", hr);
        fail();
    }
    if (m_format.timePerFrame == 0)
        DeriveTimePerFrame();
}

void CAVIPlayer::DeriveTimePerFrame() {
    const auto fail = [] { Throw("Unable to retrieve informations about media format", __LINE__); };
    HRESULT hr = m_mediaSeeking->SetTimeFormat(&TIME_FORMAT_FRAME);
    if (FAILED(hr)) {
        LogErr("Unable to retrieve a proper Time Per Frame", hr);
        fail();
    }
    LONGLONG frames = 0;
    if (hr = m_mediaSeeking->GetStopPosition(&frames); FAILED(hr)) {
        LogErr("Unable to retrieve the stop position of the video in frame time format.", hr);
        fail();
    }
    if (hr = m_mediaSeeking->SetTimeFormat(&m_format.nativeTimeFormat); FAILED(hr)) {
        LogErr("Unable to restore original time format", hr);
        fail();
    }
    LONGLONG stop = 0;
    if (hr = m_mediaSeeking->GetStopPosition(&stop); FAILED(hr)) {
        LogErr("Unable to retrieve the stop position of the video in refernence time format.", hr);
        fail();
    }
    // A stream of no frames has no frame time to derive; it cannot be played as a camera.
    if (frames <= 0 || stop / frames <= 0) {
        LogErr("The stream reports no frames, so no time per frame can be derived", E_UNEXPECTED);
        fail();
    }
    m_format.timePerFrame = stop / frames;
}

void CAVIPlayer::BuildAccessTables() {
    try {
        // NV12 luma arrives top line first; the RGB subtypes bottom line first.
        m_tables.Build(m_format.bytesPerPixel, m_format.paddedWidth, m_format.tableHeight,
                       m_format.planes, !(m_format.connectionType.subtype == MEDIASUBTYPE_NV12));
    } catch (const std::bad_alloc&) {
        Log(fatal, "Unable to allocate a VPAT buffer.");
        Throw("Unable to create VPAT", __LINE__);
    }
}

void CAVIPlayer::CreateRingBuffer() {
    m_ringBuffer = std::make_shared<qnCollections::CRingBuffer>();
    // Elements hold whole padded lines (see AccessTables.h), so every frame the renderer copies
    // fits and the tables never address past an element.
    const auto elementSize =
        static_cast<std::uint64_t>(m_tables.Stride()) * static_cast<std::uint64_t>(m_format.height);
    // Room for the whole sample behind each element (NV12's chroma after the luma the element
    // shows), so the decoder can write every frame straight in (CRingAllocator).
    // Bounded: a decoder announcing a huge sample would otherwise multiply it by NumBuffers
    // (NV12 needs one and a half times the picture).
    const std::uint64_t sampleSize =
        std::min<std::uint64_t>(m_format.connectionType.lSampleSize, elementSize * 2);
    // The ring zeroes each element as it adds it, so the first frames pay no page faults.
    for (std::int32_t i = 0; i < m_config.numBuffers; ++i)
        m_ringBuffer->AddBufferWithCapacity(elementSize, sampleSize);
    if (COM::CDShowTarget* target = m_videoTarget) {
        target->SetRingBuffer(m_ringBuffer, m_format.connectionType,
                              static_cast<std::uint32_t>(m_format.width),
                              static_cast<std::uint32_t>(m_format.height));
    }
}

std::uint64_t CAVIPlayer::RendererDrops() {
    return m_videoTarget ? m_videoTarget->DroppedFrames() : 0;
}

void CAVIPlayer::Unadvise() {
    const auto unadvise = [](IUnknown* identity, REFIID iid, DWORD cookie) {
        if (!identity)
            return;
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        if (SUCCEEDED(
                identity->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) &&
            SUCCEEDED(container->FindConnectionPoint(iid, point.Put()))) {
            point->Unadvise(cookie);
        }
    };
    unadvise(m_videoRendererIdentity.Get(), COM::IID_IZYLTransfer2, m_videoCookie);
    unadvise(m_textRendererIdentity.Get(), COM::IID_IZYLTextTransfer, m_textCookie);
}

Result CAVIPlayer::GetInterfaces(InterfaceEntry* list, std::uint64_t* count) {
    const InterfaceEntry entries[] = {
        {kIdImageVPA, static_cast<IImageVPA*>(this)},
        {kIdGrabber, static_cast<IGrabber*>(this)},
        {kIdBasicDIO, static_cast<IBasicDIO*>(this)},
        {kIdDeviceCtrl, static_cast<IDeviceCtrl*>(this)},
        {kIdGrab2, static_cast<IGrab2*>(this)},
        {kIdNotify, static_cast<INotify*>(this)},
    };
    return ListInterfaces(entries, 6, list, count);
}

Result CAVIPlayer::GetSize(std::int32_t* planes, std::int32_t* width, std::int32_t* height) {
    if (planes)
        *planes = m_format.planes;
    if (width)
        *width = m_format.width;
    if (height)
        *height = m_format.height;
    return kOk;
}

Result CAVIPlayer::GetPlaneDataType(std::int32_t plane, std::int32_t* dataType) {
    if (plane < 0 || plane >= m_format.planes)
        return kBadPlane;
    if (dataType)
        *dataType = kDataType8;
    return kOk;
}

Result CAVIPlayer::GetPlaneVPA(std::int32_t plane, std::uint8_t** base, VPAEntry** table) {
    if (plane < 0 || plane >= m_format.planes)
        return kBadPlane;
    if (table)
        *table = m_tables.Plane(plane);
    if (base) {
        std::uint8_t* address = nullptr;
        m_ringBuffer->GetBufferAddress(static_cast<std::uint16_t>(m_currentIndex.load()), &address);
        *base = address;
    }
    return kOk;
}

Result CAVIPlayer::GetImageRecord(ImageRecord* record) {
    std::lock_guard lock(m_recordLock);
    if (record)
        *record = m_record;
    return kOk;
}

Result CAVIPlayer::SetImageRecord(const ImageRecord* record) {
    std::lock_guard lock(m_recordLock);
    if (record)
        m_record = *record;
    return kOk;
}

Result CAVIPlayer::Reserved2(std::uint32_t timeoutMs) {
    // No player lock: a G2Wait holds it while it waits, and the new time-out is meant for that
    // wait too. The wake-up makes it wait on under the new value.
    m_waitTimeoutMs = timeoutMs;
    if (m_ringBuffer)
        m_ringBuffer->WakeWaiters();
    return kOk;
}

Result CAVIPlayer::ShowInfo() {
    zyl::platform::messageBox("ZYL AVI interface DLL version 2", "Info");
    return kOk;
}

Result CAVIPlayer::GetEngineObjects(void** graphBuilder, void** mediaControl, void** basicAudio) {
    const auto handOut = [](void** out, IUnknown* object) {
        if (!out)
            return;
        if (object)
            object->AddRef();
        *out = object;
    };
    handOut(graphBuilder, m_graphBuilder.Get());
    handOut(mediaControl, m_mediaControl.Get());
    handOut(basicAudio, m_basicAudio.Get());
    return kOk;
}

Result CAVIPlayer::GetClassId(ClassId* id) {
    if (!id)
        return kBadArgument;
    *id = ClassId{0x7DBE4A03, 0xAD3D, 0x4533, {0x85, 0x1F, 0x61, 0xB4, 0xAE, 0x62, 0xC2, 0x0E}};
    return kOk;
}

}  // namespace ZYL
