// The system reference clock: advises fire no earlier than asked, periodic ones keep firing,
// unadvised ones stop, and a clock dies cleanly with advises pending.
#include "directshow/system_clock.h"

#include <gtest/gtest.h>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "platform/sync.h"

TEST(SystemClock, OneShotAdviseNeverFiresEarly) {
    auto* raw = new CSystemClock;
    raw->NonDelegatingAddRef();  // a CUnknown starts at 0; this first reference is ours
    ComPtr<IReferenceClock> clock = ComPtr<IReferenceClock>::Attach(raw);
    zyl::platform::Event event(zyl::platform::Event::Reset::Manual);
    REFERENCE_TIME start = 0;
    clock->GetTime(&start);
    DWORD_PTR cookie = 0;
    ASSERT_EQ(
        clock->AdviseTime(start, 20 * MILLISECONDS, reinterpret_cast<HEVENT>(&event), &cookie),
        S_OK);
    ASSERT_EQ(event.wait(5000), zyl::platform::WaitResult::Signaled);
    REFERENCE_TIME fired = 0;
    clock->GetTime(&fired);
    EXPECT_GE(fired - start, 20 * MILLISECONDS);
    EXPECT_EQ(clock->Unadvise(cookie), S_FALSE) << "a fired one-shot advise is gone";
    EXPECT_EQ(clock->AdviseTime(start, 0, 0, &cookie), E_INVALIDARG);
}

TEST(SystemClock, PeriodicAdvisesUntilUnadvised) {
    auto* raw = new CSystemClock;
    raw->NonDelegatingAddRef();
    zyl::platform::Semaphore ticks(0, 1000);
    REFERENCE_TIME now = 0;
    raw->GetTime(&now);
    DWORD_PTR cookie = 0;
    ASSERT_EQ(
        raw->AdvisePeriodic(now, 5 * MILLISECONDS, reinterpret_cast<HSEMAPHORE>(&ticks), &cookie),
        S_OK);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(ticks.wait(5000), zyl::platform::WaitResult::Signaled);
    EXPECT_EQ(raw->Unadvise(cookie), S_OK);
    EXPECT_EQ(raw->PendingAdvises(), 0u);
    zyl::platform::Event never(zyl::platform::Event::Reset::Manual);
    ASSERT_EQ(raw->AdviseTime(now, 3600 * UNITS, reinterpret_cast<HEVENT>(&never), &cookie), S_OK);
    raw->NonDelegatingRelease();  // dies with an advise an hour away: the thread is stopped and
                                  // joined
    EXPECT_FALSE(never.isSet());
}

TEST(SystemClock, AvailableThroughTheRuntime) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    CSystemClock::RegisterClass();
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IReferenceClock, clock.PutVoid()),
              S_OK);
    clock.Reset();
    CoUninitialize();
}
