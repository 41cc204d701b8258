#include "module/base/threads/critical_section.h"

#include "platform/process.h"

namespace qnThreads {

void CCriticalSection::Lock() {
    const std::uint32_t self = zyl::platform::currentThreadId();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_recursion;
        return;
    }
    m_mutex.lock();
    m_owner.store(self, std::memory_order_relaxed);
    m_recursion = 1;
}

void CCriticalSection::Unlock() {
    if (--m_recursion == 0) {
        m_owner.store(0, std::memory_order_relaxed);
        m_mutex.unlock();
    }
}

void CCriticalSection::SetTimeout(int milliseconds) {
    m_timeout = milliseconds;
    if (milliseconds <= 0 || !CanTimeout(milliseconds)) {
        m_timeout = -1;
    }
}

bool CCriticalSection::IsOwnedByCaller() const {
    return m_owner.load(std::memory_order_relaxed) == zyl::platform::currentThreadId();
}

}  // namespace qnThreads
