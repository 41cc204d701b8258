#include "module/filters/RingAllocator.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace COM {

CRingAllocator::CRingAllocator() : CMemAllocator(L"ring allocator", nullptr, nullptr) {}

CRingAllocator::~CRingAllocator() {
    std::lock_guard lock(m_mutex);
    m_loans.clear();
}

void CRingAllocator::SetRingBuffer(std::shared_ptr<qnCollections::CRingBuffer> ring) {
    std::lock_guard lock(m_mutex);
    m_ring = std::move(ring);
}

HRESULT CRingAllocator::Alloc() {
    if (const HRESULT hr = CMemAllocator::Alloc(); FAILED(hr))
        return hr;
    m_loans.clear();
    m_loans.reserve(m_all.size());
    for (CMediaSample* sample : m_all) {
        BYTE* scratch = nullptr;
        sample->GetPointer(&scratch);
        m_loans.push_back({sample, scratch, nullptr, -1});
    }
    return S_OK;
}

void CRingAllocator::Free() {
    m_loans.clear();
    CMemAllocator::Free();
}

CRingAllocator::Loan* CRingAllocator::LoanOf(const IMediaSample* sample) {
    for (Loan& loan : m_loans)
        if (loan.sample == sample)
            return &loan;
    return nullptr;
}

int CRingAllocator::LendableElement(qnCollections::CRingBuffer& ring, LONG size, BYTE** address) {
    // Without locks the host may still be reading any element: it gets the frame only when due.
    if (ring.GetLockMode() == qnCollections::NoLock)
        return -1;
    // No element free now (the host holds them): the frame is decoded into scratch memory, and
    // skipped at render time if none is free then either.
    std::uint16_t index = 0;
    if (!ring.TryGetNextFreeBuffer(&index))
        return -1;
    try {
        std::uint8_t* data = nullptr;
        ring.GetBuffer(index, &data, nullptr);
        if (!data || ring.GetCapacity(index) < static_cast<std::uint64_t>(size) ||
            !ring.IsConsumed(index))
            return -1;
        *address = data;
        return index;
    } catch (...) {
        return -1;
    }
}

HRESULT CRingAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                  DWORD flags) {
    if (const HRESULT hr = CMemAllocator::GetBuffer(sample, start, end, flags); hr != S_OK)
        return hr;
    std::shared_ptr<qnCollections::CRingBuffer> ring;
    LONG size = 0;
    {
        std::lock_guard lock(m_mutex);
        ring = m_ring;
        size = m_lSize;
    }
    if (!ring)
        return S_OK;
    // The ring's lock across the choice and the mark: the target commits under it, so the
    // element cannot be published between the two.
    qnThreads::CAutoLock ringLock(ring.get());
    BYTE* address = nullptr;
    const int element = LendableElement(*ring, size, &address);
    if (element < 0)
        return S_OK;
    std::lock_guard lock(m_mutex);
    // A prefix would be written before the element, and an upstream filter's alignment must
    // hold for lent memory as for its own.
    if (m_lPrefix != 0 || reinterpret_cast<std::uintptr_t>(address) % m_lAlignment != 0)
        return S_OK;
    if (m_copying == element && m_copyingInto == ring.get())
        return S_OK;
    for (const Loan& loan : m_loans)
        if (loan.element == element && loan.ring == ring)
            return S_OK;
    if (Loan* loan = LoanOf(*sample)) {
        loan->ring = std::move(ring);
        loan->element = element;
        loan->sample->SetPointer(address, size);
    }
    return S_OK;
}

CRingAllocator::Placement CRingAllocator::Settle(const IMediaSample* sample, std::uint16_t index,
                                                 const qnCollections::CRingBuffer* ring) {
    std::lock_guard lock(m_mutex);
    for (Loan& loan : m_loans) {
        if (loan.element != index || loan.ring.get() != ring)
            continue;
        // A sample delivered ahead of one that lends the element: its frame is dropped rather
        // than written under a decoder still filling the element.
        if (loan.sample != sample)
            return Placement::Skip;
        // Committed now, the element is the ring's again; the sample keeps pointing at it
        // until it comes back.
        loan.element = -1;
        return Placement::InPlace;
    }
    m_copying = index;
    m_copyingInto = ring;
    return Placement::Copy;
}

void CRingAllocator::EndCopy() {
    std::lock_guard lock(m_mutex);
    m_copying = -1;
    m_copyingInto = nullptr;
}

HRESULT CRingAllocator::ReleaseBuffer(IMediaSample* sample) {
    std::shared_ptr<qnCollections::CRingBuffer> lentFrom;
    {
        std::lock_guard lock(m_mutex);
        if (Loan* loan = LoanOf(sample); loan && loan->ring) {
            loan->sample->SetPointer(loan->scratch, m_lSize);
            loan->element = -1;
            lentFrom = std::move(loan->ring);
        }
    }
    // The ring may go with the last reference, outside the mutex.
    lentFrom.reset();
    return CMemAllocator::ReleaseBuffer(sample);
}

FramePlacement CommitFrame(qnCollections::CRingBuffer& ring, CRingAllocator* allocator,
                           IMediaSample* sample, const FrameStamp* stamp) {
    std::uint16_t index = 0;
    BYTE* source = nullptr;
    std::uint8_t* element = nullptr;
    std::uint64_t elementSize = 0;
    {
        // Held from the choice to the mark, so the element cannot be lent in between.
        qnThreads::CAutoLock lock(&ring);
        if (!ring.TryGetNextFreeBuffer(&index))
            return FramePlacement::NoFreeElement;
        if (FAILED(sample->GetPointer(&source)) || !source)
            return FramePlacement::NoMemory;
        const auto placement =
            allocator ? allocator->Settle(sample, index, &ring) : CRingAllocator::Placement::Copy;
        try {
            if (placement == CRingAllocator::Placement::Skip)
                return FramePlacement::LentElsewhere;
            if (stamp) {
                ring.SetTimestamp(index, stamp->timestamp);
                ring.SetTag(index, stamp->tag);
            }
            if (placement == CRingAllocator::Placement::InPlace) {
                ring.CommitBuffer(index);
                return FramePlacement::Committed;
            }
            ring.GetBuffer(index, &element, &elementSize);
        } catch (...) {
            if (allocator && placement == CRingAllocator::Placement::Copy)
                allocator->EndCopy();
            return FramePlacement::NoFreeElement;
        }
    }
    // The copy runs without the ring's lock, so the host's calls never wait for it; Settle has
    // reserved the element meanwhile.
    FramePlacement placed = FramePlacement::Committed;
    const auto sourceSize = static_cast<std::uint64_t>(std::max<LONG>(0, sample->GetSize()));
    if (const auto bytes = std::min(elementSize, sourceSize); bytes > 0)
        std::memcpy(element, source, static_cast<std::size_t>(bytes));
    try {
        // Refused (the host locked the element meanwhile): the frame is skipped, as it was.
        ring.CommitBuffer(index);
    } catch (...) {
        placed = FramePlacement::NoFreeElement;
    }
    if (allocator)
        allocator->EndCopy();
    return placed;
}

}  // namespace COM
