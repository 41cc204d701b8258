// CSystemClock: the reference clock of the platform, in 100-ns units of the monotonic clock,
// with one-shot and periodic advises.
//
// Owns one advise thread that sleeps until the earliest deadline and signals the advise's
// event (a platform Event*) or releases its semaphore (a platform Semaphore*), passed as the
// HEVENT / HSEMAPHORE handle. One mutex guards the advise list; the thread signals under it, so
// after Unadvise returns no signal for that advise is still on its way.
// The thread is joined when the clock dies.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "directshow/unknown.h"

class CSystemClock final : public CUnknown, public IReferenceClock {
public:
    explicit CSystemClock(IUnknown* outer = nullptr);
    ~CSystemClock() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    HRESULT GetTime(REFERENCE_TIME* time) override;
    HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event,
                       DWORD_PTR* cookie) override;
    HRESULT AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime,
                           HSEMAPHORE semaphore, DWORD_PTR* cookie) override;
    HRESULT Unadvise(DWORD_PTR cookie) override;

    std::size_t PendingAdvises();
    // Makes CLSID_SystemClock available through CoCreateInstance.
    static void RegisterClass();

private:
    struct Advise {
        DWORD_PTR cookie;
        REFERENCE_TIME due;
        REFERENCE_TIME period;  // 0: one-shot
        DWORD_PTR handle;
    };
    void Run();
    void Add(const Advise& advise);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    // A flat list, not a map: renderers advise twice per frame, and a list whose capacity has
    // grown to the few advises pending at once takes them without allocating.
    std::vector<Advise> m_advises;
    std::vector<std::pair<bool, DWORD_PTR>> m_due;  // the clock thread's, reused per pass
    DWORD_PTR m_nextCookie = 1;
    bool m_stopping = false;
    std::thread m_thread;
};

REFERENCE_TIME MonotonicReferenceTime();
