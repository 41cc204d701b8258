// Frame buffers for raw video images, recycled through the images' release callback so that a
// steady stream of frames allocates nothing after the first few.
//
// The pool is shared by its container and by every buffer that is out in an image; it dies with
// the last of them (images may outlive the container). Take is called by the container's
// (serialised) reader; Return comes from whichever thread releases an image. One mutex guards
// the free list and the counts; nothing else is called under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "module/entry/LiveCounters.h"

namespace ZYL {

class FramePool;

struct FrameBuffer {
    FramePool* pool;
    std::uint8_t* data;
    std::size_t size;
};

class FramePool {
public:
    static constexpr std::size_t kMaxFree = 8;

    explicit FramePool(std::size_t frameSize) : m_frameSize(frameSize) {}
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // A buffer of the frame size with undefined content, or null when memory runs out.
    FrameBuffer* Take();
    // The release callback of an image (context: the FrameBuffer).
    static void Return(void* context);
    // Gives a buffer back that never reached an image.
    void Discard(FrameBuffer* buffer) { Return(buffer); }
    // The container is gone; the pool follows once the last buffer is back.
    void Close();

    std::size_t frameSize() const { return m_frameSize; }

private:
    ~FramePool();
    void Free(FrameBuffer* buffer);

    UncountedObject m_live;
    const std::size_t m_frameSize;
    std::mutex m_mutex;
    std::vector<FrameBuffer*> m_free;
    std::size_t m_outstanding = 0;
    bool m_closed = false;
};

}  // namespace ZYL
