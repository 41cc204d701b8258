// zylavi probe: builds the graph RenderFile builds for a file and prints its filters, pins,
// connections and connection media types.
#include <iomanip>
#include <iostream>
#include <sstream>
#include <vector>

#include "cli.h"
#include "com/com_ptr.h"
#include "com/runtime.h"
#include "common/module_host.h"
#include "directshow/dshow_interfaces.h"
#include "directshow/media_type.h"
#include "directshow/platform_classes.h"
#include "platform/text.h"

namespace zyl::cli {
namespace {

std::string Hex(HRESULT hr) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
        << static_cast<std::uint32_t>(hr);
    return out.str();
}

std::string GuidName(const GUID& g) {
    struct Known {
        const GUID* guid;
        const char* name;
    };
    static const Known kKnown[] = {
        {&MEDIATYPE_Video, "Video"},
        {&MEDIATYPE_Audio, "Audio"},
        {&MEDIATYPE_Text, "Text"},
        {&MEDIATYPE_Stream, "Stream"},
        {&MEDIASUBTYPE_RGB8, "RGB8"},
        {&MEDIASUBTYPE_RGB24, "RGB24"},
        {&MEDIASUBTYPE_RGB32, "RGB32"},
        {&MEDIASUBTYPE_NV12, "NV12"},
        {&MEDIASUBTYPE_PCM, "PCM"},
        {&FORMAT_VideoInfo, "VideoInfo"},
        {&FORMAT_VideoInfo2, "VideoInfo2"},
        {&FORMAT_WaveFormatEx, "WaveFormatEx"},
        {&FORMAT_None, "None"},
        {&GUID_NULL, "none"},
    };
    for (const Known& k : kKnown) {
        if (*k.guid == g)
            return k.name;
    }
    return GuidToString(g);
}

std::string Narrow(const wchar_t* text) {
    return platform::wideToUtf8(text).value_or("?");
}

struct PinReport {
    std::string name;
    bool output = false;
    std::string peerFilter, peerPin;
    std::string major, subtype, format;
    LONG width = 0, height = 0;
    double fps = 0;
};

struct FilterReport {
    std::string name;
    std::string clsid;
    std::vector<PinReport> pins;
};

std::vector<FilterReport> Describe(IGraphBuilder* graph) {
    std::vector<FilterReport> filters;
    ComPtr<IEnumFilters> all;
    graph->EnumFilters(all.Put());
    for (;;) {
        IBaseFilter* raw = nullptr;
        ULONG fetched = 0;
        if (!all || all->Next(1, &raw, &fetched) != S_OK)
            break;
        ComPtr<IBaseFilter> filter = ComPtr<IBaseFilter>::Attach(raw);
        FilterReport report;
        FILTER_INFO info{};
        filter->QueryFilterInfo(&info);
        if (info.pGraph)
            info.pGraph->Release();
        report.name = Narrow(info.achName);
        CLSID clsid{};
        filter->GetClassID(&clsid);
        report.clsid = GuidToString(clsid);
        ComPtr<IEnumPins> pins;
        filter->EnumPins(pins.Put());
        for (;;) {
            IPin* rawPin = nullptr;
            if (!pins || pins->Next(1, &rawPin, &fetched) != S_OK)
                break;
            ComPtr<IPin> pin = ComPtr<IPin>::Attach(rawPin);
            PinReport p;
            PIN_INFO pinInfo{};
            pin->QueryPinInfo(&pinInfo);
            if (pinInfo.pFilter)
                pinInfo.pFilter->Release();
            p.name = Narrow(pinInfo.achName);
            p.output = pinInfo.dir == PINDIR_OUTPUT;
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) == S_OK) {
                PIN_INFO peerInfo{};
                peer->QueryPinInfo(&peerInfo);
                p.peerPin = Narrow(peerInfo.achName);
                if (peerInfo.pFilter) {
                    FILTER_INFO peerFilter{};
                    peerInfo.pFilter->QueryFilterInfo(&peerFilter);
                    if (peerFilter.pGraph)
                        peerFilter.pGraph->Release();
                    p.peerFilter = Narrow(peerFilter.achName);
                    peerInfo.pFilter->Release();
                }
                AM_MEDIA_TYPE type{};
                if (pin->ConnectionMediaType(&type) == S_OK) {
                    p.major = GuidName(type.majortype);
                    p.subtype = GuidName(type.subtype);
                    p.format = GuidName(type.formattype);
                    if (type.formattype == FORMAT_VideoInfo &&
                        type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
                        const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
                        p.width = vih->bmiHeader.biWidth;
                        p.height = vih->bmiHeader.biHeight;
                        if (vih->AvgTimePerFrame > 0)
                            p.fps = static_cast<double>(UNITS) /
                                    static_cast<double>(vih->AvgTimePerFrame);
                    }
                    FreeMediaType(type);
                }
            }
            report.pins.push_back(p);
        }
        filters.push_back(std::move(report));
    }
    return filters;
}

}  // namespace

