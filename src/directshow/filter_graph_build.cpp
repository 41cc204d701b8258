#include <algorithm>
#include <array>
#include <fstream>
#include <functional>

#include "com/runtime.h"
#include "directshow/builtin_filters.h"
#include "directshow/filter_graph.h"
#include "directshow/graph_pins.h"
#include "directshow/registration.h"
#include "platform/registry.h"
#include "platform/text.h"

using dshow::graph::FilterOf;
using dshow::graph::PinsOf;

namespace {

constexpr std::size_t kMaxDepth = 4;

}  // namespace

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
    for (const dshow::RegisteredFilter& candidate : dshow::AvailableFilters()) {
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
    // Never by way of breaking a connection that is already there.
    if (dshow::graph::IsConnected(out) || dshow::graph::IsConnected(in))
        return VFW_E_ALREADY_CONNECTED;
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

std::optional<CLSID> CFilterGraph::SourceFor(const std::wstring& path, HRESULT* failure) {
    *failure = VFW_E_UNKNOWN_FILE_TYPE;
    const std::size_t slash = path.find_last_of(L'/');
    const std::size_t dot = path.rfind(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) {
        const std::wstring extension = path.substr(dot);
        // The registry's media type table first, so an installation can override the engine.
        const auto key =
            zyl::platform::RegistryKey::open("HKEY_CLASSES_ROOT\\Media Type\\Extensions\\" +
                                             zyl::platform::wideToUtf8(extension).value_or(""));
        const auto value = key ? key->query("Source Filter") : std::nullopt;
        const auto text = value ? value->asString() : std::nullopt;
        if (const auto clsid = text ? GuidFromString(*text) : std::nullopt)
            return clsid;
        if (const auto clsid = dshow::BuiltinSourceForExtension(extension))
            return clsid;
    }
    // An extension nobody claims: the first bytes decide.
    const auto narrow = zyl::platform::wideToUtf8(path);
    std::ifstream in(narrow.value_or(""), std::ios::binary);
    if (!in) {
        *failure = VFW_E_NOT_FOUND;
        return std::nullopt;
    }
    std::array<char, 4096> head{};
    in.read(head.data(), head.size());
    return dshow::ProbeSource(reinterpret_cast<const std::uint8_t*>(head.data()),
                              static_cast<std::size_t>(in.gcount()));
}

HRESULT CFilterGraph::AddSourceFilter(LPCWSTR file, LPCWSTR name, IBaseFilter** filter) {
    if (!file || !filter)
        return E_POINTER;
    *filter = nullptr;
    HRESULT failure = S_OK;
    const auto clsid = SourceFor(file, &failure);
    if (!clsid)
        return failure;
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
    // Unless the caller names it, a source that knows what it opened may name itself ("AVI
    // Splitter").
    std::wstring chosen = name ? name : file;
    ComPtr<ISourceFilterName> naming;
    LPWSTR own = nullptr;
    if (!name && SUCCEEDED(source.As(naming, IID_ISourceFilterName)) &&
        SUCCEEDED(naming->GetSourceName(&own)) && own) {
        if (*own)
            chosen = own;
        CoTaskMemFree(own);
    }
    if (HRESULT hr = AddFilter(source.Get(), chosen.c_str()); FAILED(hr))
        return hr;
    *filter = source.Detach();
    return S_OK;
}

HRESULT CFilterGraph::RenderFile(LPCWSTR file, LPCWSTR) {
    CAutoLock lock(&m_lock);
    ComPtr<IBaseFilter> source;
    if (HRESULT hr = AddSourceFilter(file, nullptr, source.Put()); FAILED(hr))
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
