#include "directshow/filter.h"

#include <cstring>
#include <cwchar>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/simple_unknown.h"

namespace {

void CopyName(WCHAR* target, std::size_t capacity, const std::wstring& name) {
    const std::size_t n = std::min(name.size(), capacity - 1);
    std::wmemcpy(target, name.data(), n);
    target[n] = L'\0';
}

// Enumerates a pin's preferred media types through its GetMediaType.
class CEnumMediaTypes final : public CSimpleUnknown<IEnumMediaTypes> {
public:
    explicit CEnumMediaTypes(CBasePin* pin, int position = 0)
        : CSimpleUnknown<IEnumMediaTypes>(IID_IEnumMediaTypes), m_pin(pin), m_position(position) {
        m_pin->AddRef();
    }
    virtual ~CEnumMediaTypes() { m_pin->Release(); }
    HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
        if (!types || (count > 1 && !fetched))
            return E_POINTER;
        ULONG got = 0;
        while (got < count) {
            CMediaType type;
            if (m_pin->GetMediaType(m_position, &type) != S_OK)
                break;
            ++m_position;
            types[got] = CreateMediaType(&type);
            if (!types[got])
                break;
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        m_position += static_cast<int>(count);
        CMediaType type;
        return m_pin->GetMediaType(m_position - 1, &type) == S_OK ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_position = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumMediaTypes** clone) override {
        if (!clone)
            return E_POINTER;
        *clone = new CEnumMediaTypes(m_pin, m_position);
        return S_OK;
    }

private:
    CBasePin* m_pin;
    int m_position;
};

// Enumerates a filter's pins; notices when the filter's pins change under it.
class CEnumPins final : public CSimpleUnknown<IEnumPins> {
public:
    CEnumPins(CBaseFilter* filter, int position, LONG version)
        : CSimpleUnknown<IEnumPins>(IID_IEnumPins),
          m_filter(filter),
          m_position(position),
          m_version(version) {
        m_filter->AddRef();
    }
    virtual ~CEnumPins() { m_filter->Release(); }
    HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override {
        if (!pins || (count > 1 && !fetched))
            return E_POINTER;
        if (m_version != m_filter->PinVersion())
            return VFW_E_ENUM_OUT_OF_SYNC;
        ULONG got = 0;
        while (got < count && m_position < m_filter->GetPinCount()) {
            CBasePin* pin = m_filter->GetPin(m_position++);
            pin->AddRef();
            pins[got++] = pin;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        if (m_version != m_filter->PinVersion())
            return VFW_E_ENUM_OUT_OF_SYNC;
        m_position += static_cast<int>(count);
        return m_position <= m_filter->GetPinCount() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_position = 0;
        m_version = m_filter->PinVersion();
        return S_OK;
    }
    HRESULT Clone(IEnumPins** clone) override {
        if (!clone)
            return E_POINTER;
        *clone = new CEnumPins(m_filter, m_position, m_version);
        return S_OK;
    }

private:
    CBaseFilter* m_filter;
    int m_position;
    LONG m_version;
};

}  // namespace

// ---- CBasePin ----

CBasePin::CBasePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT*,
                   const wchar_t* name, PIN_DIRECTION direction)
    : CUnknown(objectName, nullptr),
      m_name(name ? name : L""),
      m_pFilter(filter),
      m_pLock(lock),
      m_dir(direction) {}

