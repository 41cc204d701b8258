// CTransformFilter: the base of filters with one input and one output that turn each input
// sample into one output sample (decoders, converters).
//
// The streaming thread enters through the input pin's Receive and leaves through the output
// pin's Deliver. Locks, in this order: the filter lock (m_csFilter: state and connections),
// then the receive lock (m_csReceive), which serialises Receive, EndOfStream, NewSegment,
// EndFlush and the end of Stop, so none of them overtakes a sample on its way through.
// BeginFlush takes neither: it must reach a Receive that is blocked downstream. The output
// pin answers IMediaSeeking by passing it upstream through the input pin.
#pragma once

#include "directshow/filter.h"

class CTransformFilter;

class CTransformInputPin : public CBaseInputPin {
public:
    CTransformInputPin(const wchar_t* objectName, CTransformFilter* filter, HRESULT* hr,
                       const wchar_t* name);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT CheckConnect(IPin* pin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

private:
    CTransformFilter* m_pTransformFilter;
};

class CPosPassThru;

class CTransformOutputPin : public CBaseOutputPin {
public:
    CTransformOutputPin(const wchar_t* objectName, CTransformFilter* filter, HRESULT* hr,
                        const wchar_t* name);
    ~CTransformOutputPin() override;
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT CheckConnect(IPin* pin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

private:
    CTransformFilter* m_pTransformFilter;
    CPosPassThru* m_pPosition = nullptr;  // made on the first query, under the filter lock
};

class CTransformFilter : public CBaseFilter {
public:
    CTransformFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid);
    ~CTransformFilter() override = default;

    // What a transform writer supplies.
    virtual HRESULT Transform(IMediaSample* in, IMediaSample* out) = 0;
    virtual HRESULT CheckInputType(const CMediaType* type) = 0;
    virtual HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) = 0;
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
    virtual HRESULT GetMediaType(int position, CMediaType* type) = 0;
    virtual HRESULT SetMediaType(PIN_DIRECTION, const CMediaType*) { return S_OK; }
    virtual HRESULT BreakConnect(PIN_DIRECTION) { return S_OK; }
    virtual HRESULT CompleteConnect(PIN_DIRECTION, IPin*) { return S_OK; }
    // Called when the filter leaves the stopped state, and when it stops once no Receive can
    // run any more.
    virtual HRESULT StartStreaming() { return S_OK; }
    virtual HRESULT StopStreaming() { return S_OK; }

    virtual HRESULT Receive(IMediaSample* sample);
    virtual HRESULT EndOfStream();
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();
    virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;

    CTransformInputPin* Input() { return &m_input; }
    CTransformOutputPin* Output() { return &m_output; }

protected:
    friend class CTransformInputPin;
    // StartStreaming when both pins are connected; StopStreaming after the pins' Inactive
    // (the input first: a Receive blocked on a buffer or downstream gets out) once the receive
    // lock shows no Receive is left.
    HRESULT InitStream() override;
    HRESULT CleanupStream(FILTER_STATE from) override;
    // An output sample with the input's times and flags, from the output pin's allocator.
    HRESULT InitializeOutputSample(IMediaSample* in, IMediaSample** out);

    CCritSec m_csFilter;
    CCritSec m_csReceive;
    CTransformInputPin m_input;
    CTransformOutputPin m_output;
};
