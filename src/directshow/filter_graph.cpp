#include "directshow/filter_graph.h"

#include <algorithm>
#include <cwchar>

#include "com/runtime.h"
#include "directshow/graph_pins.h"
#include "directshow/simple_unknown.h"
#include "directshow/system_clock.h"

using dshow::graph::PinsOf;

namespace {

class EnumFiltersSnapshot final : public CSimpleUnknown<IEnumFilters> {
public:
    explicit EnumFiltersSnapshot(std::vector<IBaseFilter*> filters, std::size_t position = 0)
        : CSimpleUnknown<IEnumFilters>(IID_IEnumFilters),
          m_filters(std::move(filters)),
          m_position(position) {
        for (IBaseFilter* f : m_filters)
            f->AddRef();
    }
    virtual ~EnumFiltersSnapshot() {
        for (IBaseFilter* f : m_filters)
            f->Release();
    }
    HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) override {
        if (!filters || (count > 1 && !fetched))
            return E_POINTER;
        ULONG got = 0;
        while (got < count && m_position < m_filters.size()) {
            filters[got] = m_filters[m_position++];
            filters[got++]->AddRef();
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        m_position += count;
        return m_position <= m_filters.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_position = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumFilters** clone) override {
        if (!clone)
            return E_POINTER;
        *clone = new EnumFiltersSnapshot(m_filters, m_position);
        return S_OK;
    }

private:
    std::vector<IBaseFilter*> m_filters;
    std::size_t m_position;
};

}  // namespace

CFilterGraph::CFilterGraph(IUnknown* outer) : CUnknown(L"Filter graph", outer) {}

CFilterGraph::~CFilterGraph() {
    Stop();
    EndStarter();
    while (!m_filters.empty())
        RemoveFilter(m_filters.back().filter);
    if (m_clock)
        m_clock->Release();
}

HRESULT CFilterGraph::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IFilterGraph || riid == IID_IGraphBuilder)
        return GetInterface(static_cast<IGraphBuilder*>(this), object);
    if (riid == IID_IMediaControl)
        return GetInterface(static_cast<IMediaControl*>(this), object);
    if (riid == IID_IMediaEvent || riid == IID_IMediaEventEx)
        return GetInterface(static_cast<IMediaEventEx*>(this), object);
    if (riid == IID_IMediaEventSink)
        return GetInterface(static_cast<IMediaEventSink*>(this), object);
    if (riid == IID_IMediaFilter || riid == IID_IPersist)
        return GetInterface(static_cast<IMediaFilter*>(this), object);
    if (riid == IID_IMediaSeeking)
        return GetInterface(static_cast<IMediaSeeking*>(this), object);
    if (riid == IID_IBasicAudio)
        return GetInterface(static_cast<IBasicAudio*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* filter, LPCWSTR name) {
    if (!filter)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    for (const Entry& e : m_filters) {
        if (e.filter == filter)
            return E_INVALIDARG;
    }
    std::wstring unique = name ? name : L"";
    HRESULT result = S_OK;
    for (int n = 1; std::any_of(m_filters.begin(), m_filters.end(),
                                [&](const Entry& e) { return e.name == unique; });
         ++n) {
        wchar_t suffix[8];
        std::swprintf(suffix, 8, L" %04d", n);
        unique = std::wstring(name ? name : L"") + suffix;
        result = VFW_S_DUPLICATE_NAME;
    }
    if (HRESULT hr = filter->JoinFilterGraph(static_cast<IGraphBuilder*>(this), unique.c_str());
        FAILED(hr))
        return hr;
    filter->AddRef();
    m_filters.push_back({filter, unique});
    if (m_clockChosen)
        filter->SetSyncSource(m_clock);
    return result;
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* filter) {
    CAutoLock lock(&m_lock);
    auto it = std::find_if(m_filters.begin(), m_filters.end(),
                           [&](const Entry& e) { return e.filter == filter; });
    if (it == m_filters.end())
        return VFW_E_NOT_FOUND;
    if (m_state != State_Stopped)
        filter->Stop();
    for (PIN_DIRECTION direction : {PINDIR_INPUT, PINDIR_OUTPUT}) {
        for (const auto& pin : PinsOf(filter, direction, false)) {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) == S_OK) {
                peer->Disconnect();
                pin->Disconnect();
            }
        }
    }
    filter->SetSyncSource(nullptr);
    filter->JoinFilterGraph(nullptr, nullptr);
    m_filters.erase(it);
    filter->Release();
    return S_OK;
}

HRESULT CFilterGraph::EnumFilters(IEnumFilters** filters) {
    if (!filters)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    std::vector<IBaseFilter*> list;
    for (const Entry& e : m_filters)
        list.push_back(e.filter);
    *filters = new EnumFiltersSnapshot(std::move(list));
    return S_OK;
}

HRESULT CFilterGraph::FindFilterByName(LPCWSTR name, IBaseFilter** filter) {
    if (!name || !filter)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    for (const Entry& e : m_filters) {
        if (e.name == name) {
            e.filter->AddRef();
            *filter = e.filter;
            return S_OK;
        }
    }
    *filter = nullptr;
    return VFW_E_NOT_FOUND;
}

HRESULT CFilterGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) {
    if (!out || !in)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return out->Connect(in, type);
}

HRESULT CFilterGraph::Disconnect(IPin* pin) {
    if (!pin)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return pin->Disconnect();
}

HRESULT CFilterGraph::SetDefaultSyncSource() {
    auto* clock = new CSystemClock;
    clock->NonDelegatingAddRef();
    const HRESULT hr = SetSyncSource(clock);
    clock->NonDelegatingRelease();
    return hr;
}

void CFilterGraph::RegisterClass() {
    com::RegisterPlatformClass(CLSID_FilterGraph, &CPlatformClassFactory<CFilterGraph>::Get);
}
