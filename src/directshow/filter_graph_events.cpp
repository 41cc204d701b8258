// The graph's event queue: what filters post and the application reads.
#include <algorithm>

#include "directshow/filter_graph.h"

void CFilterGraph::PostEvent(const Event& event) {
    std::lock_guard lock(m_eventLock);
    m_events.push_back(event);
    m_eventHandle.set();
}

HRESULT CFilterGraph::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    if (code == EC_COMPLETE) {
        // One completion for the graph, once every connected renderer has finished while the
        // graph runs; a renderer that says so twice counts once.
        std::lock_guard lock(m_eventLock);
        if (!m_running ||
            std::find(m_completed.begin(), m_completed.end(), param2) != m_completed.end())
            return S_OK;
        if (m_completed.empty())
            m_completionStatus = S_OK;
        m_completed.push_back(param2);
        if (FAILED(static_cast<HRESULT>(param1)) && SUCCEEDED(m_completionStatus))
            m_completionStatus = static_cast<HRESULT>(param1);
        if (m_completed.size() != m_renderersRunning)
            return S_OK;
        m_events.push_back({EC_COMPLETE, m_completionStatus, 0});
        m_eventHandle.set();
        return S_OK;
    }
    PostEvent({code, param1, param2});
    return S_OK;
}

HRESULT CFilterGraph::GetEventHandle(OAEVENT* handle) {
    if (!handle)
        return E_POINTER;
    *handle = reinterpret_cast<OAEVENT>(&m_eventHandle);
    return S_OK;
}

HRESULT CFilterGraph::GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG milliseconds) {
    if (!code || !param1 || !param2)
        return E_POINTER;
    const std::uint32_t wait =
        milliseconds < 0 ? zyl::platform::kInfinite : static_cast<std::uint32_t>(milliseconds);
    if (m_eventHandle.wait(wait) != zyl::platform::WaitResult::Signaled)
        return E_ABORT;
    std::lock_guard lock(m_eventLock);
    if (m_events.empty()) {
        m_eventHandle.reset();
        return E_ABORT;
    }
    const Event event = m_events.front();
    m_events.pop_front();
    if (m_events.empty())
        m_eventHandle.reset();
    *code = event.code;
    *param1 = event.param1;
    *param2 = event.param2;
    return S_OK;
}

HRESULT CFilterGraph::WaitForCompletion(LONG milliseconds, LONG* code) {
    if (!code)
        return E_POINTER;
    for (;;) {
        LONG_PTR p1, p2;
        if (FAILED(GetEvent(code, &p1, &p2, milliseconds)))
            return E_ABORT;
        if (*code == EC_COMPLETE || *code == EC_ERRORABORT || *code == EC_USERABORT)
            return S_OK;
    }
}

HRESULT CFilterGraph::GetNotifyFlags(LONG* flags) {
    if (!flags)
        return E_POINTER;
    *flags = 0;
    return S_OK;
}
