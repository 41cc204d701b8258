#include "module/rawvideo/FramePool.h"

#include <cstdlib>
#include <new>

namespace ZYL {

FramePool::~FramePool() {
    for (FrameBuffer* buffer : m_free)
        Free(buffer);
}

void FramePool::Free(FrameBuffer* buffer) {
    std::free(buffer->data);
    delete buffer;
}

FrameBuffer* FramePool::Take() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_free.empty()) {
            FrameBuffer* buffer = m_free.back();
            m_free.pop_back();
            ++m_outstanding;
            return buffer;
        }
    }
    auto* buffer = new (std::nothrow) FrameBuffer{this, nullptr, m_frameSize};
    if (buffer == nullptr)
        return nullptr;
    buffer->data = static_cast<std::uint8_t*>(std::malloc(m_frameSize ? m_frameSize : 1));
    if (buffer->data == nullptr) {
        delete buffer;
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    ++m_outstanding;
    return buffer;
}

void FramePool::Return(void* context) {
    auto* buffer = static_cast<FrameBuffer*>(context);
    FramePool* pool = buffer->pool;
    bool destroyPool = false;
    bool freeBuffer = false;
    {
        std::lock_guard lock(pool->m_mutex);
        --pool->m_outstanding;
        if (pool->m_closed || pool->m_free.size() >= kMaxFree) {
            freeBuffer = true;
        } else {
            pool->m_free.push_back(buffer);
        }
        destroyPool = pool->m_closed && pool->m_outstanding == 0;
    }
    if (freeBuffer)
        pool->Free(buffer);
    if (destroyPool)
        delete pool;
}

void FramePool::Close() {
    bool destroyPool;
    std::vector<FrameBuffer*> unused;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        destroyPool = m_outstanding == 0;
        unused.swap(m_free);
    }
    for (FrameBuffer* buffer : unused)
        Free(buffer);
    if (destroyPool)
        delete this;
}

}  // namespace ZYL
