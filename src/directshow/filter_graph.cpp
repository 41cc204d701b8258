#include "directshow/filter_graph.h"

#include <algorithm>
#include <functional>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/registration.h"
#include "directshow/simple_unknown.h"
#include "directshow/system_clock.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kMaxDepth = 4;
constexpr REFERENCE_TIME kStartDelay = 10 * MILLISECONDS;
constexpr HRESULT VFW_E_UNKNOWN_FILE_TYPE = ToHResult(0x80040240);

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter, PIN_DIRECTION direction,
                                 bool unconnectedOnly) {
    std::vector<ComPtr<IPin>> result;
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.Put())) || !pins)
        return result;
    for (;;) {
        IPin* pin = nullptr;
        ULONG fetched = 0;
        if (pins->Next(1, &pin, &fetched) != S_OK || !pin)
            break;
        ComPtr<IPin> owned = ComPtr<IPin>::Attach(pin);
        PIN_DIRECTION d;
        if (FAILED(pin->QueryDirection(&d)) || d != direction)
            continue;
        if (unconnectedOnly) {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) == S_OK)
                continue;
        }
        result.push_back(std::move(owned));
    }
    return result;
}

IBaseFilter* FilterOf(IPin* pin) {
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info)) || !info.pFilter)
        return nullptr;
    info.pFilter->Release();  // the graph holds it; only its identity is wanted
    return info.pFilter;
}

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

HRESULT CFilterGraph::ConnectVia(IPin* out, IPin* in, std::size_t depth) {
    if (SUCCEEDED(out->Connect(in, nullptr)))
        return S_OK;
    if (depth >= kMaxDepth)
        return VFW_E_CANNOT_CONNECT;
    IBaseFilter* from = FilterOf(out);
    IBaseFilter* to = FilterOf(in);
    // Filters already in the graph, in the order they were added, may stand in between.
    for (const Entry& e : std::vector<Entry>(m_filters)) {
        if (e.filter == from || e.filter == to)
            continue;
        for (const auto& middleIn : PinsOf(e.filter, PINDIR_INPUT, true)) {
            if (FAILED(out->Connect(middleIn.Get(), nullptr)))
                continue;
            for (const auto& middleOut : PinsOf(e.filter, PINDIR_OUTPUT, true)) {
                if (SUCCEEDED(ConnectVia(middleOut.Get(), in, depth + 1)))
                    return S_OK;
            }
            middleIn->Disconnect();
            out->Disconnect();
        }
    }
    // Then registered transform filters, best merit first.
    return TryRegistered(out, [&](IBaseFilter* middle) {
        for (const auto& middleIn : PinsOf(middle, PINDIR_INPUT, true)) {
            if (FAILED(out->Connect(middleIn.Get(), nullptr)))
                continue;
            for (const auto& middleOut : PinsOf(middle, PINDIR_OUTPUT, true)) {
                if (SUCCEEDED(ConnectVia(middleOut.Get(), in, depth + 1)))
                    return S_OK;
            }
            middleIn->Disconnect();
            out->Disconnect();
        }
        return VFW_E_CANNOT_CONNECT;
    });
}

