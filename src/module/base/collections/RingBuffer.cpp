#include "module/base/collections/RingBuffer.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "module/base/errors/hresult_exception.h"
#include "platform/sync.h"

namespace qnCollections {
namespace {

constexpr const char* kFile = "RingBuffer";
constexpr std::uint32_t kMaxElements = 65535;

[[noreturn]] void ThrowBase(const char* message, std::uint32_t code, std::uint32_t category,
                            bool failure, std::uint32_t line) {
    throw qnBase::CqnBaseException(message, code, category, failure, kFile, line);
}

// The failures of this class; the line numbers are the ones the composed messages report.
[[noreturn]] void ThrowNoSync() {
    ThrowBase("Couldn't adjust buffer synchronization", 1, 4, true, 406);
}
[[noreturn]] void ThrowNoMemory() {
    ThrowBase("Memory could not be allocated", 1, 4, true, 1246);
}
[[noreturn]] void ThrowIndex() {
    ThrowBase("Buffer index out of range", 2, 4, true, 364);
}
[[noreturn]] void ThrowEmpty() {
    ThrowBase("RingBuffer is empty", 3, 4, true, 813);
}
[[noreturn]] void ThrowNotInitialized() {
    ThrowBase("Synchronization object not initialized", 3, 4, true, 1145);
}
[[noreturn]] void ThrowBadAcquisitionMode() {
    ThrowBase("Acquisition mode not supported", 4, 4, true, 976);
}
[[noreturn]] void ThrowBadLockMode() {
    ThrowBase("Invalid lock mode", 4, 4, true, 1017);
}
[[noreturn]] void ThrowBadCallback() {
    ThrowBase("Callback pLock is invalid", 4, 4, true, 1354);
}
[[noreturn]] void ThrowTimeout() {
    ThrowBase("Wait Timeout", 6, 2, false, 1172);
}
[[noreturn]] void ThrowInterrupted() {
    ThrowBase("Wait interrupted", 7, 2, false, 1167);
}
[[noreturn]] void ThrowCollections(const char* message, std::uint32_t code, std::uint32_t line) {
    throw CqnCollectionsException(message, code, kFile, line);
}

}  // namespace

CRingBuffer::CRingBuffer() = default;

CRingBuffer::~CRingBuffer() {
    while (m_elements.GetCount() != 0) {
        SingleBuffer* element = m_elements.RemoveHead();
        if (!element->external) {
            std::free(element->data);
        }
        delete element;
    }
    while (m_lockCallbacks.GetCount() != 0) {
        delete m_lockCallbacks.RemoveHead();
    }
}

void CRingBuffer::Lock() {
    m_lock.Lock();
}
void CRingBuffer::Unlock() {
    m_lock.Unlock();
}

void CRingBuffer::ValidateIndex(std::uint16_t index) const {
    if (index >= m_index.size()) {
        ThrowIndex();
    }
}

void CRingBuffer::AddBuffer(std::uint64_t size, void* externalMemory) {
    AddElement(size, std::max(size, std::uint64_t{1}), externalMemory);
}

void CRingBuffer::AddBufferWithCapacity(std::uint64_t size, std::uint64_t capacity) {
    AddElement(size, std::max({size, capacity, std::uint64_t{1}}), nullptr);
}

std::uint64_t CRingBuffer::GetCapacity(std::uint16_t index) {
    ValidateIndex(index);
    return Element(index).capacity;
}

void CRingBuffer::AddElement(std::uint64_t size, std::uint64_t capacity, void* externalMemory) {
    if (m_index.size() >= kMaxElements) {
        // Indices are 16 bits wide; a further element could never be addressed.
        ThrowIndex();
    }
    {
        qnThreads::CAutoLock lock(this);
        const std::uint32_t maximum =
            m_acquisitionMode == Queue ? static_cast<std::uint32_t>(m_index.size()) + 1 : 1;
        std::shared_ptr<zyl::platform::Semaphore> semaphore;
        try {
            semaphore = std::make_shared<zyl::platform::Semaphore>(0, maximum);
        } catch (const std::bad_alloc&) {
            ThrowNoSync();
        }
        m_semaphore = std::move(semaphore);
        // Went with the old semaphore.
        m_waitsClosed = false;
        m_interruptCountPending = false;
        m_wakeCountPending = false;
        m_wakeBeforeWait = false;
        m_staleCounts = 0;
    }
    auto* element = new (std::nothrow) SingleBuffer;
    if (element == nullptr) {
        ThrowNoMemory();
    }
    if (externalMemory != nullptr) {
        element->data = static_cast<std::uint8_t*>(externalMemory);
        element->external = true;
        capacity = size;
        std::memset(element->data, 0, size);
    } else {
        // Cache-line aligned, so a decoder can write its rows straight in (CRingAllocator);
        // zeroed here, which also makes the pages resident before the first frame needs them.
        constexpr std::uint64_t kAlign = 64;
        element->data = nullptr;
        if (capacity <= SIZE_MAX - kAlign) {
            const std::uint64_t rounded = (capacity + kAlign - 1) / kAlign * kAlign;
            element->data = static_cast<std::uint8_t*>(
                std::aligned_alloc(kAlign, static_cast<std::size_t>(rounded)));
        }
        if (element->data == nullptr) {
            delete element;
            ThrowNoMemory();
        }
        std::memset(element->data, 0, static_cast<std::size_t>(capacity));
    }
    element->size = size;
    element->capacity = capacity;
    try {
        qnThreads::CAutoLock lock(this);
        m_index.push_back(element);  // grows geometrically; adding all 65535 stays linear
        try {
            m_elements.AddTail(element);
        } catch (...) {
            m_index.pop_back();
            throw;
        }
    } catch (...) {
        if (!element->external) {
            std::free(element->data);
        }
        delete element;
        ThrowNoMemory();
    }
}

std::uint64_t CRingBuffer::GetBuffer(std::uint16_t index, std::uint8_t** data,
                                     std::uint64_t* size) {
    ValidateIndex(index);
    SingleBuffer& element = Element(index);
    if (data != nullptr)
        *data = element.data;
    if (size != nullptr)
        *size = element.size;
    return element.size;
}

std::uint8_t* CRingBuffer::GetBufferAddress(std::uint16_t index, std::uint8_t** data) {
    ValidateIndex(index);
    std::uint8_t* address = Element(index).data;
    if (data != nullptr)
        *data = address;
    return address;
}

std::uint16_t CRingBuffer::GetBufferIndex(const std::uint8_t* data) {
    for (std::size_t i = 0; i < m_index.size(); ++i) {
        if (m_index[i]->data == data) {
            return static_cast<std::uint16_t>(i);
        }
    }
    ThrowCollections("Buffer address not found", 1, 572);
}

std::uint16_t CRingBuffer::WaitForNextBuffer(std::uint32_t timeoutMs) {
    std::shared_ptr<zyl::platform::Semaphore> semaphore;
    {
        qnThreads::CAutoLock lock(this);
        semaphore = m_semaphore;
        if (!semaphore) {
            ThrowNotInitialized();
        }
        if (m_waitsClosed) {
            ThrowInterrupted();
        }
        if (m_wakeBeforeWait) {
            m_wakeBeforeWait = false;
            ThrowInterrupted();
        }
        ++m_waiters;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint32_t remaining = timeoutMs;
    for (;;) {
        const zyl::platform::WaitResult result = semaphore->wait(remaining);

        qnThreads::CAutoLock lock(this);
        --m_waiters;
        const bool signaled = result == zyl::platform::WaitResult::Signaled;
        // The flag is read in the step that leaves the waiter count: InterruptWait clears it
        // only after seeing the count at 0, so every waiter it counted leaves interrupted, even
        // one whose wait timed out meanwhile.
        if (m_interrupted) {
            if (signaled) {
                // Counts are alike: the one taken settles a wake-up, or it was a frame's and
                // goes back to the frame.
                if (m_interruptCountPending) {
                    m_interruptCountPending = false;
                } else if (m_wakeCountPending) {
                    m_wakeCountPending = false;
                } else {
                    semaphore->release(1);
                }
            }
            ThrowInterrupted();
        }
        if (result == zyl::platform::WaitResult::Timeout) {
            ThrowTimeout();
        }
        if (signaled && m_wakeCountPending) {
            m_wakeCountPending = false;
            ThrowInterrupted();
        }

        const std::size_t count = m_index.size();
        if (m_lastRead >= count || m_scanFrom >= count) {
            ThrowIndex();
        }
        for (std::size_t step = 0; step < count; ++step) {
            const auto index = static_cast<std::uint16_t>((m_scanFrom + step) % count);
            SingleBuffer& element = Element(index);
            if (!element.consumed) {
                m_previousRead = m_lastRead;
                m_lastRead = m_scanFrom = index;
                element.consumed = true;
                // The image the host looked at before goes free, unless a discard freed it and a
                // new frame, still unread, fills it now (or nothing was ever read there).
                if (m_lockMode == AutoUnlock && m_previousRead != index &&
                    Element(m_previousRead).consumed) {
                    SetLockLocked(m_previousRead, false);
                }
                return index;
            }
        }
        if (!signaled || m_staleCounts == 0) {
            ThrowCollections("All buffers are read", 1, 666);
        }
        // The count of a frame discarded after this thread took it: wait for the next one.
        --m_staleCounts;
        ++m_waiters;
        if (timeoutMs != kInfinite) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            remaining = static_cast<std::uint32_t>(std::max<std::int64_t>(0, left.count()));
        }
    }
}

std::uint16_t CRingBuffer::DiscardUnread() {
    qnThreads::CAutoLock lock(this);
    std::uint16_t dropped = 0;
    for (std::size_t i = 0; i < m_index.size(); ++i) {
        SingleBuffer& element = *m_index[i];
        if (element.consumed) {
            continue;
        }
        element.consumed = true;
        if (element.locked) {
            SetLockLocked(static_cast<std::uint16_t>(i), false);
        }
        ++dropped;
    }
    // The producer fills from its last element on, which the discard may have freed: the next
    // frames are read in that order, not from where the reader stood.
    if (dropped > 0)
        m_scanFrom = m_lastWrite;
    // Every published frame left a count (Latest publishes some without one); a count a waiter
    // has already taken is settled when that waiter finds nothing to read.
    if (m_acquisitionMode != Latest) {
        for (std::uint16_t i = 0; i < dropped; ++i) {
            if (!m_semaphore->tryWait()) {
                ++m_staleCounts;
            }
        }
    }
    return dropped;
}

void CRingBuffer::WakeWaiters() {
    qnThreads::CAutoLock lock(this);
    if (!m_semaphore)
        return;
    // Nobody waits yet: the next wait is woken as it starts. Not by a count, which would take
    // a frame's place in the semaphore: with it full, a frame's own count is refused and a
    // waiter sleeps beside an unread frame.
    if (m_waiters == 0) {
        m_wakeBeforeWait = true;
        return;
    }
    // One pending wake-up is enough; a full semaphore wakes every waiter anyway.
    if (!m_wakeCountPending)
        m_wakeCountPending = m_semaphore->release(1);
}

std::uint16_t CRingBuffer::GetNextFreeBuffer() {
    qnThreads::CAutoLock lock(this);
    if (m_index.empty()) {
        ThrowEmpty();
    }
    std::uint16_t index = 0;
    if (!TryGetNextFreeBuffer(&index)) {
        ThrowCollections("All buffers are locked", 1, 633);
    }
    return index;
}

bool CRingBuffer::TryGetNextFreeBuffer(std::uint16_t* index) {
    qnThreads::CAutoLock lock(this);
    const std::size_t count = m_index.size();
    for (std::size_t step = 0; step < count; ++step) {
        const auto candidate = static_cast<std::uint16_t>((m_lastWrite + step) % count);
        if (!Element(candidate).locked) {
            *index = candidate;
            return true;
        }
    }
    return false;
}

void CRingBuffer::PublishCount() {
    // A count left over from a discarded frame (taken by a waiter that then read a newer frame,
    // or still in the semaphore) stands for this frame instead. Released as well, such counts
    // would pile up to the semaphore's maximum, past which a frame's count is lost and a waiter
    // sleeps beside an unread frame.
    if (m_staleCounts > 0) {
        --m_staleCounts;
        return;
    }
    m_semaphore->release(1);  // a release past the maximum is ignored
}

void CRingBuffer::CommitBuffer(std::uint16_t index) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    SingleBuffer& element = Element(index);
    if (element.locked) {
        ThrowCollections("Buffer is locked", 2, 1070);
    }
    m_previousWrite = m_lastWrite;
    m_lastWrite = index;
    SetLockLocked(index, m_lockMode != NoLock);

