// ZYL::CAVIPlayerEventThread: drains the graph's event queue on a thread of its own and turns
// the end of a running stream into looped playback (stop, rewind, run). A paused graph stays
// where it is.
//
// The player's constructor initialises and starts it, the player's destructor stops and joins
// it. The thread takes no lock of the player; the graph manager serialises its calls with the
// host threads'. The stop flag is atomic and read once per 250 ms wait; a stop also wakes the
// wait (without an event) and waits on m_exitLock, a leaf, until the loop has ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "com/com_ptr.h"
#include "directshow/dshow_interfaces.h"

namespace ZYL {

class CAVIPlayerEventThread {
public:
    CAVIPlayerEventThread() = default;
    CAVIPlayerEventThread(const CAVIPlayerEventThread&) = delete;
    CAVIPlayerEventThread& operator=(const CAVIPlayerEventThread&) = delete;
    virtual ~CAVIPlayerEventThread();

    bool Initialise(IMediaControl* mediaControl, IMediaSeeking* mediaSeeking,
                    IMediaEventEx* mediaEvents);
    bool StartThread();
    // Throws std::system_error (resource_deadlock_would_occur) when called on the thread itself.
    void StopThread();

private:
    void ThreadLoop();

    ComPtr<IMediaSeeking> m_mediaSeeking;
    ComPtr<IMediaControl> m_mediaControl;
    ComPtr<IMediaEventEx> m_mediaEvents;
    OAEVENT m_eventHandle = 0;
    std::unique_ptr<std::thread> m_thread;
    std::atomic<bool> m_stopRequested{false};
    std::mutex m_exitLock;
    std::condition_variable m_exitedChanged;
    // Guarded by m_exitLock: the loop has ended.
    bool m_exited = false;
};

}  // namespace ZYL