HRESULT CFilterGraph::TryRegistered(IPin* out,
                                    const std::function<HRESULT(IBaseFilter*)>& attempt) {
    std::vector<std::pair<GUID, GUID>> offered;
    ComPtr<IEnumMediaTypes> types;
    if (SUCCEEDED(out->EnumMediaTypes(types.Put())) && types) {
        for (;;) {
            AM_MEDIA_TYPE* type = nullptr;
            ULONG fetched = 0;
            if (types->Next(1, &type, &fetched) != S_OK || !type)
                break;
            offered.emplace_back(type->majortype, type->subtype);
            DeleteMediaType(type);
        }
    }
    auto matches = [&](const dshow::RegisteredPin& pin) {
        if (offered.empty())
            return true;
        for (const auto& [major, minor] : pin.types) {
            for (const auto& [offMajor, offMinor] : offered) {
                if ((major == GUID_NULL || major == offMajor) &&
                    (minor == GUID_NULL || minor == offMinor))
                    return true;
            }
        }
        return false;
    };
    for (const dshow::RegisteredFilter& candidate : dshow::RegisteredFilters()) {
        if (candidate.merit <= MERIT_DO_NOT_USE)
            continue;
        const bool accepts =
            std::any_of(candidate.pins.begin(), candidate.pins.end(),
                        [&](const dshow::RegisteredPin& p) { return !p.output && matches(p); });
        if (!accepts)
            continue;
        ComPtr<IBaseFilter> filter;
        if (FAILED(CoCreateInstance(candidate.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    filter.PutVoid()))) {
            continue;
        }
        if (FAILED(AddFilter(filter.Get(), candidate.name.c_str())))
            continue;
        if (SUCCEEDED(attempt(filter.Get())))
            return S_OK;
        RemoveFilter(filter.Get());
    }
    return VFW_E_CANNOT_CONNECT;
}

HRESULT CFilterGraph::Connect(IPin* out, IPin* in) {
    if (!out || !in)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return ConnectVia(out, in, 0);
}

HRESULT CFilterGraph::RenderPin(IPin* out, std::size_t depth) {
    if (depth > kMaxDepth)
        return VFW_E_CANNOT_RENDER;
    IBaseFilter* from = FilterOf(out);
    for (const Entry& e : std::vector<Entry>(m_filters)) {
        if (e.filter == from)
            continue;
        for (const auto& in : PinsOf(e.filter, PINDIR_INPUT, true)) {
            if (FAILED(out->Connect(in.Get(), nullptr)))
                continue;
            const auto outputs = PinsOf(e.filter, PINDIR_OUTPUT, true);
            if (outputs.empty())
                return S_OK;  // a renderer
            std::size_t rendered = 0;
            for (const auto& next : outputs) {
                if (SUCCEEDED(RenderPin(next.Get(), depth + 1)))
                    ++rendered;
            }
            if (rendered == outputs.size())
                return S_OK;
            if (rendered > 0)
                return VFW_S_PARTIAL_RENDER;
            in->Disconnect();
            out->Disconnect();
        }
    }
    // Then registered filters, best merit first: decoders on the way, renderers at the end.
    HRESULT partial = S_OK;
    const HRESULT hr = TryRegistered(out, [&](IBaseFilter* next) {
        for (const auto& in : PinsOf(next, PINDIR_INPUT, true)) {
            if (FAILED(out->Connect(in.Get(), nullptr)))
                continue;
            const auto outputs = PinsOf(next, PINDIR_OUTPUT, true);
            std::size_t rendered = 0;
            for (const auto& following : outputs) {
                if (SUCCEEDED(RenderPin(following.Get(), depth + 1)))
                    ++rendered;
            }
            if (rendered == outputs.size())
                return S_OK;
            if (rendered > 0) {
                partial = VFW_S_PARTIAL_RENDER;
                return S_OK;
            }
            in->Disconnect();
            out->Disconnect();
        }
        return VFW_E_CANNOT_RENDER;
    });
    return SUCCEEDED(hr) ? partial : VFW_E_CANNOT_RENDER;
}

HRESULT CFilterGraph::Render(IPin* out) {
    if (!out)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    return RenderPin(out, 0);
}

