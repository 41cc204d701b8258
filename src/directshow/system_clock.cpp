#include "directshow/system_clock.h"

#include <chrono>
#include <vector>

#include "com/runtime.h"
#include "directshow/simple_unknown.h"
#include "platform/clock.h"
#include "platform/sync.h"

REFERENCE_TIME MonotonicReferenceTime() {
    return zyl::platform::monotonicNanoseconds() / 100;
}

CSystemClock::CSystemClock(IUnknown* outer) : CUnknown(L"System clock", outer) {
    m_advises.reserve(16);
    m_due.reserve(16);
    m_thread = std::thread([this] { Run(); });
}

CSystemClock::~CSystemClock() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

HRESULT CSystemClock::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IReferenceClock)
        return GetInterface(static_cast<IReferenceClock*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

HRESULT CSystemClock::GetTime(REFERENCE_TIME* time) {
    if (!time)
        return E_POINTER;
    *time = MonotonicReferenceTime();
    return S_OK;
}

HRESULT CSystemClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event,
                                 DWORD_PTR* cookie) {
    if (!cookie)
        return E_POINTER;
    if (!event || baseTime < 0 || streamTime < 0)
        return E_INVALIDARG;
    {
        std::lock_guard lock(m_mutex);
        *cookie = m_nextCookie++;
        Add(Advise{*cookie, baseTime + streamTime, 0, event});
    }
    m_wake.notify_all();
    return S_OK;
}

HRESULT CSystemClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime,
                                     HSEMAPHORE semaphore, DWORD_PTR* cookie) {
    if (!cookie)
        return E_POINTER;
    if (!semaphore || startTime < 0 || periodTime <= 0)
        return E_INVALIDARG;
    {
        std::lock_guard lock(m_mutex);
        *cookie = m_nextCookie++;
        Add(Advise{*cookie, startTime, periodTime, semaphore});
    }
    m_wake.notify_all();
    return S_OK;
}

void CSystemClock::Add(const Advise& advise) {
    m_advises.push_back(advise);
}

HRESULT CSystemClock::Unadvise(DWORD_PTR cookie) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_advises.begin(); it != m_advises.end(); ++it) {
        if (it->cookie == cookie) {
            m_advises.erase(it);
            return S_OK;
        }
    }
    return S_FALSE;
}

std::size_t CSystemClock::PendingAdvises() {
    std::lock_guard lock(m_mutex);
    return m_advises.size();
}

void CSystemClock::Run() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        REFERENCE_TIME earliest = -1;
        for (const Advise& advise : m_advises) {
            if (earliest < 0 || advise.due < earliest)
                earliest = advise.due;
        }
        if (earliest < 0) {
            m_wake.wait(lock);
            continue;
        }
        const REFERENCE_TIME now = MonotonicReferenceTime();
        if (earliest > now) {
            m_wake.wait_for(lock, std::chrono::nanoseconds((earliest - now) * 100));
            continue;
        }
        std::vector<std::pair<bool, DWORD_PTR>>& due = m_due;  // {periodic, handle}
        due.clear();
        for (auto it = m_advises.begin(); it != m_advises.end();) {
            Advise& advise = *it;
            if (advise.due > now) {
                ++it;
                continue;
            }
            due.emplace_back(advise.period > 0, advise.handle);
            if (advise.period > 0) {
                advise.due += advise.period;
                ++it;
            } else {
                it = m_advises.erase(it);
            }
        }
        // Signalled under the lock: once Unadvise returns, the advise's event or semaphore
        // may be destroyed, so no signal may still be on its way. Signalling takes only the
        // waitable's own mutex and calls nothing back.
        for (const auto& [periodic, handle] : due) {
            if (periodic) {
                reinterpret_cast<zyl::platform::Semaphore*>(handle)->release(1);
            } else {
                reinterpret_cast<zyl::platform::Event*>(handle)->set();
            }
        }
    }
}

void CSystemClock::RegisterClass() {
    com::RegisterPlatformClass(CLSID_SystemClock, &CPlatformClassFactory<CSystemClock>::Get);
}
