// CAVIPlayer's acquisition: start, wait, freeze, snap, status and the player's own video sample
// path. Start, wait, freeze and snap hold m_lock for their whole run (G2Wait also while it
// waits); the counters they change change under m_statusLock, which is all G2GetStatus takes,
// so a status query never waits for a pending G2Wait. The sample path runs on the streaming
// thread and takes only the ring buffer's lock.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "module/base/errors/hresult_exception.h"
#include "module/player/AVIPlayer.h"
#include "module/player/PlayerLog.h"

namespace ZYL {
namespace {

using player::Log;
using player::LogErr;

constexpr int kMetadataYields = 100;
// CqnBaseException's code for "Wait interrupted".
constexpr std::uint32_t kWaitInterruptedCode = 7;

Result WithTopBit(Result r) {
    return static_cast<Result>(static_cast<std::uint32_t>(r) | 0x80000000u);
}

}  // namespace

Result CAVIPlayer::G2Grab() {
    qnThreads::CAutoLock lock(&m_lock);
    AnswerSeeksFromCache(false);
    if (const HRESULT hr = m_mediaControl->Run(); FAILED(hr)) {
        LogErr("Unable to set filter graph in Run mode", hr);
        AnswerSeeksFromCache(true);
        return kGraphStartFailed;
    }
    StartCounting();
    return kOk;
}

void CAVIPlayer::AnswerSeeksFromCache(bool answer) {
    const bool camera = m_config.replayMode == kReplayCamera;
    for (const auto& cache : m_stepCaches)
        cache->SetStepCacheAnswers(answer || !camera);
}

void CAVIPlayer::StartCounting() {
    const std::uint64_t drops = RendererDrops();
    std::lock_guard status(m_statusLock);
    m_acquired = 0;
    m_skipped = 0;
    m_droppedAtStart = drops;
    m_acquiring = true;
}

Result CAVIPlayer::G2Wait() {
    qnThreads::CAutoLock lock(&m_lock);
    // Counted before destroying is read, so the destructor either sees this thread or this
    // thread sees the destructor (whose closed waits it then leaves at once).
    {
        std::lock_guard waiting(m_waitLock);
        ++m_waiting;
    }
    struct Leave {
        CAVIPlayer& player;
        ~Leave() {
            // Notified under the lock: the destructor may go on the moment the count is 0.
            std::lock_guard waiting(player.m_waitLock);
            if (--player.m_waiting == 0)
                player.m_waitersLeft.notify_all();
        }
    } leave{*this};
    const auto start = std::chrono::steady_clock::now();
    // The frame about to be taken is of the seek in force now, or older: a seek finishing
    // while this thread waits may have been flushed out after this frame was handed over.
    std::uint64_t serialAtWait = 0;
    {
        std::lock_guard status(m_statusLock);
        serialAtWait = m_seekSerial;
    }
    std::uint16_t index = 0;
    for (;;) {
        if (m_destroying) {
            Log(qnLogging::level::warn, "Timeout during G2Wait.");
            return kWaitTimeout;
        }
        // The time-out counts from the start of this call, whenever Reserved2 changed it.
        const std::uint32_t timeout = m_waitTimeoutMs.load();
        std::uint32_t remaining = timeout;
        if (timeout != qnCollections::CRingBuffer::kInfinite) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            remaining = static_cast<std::uint32_t>(
                std::max<std::int64_t>(0, static_cast<std::int64_t>(timeout) - elapsed));
        }
        try {
            index = m_ringBuffer->WaitForNextBuffer(remaining);
            break;
        } catch (const qnBase::CqnBaseException& e) {
            // Woken by Reserved2 (or by the destructor, seen above): wait on under the new
            // time-out. Anything else is a time-out or no semaphore.
            if (e.GetCode() == kWaitInterruptedCode && !m_destroying)
                continue;
            Log(qnLogging::level::warn, "Timeout during G2Wait.");
            return kWaitTimeout;
        }
    }
    m_currentIndex = index;
    if (m_config.replayMode != kReplayCamera) {
        double position = 0;
        {
            std::lock_guard status(m_statusLock);
            position = m_heldPosition = m_ringBuffer->GetTimestamp(index);
            m_heldSerial = serialAtWait;
        }
        // The texts of this frame may go now.
        if (m_videoProgress)
            m_videoProgress->Reached(static_cast<REFERENCE_TIME>(position),
                                     m_ringBuffer->GetTag(index));
    }
    ++m_acquired;
    return kOk;
}

Result CAVIPlayer::G2Freeze(bool) {
    qnThreads::CAutoLock lock(&m_lock);
    if (const HRESULT hr = m_mediaControl->Pause(); FAILED(hr)) {
        LogErr("Unable to set the filter graph into pause mode", hr);
        return kFailed;
    }
    AnswerSeeksFromCache(true);
    std::lock_guard status(m_statusLock);
    m_acquiring = false;
    return kOk;
}

Result CAVIPlayer::G2GetStatus(std::uint32_t selector, double* value) {
    std::lock_guard status(m_statusLock);
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
    // One frame of where the player stands now: frames queued by an earlier run are older
    // than the frame the paused graph holds. A replay hands out every frame, those too.
    if (m_config.replayMode == kReplayCamera)
        m_ringBuffer->DiscardUnread();
    if (const HRESULT hr = m_mediaControl->Run(); FAILED(hr)) {
        LogErr("Unable to set filter graph in Run mode", hr);
        return kGraphStartFailed;
    }
    StartCounting();
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