HRESULT CFilterGraph::AddSourceFilter(LPCWSTR file, LPCWSTR name, IBaseFilter** filter) {
    if (!file || !filter)
        return E_POINTER;
    *filter = nullptr;
    const std::wstring path(file);
    const std::size_t slash = path.find_last_of(L'/');
    const std::size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
        return VFW_E_UNKNOWN_FILE_TYPE;
    const auto extension = zyl::platform::wideToUtf8(path.substr(dot));
    // The source filter for an extension, as the system's media type table names it.
    const auto key = zyl::platform::RegistryKey::open(
        "HKEY_CLASSES_ROOT\\Media Type\\Extensions\\" + extension.value_or(""));
    const auto value = key ? key->query("Source Filter") : std::nullopt;
    const auto text = value ? value->asString() : std::nullopt;
    const auto clsid = text ? GuidFromString(*text) : std::nullopt;
    if (!clsid)
        return VFW_E_UNKNOWN_FILE_TYPE;
    ComPtr<IBaseFilter> source;
    if (HRESULT hr = CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      source.PutVoid());
        FAILED(hr)) {
        return hr;
    }
    ComPtr<IFileSourceFilter> loader;
    if (FAILED(source.As(loader, IID_IFileSourceFilter)))
        return E_NOINTERFACE;
    if (HRESULT hr = loader->Load(file, nullptr); FAILED(hr))
        return hr;
    if (HRESULT hr = AddFilter(source.Get(), name ? name : file); FAILED(hr))
        return hr;
    *filter = source.Detach();
    return S_OK;
}

HRESULT CFilterGraph::RenderFile(LPCWSTR file, LPCWSTR) {
    CAutoLock lock(&m_lock);
    ComPtr<IBaseFilter> source;
    if (HRESULT hr = AddSourceFilter(file, file, source.Put()); FAILED(hr))
        return hr;
    const auto outputs = PinsOf(source.Get(), PINDIR_OUTPUT, true);
    std::size_t rendered = 0;
    for (const auto& pin : outputs) {
        if (SUCCEEDED(RenderPin(pin.Get(), 0)))
            ++rendered;
    }
    if (rendered == 0)
        return VFW_E_CANNOT_RENDER;
    return rendered == outputs.size() ? S_OK : VFW_S_PARTIAL_RENDER;
}

std::vector<IBaseFilter*> CFilterGraph::DownstreamFirst() {
    std::vector<IBaseFilter*> order;
    std::function<void(IBaseFilter*)> visit = [&](IBaseFilter* filter) {
        if (std::find(order.begin(), order.end(), filter) != order.end())
            return;
        for (const auto& pin : PinsOf(filter, PINDIR_OUTPUT, false)) {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) == S_OK) {
                if (IBaseFilter* next = FilterOf(peer.Get()))
                    visit(next);
            }
        }
        if (std::find(order.begin(), order.end(), filter) == order.end())
            order.push_back(filter);
    };
    for (const Entry& e : m_filters)
        visit(e.filter);
    return order;
}

std::size_t CFilterGraph::CountRenderers() {
    std::size_t renderers = 0;
    for (const Entry& e : m_filters) {
        if (PinsOf(e.filter, PINDIR_OUTPUT, false).empty() &&
            !PinsOf(e.filter, PINDIR_INPUT, false).empty())
            ++renderers;
    }
    return renderers;
}

HRESULT CFilterGraph::ChangeState(FILTER_STATE target) {
    if (target != State_Stopped && m_state == State_Stopped && !m_clockChosen) {
        SetDefaultSyncSource();
    }
    if (target == State_Running && m_state == State_Stopped) {
        if (HRESULT hr = ChangeState(State_Paused); FAILED(hr))
            return hr;
    }
    REFERENCE_TIME now = MonotonicReferenceTime();
    if (target == State_Running) {
        // Stream time goes on from where a pause left it.
        m_streamStart = m_pausedAt ? m_streamStart + (now - m_pausedAt) : now + kStartDelay;
        m_pausedAt = 0;
        std::lock_guard events(m_eventLock);
        m_renderersRunning = CountRenderers();
    }
    HRESULT result = S_OK;
    for (IBaseFilter* filter : DownstreamFirst()) {
        HRESULT hr = target == State_Stopped  ? filter->Stop()
                     : target == State_Paused ? filter->Pause()
                                              : filter->Run(m_streamStart);
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
    }
    if (target == State_Paused && m_state == State_Running)
        m_pausedAt = now;
    if (target == State_Stopped) {
        m_pausedAt = 0;
        m_streamStart = 0;
        std::lock_guard events(m_eventLock);
        m_completions = 0;
    }
    m_state = target;
    return result;
}

