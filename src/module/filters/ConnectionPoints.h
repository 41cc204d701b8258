// The connection-point side of the module's renderer filters: the subscriber map each filter
// keeps behind its IConnectionPoint, and the enumerators its IConnectionPointContainer and
// IConnectionPoint hand out (COM::CConnectionPointEnumerator, COM::CConnectionsEnumerator and
// their text-filter twins).
//
// Threads: the player's thread advises, unadvises and enumerates; the text filter's streaming
// thread walks the map to call its subscribers. Locks: the map and the connections
// enumerators' walks take the owner filter's lock (a recursive qnThreads::CCriticalSection the
// filter passes in); nothing else is locked here. An enumerator keeps its filter alive with a
// reference taken through the filter's IBaseFilter.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <new>
#include <utility>

#include "directshow/dshow_interfaces.h"
#include "module/base/threads/critical_section.h"
#include "module/filters/BasicIUnknown.h"
#include "module/filters/SinkInterfaces.h"

namespace COM {

// Cookie -> subscriber. Each entry holds the reference its sink's QueryInterface for the
// connection interface gave; the pointer is that interface, kept as its IUnknown base.
class CSubscribers {
public:
    CSubscribers(REFIID connectionIid, qnThreads::CCriticalSection& filterLock)
        : m_iid(connectionIid), m_lock(filterLock) {}
    CSubscribers(const CSubscribers&) = delete;
    CSubscribers& operator=(const CSubscribers&) = delete;
    ~CSubscribers() { ReleaseAll(); }

    HRESULT Advise(IUnknown* sink, DWORD* cookie);
    HRESULT Unadvise(DWORD cookie);
    HRESULT GetConnectionInterface(IID* iid) const;
    // `point` is the filter's own connection point, handed out for the connection interface.
    HRESULT FindConnectionPoint(IConnectionPoint* point, REFIID riid,
                                IConnectionPoint** found) const;
    void ReleaseAll();

    qnThreads::CCriticalSection& Lock() const { return m_lock; }
    // Only under Lock().
    const std::map<DWORD, IUnknown*>& EntriesLocked() const { return m_entries; }

private:
    const IID m_iid;
    qnThreads::CCriticalSection& m_lock;
    std::map<DWORD, IUnknown*> m_entries;
};

// IEnumConnectionPoints over a filter's single connection point.
class CConnectionPointEnumerator : public CBasicIUnknown,
                                   public IEnumConnectionPoints,
                                   public qnThreads::CCriticalSection {
public:
    CConnectionPointEnumerator(IBaseFilter* owner, IConnectionPoint* point, bool delivered = false);
    ~CConnectionPointEnumerator() override;

    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override { return CBasicIUnknown::AddRef(); }
    ULONG Release() override;

    HRESULT Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumConnectionPoints** clone) override;

protected:
    virtual const char* FinalReleaseText() const;
    virtual CConnectionPointEnumerator* Copy(bool delivered) const;
    IBaseFilter* Owner() const { return m_owner; }
    IConnectionPoint* Point() const { return m_point; }

private:
    IBaseFilter* const m_owner;
    IConnectionPoint* const m_point;  // the owner's; alive while the owner is
    // Atomic because nothing serialises an enumerator's callers.
    std::atomic<DWORD> m_delivered;
};

class CTextConnectionPointEnumerator final : public CConnectionPointEnumerator {
public:
    using CConnectionPointEnumerator::CConnectionPointEnumerator;

protected:
    const char* FinalReleaseText() const override;
    CConnectionPointEnumerator* Copy(bool delivered) const override;
};

// IEnumConnections over a filter's subscribers, in cookie order.
//
// The position is the cookie to deliver next, not an iterator into the map, so an Unadvise of
// that very entry moves the enumerator on to the next higher cookie and a removed entry is
// never touched. Subscriptions made behind the position are seen, those before it are not.
class CConnectionsEnumerator : public CBasicIUnknown,
                               public IEnumConnections,
                               public qnThreads::CCriticalSection {
public:
    CConnectionsEnumerator(IBaseFilter* owner, const CSubscribers& subscribers,
                           std::uint64_t position = 0);
    ~CConnectionsEnumerator() override;

    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override { return CBasicIUnknown::AddRef(); }
    ULONG Release() override;

    HRESULT Next(ULONG count, CONNECTDATA* connections, ULONG* fetched) override;
    HRESULT Skip(ULONG count) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumConnections** clone) override;

protected:
    virtual CConnectionsEnumerator* Copy(std::uint64_t position) const;
    IBaseFilter* Owner() const { return m_owner; }
    const CSubscribers& Subscribers() const { return m_subscribers; }

private:
    // Under the owner's lock: the entry the position points at, or the end.
    std::map<DWORD, IUnknown*>::const_iterator NextLocked() const;

    IBaseFilter* const m_owner;
    const CSubscribers& m_subscribers;  // the owner's; alive while the owner is
    // Read and moved under the owner's lock; Reset writes it without, hence atomic.
    std::atomic<std::uint64_t> m_position;
};

class CTextConnectionsEnumerator final : public CConnectionsEnumerator {
public:
    using CConnectionsEnumerator::CConnectionsEnumerator;

protected:
    CConnectionsEnumerator* Copy(std::uint64_t position) const override;
};

namespace detail {
void LogCreationFailure(const char* text);
}

// Makes an enumerator and hands it out with its single reference; a creation that throws is
// logged with `failureText` and answered with E_FAIL.
template <class Enumerator, class Interface, class... Args>
HRESULT HandOutEnumerator(Interface** out, const char* failureText, Args&&... args) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    try {
        *out = new Enumerator(std::forward<Args>(args)...);
    } catch (...) {
        detail::LogCreationFailure(failureText);
        return E_FAIL;
    }
    return S_OK;
}

inline constexpr const char* kPointEnumeratorFailure =
    "Creation of Connection point enumerator raised an exception.";
inline constexpr const char* kConnectionsEnumeratorFailure =
    "Creation of Connections enumerator raised an exception.";

}  // namespace COM
