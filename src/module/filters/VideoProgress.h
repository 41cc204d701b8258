// COM::CVideoProgress: how far the host of a replaying player has taken the video, so that the
// text target hands out a file's metadata no sooner than the host has the frame it belongs to
// (a replay waits for a slow host, or runs unclocked, and text would otherwise run ahead).
// Positions are in the file (100-ns units).
//
// Owned jointly by the player and the two targets. Threads: the player's G2Wait reports the
// frame handed out; the video streaming thread reports the end; a flush or stop (the graph's
// thread) starts it over; the text streaming thread asks. Locks: its own mutex only, held while
// it calls the listener (which only sets an event) and never while the caller holds it.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>

#include "com/com_types.h"

namespace COM {

class CVideoProgress {
public:
    // Which run frames belong to: a frame made before the latest restart says nothing of the
    // texts of the run after it (a loop starts the file's times over).
    std::uint64_t Run() const {
        std::lock_guard lock(m_mutex);
        return m_run;
    }
    // The host has the frame of `run` starting at `start` in the file.
    void Reached(REFERENCE_TIME start, std::uint64_t run) {
        std::lock_guard lock(m_mutex);
        if (run == m_run)
            MoveLocked(start, false);
    }
    // No more frames come in this run, the last starting at `last`: once the host has it,
    // every text may go (texts that outlast the pictures).
    void Ended(REFERENCE_TIME last) {
        std::lock_guard lock(m_mutex);
        m_endsAt = last;
        MoveLocked(m_reached, false);
    }
    // A flush or stop: the frames of the next run are still to come.
    void Restart() {
        std::lock_guard lock(m_mutex);
        m_previousRun = m_run;
        m_previousReached = m_reached >= m_endsAt ? kNever : m_reached;
        ++m_run;
        m_endsAt = kNever;
        MoveLocked(std::numeric_limits<REFERENCE_TIME>::min(), true);
    }
    bool HasReached(REFERENCE_TIME start) const {
        std::lock_guard lock(m_mutex);
        return m_reached >= start || m_reached >= m_endsAt;
    }
    // Whether the host had the frame at `start` in `run`, the current run or the one the
    // latest restart ended: a text whose frame the host took before a seek is still its own.
    bool HadReached(REFERENCE_TIME start, std::uint64_t run) const {
        std::lock_guard lock(m_mutex);
        if (run == m_run)
            return m_reached >= start || m_reached >= m_endsAt;
        return run == m_previousRun && m_previousReached >= start;
    }
    // Called whenever the progress moves; empty to stop.
    void SetListener(std::function<void()> listener) {
        std::lock_guard lock(m_mutex);
        m_listener = std::move(listener);
    }

private:
    void MoveLocked(REFERENCE_TIME to, bool back) {
        if (back || to > m_reached)
            m_reached = to;
        if (m_listener)
            m_listener();
    }

    mutable std::mutex m_mutex;
    REFERENCE_TIME m_reached = std::numeric_limits<REFERENCE_TIME>::min();
    std::uint64_t m_run = 0;
    std::uint64_t m_previousRun = ~std::uint64_t{0};
    REFERENCE_TIME m_previousReached = std::numeric_limits<REFERENCE_TIME>::min();
    static constexpr REFERENCE_TIME kNever = std::numeric_limits<REFERENCE_TIME>::max();
    REFERENCE_TIME m_endsAt = kNever;
    std::function<void()> m_listener;
};

}  // namespace COM