HRESULT CFilterGraph::Run() {
    CAutoLock lock(&m_lock);
    return ChangeState(State_Running);
}

HRESULT CFilterGraph::Pause() {
    CAutoLock lock(&m_lock);
    return ChangeState(State_Paused);
}

HRESULT CFilterGraph::Stop() {
    CAutoLock lock(&m_lock);
    return ChangeState(State_Stopped);
}

HRESULT CFilterGraph::StopWhenReady() {
    return Stop();
}

HRESULT CFilterGraph::GetState(LONG milliseconds, OAFilterState* state) {
    FILTER_STATE s;
    const HRESULT hr = GetState(static_cast<DWORD>(milliseconds), &s);
    if (state)
        *state = s;
    return hr;
}

HRESULT CFilterGraph::GetState(DWORD milliseconds, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    std::vector<ComPtr<IBaseFilter>> filters;
    {
        CAutoLock lock(&m_lock);
        *state = m_state;
        for (const Entry& e : m_filters)
            filters.emplace_back(e.filter);
    }
    // Asked without the graph lock: a filter completing its pause may need to post an event.
    HRESULT result = S_OK;
    for (const auto& filter : filters) {
        FILTER_STATE s;
        const HRESULT hr = filter->GetState(milliseconds, &s);
        if (hr == VFW_S_STATE_INTERMEDIATE)
            result = hr;
        if (FAILED(hr))
            return hr;
    }
    return result;
}

HRESULT CFilterGraph::Run(REFERENCE_TIME) {
    return Run();
}

HRESULT CFilterGraph::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = CLSID_FilterGraph;
    return S_OK;
}

HRESULT CFilterGraph::SetSyncSource(IReferenceClock* clock) {
    CAutoLock lock(&m_lock);
    if (m_state != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (clock)
        clock->AddRef();
    if (m_clock)
        m_clock->Release();
    m_clock = clock;
    m_clockChosen = true;
    for (const Entry& e : m_filters)
        e.filter->SetSyncSource(m_clock);
    return S_OK;
}

HRESULT CFilterGraph::GetSyncSource(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *clock = m_clock;
    if (m_clock)
        m_clock->AddRef();
    return S_OK;
}

void CFilterGraph::PostEvent(const Event& event) {
    std::lock_guard lock(m_eventLock);
    m_events.push_back(event);
    m_eventHandle.set();
}

HRESULT CFilterGraph::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    if (code == EC_COMPLETE) {
        // One completion for the graph, once every renderer has finished.
        std::lock_guard lock(m_eventLock);
        if (++m_completions != m_renderersRunning)
            return S_OK;
        m_events.push_back({EC_COMPLETE, S_OK, 0});
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

template <class I, class F>
HRESULT CFilterGraph::ForEachFilterWith(REFIID iid, F&& call, bool firstOnly) {
    CAutoLock lock(&m_lock);
    HRESULT result = E_NOTIMPL;
    for (const Entry& e : m_filters) {
        ComPtr<I> target;
        if (FAILED(e.filter->QueryInterface(iid, target.PutVoid())) || !target)
            continue;
        const HRESULT hr = call(target.Get());
        if (firstOnly && SUCCEEDED(hr))
            return hr;
        if (result == E_NOTIMPL || (SUCCEEDED(result) && FAILED(hr)))
            result = hr;
    }
    return result;
}

HRESULT CFilterGraph::GetCapabilities(DWORD* c) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetCapabilities(c); }, true);
}
HRESULT CFilterGraph::CheckCapabilities(DWORD* c) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->CheckCapabilities(c); }, true);
}
HRESULT CFilterGraph::IsFormatSupported(const GUID* f) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->IsFormatSupported(f); }, true);
}
HRESULT CFilterGraph::QueryPreferredFormat(GUID* f) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->QueryPreferredFormat(f); }, true);
}
HRESULT CFilterGraph::GetTimeFormat(GUID* f) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetTimeFormat(f); }, true);
}
HRESULT CFilterGraph::IsUsingTimeFormat(const GUID* f) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->IsUsingTimeFormat(f); }, true);
}
HRESULT CFilterGraph::SetTimeFormat(const GUID* f) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->SetTimeFormat(f); }, false);
}
HRESULT CFilterGraph::GetDuration(LONGLONG* d) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetDuration(d); }, true);
}
HRESULT CFilterGraph::GetStopPosition(LONGLONG* p) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetStopPosition(p); }, true);
}
HRESULT CFilterGraph::GetCurrentPosition(LONGLONG* p) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetCurrentPosition(p); }, true);
}
HRESULT CFilterGraph::ConvertTimeFormat(LONGLONG* t, const GUID* tf, LONGLONG s0, const GUID* sf) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->ConvertTimeFormat(t, tf, s0, sf); },
        true);
}
HRESULT CFilterGraph::GetPositions(LONGLONG* c, LONGLONG* st) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetPositions(c, st); }, true);
}
HRESULT CFilterGraph::GetAvailable(LONGLONG* e, LONGLONG* l) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetAvailable(e, l); }, true);
}
HRESULT CFilterGraph::GetPreroll(LONGLONG* p) {
    return ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->GetPreroll(p); }, true);
}

