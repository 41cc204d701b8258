// CRingBuffer: the hand-over point between the producer that decodes frames and the consumer
// that acquires them for the host.
//
// Owns its elements (and the memory of those it allocated), the lock-callback entries, the
// frames-available semaphore and one recursive lock (m_lock). The producer (streaming thread)
// calls GetNextFreeBuffer/CommitBuffer, the consumer (host acquisition thread) calls
// WaitForNextBuffer; any thread may call the rest. Lock order: a caller's own lock (the video
// sink's filter lock) before m_lock before the semaphore's internal mutex; WaitForNextBuffer
// waits on the semaphore without holding m_lock. Lock callbacks run with m_lock held.
// Every semaphore count stands for a published frame, a pending wake-up (InterruptWait,
// WakeWaiters) or a discarded frame whose count a waiter took before the discard (m_staleCounts).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "module/base/collections/CqnList.h"
#include "module/base/errors/hresult_exception.h"
#include "module/base/threads/critical_section.h"

namespace zyl::platform {
class Semaphore;
}

namespace qnCollections {

struct SingleBuffer {
    std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t capacity = 0;  // bytes the memory holds, at least size
    std::uint64_t tag = 0;       // the producer's own word about the frame (SetTag)
    bool external = false;
    bool locked = false;
    bool consumed = true;
    double timestamp = 0.0;
};

using PFNLOCKCALLBACK = void (*)(std::uint16_t index, bool locked, void* context);

struct FPLockEntry {
    PFNLOCKCALLBACK pLock;
    void* context;
};

enum AcquisitionMode : std::uint32_t {
    Queue = 0,
    // A commit that finds the previous commit unread frees that element and publishes nothing;
    // otherwise it publishes and counts the frame only for a waiting consumer.
    Latest = 1,
    OnDemand = 2,
};

enum LockMode : std::uint32_t {
    AutoUnlock = 0,
    NoLock = 1,
    ManualUnlock = 2,
};

class CRingBuffer : public qnThreads::ILockable {
public:
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

    CRingBuffer();
    CRingBuffer(const CRingBuffer&) = delete;
    CRingBuffer& operator=(const CRingBuffer&) = delete;
    ~CRingBuffer() override;

    void Lock() override;
    void Unlock() override;
    void SetTimeout(int) override {}
    int GetTimeout() override { return 0; }
    bool CanTimeout(int) override { return false; }

    virtual void AddBuffer(std::uint64_t size, void* externalMemory);
    virtual std::uint64_t GetBuffer(std::uint16_t index, std::uint8_t** data, std::uint64_t* size);
    virtual std::uint8_t* GetBufferAddress(std::uint16_t index, std::uint8_t** data);
    virtual std::uint16_t GetBufferIndex(const std::uint8_t* data);
    virtual std::uint16_t WaitForNextBuffer(std::uint32_t timeoutMs);
    virtual std::uint16_t GetNextFreeBuffer();
    virtual void CommitBuffer(std::uint16_t index);
    virtual void InterruptWait();
    virtual bool IsLocked(std::uint16_t index);
    virtual std::uint16_t GetCount();
    virtual std::uint16_t GetUnreadCount();
    virtual double GetTimestamp(std::uint16_t index);
    virtual void SetLock(std::uint16_t index, bool locked);
    virtual void SetTimestamp(std::uint16_t index, double timestamp);
    virtual void RegisterLockCallback(PFNLOCKCALLBACK pLock, void* context);
    virtual void Reset();
    virtual void SetAcquisitionMode(std::uint32_t mode);
    virtual void SetLockMode(std::uint32_t mode);
    virtual void UnregisterLockCallback(PFNLOCKCALLBACK pLock);
    virtual std::uint64_t GetWaiterCount();
    virtual void SetWaiterCount(std::uint64_t count);

    // An element of `size` bytes with memory for `capacity`: a producer may write a larger
    // picture straight in (NV12 behind a Mono8 element), of which the element shows the first
    // size bytes.
    void AddBufferWithCapacity(std::uint64_t size, std::uint64_t capacity);
    std::uint64_t GetCapacity(std::uint16_t index);
    // A word of the producer's about the frame in an element, beside its timestamp, set before
    // the frame is committed and read by whoever takes it (locked).
    void SetTag(std::uint16_t index, std::uint64_t tag);
    std::uint64_t GetTag(std::uint16_t index);
    // GetNextFreeBuffer's choice without the exception: false when no element is free (or there
    // are none). For a caller that asks on every frame whether it may write ahead.
    bool TryGetNextFreeBuffer(std::uint16_t* index);
    // Drops every published frame not yet handed out (they were made before a seek or a
    // flush); the element handed out last stays as it is. Returns how many were dropped.
    std::uint16_t DiscardUnread();
    // Makes the next wait, or the one in progress, leave with "Wait interrupted" once, so that
    // its caller can wait again on new terms; unlike InterruptWait it never waits itself.
    void WakeWaiters();
    // Interrupts every wait in progress and every later one (until the ring is built again), so
    // an owner going away can wait for its waiters to leave without racing one just arriving.
    void CloseWaits();

    // Read-only views for diagnostics and tests.
    bool IsConsumed(std::uint16_t index);
    std::uint32_t GetAcquisitionMode();
    std::uint32_t GetLockMode();

private:
    SingleBuffer& Element(std::uint16_t index) { return *m_index[index]; }
    void ValidateIndex(std::uint16_t index) const;
    void AddElement(std::uint64_t size, std::uint64_t capacity, void* externalMemory);
    void SetLockLocked(std::uint16_t index, bool locked);
    void PublishCount();  // under the lock

    CqnDLList<SingleBuffer*> m_elements;
    CqnDLList<FPLockEntry*> m_lockCallbacks;
    std::shared_ptr<zyl::platform::Semaphore> m_semaphore;
    bool m_interrupted = false;
    bool m_waitsClosed = false;  // CloseWaits: every wait leaves interrupted
    // InterruptWait has released a count that no waiter has yet left with.
    bool m_interruptCountPending = false;
    // WakeWaiters has released a count that no waiter has yet left with.
    bool m_wakeCountPending = false;
    // WakeWaiters found no waiter: the next wait leaves interrupted as it starts.
    bool m_wakeBeforeWait = false;
    // Counts of discarded frames that waiters had already taken from the semaphore when
    // DiscardUnread ran: such a waiter finds nothing to read and waits again, or reads a newer
    // frame, whose own count the next commit then leaves unreleased.
    std::uint32_t m_staleCounts = 0;
    std::uint32_t m_lockMode = AutoUnlock;
    std::uint32_t m_acquisitionMode = Queue;
    std::uint16_t m_lastRead = 0;
    // Where the reader looks for the oldest unread frame: its last read, or after a discard
    // the producer's last write.
    std::uint16_t m_scanFrom = 0;
    std::uint16_t m_previousRead = 0;
    std::uint16_t m_lastWrite = 0;
    std::uint16_t m_previousWrite = 0;
    std::uint64_t m_waiters = 0;
    qnThreads::CCriticalSection m_lock;
    // Mirrors m_elements in index order: the list walks its nodes, the per-frame paths need
    // constant-time access by index.
    std::vector<SingleBuffer*> m_index;
};

}  // namespace qnCollections
