// COM::CDShowTarget ("ZYL DirectShow Target"): the video renderer at the end of the player's
// graph. It owns its subscriber map and shares the acquisition ring buffer with the player;
// every frame it renders is committed in a free ring buffer element. It offers upstream an
// allocator whose samples lend those elements (RingAllocator.h), so a frame the decoder wrote
// into the element it is committed to is not copied again; any other frame is copied. As a
// camera it skips a frame that finds no free element; replaying, it waits for the host to free
// one (the ring's lock callback wakes it).
//
// Threads: the graph's streaming thread renders; the connecting thread checks media types; the
// player's thread sets the force and replay flags (atomics, no lock), the progress, the ring
// buffer and (un)subscribes; the seeking thread flushes. Locks: the filter's own lock around the
// others, then the ring buffer's lock (choosing and committing an element, DiscardUnread), then the
// allocator's mutex inside that. The renderer base calls DoRenderSample under none of its own
// locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

#include "module/base/collections/RingBuffer.h"
#include "module/filters/RingAllocator.h"
#include "module/filters/SinkFilter.h"
#include "module/filters/VideoProgress.h"

namespace COM {

class CDShowTarget final
    : public TSinkFilter<CBaseVideoRenderer, CConnectionPointEnumerator, CConnectionsEnumerator> {
public:
    // The class factory's creation routine.
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);

    CDShowTarget(IUnknown* outer, HRESULT* hr);
    ~CDShowTarget() override;

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT DoRenderSample(IMediaSample* sample) override;
    HRESULT ProposeAllocator(IMemAllocator** allocator) override;
    // A flush (a seek) drops the frames committed before it that the player has not yet taken.
    HRESULT BeginFlush() override;
    HRESULT EndOfStream() override;

    // The player hands over the ring buffer once the graph is connected and the buffer filled.
    void SetRingBuffer(std::shared_ptr<qnCollections::CRingBuffer> ringBuffer,
                       const AM_MEDIA_TYPE& type, std::uint32_t width, std::uint32_t height);
    // Written by the player before the graph is connected.
    void SetForceNV12ToMono8(bool force) { m_forceNV12ToMono8 = force; }
    bool ForceNV12ToMono8() const { return m_forceNV12ToMono8; }
    // Replaying: a frame waits for a free element instead of being skipped. Set by the player
    // before the graph runs and before the ring buffer; the progress (may be null) starts
    // over at every flush and stop and hears of the stream's end.
    void SetReplay(bool replay, std::shared_ptr<CVideoProgress> progress);
    // Frames dropped because no ring buffer element was free, since the filter was made: the
    // player reports them as lost frames.
    std::uint64_t DroppedFrames() const { return m_dropped.load(); }

protected:
    HRESULT CleanupStream(FILTER_STATE from) override;

private:
    // The ring's lock callback: an element let go of may be the one a waiting frame needs.
    static void OnLockChanged(std::uint16_t index, bool locked, void* self);
    std::shared_ptr<CVideoProgress> Progress();

    std::shared_ptr<qnCollections::CRingBuffer> m_ringBuffer;
    std::shared_ptr<CVideoProgress> m_progress;  // under the filter lock
    bool m_wakesOnUnlock = false;  // OnLockChanged is registered with the ring (filter lock)
    // Replaying: where the last frame committed starts in the file (the streaming thread).
    REFERENCE_TIME m_lastStamp = std::numeric_limits<REFERENCE_TIME>::min();
    CRingAllocator* m_allocator;  // one reference, for the filter's life
    // Only the subtype is read; the format block stays with the player, so the copy has none.
    AM_MEDIA_TYPE m_mediaType{};
    std::uint32_t m_width = 0;
    std::uint32_t m_height = 0;
    std::atomic<bool> m_forceNV12ToMono8{false};
    std::atomic<bool> m_replay{false};
    std::atomic<std::uint64_t> m_dropped{0};
};

}  // namespace COM
