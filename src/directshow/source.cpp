#include "directshow/source.h"

#include <cwchar>
#include <string>
#include <system_error>

#include "com/runtime.h"

namespace {

// What a downstream pin answers when it is flushing, stopping or already failed on its own:
// the stream pauses quietly until the next request instead of reporting an error.
bool IsNormalRefusal(HRESULT hr) {
    return hr == S_FALSE || hr == VFW_E_WRONG_STATE || hr == VFW_E_NOT_COMMITTED ||
           hr == VFW_E_RUNTIME_ERROR;
}

}  // namespace

// ---- CSource ----

CSource::CSource(const wchar_t* name, IUnknown* outer, REFCLSID clsid, HRESULT*)
    : CBaseFilter(name, outer, &m_cStateLock, clsid) {}

CSource::~CSource() {
    // No reference is left, so nothing else reaches the array: it is emptied without the lock,
    // which a final release may come to while another filter's lock is held.
    while (!m_paStreams.empty()) {
        CSourceStream* pin = m_paStreams.back();
        m_paStreams.pop_back();
        pin->m_bDetached = true;
        delete pin;
    }
}

ULONG CSource::NonDelegatingRelease() {
    LONG left = --m_cRef;
    if (left != 0)
        return static_cast<ULONG>(left);
    if (IsStopped()) {
        m_cRef = 1;  // as CUnknown guards its destructor
        delete this;
        return 0;
    }
    // Held while stopping: the threads may add and drop references on the way out.
    m_cRef = 1;
    Stop();
    left = --m_cRef;
    if (left != 0)
        return static_cast<ULONG>(left);  // taken again while stopping: its holder frees it
    m_cRef = 1;
    delete this;
    return 0;
}

int CSource::GetPinCount() {
    CAutoLock lock(&m_cStateLock);
    return static_cast<int>(m_paStreams.size());
}

CBasePin* CSource::GetPin(int n) {
    CAutoLock lock(&m_cStateLock);
    if (n < 0 || n >= static_cast<int>(m_paStreams.size()))
        return nullptr;
    return m_paStreams[static_cast<std::size_t>(n)];
}

HRESULT CSource::FindPin(LPCWSTR id, IPin** pin) {
    if (!id || !pin)
        return E_POINTER;
    *pin = nullptr;
    // Only a plain decimal number names a pin.
    long number = 0;
    std::size_t digits = 0;
    for (const wchar_t* c = id; *c; ++c, ++digits) {
        if (*c < L'0' || *c > L'9' || digits >= 9)
            return VFW_E_NOT_FOUND;
        number = number * 10 + (*c - L'0');
    }
    if (digits == 0)
        return VFW_E_NOT_FOUND;
    CAutoLock lock(&m_cStateLock);
    if (number < 1 || number > static_cast<long>(m_paStreams.size()))
        return VFW_E_NOT_FOUND;
    CSourceStream* found = m_paStreams[static_cast<std::size_t>(number - 1)];
    found->AddRef();
    *pin = found;
    return S_OK;
}

int CSource::FindPinNumber(IPin* pin) {
    CAutoLock lock(&m_cStateLock);
    for (std::size_t i = 0; i < m_paStreams.size(); ++i) {
        if (static_cast<IPin*>(m_paStreams[i]) == pin)
            return static_cast<int>(i);
    }
    return -1;
}

HRESULT CSource::AddPin(CSourceStream* pin) {
    if (!pin)
        return E_POINTER;
    CAutoLock lock(&m_cStateLock);
    m_paStreams.push_back(pin);
    IncrementPinVersion();
    return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* pin) {
    CAutoLock lock(&m_cStateLock);
    for (auto it = m_paStreams.begin(); it != m_paStreams.end(); ++it) {
        if (*it == pin) {
            m_paStreams.erase(it);
            IncrementPinVersion();
            return S_OK;
        }
    }
    return S_FALSE;
}

// ---- CSourceStream ----