int Probe(const Args& args) {
    if (args.positional.size() != 1) {
        std::cerr << "zylavi probe: needs one FILE\n";
        return kExitUsage;
    }
    const std::string file = args.positional[0];
    CoInitialize(nullptr);
    dshow::RegisterPlatformClasses();
    int status = kExitOk;
    {
        ComPtr<IGraphBuilder> graph;
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGraphBuilder, graph.PutVoid());
        if (FAILED(hr)) {
            std::cerr << "zylavi probe: cannot create the filter graph: " << Hex(hr) << "\n";
            CoUninitialize();
            return kExitFailed;
        }
        hr = graph->RenderFile(tools::Widen(file).c_str(), nullptr);
        const auto filters = Describe(graph.Get());
        const char* outcome = hr == S_OK                   ? "rendered"
                              : hr == VFW_S_PARTIAL_RENDER ? "partly rendered"
                                                           : "not rendered";
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(file) << ",\"result\":" << Quoted(Hex(hr))
                      << ",\"outcome\":" << Quoted(outcome) << ",\"filters\":[";
            for (std::size_t f = 0; f < filters.size(); ++f) {
                std::cout << (f ? "," : "") << "{\"name\":" << Quoted(filters[f].name)
                          << ",\"clsid\":" << Quoted(filters[f].clsid) << ",\"pins\":[";
                for (std::size_t i = 0; i < filters[f].pins.size(); ++i) {
                    const PinReport& p = filters[f].pins[i];
                    std::cout << (i ? "," : "") << "{\"name\":" << Quoted(p.name)
                              << ",\"direction\":" << Quoted(p.output ? "out" : "in");
                    if (!p.peerFilter.empty()) {
                        std::cout << ",\"connected_to\":{\"filter\":" << Quoted(p.peerFilter)
                                  << ",\"pin\":" << Quoted(p.peerPin)
                                  << "},\"media_type\":{\"major\":" << Quoted(p.major)
                                  << ",\"subtype\":" << Quoted(p.subtype)
                                  << ",\"format\":" << Quoted(p.format) << ",\"width\":" << p.width
                                  << ",\"height\":" << p.height << ",\"fps\":" << p.fps << "}";
                    }
                    std::cout << "}";
                }
                std::cout << "]}";
            }
            std::cout << "]}\n";
        } else {
            std::cout << "Graph for " << file << ": " << outcome << " (" << Hex(hr) << ")\n";
            for (const FilterReport& f : filters) {
                std::cout << "  filter \"" << f.name << "\" " << f.clsid << "\n";
                for (const PinReport& p : f.pins) {
                    std::cout << "    " << (p.output ? "out " : "in  ") << "\"" << p.name << "\"";
                    if (p.peerFilter.empty()) {
                        std::cout << "  (not connected)\n";
                        continue;
                    }
                    std::cout << " -> \"" << p.peerFilter << "\" / \"" << p.peerPin << "\"  "
                              << p.major << "/" << p.subtype << " (" << p.format;
                    if (p.width)
                        std::cout << ", " << p.width << "x" << p.height << ", " << p.fps << " fps";
                    std::cout << ")\n";
                }
            }
        }
        if (FAILED(hr)) {
            std::cerr << "zylavi probe: RenderFile failed for " << file << ": " << Hex(hr)
                      << (hr == ToHResult(0x80040240)
                              ? " (no source filter is registered for this extension)"
                              : "")
                      << "\n";
            status = kExitFailed;
        }
    }
    CoUninitialize();
    return status;
}

}  // namespace zyl::cli
