#include "module/player/EventThread.h"

#include <chrono>
#include <system_error>

#include "module/logging/logstream.h"
#include "module/player/PlayerLog.h"
#include "platform/sync.h"

namespace ZYL {
namespace {

constexpr std::uint32_t kWaitMs = 250;
// INFINITE as the LONG that IMediaControl::GetState takes.
constexpr LONG kInfinite = -1;
// How often a stop repeats its wake-up until the thread has gone.
constexpr std::chrono::milliseconds kWakeRetry{1};

}  // namespace

CAVIPlayerEventThread::~CAVIPlayerEventThread() {
    try {
        StopThread();
    } catch (...) {
        // Destroyed from its own thread: nothing to join.
    }
    m_mediaControl.Reset();
    m_mediaSeeking.Reset();
    m_mediaEvents.Reset();
    if (m_thread && m_thread->joinable())
        m_thread->detach();
    m_thread.reset();
}

bool CAVIPlayerEventThread::Initialise(IMediaControl* mediaControl, IMediaSeeking* mediaSeeking,
                                       IMediaEventEx* mediaEvents) {
    if (!mediaControl || !mediaSeeking || !mediaEvents) {
        player::Log(qnLogging::level::fatal,
                    "IMediaControl or IMediaSeeking or IMediaEventEx handle was NULL.");
        return false;
    }
    m_mediaControl = ComPtr<IMediaControl>(mediaControl);
    m_mediaSeeking = ComPtr<IMediaSeeking>(mediaSeeking);
    m_mediaEvents = ComPtr<IMediaEventEx>(mediaEvents);
    return true;
}

bool CAVIPlayerEventThread::StartThread() {
    if (!m_mediaControl || !m_mediaSeeking || !m_mediaEvents)
        return false;
    if (const HRESULT hr = m_mediaEvents->GetEventHandle(&m_eventHandle); FAILED(hr)) {
        player::LogErr("Unable to retrieve the DirectShow event from IMediaEventEx.", hr);
        return false;
    }
    try {
        m_thread = std::make_unique<std::thread>([this] { ThreadLoop(); });
    } catch (const std::exception& e) {
        QN_LOG(qnLogging::get_logger("ZYL::CAVIPlayerEventThread::StartThread"),
               qnLogging::level::err)
            << "Starting event thread failed: " << e.what();
        return false;
    }
    return true;
}

void CAVIPlayerEventThread::StopThread() {
    m_stopRequested = true;
    if (!m_thread || !m_thread->joinable())
        return;
    if (m_thread->get_id() == std::this_thread::get_id())
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    // The wait is woken without queueing an event (the host may read the graph's queue), so a
    // stop costs no wait pass. A wake-up only reaches a thread that is waiting, so it is
    // repeated until the thread has gone.
    auto* event = reinterpret_cast<zyl::platform::Event*>(m_eventHandle);
    {
        std::unique_lock lock(m_exitLock);
        while (!m_exited) {
            if (event)
                event->interrupt();
            m_exitedChanged.wait_for(lock, kWakeRetry);
        }
    }
    m_thread->join();
    m_thread.reset();
}

void CAVIPlayerEventThread::ThreadLoop() {
    QN_LOG(qnLogging::get_logger("ZYL::CAVIPlayerEventThread::ThreadLoop"), qnLogging::level::info)
        << "Event thread has started.";
    // The graph's event handle is the manual-reset event it sets while events are queued.
    auto* event = reinterpret_cast<zyl::platform::Event*>(m_eventHandle);
    while (!m_stopRequested) {
        if (!event || event->wait(kWaitMs) != zyl::platform::WaitResult::Signaled)
            continue;
        LONG code = 0;
        LONG_PTR param1 = 0;
        LONG_PTR param2 = 0;
        if (FAILED(m_mediaEvents->GetEvent(&code, &param1, &param2, 0)))
            continue;
        if (code == EC_COMPLETE) {
            OAFilterState state = State_Stopped;
            m_mediaControl->GetState(kInfinite, &state);
            if (state == State_Running) {
                m_mediaControl->Stop();
                LONGLONG current = 0;
                LONGLONG stop = 0;
                m_mediaSeeking->GetPositions(&current, &stop);
                current = 0;
                m_mediaSeeking->SetPositions(&current, AM_SEEKING_AbsolutePositioning, &stop,
                                             AM_SEEKING_AbsolutePositioning);
                m_mediaControl->Run();
            }
        }
        m_mediaEvents->FreeEventParams(code, param1, param2);
    }
    {
        std::lock_guard lock(m_exitLock);
        m_exited = true;
    }
    m_exitedChanged.notify_all();
}

}  // namespace ZYL
