// The base library's locks: the ILockable interface, the recursive CCriticalSection and the
// CAutoLock scope guard that every locked region in the module uses.
//
// CCriticalSection owns one std::mutex and takes no other lock. Any thread may lock it; Unlock
// must come from the owner. The owner id is atomic so that a thread asking "is it mine?" never
// races the owner's writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace qnThreads {

class ILockable {
public:
    virtual ~ILockable() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual void SetTimeout(int milliseconds) = 0;
    virtual int GetTimeout() = 0;
    virtual bool CanTimeout(int milliseconds) = 0;
};

class CLockableBase : public ILockable {
public:
    bool CanTimeout(int) override { return false; }
};

class CCriticalSection : public CLockableBase {
public:
    CCriticalSection() = default;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() override;
    void Unlock() override;
    // Lock time-outs are not supported, so the time-out stays -1 (wait without limit).
    void SetTimeout(int milliseconds) override;
    int GetTimeout() override { return m_timeout; }

    std::uint32_t GetRecursionCount() const { return m_recursion; }
    bool IsOwnedByCaller() const;

private:
    int m_timeout = -1;
    std::uint32_t m_recursion = 0;  // written only by the owner
    std::atomic<std::uint32_t> m_owner{0};
    std::mutex m_mutex;
};

class CAutoLock {
public:
    explicit CAutoLock(ILockable* lockable) : m_lockable(lockable) {
        if (m_lockable != nullptr) {
            m_lockable->Lock();
        }
    }
    explicit CAutoLock(ILockable& lockable) : CAutoLock(&lockable) {}
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;
    virtual ~CAutoLock() {
        if (m_lockable != nullptr) {
            m_lockable->Unlock();
        }
    }

private:
    ILockable* m_lockable;
};

}  // namespace qnThreads
