// COM::CVideoProgress: how far the video of a replaying player has reached the ring buffer, so
// that the text target hands out a file's metadata no sooner than the frames it belongs to
// (a replay waits for a slow host, or runs unclocked, and text would otherwise run ahead).
//
// Owned jointly by the player and the two targets. Threads: the video streaming thread reports
// frames and the end; a flush or stop (the graph's thread) starts it over; the text streaming
// thread asks. Locks: its own mutex only, held while it calls the listener (which only sets an
// event) and never while the caller holds it.
#pragma once

#include <functional>
#include <limits>
#include <mutex>

#include "com/com_types.h"

namespace COM {

class CVideoProgress {
public:
    // A frame starting at `start` (the segment's stream time) is in the ring.
    void Reached(REFERENCE_TIME start) { Move(start, false); }
    // No more frames come in this run: every text may go.
    void Ended() { Move(std::numeric_limits<REFERENCE_TIME>::max(), false); }
    // A flush or stop: the frames of the next run are still to come.
    void Restart() { Move(std::numeric_limits<REFERENCE_TIME>::min(), true); }
    bool HasReached(REFERENCE_TIME start) const {
        std::lock_guard lock(m_mutex);
        return m_reached >= start;
    }
    // Called whenever the progress moves; empty to stop.
    void SetListener(std::function<void()> listener) {
        std::lock_guard lock(m_mutex);
        m_listener = std::move(listener);
    }

private:
    void Move(REFERENCE_TIME to, bool back) {
        std::lock_guard lock(m_mutex);
        if (back || to > m_reached)
            m_reached = to;
        if (m_listener)
            m_listener();
    }

    mutable std::mutex m_mutex;
    REFERENCE_TIME m_reached = std::numeric_limits<REFERENCE_TIME>::min();
    std::function<void()> m_listener;
};

}  // namespace COM