CBasePin::~CBasePin() {
    if (m_Connected)
        m_Connected->Release();
}

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IPin)
        return GetInterface(static_cast<IPin*>(this), object);
    if (riid == IID_IQualityControl)
        return GetInterface(static_cast<IQualityControl*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

// A pin lives as long as its filter: its references are the filter's.
ULONG CBasePin::NonDelegatingAddRef() {
    return m_pFilter->AddRef();
}
ULONG CBasePin::NonDelegatingRelease() {
    return m_pFilter->Release();
}

bool CBasePin::IsStopped() const {
    return m_pFilter->IsStopped();
}

HRESULT CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) {
    if (!receivePin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    // A peer that is taken refuses every type; say so rather than what the last type met.
    ComPtr<IPin> peersPeer;
    if (receivePin->ConnectedTo(peersPeer.Put()) == S_OK)
        return VFW_E_ALREADY_CONNECTED;
    const CMediaType wanted = type ? CMediaType(*type) : CMediaType();
    return AgreeMediaType(receivePin, &wanted);
}

HRESULT CBasePin::AgreeMediaType(IPin* receivePin, const CMediaType* type) {
    if (!type->IsPartiallySpecified())
        return AttemptConnection(receivePin, type);
    HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int round = 0; round < 2; ++round) {
        // The receiving pin's types come first unless this pin prefers its own.
        IEnumMediaTypes* types = nullptr;
        const bool mine = (round == 0) == m_bTryMyTypesFirst;
        const HRESULT hr = mine ? EnumMediaTypes(&types) : receivePin->EnumMediaTypes(&types);
        if (SUCCEEDED(hr) && types) {
            const HRESULT tried = TryMediaTypes(receivePin, type, types);
            types->Release();
            if (SUCCEEDED(tried))
                return S_OK;
            if (tried != E_FAIL && tried != VFW_E_NO_ACCEPTABLE_TYPES)
                failure = tried;
        }
    }
    return failure;
}

HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const CMediaType* partial,
                                IEnumMediaTypes* types) {
    types->Reset();
    HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (;;) {
        AM_MEDIA_TYPE* candidate = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &candidate, &fetched) != S_OK || fetched != 1)
            break;
        const CMediaType type(*candidate);
        DeleteMediaType(candidate);
        if (!type.MatchesPartial(partial))
            continue;
        const HRESULT hr = AttemptConnection(receivePin, &type);
        if (SUCCEEDED(hr))
            return hr;
        failure = hr;
    }
    return failure;
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType* type) {
    HRESULT hr = CheckConnect(receivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    if (CheckMediaType(type) != S_OK) {
        BreakConnect();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    m_Connected = receivePin;
    m_Connected->AddRef();
    hr = SetMediaType(type);
    bool accepted = false;
    if (SUCCEEDED(hr)) {
        hr = receivePin->ReceiveConnection(this, type);
        accepted = SUCCEEDED(hr);
    }
    if (SUCCEEDED(hr))
        hr = CompleteConnect(receivePin);
    if (SUCCEEDED(hr))
        return S_OK;
    // Undo the peer's side only if it took the connection: a refusal (it may be connected to
    // someone else) leaves it as it was.
    if (accepted)
        receivePin->Disconnect();
    DisconnectInternal();
    return hr;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
    if (!connector || !type)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckConnect(connector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    const CMediaType offered(*type);
    if (CheckMediaType(&offered) != S_OK) {
        BreakConnect();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    m_Connected = connector;
    m_Connected->AddRef();
    hr = SetMediaType(&offered);
    if (SUCCEEDED(hr))
        hr = CompleteConnect(connector);
    if (FAILED(hr))
        DisconnectInternal();
    return hr;
}

void CBasePin::DisconnectInternal() {
    if (!m_Connected)
        return;
    BreakConnect();
    m_Connected->Release();
    m_Connected = nullptr;
    m_mt = CMediaType();
}

HRESULT CBasePin::Disconnect() {
    CAutoLock lock(m_pLock);
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    if (!m_Connected)
        return S_FALSE;
    DisconnectInternal();
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pin) {
    if (!pin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *pin = m_Connected;
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    m_Connected->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
    if (!type)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_Connected) {
        std::memset(type, 0, sizeof *type);
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(type, &m_mt);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info) {
    if (!info)
        return E_POINTER;
    info->pFilter = m_pFilter;
    m_pFilter->AddRef();
    info->dir = m_dir;
    CopyName(info->achName, MAX_PIN_NAME, m_name);
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* direction) {
    if (!direction)
        return E_POINTER;
    *direction = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryId(LPWSTR* id) {
    if (!id)
        return E_POINTER;
    *id = static_cast<LPWSTR>(CoTaskMemAlloc((m_name.size() + 1) * sizeof(WCHAR)));
    if (!*id)
        return E_OUTOFMEMORY;
    std::wmemcpy(*id, m_name.c_str(), m_name.size() + 1);
    return S_OK;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
    if (!type)
        return E_POINTER;
    const CMediaType offered(*type);
    return CheckMediaType(&offered) == S_OK ? S_OK : S_FALSE;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** types) {
    if (!types)
        return E_POINTER;
    *types = new CEnumMediaTypes(this);
    return S_OK;
}

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    m_tStart = start;
    m_tStop = stop;
    m_dRate = rate;
    return S_OK;
}

HRESULT CBasePin::Notify(IBaseFilter* self, Quality quality) {
    return m_pQSink ? m_pQSink->Notify(self, quality) : E_NOTIMPL;
}

HRESULT CBasePin::SetSink(IQualityControl* sink) {
    m_pQSink = sink;  // not counted, as the base classes never did: the sink outlives the pin
    return S_OK;
}

HRESULT CBasePin::GetMediaType(int, CMediaType*) {
    return E_UNEXPECTED;
}

HRESULT CBasePin::SetMediaType(const CMediaType* type) {
    m_mt = *type;
    return S_OK;
}

HRESULT CBasePin::CheckConnect(IPin* pin) {
    PIN_DIRECTION direction;
    if (FAILED(pin->QueryDirection(&direction)))
        return E_FAIL;
    return direction == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::BreakConnect() {
    return S_OK;
}
HRESULT CBasePin::CompleteConnect(IPin*) {
    return S_OK;
}

// ---- CBaseOutputPin ----

CBaseOutputPin::CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock,
                               HRESULT* hr, const wchar_t* name)
    : CBasePin(objectName, filter, lock, hr, name, PINDIR_OUTPUT) {}

HRESULT CBaseOutputPin::CheckConnect(IPin* pin) {
    if (HRESULT hr = CBasePin::CheckConnect(pin); FAILED(hr))
        return hr;
    if (FAILED(pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin)))) {
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) {
    return DecideAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT CBaseOutputPin::BreakConnect() {
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** allocator) {
    auto* created = new CMemAllocator(L"output allocator", nullptr, nullptr);
    created->NonDelegatingAddRef();
    *allocator = created;
    return S_OK;
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) {
    *allocator = nullptr;
    ALLOCATOR_PROPERTIES request{};
    pin->GetAllocatorRequirements(&request);
    if (request.cbAlign == 0)
        request.cbAlign = 1;
    // The input pin's allocator first, then our own.
    if (SUCCEEDED(pin->GetAllocator(allocator)) && *allocator) {
        if (SUCCEEDED(DecideBufferSize(*allocator, &request)) &&
            SUCCEEDED(pin->NotifyAllocator(*allocator, FALSE))) {
            return S_OK;
        }
        (*allocator)->Release();
        *allocator = nullptr;
    }
    if (FAILED(InitAllocator(allocator)))
        return VFW_E_NO_ALLOCATOR;
    HRESULT hr = DecideBufferSize(*allocator, &request);
    if (SUCCEEDED(hr))
        hr = pin->NotifyAllocator(*allocator, FALSE);
    if (FAILED(hr)) {
        (*allocator)->Release();
        *allocator = nullptr;
    }
    return hr;
}

HRESULT CBaseOutputPin::Active() {
    return m_pAllocator ? m_pAllocator->Commit() : VFW_E_NO_ALLOCATOR;
}
HRESULT CBaseOutputPin::Inactive() {
    return m_pAllocator ? m_pAllocator->Decommit() : VFW_E_NO_ALLOCATOR;
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                          REFERENCE_TIME* end, DWORD flags) {
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->GetBuffer(sample, start, end, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
    if (!m_pInputPin)
        return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->NewSegment(start, stop, rate);
}

// ---- CBaseInputPin ----

CBaseInputPin::CBaseInputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock,
                             HRESULT* hr, const wchar_t* name)
    : CBasePin(objectName, filter, lock, hr, name, PINDIR_INPUT) {}

CBaseInputPin::~CBaseInputPin() {
    if (m_pAllocator)
        m_pAllocator->Release();
}

HRESULT CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IMemInputPin)
        return GetInterface(static_cast<IMemInputPin*>(this), object);
    return CBasePin::NonDelegatingQueryInterface(riid, object);
}

HRESULT CBaseInputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_pAllocator) {
        auto* created = new CMemAllocator(L"input allocator", nullptr, nullptr);
        created->NonDelegatingAddRef();
        m_pAllocator = created;
    }
    m_pAllocator->AddRef();
    *allocator = m_pAllocator;
    return S_OK;
}

HRESULT CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
    if (!allocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    allocator->AddRef();
    if (m_pAllocator)
        m_pAllocator->Release();
    m_pAllocator = allocator;
    m_bReadOnly = readOnly != 0;
    return S_OK;
}

HRESULT CBaseInputPin::CheckStreaming() {
    if (IsStopped())
        return VFW_E_WRONG_STATE;
    if (m_bFlushing)
        return S_FALSE;
    if (m_bRunTimeError)
        return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

HRESULT CBaseInputPin::Receive(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    if (const HRESULT hr = CheckStreaming(); hr != S_OK)
        return hr;
    // A sample that carries a media type changes the stream's format: it must be one this pin
    // takes, or the stream ends here with an error, as it does on Windows.
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) != S_OK || !changed)
        return S_OK;
    const CMediaType type(*changed);
    DeleteMediaType(changed);
    if (CheckMediaType(&type) == S_OK)
        return S_OK;
    m_bRunTimeError = true;
    EndOfStream();
    m_pFilter->NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
    return VFW_E_INVALIDMEDIATYPE;
}