    switch (m_acquisitionMode) {
        case Queue:
            element.consumed = false;
            PublishCount();
            break;
        case OnDemand:
            if (m_waiters == 0) {
                element.locked = false;
                element.consumed = true;
                break;
            }
            element.consumed = false;
            PublishCount();
            break;
        case Latest: {
            SingleBuffer& previous = Element(m_previousWrite);
            if (!previous.consumed) {
                // The new frame is not published either.
                previous.locked = false;
                previous.consumed = true;
                break;
            }
            element.consumed = false;
            if (m_waiters != 0) {
                m_semaphore->release(1);
            }
            break;
        }
        default:
            break;
    }
}

void CRingBuffer::CloseWaits() {
    {
        qnThreads::CAutoLock lock(this);
        m_waitsClosed = true;
    }
    InterruptWait();
}

void CRingBuffer::InterruptWait() {
    for (;;) {
        {
            qnThreads::CAutoLock lock(this);
            if (m_waiters == 0) {
                // Nobody is left to take a wake-up still pending; take it back so that a later
                // wait does not find a count without a frame.
                if (m_interruptCountPending) {
                    m_semaphore->tryWait();
                    m_interruptCountPending = false;
                }
                m_interrupted = false;
                return;
            }
            m_interrupted = true;
            // One wake-up at a time: the waiter leaving with it settles it, so none is left over
            // however many waiters were counted while a woken one had not yet left.
            if (!m_interruptCountPending) {
                m_interruptCountPending = m_semaphore->release(1);
            }
        }
        sched_yield();
    }
}

