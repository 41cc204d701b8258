// The base classes for filters and pins: CBaseFilter, CBasePin, CBaseInputPin, CBaseOutputPin
// and their enumerators, with the behaviour filter writers rely on.
//
// Locks: each filter has its filter lock (a CCritSec the filter writer passes in) that guards
// the state, the clock and the connections; pins take their filter's lock. The streaming path
// (Receive, Deliver) does not take it. A filter holds its pins; a pin's references are its
// filter's. The filter's pointer to its graph is weak: the graph holds the filter, and a
// reference back would keep both alive forever.
#pragma once

#include <string>

#include "directshow/allocator.h"
#include "directshow/media_type.h"
#include "directshow/sync.h"

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
public:
    CBasePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
             const wchar_t* name, PIN_DIRECTION direction);
    ~CBasePin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // IPin
    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* direction) override;
    HRESULT QueryId(LPWSTR* id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* type) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT EndOfStream() override { return S_OK; }
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // IQualityControl: quality messages go to a sink when one is set.
    HRESULT Notify(IBaseFilter* self, Quality quality) override;
    HRESULT SetSink(IQualityControl* sink) override;

    // What derived pins decide.
    virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
    virtual HRESULT GetMediaType(int position, CMediaType* type);
    virtual HRESULT SetMediaType(const CMediaType* type);
    virtual HRESULT CheckConnect(IPin* pin);
    virtual HRESULT BreakConnect();
    virtual HRESULT CompleteConnect(IPin* receivePin);
    virtual HRESULT Active() { return S_OK; }
    virtual HRESULT Inactive() { return S_OK; }
    virtual HRESULT Run(REFERENCE_TIME) { return S_OK; }

    bool IsConnected() const { return m_Connected != nullptr; }
    IPin* GetConnected() const { return m_Connected; }
    bool IsStopped() const;
    const CMediaType& CurrentMediaType() const { return m_mt; }
    const std::wstring& Name() const { return m_name; }
    // The last segment, written by the streaming thread.
    REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
    REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
    double CurrentRate() const { return m_dRate; }

protected:
    HRESULT AgreeMediaType(IPin* receivePin, const CMediaType* type);
    HRESULT TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types);
    HRESULT AttemptConnection(IPin* receivePin, const CMediaType* type);
    void DisconnectInternal();

    std::wstring m_name;
    CBaseFilter* m_pFilter;
    CCritSec* m_pLock;
    PIN_DIRECTION m_dir;
    IPin* m_Connected = nullptr;
    CMediaType m_mt;
    std::atomic<REFERENCE_TIME> m_tStart{0};
    std::atomic<REFERENCE_TIME> m_tStop{0x7FFFFFFFFFFFFFFF};
    std::atomic<double> m_dRate{1.0};
    bool m_bTryMyTypesFirst = false;
    IQualityControl* m_pQSink = nullptr;
};

class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                   const wchar_t* name);

    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT CheckConnect(IPin* pin) override;
    HRESULT BreakConnect() override;
    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }
    HRESULT EndOfStream() override { return E_UNEXPECTED; }

    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
    virtual HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator);
    virtual HRESULT InitAllocator(IMemAllocator** allocator);
    virtual HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                      REFERENCE_TIME* end, DWORD flags);
    virtual HRESULT Deliver(IMediaSample* sample);
    virtual HRESULT DeliverEndOfStream();
    virtual HRESULT DeliverBeginFlush();
    virtual HRESULT DeliverEndFlush();
    virtual HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

protected:
    IMemAllocator* m_pAllocator = nullptr;
    IMemInputPin* m_pInputPin = nullptr;
};

class CBaseInputPin : public CBasePin, public IMemInputPin {
public:
    CBaseInputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                  const wchar_t* name);
    ~CBaseInputPin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // IMemInputPin
    HRESULT GetAllocator(IMemAllocator** allocator) override;
    HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }

    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT BreakConnect() override;
    HRESULT Inactive() override;

    // S_OK while samples may flow: running or paused, not flushing, no earlier error.
    virtual HRESULT CheckStreaming();
    bool IsFlushing() const { return m_bFlushing; }
    bool IsReadOnly() const { return m_bReadOnly; }

