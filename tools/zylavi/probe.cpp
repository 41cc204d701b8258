// zylavi probe: builds the graph RenderFile builds for a file and prints its filters, pins,
// connections and connection media types.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <vector>

#include "cli.h"
#include "com/com_ptr.h"
#include "com/runtime.h"
#include "common/frame_pull.h"
#include "common/module_host.h"
#include "directshow/dshow_interfaces.h"
#include "directshow/media/media_filters.h"
#include "directshow/media/media_source.h"
#include "directshow/media/media_types.h"
#include "directshow/media_type.h"
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
        {&FORMAT_MPEGVideo, "MPEGVideo"},
        {&FORMAT_MPEG2Video, "MPEG2Video"},
        {&dshow::media::MEDIASUBTYPE_H264, "H264"},
        {&dshow::media::MEDIASUBTYPE_HEVC, "HEVC"},
        {&dshow::media::MEDIASUBTYPE_MP4V, "MP4V"},
        {&dshow::media::MEDIASUBTYPE_MJPG, "MJPG"},
        {&dshow::media::MEDIASUBTYPE_MPEG1Payload, "MPEG1Payload"},
        {&dshow::media::MEDIASUBTYPE_MPEG2_VIDEO, "MPEG2_VIDEO"},
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
                    dshow::media::VideoGeometry geometry;
                    if (dshow::media::ReadVideoGeometry(type, &geometry)) {
                        p.width = geometry.width;
                        p.height = geometry.height;
                        if (geometry.frameTime > 0)
                            p.fps = static_cast<double>(UNITS) /
                                    static_cast<double>(geometry.frameTime);
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

// Why the engine's source cannot open a file, in words.
std::string OpenFailure(const std::string& file) {
    const auto wide = platform::utf8ToWide(file);
    if (!wide)
        return "the name is not valid text";
    auto* source = new dshow::media::CMediaSource(nullptr);
    source->NonDelegatingAddRef();
    const HRESULT hr = source->Load(wide->c_str(), nullptr);
    std::string cause = FAILED(hr) ? source->LastError() : std::string();
    source->NonDelegatingRelease();
    return cause;
}

int Checksums(const Args& args, const std::string& file) {
    long long frames = 0, seek = -1;
    if (!args.get("--frames") || !ToInt(*args.get("--frames"), frames) || frames <= 0) {
        std::cerr << "zylavi probe: --md5 needs --frames N with N > 0\n";
        return kExitUsage;
    }
    if (auto text = args.get("--seek-frame"); text && (!ToInt(*text, seek) || seek < 0)) {
        std::cerr << "zylavi probe: --seek-frame needs a frame number >= 0\n";
        return kExitUsage;
    }
    tools::PullOptions options;
    options.frames = static_cast<int>(std::min<long long>(frames, 1'000'000));
    options.mono = args.has("--mono");
    options.seekFrame = seek;
    const tools::PullResult result = tools::PullFrames(file, options);
    if (!result.ok) {
        std::cerr << "zylavi probe: " << result.error << "\n";
        return kExitFailed;
    }
    const long long first = seek < 0 ? 0 : seek;
    if (args.json) {
        std::cout << "{\"file\":" << Quoted(file) << ",\"subtype\":" << Quoted(result.subtype)
                  << ",\"pixel_format\":" << Quoted(result.pixelFormat) << ",\"frames\":[";
        for (std::size_t i = 0; i < result.md5s.size(); ++i)
            std::cout << (i ? "," : "") << "{\"index\":" << first + static_cast<long long>(i)
                      << ",\"md5\":" << Quoted(result.md5s[i]) << "}";
        std::cout << "]}\n";
    } else {
        std::cout << "# " << file << ": " << result.md5s.size() << " frame(s) as " << result.subtype
                  << ", hashed as " << result.pixelFormat << "\n";
        for (std::size_t i = 0; i < result.md5s.size(); ++i)
            std::cout << first + static_cast<long long>(i) << " " << result.md5s[i] << "\n";
    }
    if (result.md5s.empty()) {
        std::cerr << "zylavi probe: " << file << ": no frame decoded"
                  << (seek > 0 ? " at or after frame " + std::to_string(seek) : std::string())
                  << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int Probe(const Args& args) {
    if (args.positional.size() != 1) {
        std::cerr << "zylavi probe: needs one FILE\n";
        return kExitUsage;
    }
    const std::string file = args.positional[0];
    if (args.has("--md5"))
        return Checksums(args, file);
    if (args.has("--mono") || args.get("--frames") || args.get("--seek-frame")) {
        std::cerr << "zylavi probe: --frames, --mono and --seek-frame go with --md5\n";
        return kExitUsage;
    }
    CoInitialize(nullptr);
    dshow::media::RegisterMediaFilters();
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
        // Renderers that take what the module's renderers take, so the graph shows what a
        // player of the file would get.
        ComPtr<IBaseFilter> videoRenderer, textRenderer;
        {
            IUnknown* video = tools::NewChecksumRenderer(false, 0);
            IUnknown* text = tools::NewTextCollector();
            video->QueryInterface(IID_IBaseFilter, videoRenderer.PutVoid());
            text->QueryInterface(IID_IBaseFilter, textRenderer.PutVoid());
            video->Release();
            text->Release();
        }
        graph->AddFilter(videoRenderer.Get(), L"Video Renderer");
        graph->AddFilter(textRenderer.Get(), L"Text Renderer");
        hr = graph->RenderFile(tools::Widen(file).c_str(), nullptr);
        const auto filters = Describe(graph.Get());
        LONGLONG duration = -1, frames = -1;
        ComPtr<IMediaSeeking> seeking;
        if (SUCCEEDED(hr) && SUCCEEDED(graph.As(seeking, IID_IMediaSeeking))) {
            seeking->GetDuration(&duration);
            if (SUCCEEDED(seeking->SetTimeFormat(&TIME_FORMAT_FRAME)))
                seeking->GetDuration(&frames);
        }
        const char* outcome = hr == S_OK                   ? "rendered"
                              : hr == VFW_S_PARTIAL_RENDER ? "partly rendered"
                                                           : "not rendered";
        if (args.json) {
            std::cout << "{\"file\":" << Quoted(file) << ",\"result\":" << Quoted(Hex(hr))
                      << ",\"outcome\":" << Quoted(outcome);
            if (duration >= 0)
                std::cout << ",\"duration_ms\":" << static_cast<double>(duration) / 10000.0;
            if (frames >= 0)
                std::cout << ",\"frames\":" << frames;
            std::cout << ",\"filters\":[";
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
            if (duration >= 0) {
                std::cout << "  duration " << static_cast<double>(duration) / 10000.0 << " ms";
                if (frames >= 0)
                    std::cout << ", " << frames << " frames";
                std::cout << "\n";
            }
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
            const std::string cause = OpenFailure(file);
            std::cerr << "zylavi probe: RenderFile failed for " << file << ": " << Hex(hr);
            if (!cause.empty())
                std::cerr << " (" << cause << ")";
            else if (hr == VFW_E_UNKNOWN_FILE_TYPE)
                std::cerr << " (no source filter is registered for this extension)";
            std::cerr << "\n";
            status = kExitFailed;
        }
    }
    CoUninitialize();
    return status;
}

}  // namespace zyl::cli