bool CRingBuffer::IsLocked(std::uint16_t index) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    return Element(index).locked;
}

bool CRingBuffer::IsConsumed(std::uint16_t index) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    return Element(index).consumed;
}

std::uint16_t CRingBuffer::GetCount() {
    return static_cast<std::uint16_t>(m_index.size());
}

std::uint16_t CRingBuffer::GetUnreadCount() {
    qnThreads::CAutoLock lock(this);
    std::uint16_t unread = 0;
    for (SingleBuffer* element : m_index) {
        unread += element->consumed ? 0 : 1;
    }
    return unread;
}

double CRingBuffer::GetTimestamp(std::uint16_t index) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    return Element(index).timestamp;
}

void CRingBuffer::SetLock(std::uint16_t index, bool locked) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    SetLockLocked(index, locked);
}

void CRingBuffer::SetLockLocked(std::uint16_t index, bool locked) {
    Element(index).locked = locked;
    // Callbacks run under our lock by contract: they see the flag and the indices consistent.
    for (std::uint32_t i = 0; i < m_lockCallbacks.GetCount(); ++i) {
        const FPLockEntry* entry = m_lockCallbacks.GetAt(i);
        entry->pLock(index, locked, entry->context);
    }
}

void CRingBuffer::SetTag(std::uint16_t index, std::uint64_t tag) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    Element(index).tag = tag;
}