CSourceStream::CSourceStream(const wchar_t* objectName, HRESULT* hr, CSource* filter,
                             const wchar_t* pinName)
    : CBaseOutputPin(objectName, filter, filter ? filter->pStateLock() : nullptr, hr, pinName) {
    const HRESULT added = filter ? filter->AddPin(this) : E_POINTER;
    if (hr && FAILED(added))
        *hr = added;
}

CSourceStream::~CSourceStream() {
    // CSource stops the filter before destruction begins, so the thread is normally gone. If a
    // pin is deleted on its own while active, end the thread now rather than leave it running.
    if (ThreadExists()) {
        CBaseOutputPin::Inactive();  // a thread waiting for a buffer gets out to hear us
        ShutDownThread();
    }
    // Destroyed while still connected (its peer already let go): drop the allocator, the
    // peer's input pin and the peer itself.
    if (IsConnected())
        DisconnectInternal();
    if (m_pFilter && !m_bDetached)
        static_cast<CSource*>(m_pFilter)->RemovePin(this);
}

HRESULT CSourceStream::QueryId(LPWSTR* id) {
    if (!id)
        return E_POINTER;
    *id = nullptr;
    const int number = static_cast<CSource*>(m_pFilter)->FindPinNumber(this);
    if (number < 0)
        return E_FAIL;
    const std::wstring text = std::to_wstring(number + 1);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!*id)
        return E_OUTOFMEMORY;
    std::wmemcpy(*id, text.c_str(), text.size() + 1);
    return S_OK;
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* type) {
    if (!type)
        return E_POINTER;
    for (int position = 0;; ++position) {
        CMediaType offered;
        if (GetMediaType(position, &offered) != S_OK)
            return E_FAIL;
        if (offered == *type)
            return S_OK;
    }
}

HRESULT CSourceStream::Active() {
    CAutoLock lock(m_pLock);
    if (m_pFilter->IsActive())
        return S_FALSE;  // already streaming
    if (!IsConnected())
        return S_OK;
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr))
        return hr;
    if (ThreadExists())
        return S_OK;
    hr = CreateThread();
    if (SUCCEEDED(hr)) {
        hr = Init();
        if (FAILED(hr))
            ShutDownThread();  // the thread ends by itself when its initialisation fails
    }
    if (FAILED(hr)) {
        CBaseOutputPin::Inactive();  // the filter stays stopped: give the buffers back
        return hr;
    }
    return Pause();
}

HRESULT CSourceStream::Inactive() {
    CAutoLock lock(m_pLock);
    if (!IsConnected())
        return S_OK;
    // Decommit first: a thread waiting for a buffer wakes up, finds none and takes the stop.
    const HRESULT hr = CBaseOutputPin::Inactive();
    ShutDownThread();
    return hr;
}

bool CSourceStream::ThreadExists() {
    std::lock_guard lock(m_queueLock);
    return m_thread.joinable();
}

