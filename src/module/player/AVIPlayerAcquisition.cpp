// CAVIPlayer's acquisition: start, wait, freeze, snap, status and the player's own video sample
// path. The operations hold m_lock for their whole run (G2Wait also while it waits); the
// sample path runs on the streaming thread and takes only the ring buffer's lock.
#include <sched.h>

#include <algorithm>
#include <cstring>

#include "module/base/errors/hresult_exception.h"
#include "module/player/AVIPlayer.h"
#include "module/player/PlayerLog.h"

namespace ZYL {
namespace {

using player::Log;
using player::LogErr;

constexpr int kMetadataYields = 100;

Result WithTopBit(Result r) {
    return static_cast<Result>(static_cast<std::uint32_t>(r) | 0x80000000u);
}

}  // namespace

Result CAVIPlayer::G2Grab() {
    qnThreads::CAutoLock lock(&m_lock);
    if (const HRESULT hr = m_mediaControl->Run(); FAILED(hr)) {
        LogErr("Unable to set filter graph in Run mode", hr);
        return kGraphStartFailed;
    }
    m_acquired = 0;
    m_skipped = 0;
    m_droppedAtStart = RendererDrops();
    m_acquiring = true;
    return kOk;
}

Result CAVIPlayer::G2Wait() {
    qnThreads::CAutoLock lock(&m_lock);
    // Counted before destroying is read, so the destructor either sees this thread or this
    // thread sees the destructor.
    ++m_waiting;
    struct Leave {
        std::atomic<int>& waiting;
        ~Leave() { --waiting; }
    } leave{m_waiting};
    if (m_destroying) {
        Log(qnLogging::level::warn, "Timeout during G2Wait.");
        return kWaitTimeout;
    }
    std::uint16_t index = 0;
    try {
        index = m_ringBuffer->WaitForNextBuffer(m_waitTimeoutMs);
    } catch (const qnBase::CqnBaseException&) {
        // Time-out, interruption (the player is being destroyed) or no semaphore.
        Log(qnLogging::level::warn, "Timeout during G2Wait.");
        return kWaitTimeout;
    }
    m_currentIndex = index;
    ++m_acquired;
    return kOk;
}

Result CAVIPlayer::G2Freeze(bool) {
    qnThreads::CAutoLock lock(&m_lock);
    if (const HRESULT hr = m_mediaControl->Pause(); FAILED(hr)) {
        LogErr("Unable to set the filter graph into pause mode", hr);
        return kFailed;
    }
    m_acquiring = false;
    return kOk;
}

Result CAVIPlayer::G2GetStatus(std::uint32_t selector, double* value) {
    qnThreads::CAutoLock lock(&m_lock);
    double v = 0.0;
    switch (selector) {
        case 0:
            v = static_cast<double>(m_acquired.load());
            break;
        case 1:
            v = 0.0;
            break;
        case 2:
            // Lost frames, as hosts read this status: those the video renderer found no free
            // element for as well as those of the player's own sample path (the renderer writes
            // the ring itself, so the player's path alone would never count a loss).
            v = static_cast<double>(m_skipped.load() + (RendererDrops() - m_droppedAtStart));
            break;
        case 3:
        case 4: {
            std::uint64_t locked = 0;
            const std::uint16_t count = m_ringBuffer->GetCount();
            for (std::uint16_t i = 0; i < count; ++i)
                locked += m_ringBuffer->IsLocked(i) ? 1 : 0;
            v = static_cast<double>(locked);
            break;
        }
        case 5:
            v = m_acquiring ? 1.0 : 0.0;
            break;
        default:
            return kNotSupported;
    }
    if (value)
        *value = v;
    return kOk;
}

Result CAVIPlayer::Snap() {
    qnThreads::CAutoLock lock(&m_lock);
    const std::uint64_t noted = m_metadataCounter.load();
    if (const HRESULT hr = m_mediaControl->Run(); FAILED(hr)) {
        LogErr("Unable to set filter graph in Run mode", hr);
        return kGraphStartFailed;
    }
    m_acquired = 0;
    m_skipped = 0;
    m_droppedAtStart = RendererDrops();
    m_acquiring = true;
    if (const Result r = static_cast<IGrab2*>(this)->G2Wait(); r < 0) {
        LogErr("G2Wait failed.", r);
        return WithTopBit(r);
    }
    // The frame's text sample may still be on its way through the other stream.
    if (m_hasMetadata) {
        for (int i = 0; i < kMetadataYields && m_metadataCounter.load() == noted; ++i)
            sched_yield();
    }
    if (const Result r = static_cast<IGrab2*>(this)->G2Freeze(true); r < 0) {
        LogErr("G2Freeze failed.", r);
        return WithTopBit(r);
    }
    return kOk;
}

HRESULT CAVIPlayer::AnnounceVideoSample(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    ComPtr<IMediaSample> held(sample);
    std::uint16_t index = 0;
    try {
        index = m_ringBuffer->GetNextFreeBuffer();
    } catch (...) {
        ++m_skipped;
        Log(qnLogging::level::warn, "No free ring buffer element available -> frame skipped.");
        return E_OUTOFMEMORY;
    }
    BYTE* data = nullptr;
    if (const HRESULT hr = held->GetPointer(&data); FAILED(hr)) {
        LogErr("Unable to retrieve sample base pointer", hr);
        return hr;
    }
    const auto length = static_cast<std::uint64_t>(std::max<LONG>(0, held->GetSize()));
    try {
        std::uint8_t* element = nullptr;
        std::uint64_t size = 0;
        m_ringBuffer->GetBuffer(index, &element, &size);
        if (const auto bytes = std::min(size, length); bytes > 0 && data)
            std::memcpy(element, data, static_cast<std::size_t>(bytes));
        m_ringBuffer->CommitBuffer(index);
    } catch (...) {
        ++m_skipped;
        Log(qnLogging::level::warn, "No free ring buffer element available -> frame skipped.");
        return E_OUTOFMEMORY;
    }
    ++m_acquired;
    return S_OK;
}

}  // namespace ZYL
