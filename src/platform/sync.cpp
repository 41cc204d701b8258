#include "platform/sync.h"

#include <chrono>

namespace zyl::platform {
namespace {

// Waits until ready() holds, the time-out passes or an interruption arrives. Called with lock held.
template <class Ready>
WaitResult waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   std::uint32_t timeoutMs, const std::uint64_t& generation, Ready ready) {
    const std::uint64_t startGeneration = generation;
    auto done = [&] { return ready() || generation != startGeneration; };
    if (timeoutMs == kInfinite) {
        cv.wait(lock, done);
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!cv.wait_until(lock, deadline, done)) {
            return WaitResult::Timeout;
        }
    }
    // A count that arrived together with an interruption is left for the next waiter.
    return generation != startGeneration ? WaitResult::Interrupted : WaitResult::Signaled;
}

}  // namespace

Semaphore::Semaphore(std::uint32_t initial, std::uint32_t maximum)
    : count_(initial > maximum ? maximum : initial), maximum_(maximum) {}

bool Semaphore::release(std::uint32_t count) {
    // Notified under the mutex, as Event::set is (a woken waiter may destroy the semaphore).
    std::lock_guard lock(mutex_);
    if (count == 0 || count > maximum_ - count_) {
        return false;
    }
    count_ += count;
    if (count == 1) {
        cv_.notify_one();
    } else {
        cv_.notify_all();
    }
    return true;
}

WaitResult Semaphore::wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (count_ > 0) {
        --count_;
        return WaitResult::Signaled;
    }
    if (timeoutMs == 0) {
        return WaitResult::Timeout;
    }
    const WaitResult result =
        waitFor(cv_, lock, timeoutMs, interruptGeneration_, [this] { return count_ > 0; });
    if (result == WaitResult::Signaled) {
        --count_;
    }
    return result;
}

bool Semaphore::tryWait() {
    return wait(0) == WaitResult::Signaled;
}

void Semaphore::interrupt() {
    std::lock_guard lock(mutex_);
    ++interruptGeneration_;
    cv_.notify_all();
}

std::uint32_t Semaphore::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

Event::Event(Reset reset, bool initiallySet) : reset_(reset), set_(initiallySet) {}

void Event::set() {
    // Notified under the mutex: a waiter that wakes may destroy the event at once, and must
    // not find the notification still on its way.
    std::lock_guard lock(mutex_);
    set_ = true;
    if (reset_ == Reset::Auto) {
        cv_.notify_one();
    } else {
        cv_.notify_all();
    }
}

void Event::reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool Event::isSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

WaitResult Event::wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    WaitResult result = WaitResult::Signaled;
    if (!set_) {
        if (timeoutMs == 0) {
            return WaitResult::Timeout;
        }
        result = waitFor(cv_, lock, timeoutMs, interruptGeneration_, [this] { return set_; });
    }
    if (result == WaitResult::Signaled && reset_ == Reset::Auto) {
        set_ = false;
    }
    return result;
}

void Event::interrupt() {
    std::lock_guard lock(mutex_);
    ++interruptGeneration_;
    cv_.notify_all();
}

}  // namespace zyl::platform