HRESULT CSourceStream::CreateThread() {
    std::lock_guard lock(m_queueLock);
    if (m_thread.joinable())
        return S_FALSE;
    // A thread left from before starts with an empty queue.
    m_queue.clear();
    m_taken.reset();
    m_threadEnded = false;
    m_lastCommand = CMD_EXIT;
    try {
        m_thread = std::thread([this] {
            ThreadProc();
            std::lock_guard ended(m_queueLock);
            m_threadEnded = true;
            // Nobody will answer what is still queued.
            for (Request& request : m_queue)
                request.answer.set_value(E_UNEXPECTED);
            m_queue.clear();
        });
    } catch (const std::system_error&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CSourceStream::ShutDownThread() {
    if (!ThreadExists())
        return;
    Stop();
    Exit();
    std::thread thread;
    {
        std::lock_guard lock(m_queueLock);
        thread = std::move(m_thread);
    }
    if (thread.joinable())
        thread.join();
}

HRESULT CSourceStream::CallWorker(Command command) {
    std::future<HRESULT> answer;
    {
        std::lock_guard lock(m_queueLock);
        if (!m_thread.joinable() || m_threadEnded)
            return E_UNEXPECTED;
        m_queue.push_back(Request{command, {}});
        answer = m_queue.back().answer.get_future();
    }
    m_queued.notify_all();
    const HRESULT hr = answer.get();
    if (SUCCEEDED(hr)) {
        std::lock_guard lock(m_queueLock);
        m_lastCommand = command;
    }
    return hr;
}

CSourceStream::Command CSourceStream::GetRequest() {
    std::unique_lock lock(m_queueLock);
    m_queued.wait(lock, [this] { return !m_queue.empty(); });
    Request request = std::move(m_queue.front());
    m_queue.pop_front();
    m_taken = std::move(request.answer);
    return request.command;
}

bool CSourceStream::CheckRequest(Command* command) {
    std::lock_guard lock(m_queueLock);
    if (m_queue.empty())
        return false;
    if (command)
        *command = m_queue.front().command;
    return true;
}

void CSourceStream::Reply(HRESULT hr) {
    std::lock_guard lock(m_queueLock);
    if (m_taken) {
        m_taken->set_value(hr);
        m_taken.reset();
    }
}

CSourceStream::Command CSourceStream::LastCommand() {
    std::lock_guard lock(m_queueLock);
    return m_lastCommand;
}

DWORD CSourceStream::ThreadProc() {
    // Nothing plays before the init request.
    for (;;) {
        const Command command = GetRequest();
        if (command == CMD_INIT)
            break;
        if (command == CMD_EXIT) {
            Reply(S_OK);
            return 0;
        }
        Reply(E_UNEXPECTED);
    }
    if (HRESULT hr = OnThreadCreate(); FAILED(hr)) {
        OnThreadDestroy();
        Reply(hr);
        return 1;
    }
    Reply(S_OK);
    for (;;) {
        switch (GetRequest()) {
            case CMD_EXIT: {
                const HRESULT hr = OnThreadDestroy();
                Reply(S_OK);
                return FAILED(hr) ? 1 : 0;
            }
            case CMD_PAUSE:
            case CMD_RUN:
                // Pushing is the same paused or running: downstream holds what it may not
                // render yet.
                Reply(S_OK);
                DoBufferProcessingLoop();
                break;
            case CMD_STOP:
                Reply(S_OK);
                break;
            case CMD_INIT:
                Reply(E_UNEXPECTED);
                break;
        }
    }
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
    OnThreadStartPlay();
    for (;;) {
        Command command = CMD_STOP;
        if (CheckRequest(&command)) {
            // Stop, exit: the thread procedure takes them. Pause, run: already playing.
            if (command != CMD_PAUSE && command != CMD_RUN)
                return S_FALSE;
            GetRequest();
            Reply(S_OK);
            continue;
        }
        IMediaSample* sample = nullptr;
        HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
        if (FAILED(hr)) {
            // Decommitted: the filter or the pin downstream is stopping.
            return IsNormalRefusal(hr) ? S_OK : AbortStream(hr);
        }
        hr = FillBuffer(sample);
        if (hr == S_FALSE) {
            sample->Release();
            DeliverEndOfStream();
            return S_OK;
        }
        if (FAILED(hr)) {
            sample->Release();
            return AbortStream(hr);
        }
        hr = Deliver(sample);
        sample->Release();
        if (hr == S_OK)
            continue;
        // A refusal while a stop or a seek is under way is that stop's doing, not a failure.
        if (IsNormalRefusal(hr) || CheckRequest(nullptr))
            return S_OK;
        return AbortStream(hr);
    }
}

HRESULT CSourceStream::AbortStream(HRESULT hr) {
    m_pFilter->NotifyEvent(EC_ERRORABORT, static_cast<LONG_PTR>(hr), 0);
    DeliverEndOfStream();
    return hr;
}
