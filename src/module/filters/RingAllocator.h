// COM::CRingAllocator: the allocator the video target offers the filter upstream of it, so a
// decoder writes each frame straight into the ring buffer element the target will commit it
// to, and the frame is written once instead of written and then copied.
//
// Owns the scratch memory of every sample (CMemAllocator's block) and which element each
// outstanding sample lends. A sample lends the element the ring would give the next frame, and
// only while that element is free (unlocked), holds nothing unread, is large enough and lent
// to no other sample, and the ring locks what it publishes; otherwise it gets its scratch
// memory and the target copies as before. Only the target commits while elements are lent (the
// player's own sample path, AnnounceVideoSample, is fed by no filter of the module), so
// a lent element stays unpublished until the frame in it is due: nothing is seen early, and a frame
// that is dropped or flushed leaves behind an element that was free and unread and still is.
//
// Threads: the upstream streaming thread gets samples, any thread releases them, the player's
// thread sets the ring, the target settles and commits frames. Locks: the ring buffer's lock,
// then the allocator's mutex, never the other way round; ReleaseBuffer, SetRingBuffer and
// EndCopy take only the mutex.
#pragma once

#include <memory>
#include <vector>

#include "directshow/allocator.h"
#include "module/base/collections/RingBuffer.h"

namespace COM {

class CRingAllocator final : public CMemAllocator {
public:
    CRingAllocator();
    ~CRingAllocator() override;

    void SetRingBuffer(std::shared_ptr<qnCollections::CRingBuffer> ring);

    HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                      DWORD flags) override;
    HRESULT ReleaseBuffer(IMediaSample* sample) override;

    enum class Placement {
        InPlace,  // the sample lends that very element: the frame is there already
        Copy,     // copy the sample's memory into the element
        Skip,     // the element is lent to another sample still being filled: leave it alone
    };
    // The target, ring lock held, before committing sample's frame to element index. Copy
    // reserves the element (nothing lends it) until EndCopy, so the copy needs no ring lock.
    Placement Settle(const IMediaSample* sample, std::uint16_t index,
                     const qnCollections::CRingBuffer* ring);
    void EndCopy();

protected:
    HRESULT Alloc() override;
    void Free() override;

private:
    struct Loan {
        CMediaSample* sample = nullptr;
        BYTE* scratch = nullptr;
        // Set while the sample points into the ring; keeps the element's memory alive.
        std::shared_ptr<qnCollections::CRingBuffer> ring;
        int element = -1;  // the element lent, until the frame in it is committed
    };
    // The element the next frame goes to, if it may be lent now (ring lock held).
    static int LendableElement(qnCollections::CRingBuffer& ring, LONG size, BYTE** address);
    Loan* LoanOf(const IMediaSample* sample);  // mutex held

    std::vector<Loan> m_loans;                           // one per sample (mutex)
    std::shared_ptr<qnCollections::CRingBuffer> m_ring;  // (mutex)
    // The element the target is copying a frame into, and its ring (mutex).
    int m_copying = -1;
    const qnCollections::CRingBuffer* m_copyingInto = nullptr;
};

// Commits the frame in sample to the ring's next free element: in place when the sample lends
// that element, copied otherwise (min(element, sample buffer) bytes, unchanged, outside the
// ring's lock). allocator may be null (samples of another); with one, the caller is the only
// thread that commits to the ring while samples are lent.
enum class FramePlacement {
    Committed,
    NoFreeElement,  // no element free (yet)
    LentElsewhere,  // the element due is lent to a sample still being filled: skipped, as
                    // waiting for it would wait for a frame behind this one
    NoMemory,       // the sample's memory cannot be had; the element stays free
};
// What the producer tells whoever takes a frame: its timestamp and tag in the element.
struct FrameStamp {
    double timestamp = 0;
    std::uint64_t tag = 0;
};
// Commits sample's frame to the element due; a stamp given is set on the element before it is
// published, so whoever takes the frame finds it there.
FramePlacement CommitFrame(qnCollections::CRingBuffer& ring, CRingAllocator* allocator,
                           IMediaSample* sample, const FrameStamp* stamp = nullptr);

}  // namespace COM