HRESULT CFilterGraph::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                   DWORD stopFlags) {
    CAutoLock lock(&m_lock);
    // A seek restarts stream time: the graph pauses, the seeking filters flush and start a new
    // segment, and running resumes from the new position.
    const FILTER_STATE before = m_state;
    if (before == State_Running)
        ChangeState(State_Paused);
    const HRESULT hr = ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking,
        [&](IMediaSeeking* s) { return s->SetPositions(current, currentFlags, stop, stopFlags); },
        false);
    if ((currentFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning) {
        m_pausedAt = 0;
        std::lock_guard events(m_eventLock);
        m_completions = 0;
    }
    if (before == State_Running)
        ChangeState(State_Running);
    return hr;
}

HRESULT CFilterGraph::SetRate(double rate) {
    if (rate < 0.25 || rate > 16.0)
        return E_INVALIDARG;
    const HRESULT hr = ForEachFilterWith<IMediaSeeking>(
        IID_IMediaSeeking, [&](IMediaSeeking* s) { return s->SetRate(rate); }, false);
    if (SUCCEEDED(hr)) {
        CAutoLock lock(&m_lock);
        m_rate = rate;
    }
    return hr;
}

HRESULT CFilterGraph::GetRate(double* rate) {
    if (!rate)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *rate = m_rate;
    return S_OK;
}

HRESULT CFilterGraph::put_Volume(LONG v) {
    return ForEachFilterWith<IBasicAudio>(
        IID_IBasicAudio, [&](IBasicAudio* a) { return a->put_Volume(v); }, true);
}
HRESULT CFilterGraph::get_Volume(LONG* v) {
    return ForEachFilterWith<IBasicAudio>(
        IID_IBasicAudio, [&](IBasicAudio* a) { return a->get_Volume(v); }, true);
}
HRESULT CFilterGraph::put_Balance(LONG b) {
    return ForEachFilterWith<IBasicAudio>(
        IID_IBasicAudio, [&](IBasicAudio* a) { return a->put_Balance(b); }, true);
}
HRESULT CFilterGraph::get_Balance(LONG* b) {
    return ForEachFilterWith<IBasicAudio>(
        IID_IBasicAudio, [&](IBasicAudio* a) { return a->get_Balance(b); }, true);
}

void CFilterGraph::RegisterClass() {
    com::RegisterPlatformClass(CLSID_FilterGraph, &CPlatformClassFactory<CFilterGraph>::Get);
}
