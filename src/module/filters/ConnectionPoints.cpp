#include "module/filters/ConnectionPoints.h"

#include <iterator>

#include <new>

#include "module/logging/logstream.h"

namespace COM {
namespace {

void LogInfo(const char* text) {
    QN_LOG(qnLogging::root_logger(), qnLogging::level::info) << text;
}

}  // namespace

void detail::LogCreationFailure(const char* text) {
    QN_LOG(qnLogging::root_logger(), qnLogging::level::fatal) << text;
}

HRESULT CSubscribers::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie)
        return E_POINTER;
    IUnknown* subscriber = nullptr;
    if (FAILED(sink->QueryInterface(m_iid, reinterpret_cast<void**>(&subscriber))) || !subscriber)
        return E_NOINTERFACE;
    qnThreads::CAutoLock lock(m_lock);
    // Starting at the count keeps the search short; the loop keeps cookies unique.
    auto candidate = static_cast<DWORD>(m_entries.size());
    while (m_entries.count(candidate))
        ++candidate;
    try {
        m_entries.emplace(candidate, subscriber);
    } catch (const std::bad_alloc&) {
        subscriber->Release();
        return E_OUTOFMEMORY;
    }
    *cookie = candidate;
    return S_OK;
}

HRESULT CSubscribers::Unadvise(DWORD cookie) {
    IUnknown* subscriber = nullptr;
    {
        qnThreads::CAutoLock lock(m_lock);
        const auto found = m_entries.find(cookie);
        if (found == m_entries.end())
            return E_FAIL;
        subscriber = found->second;
        m_entries.erase(found);
    }
    // Released outside the lock: a sink's destructor may call back into the filter.
    subscriber->Release();
    return S_OK;
}

HRESULT CSubscribers::GetConnectionInterface(IID* iid) const {
    if (!iid)
        return E_POINTER;
    *iid = m_iid;
    return S_OK;
}

HRESULT CSubscribers::FindConnectionPoint(IConnectionPoint* point, REFIID riid,
                                          IConnectionPoint** found) const {
    if (!(riid == m_iid)) {
        if (found)
            *found = nullptr;
        return E_NOINTERFACE;
    }
    if (!found)
        return E_POINTER;
    point->AddRef();
    *found = point;
    return S_OK;
}

void CSubscribers::ReleaseAll() {
    std::map<DWORD, IUnknown*> released;
    {
        qnThreads::CAutoLock lock(m_lock);
        released.swap(m_entries);
    }
    for (const auto& entry : released)
        entry.second->Release();
}

CConnectionPointEnumerator::CConnectionPointEnumerator(IBaseFilter* owner, IConnectionPoint* point,
                                                       bool delivered)
    : m_owner(owner), m_point(point), m_delivered(delivered ? 1 : 0) {
    m_owner->AddRef();
}

CConnectionPointEnumerator::~CConnectionPointEnumerator() {
    m_owner->Release();
}