std::uint64_t CRingBuffer::GetTag(std::uint16_t index) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    return Element(index).tag;
}

void CRingBuffer::SetTimestamp(std::uint16_t index, double timestamp) {
    qnThreads::CAutoLock lock(this);
    ValidateIndex(index);
    Element(index).timestamp = timestamp;
}

void CRingBuffer::RegisterLockCallback(PFNLOCKCALLBACK pLock, void* context) {
    if (pLock == nullptr) {
        ThrowBadCallback();
    }
    auto* entry = new FPLockEntry{pLock, context};
    qnThreads::CAutoLock lock(this);
    try {
        m_lockCallbacks.AddTail(entry);
    } catch (...) {
        delete entry;
        ThrowNoMemory();
    }
}

void CRingBuffer::UnregisterLockCallback(PFNLOCKCALLBACK pLock) {
    qnThreads::CAutoLock lock(this);
    for (std::uint32_t i = 0; i < m_lockCallbacks.GetCount(); ++i) {
        if (m_lockCallbacks.GetAt(i)->pLock == pLock) {
            delete m_lockCallbacks.RemoveAt(i);
            return;
        }
    }
    ThrowCollections("Callback pLock not found", 1, 1123);
}

void CRingBuffer::Reset() {
    std::shared_ptr<zyl::platform::Semaphore> semaphore;
    {
        qnThreads::CAutoLock lock(this);
        m_lastRead = m_previousRead = m_lastWrite = m_previousWrite = m_scanFrom = 0;
        m_waiters = 0;
        // Drained below with the rest.
        m_interruptCountPending = false;
        m_wakeCountPending = false;
        m_wakeBeforeWait = false;
        m_staleCounts = 0;
        for (SingleBuffer* element : m_index) {
            element->locked = false;
            element->consumed = true;
        }
        semaphore = m_semaphore;
    }
    if (semaphore) {
        while (semaphore->tryWait()) {
        }
    }
}

void CRingBuffer::SetAcquisitionMode(std::uint32_t mode) {
    if (mode > OnDemand) {
        ThrowBadAcquisitionMode();
    }
    qnThreads::CAutoLock lock(this);
    m_acquisitionMode = mode;
}

void CRingBuffer::SetLockMode(std::uint32_t mode) {
    if (mode > ManualUnlock) {
        ThrowBadLockMode();
    }
    qnThreads::CAutoLock lock(this);
    m_lockMode = mode;
}

std::uint32_t CRingBuffer::GetAcquisitionMode() {
    qnThreads::CAutoLock lock(this);
    return m_acquisitionMode;
}

std::uint32_t CRingBuffer::GetLockMode() {
    qnThreads::CAutoLock lock(this);
    return m_lockMode;
}

std::uint64_t CRingBuffer::GetWaiterCount() {
    qnThreads::CAutoLock lock(this);
    return m_waiters;
}

void CRingBuffer::SetWaiterCount(std::uint64_t count) {
    qnThreads::CAutoLock lock(this);
    m_waiters = count;
}

}  // namespace qnCollections
