// Filters written against the base classes the way a filter writer would: a source with one
// output pin offering video types, and a sink whose input pin accepts one subtype and records
// what it receives.
#pragma once

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "directshow/filter.h"
#include "directshow/renderer.h"

namespace zyl::test {

inline CMediaType VideoType(const GUID& subtype, LONG width, LONG height,
                            REFERENCE_TIME frameTime = 400000) {
    CMediaType type(&MEDIATYPE_Video);
    type.SetSubtype(&subtype);
    type.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = frameTime;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biBitCount = subtype == MEDIASUBTYPE_RGB32 ? 32 : 24;
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(width * height * (vih.bmiHeader.biBitCount / 8));
    type.SetFormat(reinterpret_cast<BYTE*>(&vih), sizeof vih);
    type.lSampleSize = vih.bmiHeader.biSizeImage;
    return type;
}

class SourceFilter;

class SourcePin final : public CBaseOutputPin {
public:
    SourcePin(CBaseFilter* filter, CCritSec* lock);
    // A source that seeks answers IMediaSeeking on its pin, where renderers ask for it.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IMediaSeeking && seeking)
            return GetInterface(seeking, object);
        return CBaseOutputPin::NonDelegatingQueryInterface(riid, object);
    }
    IMediaSeeking* seeking = nullptr;
    HRESULT CheckMediaType(const CMediaType* type) override {
        for (const CMediaType& offered : offers) {
            if (offered == *type)
                return S_OK;
        }
        return S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position >= static_cast<int>(offers.size()))
            return VFW_S_NO_MORE_ITEMS;
        *type = offers[static_cast<std::size_t>(position)];
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{3, static_cast<LONG>(m_mt.lSampleSize ? m_mt.lSampleSize : 16),
                                     1, 0},
            actual{};
        return allocator->SetProperties(&request, &actual);
    }
    // Sends one sample carrying a number.
    HRESULT Send(int number, REFERENCE_TIME start, REFERENCE_TIME end, bool preroll = false) {
        IMediaSample* sample = nullptr;
        if (HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0); FAILED(hr))
            return hr;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::memcpy(data, &number, sizeof number);
        sample->SetTime(&start, &end);
        sample->SetPreroll(preroll);
        const HRESULT hr = Deliver(sample);
        sample->Release();
        return hr;
    }
    std::vector<CMediaType> offers;
};

class SourceFilter final : public CBaseFilter {
public:
    SourceFilter() : CBaseFilter(L"source", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    SourcePin& pin() { return m_pin; }

private:
    CCritSec m_lock;
    SourcePin m_pin;
};

inline SourcePin::SourcePin(CBaseFilter* filter, CCritSec* lock)
    : CBaseOutputPin(L"source pin", filter, lock, nullptr, L"Output") {}

class SinkFilter;

class SinkPin final : public CBaseInputPin {
public:
    SinkPin(CBaseFilter* filter, CCritSec* lock)
        : CBaseInputPin(L"sink pin", filter, lock, nullptr, L"Input") {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Type() == MEDIATYPE_Video && *type->Subtype() == accepted ? S_OK : S_FALSE;
    }
    HRESULT Receive(IMediaSample* sample) override {
        if (HRESULT hr = CBaseInputPin::Receive(sample); hr != S_OK)
            return hr;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        int number;
        std::memcpy(&number, data, sizeof number);
        std::lock_guard lock(mutex);
        received.push_back(number);
        return S_OK;
    }
    HRESULT EndOfStream() override {
        std::lock_guard lock(mutex);
        ++endOfStream;
        return S_OK;
    }
    GUID accepted = MEDIASUBTYPE_RGB32;
    std::mutex mutex;
    std::vector<int> received;
    int endOfStream = 0;
};

class SinkFilter final : public CBaseFilter {
public:
    SinkFilter() : CBaseFilter(L"sink", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    SinkPin& pin() { return m_pin; }

private:
    CCritSec m_lock;
    SinkPin m_pin;
};

// A renderer that accepts one video subtype and records every frame DoRenderSample is given,
// with the filter's state at that moment, the way a renderer writer overrides only that.
class RecordingRenderer final : public CBaseVideoRenderer {
public:
    struct Render {
        int number;
        FILTER_STATE state;
    };
    explicit RecordingRenderer(const GUID& accepted = MEDIASUBTYPE_RGB32)
        : CBaseVideoRenderer(GUID_NULL, L"recorder", nullptr, nullptr), m_accepted(accepted) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Subtype() == m_accepted ? S_OK : S_FALSE;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        int number;
        std::memcpy(&number, data, sizeof number);
        std::lock_guard lock(mutex);
        renders.push_back({number, m_State.load()});
        return failWith;
    }
    std::vector<int> Frames() {
        std::lock_guard lock(mutex);
        std::vector<int> numbers;
        for (const Render& r : renders)
            numbers.push_back(r.number);
        return numbers;
    }
    std::vector<Render> Renders() {
        std::lock_guard lock(mutex);
        return renders;
    }
    std::mutex mutex;
    std::vector<Render> renders;
    // What DoRenderSample answers, as a sink whose buffer is full would.
    std::atomic<HRESULT> failWith{S_OK};

private:
    GUID m_accepted;
};

// Stands in for the graph as a filter sees it: records the events filters post.
class EventGraph final : public IFilterGraph, public IMediaEventSink {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IMediaEventSink)
            return GetInterface(static_cast<IMediaEventSink*>(this), object);
        if (riid == IID_IUnknown || riid == IID_IFilterGraph)
            return GetInterface(static_cast<IFilterGraph*>(this), object);
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT SetDefaultSyncSource() override { return E_NOTIMPL; }
    HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR) override {
        std::lock_guard lock(m_mutex);
        m_events.emplace_back(code, param1);
        return S_OK;
    }
    // The codes posted, in order.
    std::vector<LONG> Events() {
        std::lock_guard lock(m_mutex);
        std::vector<LONG> codes;
        for (const auto& e : m_events)
            codes.push_back(e.first);
        return codes;
    }
    // The codes with their first parameter.
    std::vector<std::pair<LONG, LONG_PTR>> Posted() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    virtual ~EventGraph() = default;

private:
    std::mutex m_mutex;
    std::vector<std::pair<LONG, LONG_PTR>> m_events;
};

// Makes a filter with its first reference held by the caller.
template <class F, class... Args>
F* Make(Args&&... args) {
    F* filter = new F(std::forward<Args>(args)...);
    filter->NonDelegatingAddRef();
    return filter;
}

}  // namespace zyl::test