protected:
    IMemAllocator* m_pAllocator = nullptr;
    bool m_bReadOnly = false;
    std::atomic<bool> m_bFlushing{false};
    std::atomic<bool> m_bRunTimeError{false};
};

class CBaseFilter : public CUnknown, public IBaseFilter {
public:
    CBaseFilter(const wchar_t* name, IUnknown* outer, CCritSec* lock, REFCLSID clsid);
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // IPersist, IMediaFilter, IBaseFilter. Stop, Pause and Run are every filter's one state
    // machine: each takes the filter lock and calls the hooks below; derived filters implement
    // hooks, never the transitions.
    HRESULT GetClassID(CLSID* clsid) override;
    HRESULT Stop() final;
    HRESULT Pause() final;
    HRESULT Run(REFERENCE_TIME start) final;
    // Waits (WaitState) only while paused, and without the filter lock.
    HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) final;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;
    HRESULT EnumPins(IEnumPins** pins) override;
    HRESULT FindPin(LPCWSTR id, IPin** pin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    virtual int GetPinCount() = 0;
    virtual CBasePin* GetPin(int n) = 0;
    // Posts an event to the graph the filter belongs to.
    HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);

    FILTER_STATE State() const { return m_State; }
    bool IsActive() const { return m_State != State_Stopped; }
    bool IsStopped() const { return m_State == State_Stopped; }
    CCritSec* FilterLock() const { return m_pLock; }
    IReferenceClock* Clock() const { return m_pClock; }
    REFERENCE_TIME StartTime() const { return m_tStart.load(); }
    IFilterGraph* Graph() const { return m_pGraph; }
    // Increments each time the set of pins changes, so enumerators notice.
    LONG PinVersion() const { return m_PinVersion; }
    void IncrementPinVersion() { ++m_PinVersion; }

protected:
    // The hooks, called under the filter lock. The new state is set before the hook that
    // completes a transition runs (a streaming thread the hook wakes sees it) and put back when
    // the hook fails, so a failed transition leaves the filter as it was. Stop always ends
    // stopped, as DirectShow's base does, and reports the first failure.
    //   Stopped -> Paused:  InitStream, the connected pins' Active, PauseStream(State_Stopped)
    //   Running -> Paused:  PauseStream(State_Running)
    //   Paused -> Running:  the connected pins' Run, StartStream
    //   any -> Stopped:     the connected pins' Inactive, CleanupStream
    // PauseStream may answer S_FALSE: the pause completes later (WaitState tells when).
    virtual HRESULT InitStream() { return S_OK; }
    virtual HRESULT PauseStream(FILTER_STATE /*from*/) { return S_OK; }
    virtual HRESULT StartStream(REFERENCE_TIME /*start*/) { return S_OK; }
    virtual HRESULT CleanupStream(FILTER_STATE /*from*/) { return S_OK; }
    // GetState while paused: S_OK once the pause is complete, VFW_S_STATE_INTERMEDIATE when it
    // is not within the time. Any thread, no filter lock.
    virtual HRESULT WaitState(DWORD /*milliseconds*/) { return S_OK; }

    std::atomic<FILTER_STATE> m_State{State_Stopped};
    IReferenceClock* m_pClock = nullptr;
    // Read by streaming threads without the filter lock.
    std::atomic<REFERENCE_TIME> m_tStart{0};
    CLSID m_clsid;
    CCritSec* m_pLock;
    std::wstring m_pName;
    IFilterGraph* m_pGraph = nullptr;  // weak: the graph holds the filter
    // Weak, the graph's own; streaming threads read it to post events.
    std::atomic<IMediaEventSink*> m_pSink{nullptr};
    LONG m_PinVersion = 1;

private:
    HRESULT PauseLocked();
    // Inactive on every connected pin; the first failure.
    HRESULT DeactivatePins();
};
