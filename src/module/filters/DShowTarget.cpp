#include "module/filters/DShowTarget.h"

#include <functional>
#include <string>

#include "directshow/time_scale.h"

namespace COM {
namespace {

void Log(std::uint32_t level, const std::string& text) {
    QN_LOG(qnLogging::root_logger(), level) << text;
}

// Video samples rendered by every video filter of the module, for the log.
std::atomic<std::uint64_t> g_videoSamples{0};

}  // namespace

CUnknown* CDShowTarget::CreateInstance(IUnknown* outer, HRESULT* hr) {
    // No exception may leave the class factory: running out of memory is a code.
    CDShowTarget* filter = nullptr;
    try {
        filter = new CDShowTarget(outer, hr);
    } catch (const std::bad_alloc&) {
        if (hr)
            *hr = E_OUTOFMEMORY;
        return nullptr;
    }
    Log(qnLogging::level::info, "Create CDShow target filter");
    return filter;
}

CDShowTarget::CDShowTarget(IUnknown* outer, HRESULT* hr)
    : TSinkFilter(CLSID_ZYLDirectShowTarget, L"ZYL DirectShow Target", outer, hr, IID_IZYLTransfer2,
                  "Final release of CDShowTarget object occured"),
      m_allocator(new CRingAllocator()) {
    m_allocator->NonDelegatingAddRef();
}

CDShowTarget::~CDShowTarget() {
    m_subscribers.ReleaseAll();
    if (m_ringBuffer && m_wakesOnUnlock)
        m_ringBuffer->UnregisterLockCallback(&CDShowTarget::OnLockChanged);
    m_ringBuffer.reset();
    m_allocator->SetRingBuffer(nullptr);
    m_allocator->NonDelegatingRelease();
}

HRESULT CDShowTarget::ProposeAllocator(IMemAllocator** allocator) {
    m_allocator->NonDelegatingAddRef();
    *allocator = m_allocator;
    return S_OK;
}

HRESULT CDShowTarget::CheckMediaType(const CMediaType* type) {
    qnThreads::CAutoLock lock(this);
    const auto refuse = [](const char* text) {
        Log(qnLogging::level::info, text);
        return E_INVALIDARG;
    };
    const auto accept = [](const char* text) {
        Log(qnLogging::level::info, text);
        return S_OK;
    };
    if (!type || !(*type->Type() == MEDIATYPE_Video))
        return refuse("Tried to connect non-video data to ZYL Direct Show Target Filter.");
    const GUID& subtype = *type->Subtype();
    // Palettised frames may come in samples of their own size.
    if (!type->bFixedSizeSamples && !(subtype == MEDIASUBTYPE_RGB8))
        return refuse("Connection with non-fixed-size-samples is not acceptable");
    if (subtype == MEDIASUBTYPE_RGB8)
        return accept("Connection to RGB8 video stream accepted by ZYL Direct Show Target.");
    if (subtype == MEDIASUBTYPE_RGB24)
        return accept("Connection to RGB24 video stream accepted by ZYL Direct Show Target.");
    if (subtype == MEDIASUBTYPE_RGB32)
        return accept("Connection to RGB32 video stream accepted by ZYL Direct Show Target.");
    if (subtype == MEDIASUBTYPE_NV12 && m_forceNV12ToMono8)
        return accept("Connection to NV12 video stream accepted by ZYL Direct Show Target.");
    return refuse("Connection failed because no appropriate video subtype was available.");
}

void CDShowTarget::SetRingBuffer(std::shared_ptr<qnCollections::CRingBuffer> ringBuffer,
                                 const AM_MEDIA_TYPE& type, std::uint32_t width,
                                 std::uint32_t height) {
    // Under the filter lock although the player calls this before frames flow: a frame that
    // came too early may still be on its way through DoRenderSample.
    qnThreads::CAutoLock lock(this);
    if (m_ringBuffer && m_wakesOnUnlock)
        m_ringBuffer->UnregisterLockCallback(&CDShowTarget::OnLockChanged);
    m_ringBuffer = std::move(ringBuffer);
    // Only a replay waits for the host to let go of an element; a camera pays nothing per frame.
    m_wakesOnUnlock = m_ringBuffer && m_replay;
    if (m_wakesOnUnlock)
        m_ringBuffer->RegisterLockCallback(&CDShowTarget::OnLockChanged, this);
    m_mediaType = type;
    m_mediaType.pUnk = nullptr;
    m_mediaType.cbFormat = 0;
    m_mediaType.pbFormat = nullptr;
    m_width = width;
    m_height = height;
    m_allocator->SetRingBuffer(m_ringBuffer);
}

void CDShowTarget::SetReplay(bool replay, std::shared_ptr<CVideoProgress> progress) {
    qnThreads::CAutoLock lock(this);
    m_replay = replay;
    m_progress = std::move(progress);
}

std::shared_ptr<CVideoProgress> CDShowTarget::Progress() {
    qnThreads::CAutoLock lock(this);
    return m_progress;
}

void CDShowTarget::OnLockChanged(std::uint16_t, bool locked, void* self) {
    // Under the ring's lock: only an event is set.
    if (!locked)
        static_cast<CDShowTarget*>(self)->Wake();
}

HRESULT CDShowTarget::BeginFlush() {
    const HRESULT hr = TSinkFilter::BeginFlush();
    // The base has waited for the streaming thread to leave, so no frame of the old position
    // is committed after this.
    qnThreads::CAutoLock lock(this);
    if (m_ringBuffer)
        m_ringBuffer->DiscardUnread();
    if (m_progress)
        m_progress->Restart();
    // The end of the stream after this flush knows only the frames that follow it.
    m_lastStamp = std::numeric_limits<REFERENCE_TIME>::min();
    return hr;
}

HRESULT CDShowTarget::EndOfStream() {
    if (const auto progress = Progress())
        progress->Ended(m_lastStamp);
    return TSinkFilter::EndOfStream();
}

HRESULT CDShowTarget::CleanupStream(FILTER_STATE from) {
    const HRESULT hr = TSinkFilter::CleanupStream(from);
    // Stopped: the next run starts its frames over (a loop, or a grab after a freeze).
    if (const auto progress = Progress())
        progress->Restart();
    m_lastStamp = std::numeric_limits<REFERENCE_TIME>::min();
    return hr;
}

HRESULT CDShowTarget::DoRenderSample(IMediaSample* sample) {
    std::shared_ptr<qnCollections::CRingBuffer> ring;
    {
        qnThreads::CAutoLock lock(this);
        ring = m_ringBuffer;
    }
    if (!ring) {
        Log(qnLogging::level::info, "Media sample arrived but ring buffer is not available.");
        return E_UNEXPECTED;
    }
    if (!sample)
        return E_POINTER;
    const std::uint64_t number = g_videoSamples++;
    QN_LOG(qnLogging::root_logger(), qnLogging::level::info)
        << "Media sample " << number << " (size: " << sample->GetActualDataLength()
        << " bytes) arrived.";

    // Rows stay bottom-up as delivered; for NV12 the luma plane comes first and exactly fills
    // the Mono8 element, the chroma behind it is left out.
    FramePlacement placed = FramePlacement::NoFreeElement;
    // Replaying, each element carries its frame's position in the file (100-ns units), which
    // the player reports as the host's current frame: the sample's time from the segment's
    // start, at its rate, reckoned here as the position pass-through does. Not asked of it: at
    // the stream's end it asks upstream, taking a decoder's filter lock under its receive lock.
    FrameStamp stamp;
    bool stamped = false;
    if (m_replay) {
        REFERENCE_TIME start = 0, end = 0;
        if (SUCCEEDED(sample->GetTime(&start, &end))) {
            const double rate = InputPin()->CurrentRate();
            stamp.timestamp = static_cast<double>(AddTime(
                InputPin()->CurrentStartTime(), rate == 1.0 ? start : ScaleTime(start, rate)));
            if (const auto progress = Progress())
                stamp.tag = progress->Run();
            stamped = true;
        }
    }
    const auto commit = [&] {
        qnThreads::CAutoLock lock(this);
        placed = CommitFrame(*ring, m_allocator, sample, stamped ? &stamp : nullptr);
        return placed != FramePlacement::NoFreeElement;  // placed, or never will be
    };
    // Replaying, a frame waits until the host lets go of an element; only a flush or a stop
    // ends the wait, and then the frame is not lost but left behind by a seek or a stop.
    if (m_replay) {
        // By reference: a copy of the lambda would not fit std::function's own storage.
        if (!WaitUntilReady(std::ref(commit)))
            return S_OK;
    } else {
        commit();
    }
    switch (placed) {
        case FramePlacement::Committed:
            if (stamped)
                m_lastStamp = static_cast<REFERENCE_TIME>(stamp.timestamp);
            return S_OK;
        case FramePlacement::NoMemory:
            Log(qnLogging::level::err, "Unable to retrieve sample base pointer");
            // The element is left uncommitted: still free, so the next frame takes it and the
            // consumer never sees a frame that was not copied.
            return E_POINTER;
        case FramePlacement::NoFreeElement:
            break;
        case FramePlacement::LentElsewhere:
            // Only a decoder that delivers out of the order it fills its samples comes here;
            // a replay, which promises every frame, says so loudly.
            if (m_replay)
                Log(qnLogging::level::err,
                    "A frame arrived ahead of the one filling its ring buffer element; skipped.");
            break;
    }
    // Whatever the ring buffer refuses costs this frame only.
    ++m_dropped;
    Log(qnLogging::level::warn, "No free ring buffer element available -> frame skipped.");
    return E_OUTOFMEMORY;
}

}  // namespace COM