HRESULT CConnectionPointEnumerator::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown) {
        *object = static_cast<IUnknown*>(static_cast<CBasicIUnknown*>(this));
    } else if (riid == IID_IEnumConnectionPoints) {
        *object = static_cast<IEnumConnectionPoints*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG CConnectionPointEnumerator::Release() {
    if (References() == 1)
        LogInfo(FinalReleaseText());
    return CBasicIUnknown::Release();
}

const char* CConnectionPointEnumerator::FinalReleaseText() const {
    return "Final release of CConnectionPointEnumerator object occured";
}

CConnectionPointEnumerator* CConnectionPointEnumerator::Copy(bool delivered) const {
    return new CConnectionPointEnumerator(m_owner, m_point, delivered);
}

HRESULT CConnectionPointEnumerator::Next(ULONG count, IConnectionPoint** points, ULONG* fetched) {
    if (count != 1 || !points || !fetched || m_delivered.exchange(1) != 0)
        return E_FAIL;
    m_point->AddRef();
    points[0] = m_point;
    *fetched = 1;
    return S_OK;
}

HRESULT CConnectionPointEnumerator::Skip(ULONG count) {
    if (count > 1)
        return E_FAIL;
    if (count == 0)
        return S_OK;
    return m_delivered.exchange(1) != 0 ? E_FAIL : S_OK;
}

HRESULT CConnectionPointEnumerator::Reset() {
    m_delivered = 0;
    return S_OK;
}

HRESULT CConnectionPointEnumerator::Clone(IEnumConnectionPoints** clone) {
    if (!clone)
        return E_POINTER;
    *clone = nullptr;
    try {
        *clone = Copy(m_delivered != 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

const char* CTextConnectionPointEnumerator::FinalReleaseText() const {
    return "Final release of CTextConnectionPointEnumerator object occured";
}

CConnectionPointEnumerator* CTextConnectionPointEnumerator::Copy(bool delivered) const {
    return new CTextConnectionPointEnumerator(Owner(), Point(), delivered);
}

CConnectionsEnumerator::CConnectionsEnumerator(IBaseFilter* owner, const CSubscribers& subscribers,
                                               std::uint64_t position)
    : m_owner(owner), m_subscribers(subscribers), m_position(position) {
    m_owner->AddRef();
}

CConnectionsEnumerator::~CConnectionsEnumerator() {
    m_owner->Release();
}

HRESULT CConnectionsEnumerator::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown) {
        *object = static_cast<IUnknown*>(static_cast<CBasicIUnknown*>(this));
    } else if (riid == IID_IEnumConnections) {
        *object = static_cast<IEnumConnections*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG CConnectionsEnumerator::Release() {
    if (References() == 1)
        LogInfo("Final release of CConnectionsEnumerator object occured");
    return CBasicIUnknown::Release();
}

CConnectionsEnumerator* CConnectionsEnumerator::Copy(std::uint64_t position) const {
    return new CConnectionsEnumerator(m_owner, m_subscribers, position);
}

std::map<DWORD, IUnknown*>::const_iterator CConnectionsEnumerator::NextLocked() const {
    const auto& entries = m_subscribers.EntriesLocked();
    const std::uint64_t position = m_position;
    // Past the highest possible cookie: at the end.
    return position > 0xFFFFFFFFu ? entries.end()
                                  : entries.lower_bound(static_cast<DWORD>(position));
}

HRESULT CConnectionsEnumerator::Next(ULONG count, CONNECTDATA* connections, ULONG* fetched) {
    qnThreads::CAutoLock lock(m_subscribers.Lock());
    const auto& entries = m_subscribers.EntriesLocked();
    auto next = NextLocked();
    const auto remaining = static_cast<std::uint64_t>(std::distance(next, entries.end()));
    if (remaining < count || !connections || !fetched)
        return E_FAIL;
    for (ULONG i = 0; i < count; ++i, ++next) {
        IUnknown* unknown = nullptr;
        // Calls the subscriber under the filter's lock: the entry must not go while it is
        // asked, and a sink's QueryInterface does not call back into the filter.
        if (FAILED(next->second->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))))
            unknown = nullptr;
        connections[i].pUnk = unknown;
        connections[i].dwCookie = next->first;
        m_position = std::uint64_t{next->first} + 1;
    }
    *fetched = count;
    return S_OK;
}

HRESULT CConnectionsEnumerator::Skip(ULONG count) {
    if (count == 0)
        return S_OK;
    qnThreads::CAutoLock lock(m_subscribers.Lock());
    const auto& entries = m_subscribers.EntriesLocked();
    auto next = NextLocked();
    if (static_cast<std::uint64_t>(std::distance(next, entries.end())) < count)
        return E_FAIL;
    std::advance(next, count - 1);
    m_position = std::uint64_t{next->first} + 1;
    return S_OK;
}

HRESULT CConnectionsEnumerator::Reset() {
    m_position = 0;
    return S_OK;
}

HRESULT CConnectionsEnumerator::Clone(IEnumConnections** clone) {
    if (!clone)
        return E_POINTER;
    *clone = nullptr;
    qnThreads::CAutoLock lock(m_subscribers.Lock());
    try {
        *clone = Copy(m_position);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

CConnectionsEnumerator* CTextConnectionsEnumerator::Copy(std::uint64_t position) const {
    return new CTextConnectionsEnumerator(Owner(), Subscribers(), position);
}

}  // namespace COM
