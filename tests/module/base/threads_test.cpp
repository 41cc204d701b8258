#include "module/base/threads/critical_section.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace qnThreads;

TEST(CriticalSection, OwnerKeepsItUntilTheLastUnlock) {
    CCriticalSection cs;
    cs.Lock();
    cs.Lock();
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        CAutoLock lock(cs);
        acquired = true;
    });
    cs.Unlock();
    // Deliberate: a lock released a level too early would let the other thread in meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(acquired) << "one level is still held";
    cs.Unlock();
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(CriticalSection, AutoLockReleasesOnExceptionAndIgnoresNull) {
    CCriticalSection cs;
    try {
        CAutoLock lock(cs);
        throw std::runtime_error("x");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(cs.IsOwnedByCaller());
    EXPECT_EQ(cs.GetRecursionCount(), 0u);
    { CAutoLock nothing(static_cast<ILockable*>(nullptr)); }
}

TEST(CriticalSection, ProtectsACounterAcrossThreads) {
    CCriticalSection cs;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CAutoLock outer(cs);
            CAutoLock inner(cs);
            ++counter;
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 60000);
}
