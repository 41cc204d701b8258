// Semaphore and event: the waitable objects the module used from the Windows kernel.
//
// Each object owns one mutex and one condition variable; no other lock is taken, and no call
// holds the mutex while running foreign code. Any thread may call any operation.
// Time-outs are in milliseconds; kInfinite waits without limit. interrupt() plays the part of an
// alertable wait being woken: every thread waiting at that moment returns Interrupted, later
// waits are unaffected.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zyl::platform {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { Signaled, Timeout, Interrupted };

class Semaphore {
public:
    Semaphore(std::uint32_t initial, std::uint32_t maximum);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds count; fails (and changes nothing) when that would pass the maximum, as
    // ReleaseSemaphore does.
    bool release(std::uint32_t count = 1);
    WaitResult wait(std::uint32_t timeoutMs);
    // Takes one count if available, without waiting.
    bool tryWait();
    void interrupt();
    std::uint32_t count() const;
    std::uint32_t maximum() const { return maximum_; }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::uint32_t count_;
    const std::uint32_t maximum_;
    std::uint64_t interruptGeneration_ = 0;
};

class Event {
public:
    enum class Reset { Auto, Manual };
    explicit Event(Reset reset, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool isSet() const;
    WaitResult wait(std::uint32_t timeoutMs);
    void interrupt();

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    const Reset reset_;
    bool set_;
    std::uint64_t interruptGeneration_ = 0;
};

}  // namespace zyl::platform
