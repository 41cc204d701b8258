#include "directshow/transform.h"

#include "directshow/pos_passthru.h"

// ---- input pin ----

CTransformInputPin::CTransformInputPin(const wchar_t* objectName, CTransformFilter* filter,
                                       HRESULT* hr, const wchar_t* name)
    : CBaseInputPin(objectName, filter, filter->FilterLock(), hr, name),
      m_pTransformFilter(filter) {}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* type) {
    if (HRESULT hr = m_pTransformFilter->CheckInputType(type); hr != S_OK)
        return hr;
    // A connected output must still be reachable from the new input type.
    if (m_pTransformFilter->Output()->IsConnected()) {
        return m_pTransformFilter->CheckTransform(
            type, &m_pTransformFilter->Output()->CurrentMediaType());
    }
    return S_OK;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* type) {
    if (HRESULT hr = CBaseInputPin::SetMediaType(type); FAILED(hr))
        return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_INPUT, type);
}

HRESULT CTransformInputPin::CheckConnect(IPin* pin) {
    return CBaseInputPin::CheckConnect(pin);
}

HRESULT CTransformInputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_INPUT);
    return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::CompleteConnect(IPin* receivePin) {
    if (HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_INPUT, receivePin); FAILED(hr))
        return hr;
    return CBaseInputPin::CompleteConnect(receivePin);
}

HRESULT CTransformInputPin::Receive(IMediaSample* sample) {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    if (HRESULT hr = CBaseInputPin::Receive(sample); hr != S_OK)
        return hr;
    return m_pTransformFilter->Receive(sample);
}

HRESULT CTransformInputPin::EndOfStream() {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    if (HRESULT hr = CheckStreaming(); hr != S_OK)
        return hr;
    return m_pTransformFilter->EndOfStream();
}

HRESULT CTransformInputPin::BeginFlush() {
    CBaseInputPin::BeginFlush();
    return m_pTransformFilter->BeginFlush();
}

HRESULT CTransformInputPin::EndFlush() {
    // Waits for a Receive still on its way out, so nothing from before the flush follows it.
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    m_pTransformFilter->EndFlush();
    return CBaseInputPin::EndFlush();
}

HRESULT CTransformInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    CAutoLock lock(&m_pTransformFilter->m_csReceive);
    CBasePin::NewSegment(start, stop, rate);
    return m_pTransformFilter->NewSegment(start, stop, rate);
}

// ---- output pin ----

CTransformOutputPin::CTransformOutputPin(const wchar_t* objectName, CTransformFilter* filter,
                                         HRESULT* hr, const wchar_t* name)
    : CBaseOutputPin(objectName, filter, filter->FilterLock(), hr, name),
      m_pTransformFilter(filter) {}

CTransformOutputPin::~CTransformOutputPin() {
    if (m_pPosition)
        m_pPosition->NonDelegatingRelease();
}

HRESULT CTransformOutputPin::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IMediaSeeking) {
        CAutoLock lock(m_pLock);
        if (!m_pPosition) {
            HRESULT hr = S_OK;
            m_pPosition = new CPosPassThru(L"transform seeking", GetOwner(), &hr,
                                           m_pTransformFilter->Input());
            m_pPosition->NonDelegatingAddRef();
        }
        return m_pPosition->NonDelegatingQueryInterface(riid, object);
    }
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, object);
}

HRESULT CTransformOutputPin::CheckConnect(IPin* pin) {
    // The output's types follow from the input's: it connects only after the input.
    if (!m_pTransformFilter->Input()->IsConnected())
        return E_UNEXPECTED;
    return CBaseOutputPin::CheckConnect(pin);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* type) {
    if (!m_pTransformFilter->Input()->IsConnected())
        return E_INVALIDARG;
    return m_pTransformFilter->CheckTransform(&m_pTransformFilter->Input()->CurrentMediaType(),
                                              type);
}

HRESULT CTransformOutputPin::GetMediaType(int position, CMediaType* type) {
    if (!m_pTransformFilter->Input()->IsConnected())
        return E_UNEXPECTED;
    return m_pTransformFilter->GetMediaType(position, type);
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* type) {
    if (HRESULT hr = CBaseOutputPin::SetMediaType(type); FAILED(hr))
        return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_OUTPUT, type);
}

HRESULT CTransformOutputPin::BreakConnect() {
    m_pTransformFilter->BreakConnect(PINDIR_OUTPUT);
    return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* receivePin) {
    if (HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_OUTPUT, receivePin); FAILED(hr))
        return hr;
    return CBaseOutputPin::CompleteConnect(receivePin);
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* allocator,
                                              ALLOCATOR_PROPERTIES* request) {
    return m_pTransformFilter->DecideBufferSize(allocator, request);
}

// ---- filter ----

CTransformFilter::CTransformFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid)
    : CBaseFilter(name, outer, &m_csFilter, clsid),
      m_input(L"transform input", this, nullptr, L"XForm In"),
      m_output(L"transform output", this, nullptr, L"XForm Out") {}

CBasePin* CTransformFilter::GetPin(int n) {
    if (n == 0)
        return &m_input;
    if (n == 1)
        return &m_output;
    return nullptr;
}

HRESULT CTransformFilter::InitStream() {
    if (!m_input.IsConnected() || !m_output.IsConnected())
        return S_OK;
    return StartStreaming();
}

HRESULT CTransformFilter::CleanupStream(FILTER_STATE) {
    if (!m_input.IsConnected() || !m_output.IsConnected())
        return S_OK;
    CAutoLock receive(&m_csReceive);
    return StopStreaming();
}

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* in, IMediaSample** out) {
    if (HRESULT hr = m_output.GetDeliveryBuffer(out, nullptr, nullptr, 0); FAILED(hr))
        return hr;
    REFERENCE_TIME start, end;
    const HRESULT timed = in->GetTime(&start, &end);
    if (SUCCEEDED(timed))
        (*out)->SetTime(&start, timed == S_OK ? &end : nullptr);
    (*out)->SetSyncPoint(in->IsSyncPoint() == S_OK);
    (*out)->SetPreroll(in->IsPreroll() == S_OK);
    (*out)->SetDiscontinuity(in->IsDiscontinuity() == S_OK);
    LONGLONG mediaStart, mediaEnd;
    if (in->GetMediaTime(&mediaStart, &mediaEnd) == S_OK)
        (*out)->SetMediaTime(&mediaStart, &mediaEnd);
    return S_OK;
}

HRESULT CTransformFilter::Receive(IMediaSample* sample) {
    if (!m_output.IsConnected())
        return S_OK;  // nowhere to go: dropped
    IMediaSample* out = nullptr;
    if (HRESULT hr = InitializeOutputSample(sample, &out); FAILED(hr))
        return hr;
    HRESULT hr = Transform(sample, out);
    if (hr == S_OK) {
        hr = m_output.Deliver(out);
    } else if (hr == S_FALSE) {
        hr = S_OK;  // the transform chose to drop this sample
    }
    out->Release();
    return hr;
}

HRESULT CTransformFilter::EndOfStream() {
    return m_output.IsConnected() ? m_output.DeliverEndOfStream() : S_OK;
}

HRESULT CTransformFilter::BeginFlush() {
    return m_output.IsConnected() ? m_output.DeliverBeginFlush() : S_OK;
}

HRESULT CTransformFilter::EndFlush() {
    return m_output.IsConnected() ? m_output.DeliverEndFlush() : S_OK;
}

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return m_output.IsConnected() ? m_output.DeliverNewSegment(start, stop, rate) : S_OK;
}