HRESULT CBaseInputPin::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
    if (!samples || !processed)
        return E_POINTER;
    *processed = 0;
    HRESULT hr = S_OK;
    while (*processed < count) {
        hr = Receive(samples[*processed]);
        if (hr != S_OK)
            break;
        ++*processed;
    }
    return hr;
}

HRESULT CBaseInputPin::BeginFlush() {
    m_bFlushing = true;
    return S_OK;
}

HRESULT CBaseInputPin::EndFlush() {
    m_bFlushing = false;
    m_bRunTimeError = false;
    return S_OK;
}

HRESULT CBaseInputPin::BreakConnect() {
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    return S_OK;
}

HRESULT CBaseInputPin::Inactive() {
    m_bRunTimeError = false;
    m_bFlushing = false;
    return m_pAllocator ? m_pAllocator->Decommit() : S_OK;
}

// ---- CBaseFilter ----

CBaseFilter::CBaseFilter(const wchar_t* name, IUnknown* outer, CCritSec* lock, REFCLSID clsid)
    : CUnknown(name, outer), m_clsid(clsid), m_pLock(lock) {}

CBaseFilter::~CBaseFilter() {
    if (m_pClock)
        m_pClock->Release();
}

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IBaseFilter)
        return GetInterface(static_cast<IBaseFilter*>(this), object);
    if (riid == IID_IMediaFilter)
        return GetInterface(static_cast<IMediaFilter*>(this), object);
    if (riid == IID_IPersist)
        return GetInterface(static_cast<IPersist*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

HRESULT CBaseFilter::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = m_clsid;
    return S_OK;
}

HRESULT CBaseFilter::DeactivatePins() {
    HRESULT result = S_OK;
    for (int i = 0; i < GetPinCount(); ++i) {
        CBasePin* pin = GetPin(i);
        if (pin && pin->IsConnected()) {
            const HRESULT hr = pin->Inactive();
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
    }
    return result;
}

HRESULT CBaseFilter::Stop() {
    CAutoLock lock(m_pLock);
    const FILTER_STATE from = m_State;
    if (from == State_Stopped)
        return S_OK;
    HRESULT result = DeactivatePins();
    m_State = State_Stopped;
    if (const HRESULT hr = CleanupStream(from); FAILED(hr) && SUCCEEDED(result))
        result = hr;
    return result;
}

HRESULT CBaseFilter::PauseLocked() {
    const FILTER_STATE from = m_State;
    // Paused again while the first pause is not yet complete: still not complete.
    if (from == State_Paused)
        return WaitState(0) == S_OK ? S_OK : S_FALSE;
    if (from == State_Stopped) {
        if (HRESULT hr = InitStream(); FAILED(hr))
            return hr;
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (!pin || !pin->IsConnected())
                continue;
            if (HRESULT hr = pin->Active(); FAILED(hr)) {
                // The pins made active give their buffers back; the filter stays stopped.
                DeactivatePins();
                CleanupStream(State_Stopped);
                return hr;
            }
        }
    }
    m_State = State_Paused;
    const HRESULT hr = PauseStream(from);
    if (FAILED(hr)) {
        m_State = from;
        if (from == State_Stopped) {
            DeactivatePins();
            CleanupStream(State_Stopped);
        }
    }
    return hr;
}

HRESULT CBaseFilter::Pause() {
    CAutoLock lock(m_pLock);
    return PauseLocked();
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start) {
    CAutoLock lock(m_pLock);
    // Running already: the start time stays the one every sample is being timed by.
    if (m_State == State_Running)
        return S_OK;
    m_tStart = start;
    if (HRESULT hr = PauseLocked(); FAILED(hr))
        return hr;
    for (int i = 0; i < GetPinCount(); ++i) {
        CBasePin* pin = GetPin(i);
        if (pin && pin->IsConnected()) {
            if (HRESULT hr = pin->Run(start); FAILED(hr))
                return hr;
        }
    }
    m_State = State_Running;
    const HRESULT hr = StartStream(start);
    if (FAILED(hr))
        m_State = State_Paused;
    return hr;
}

HRESULT CBaseFilter::GetState(DWORD milliseconds, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = m_State;
    if (*state != State_Paused)
        return S_OK;
    const HRESULT hr = WaitState(milliseconds);
    *state = m_State;
    return hr;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* clock) {
    CAutoLock lock(m_pLock);
    if (clock)
        clock->AddRef();
    if (m_pClock)
        m_pClock->Release();
    m_pClock = clock;
    return S_OK;
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *clock = m_pClock;
    if (m_pClock)
        m_pClock->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** pins) {
    if (!pins)
        return E_POINTER;
    *pins = new CEnumPins(this, 0, m_PinVersion);
    return S_OK;
}

HRESULT CBaseFilter::FindPin(LPCWSTR id, IPin** pin) {
    if (!id || !pin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    for (int i = 0; i < GetPinCount(); ++i) {
        CBasePin* candidate = GetPin(i);
        if (candidate->Name() == id) {
            candidate->AddRef();
            *pin = candidate;
            return S_OK;
        }
    }
    *pin = nullptr;
    return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (!info)
        return E_POINTER;
    CopyName(info->achName, MAX_FILTER_NAME, m_pName);
    info->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    CAutoLock lock(m_pLock);
    m_pGraph = graph;
    m_pSink = nullptr;
    if (graph) {
        // Kept without a reference, like the graph pointer itself.
        IMediaEventSink* sink = nullptr;
        if (SUCCEEDED(
                graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) &&
            sink) {
            sink->Release();
            m_pSink = sink;
        }
        m_pName = name ? name : L"";
    } else {
        m_pName.clear();
    }
    return S_OK;
}

HRESULT CBaseFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
    IMediaEventSink* sink = m_pSink.load();
    return sink ? sink->Notify(code, param1, param2) : E_NOTIMPL;
}
