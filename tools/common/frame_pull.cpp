#include "common/frame_pull.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "common/md5.h"
#include "directshow/filter_graph.h"
#include "directshow/media/media_filters.h"
#include "directshow/media/media_source.h"
#include "directshow/media/media_types.h"
#include "directshow/renderer.h"
#include "platform/text.h"

namespace zyl::tools {
namespace {

using dshow::media::DibStride;

constexpr CLSID CLSID_ChecksumRenderer{
    0x51E0C6A4, 0x3B7D, 0x4F22, {0x86, 0x0E, 0x9D, 0x14, 0x2A, 0xB7, 0x63, 0xC8}};

bool IsGreyPalette(const VIDEOINFO& info) {
    for (std::size_t i = 0; i < iPALETTE_COLORS; ++i) {
        const RGBQUAD& q = info.bmiColors[i];
        if (q.rgbRed != i || q.rgbGreen != i || q.rgbBlue != i)
            return false;
    }
    return true;
}

class ChecksumRenderer final : public CBaseRenderer {
public:
    ChecksumRenderer(bool mono, int wanted, bool keepPixels = false, GUID only = GUID_NULL)
        : CBaseRenderer(CLSID_ChecksumRenderer, L"Checksum Renderer", nullptr, nullptr),
          m_mono(mono),
          m_wanted(wanted),
          m_keepPixels(keepPixels),
          m_only(only) {}

    HRESULT CheckMediaType(const CMediaType* type) override {
        if (type->majortype != MEDIATYPE_Video || type->formattype != FORMAT_VideoInfo)
            return E_INVALIDARG;
        if (m_only != GUID_NULL && type->subtype != m_only)
            return E_INVALIDARG;
        if (type->subtype == MEDIASUBTYPE_RGB8)
            return S_OK;
        if (!type->bFixedSizeSamples)
            return E_INVALIDARG;
        if (type->subtype == MEDIASUBTYPE_RGB24 || type->subtype == MEDIASUBTYPE_RGB32)
            return S_OK;
        return type->subtype == MEDIASUBTYPE_NV12 && m_mono ? S_OK : E_INVALIDARG;
    }

    HRESULT SetMediaType(const CMediaType* type) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        dshow::media::VideoGeometry geometry;
        if (!dshow::media::ReadVideoGeometry(*type, &geometry))
            return E_INVALIDARG;
        m_width = geometry.width;
        m_height = geometry.height;
        m_subtype = type->subtype;
        m_palette.assign(iPALETTE_COLORS, RGBQUAD{});
        m_grey = true;
        if (m_subtype == MEDIASUBTYPE_RGB8) {
            VIDEOINFO info{};
            std::memcpy(&info, type->pbFormat, std::min<std::size_t>(type->cbFormat, sizeof info));
            m_grey = IsGreyPalette(info);
            std::memcpy(m_palette.data(), info.bmiColors, SIZE_PALETTE);
        } else {
            m_grey = m_subtype == MEDIASUBTYPE_NV12;
        }
        m_row.resize(static_cast<std::size_t>(m_width) * 3);
        return S_OK;
    }

    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data)))
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (static_cast<int>(m_md5s.size()) >= m_wanted)
            return S_OK;
        REFERENCE_TIME start = 0, end = 0;
        if (FAILED(sample->GetTime(&start, &end)))
            start = -1;
        const LONG length = sample->GetActualDataLength();
        Md5 md5;
        std::vector<std::uint8_t> kept;
        auto update = [&](const std::uint8_t* bytes, std::size_t size) {
            md5.Update(bytes, size);
            if (m_keepPixels)
                kept.insert(kept.end(), bytes, bytes + size);
        };
        if (m_subtype == MEDIASUBTYPE_NV12) {
            const LONG stride = DibStride(m_width, 8);
            for (LONG y = 0; y < m_height && (y + 1) * stride <= length; ++y)
                update(data + std::ptrdiff_t{y} * stride, static_cast<std::size_t>(m_width));
        } else {
            const int bits = m_subtype == MEDIASUBTYPE_RGB8    ? 8
                             : m_subtype == MEDIASUBTYPE_RGB24 ? 24
                                                               : 32;
            const LONG stride = DibStride(m_width, bits);
            if (stride * m_height > length)
                return E_INVALIDARG;
            for (LONG y = m_height - 1; y >= 0; --y) {  // bottom-up rows
                const BYTE* row = data + std::ptrdiff_t{y} * stride;
                if (bits == 8 && m_grey) {
                    update(row, static_cast<std::size_t>(m_width));
                    continue;
                }
                for (LONG x = 0; x < m_width; ++x) {
                    BYTE* out = &m_row[static_cast<std::size_t>(x) * 3];
                    if (bits == 8) {
                        const RGBQUAD& q = m_palette[row[x]];
                        out[0] = q.rgbRed, out[1] = q.rgbGreen, out[2] = q.rgbBlue;
                    } else {
                        const BYTE* in = row + std::ptrdiff_t{x} * (bits / 8);
                        out[0] = in[2], out[1] = in[1], out[2] = in[0];
                    }
                }
                update(m_row.data(), m_row.size());
            }
        }
        m_md5s.push_back(md5.HexDigest());
        m_starts.push_back(start);
        if (m_keepPixels)
            m_pixels.push_back(std::move(kept));
        m_changed.notify_all();
        return S_OK;
    }

    // Waits until enough frames were hashed, or the time runs out.
    void WaitFor(std::chrono::milliseconds timeout, const std::function<bool()>& ended) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (static_cast<int>(m_md5s.size()) < m_wanted &&
               std::chrono::steady_clock::now() < deadline) {
            lock.unlock();
            const bool done = ended();
            lock.lock();
            if (done)
                break;
            m_changed.wait_for(lock, std::chrono::milliseconds(20));
        }
    }

    void Take(PullResult& result) {
        std::lock_guard<std::mutex> lock(m_mutex);
        result.md5s = m_md5s;
        result.startTimes = m_starts;
        result.pixels = m_pixels;
        result.pixelFormat = m_grey ? "gray" : "rgb24";
        result.subtype = m_subtype == MEDIASUBTYPE_RGB8    ? "RGB8"
                         : m_subtype == MEDIASUBTYPE_RGB24 ? "RGB24"
                         : m_subtype == MEDIASUBTYPE_RGB32 ? "RGB32"
                                                           : "NV12";
    }

private:
    const bool m_mono;
    const int m_wanted;
    const bool m_keepPixels;
    const GUID m_only;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    LONG m_width = 0, m_height = 0;
    GUID m_subtype{};
    bool m_grey = false;
    std::vector<RGBQUAD> m_palette;
    std::vector<BYTE> m_row;
    std::vector<std::string> m_md5s;
    std::vector<std::int64_t> m_starts;
    std::vector<std::vector<std::uint8_t>> m_pixels;
};

constexpr CLSID CLSID_TextCollector{
    0x51E0C6A5, 0x3B7D, 0x4F22, {0x86, 0x0E, 0x9D, 0x14, 0x2A, 0xB7, 0x63, 0xC8}};

class TextCollector final : public CBaseRenderer {
public:
    TextCollector() : CBaseRenderer(CLSID_TextCollector, L"Text Renderer", nullptr, nullptr) {}

    HRESULT CheckMediaType(const CMediaType* type) override {
        return type->majortype == MEDIATYPE_Text ? S_OK : E_INVALIDARG;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data)))
            return E_POINTER;
        REFERENCE_TIME start = 0, end = 0;
        if (FAILED(sample->GetTime(&start, &end)))
            start = -1;
        const auto length =
            static_cast<std::size_t>(std::max<LONG>(sample->GetActualDataLength(), 0));
        const auto* text = reinterpret_cast<const char*>(data);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_texts.push_back({start, end, std::string(text, strnlen(text, length))});
        return S_OK;
    }
    std::vector<TextSample> Texts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }

private:
    std::mutex m_mutex;
    std::vector<TextSample> m_texts;
};

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

PullResult Pull(const std::string& path, const PullOptions& options) {
    PullResult result;
    const auto wide = platform::utf8ToWide(path);
    if (!wide) {
        result.error = path + ": the name is not valid text";
        return result;
    }
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGraphBuilder, graph.PutVoid());
    if (FAILED(hr)) {
        result.error = "cannot create the filter graph (" + Hex(hr) + ")";
        return result;
    }
    // Only the first video stream is wanted: the source is added by hand and that one pin
    // connected, so no other stream's renderer takes part.
    auto* source = new dshow::media::CMediaSource(nullptr);
    source->NonDelegatingAddRef();
    ComPtr<IBaseFilter> sourceFilter;
    source->NonDelegatingQueryInterface(IID_IBaseFilter, sourceFilter.PutVoid());
    source->NonDelegatingRelease();
    hr = source->Load(wide->c_str(), nullptr);
    if (FAILED(hr)) {
        result.error = path + ": " + source->LastError() + " (" + Hex(hr) + ")";
        return result;
    }
    const GUID only = options.only == "RGB8"    ? MEDIASUBTYPE_RGB8
                      : options.only == "RGB24" ? MEDIASUBTYPE_RGB24
                      : options.only == "RGB32" ? MEDIASUBTYPE_RGB32
                                                : GUID_NULL;
    auto* renderer = new ChecksumRenderer(options.mono, options.frames, options.keepPixels, only);
    renderer->NonDelegatingAddRef();
    ComPtr<IBaseFilter> rendererFilter;
    renderer->NonDelegatingQueryInterface(IID_IBaseFilter, rendererFilter.PutVoid());
    renderer->NonDelegatingRelease();
    graph->AddFilter(sourceFilter.Get(), L"Source");
    graph->AddFilter(rendererFilter.Get(), L"Checksum Renderer");

    ComPtr<IPin> videoPin;
    for (int i = 0; i < source->GetPinCount() && !videoPin; ++i) {
        CBasePin* pin = source->GetPin(i);
        if (pin->CurrentMediaType().majortype == MEDIATYPE_Video || [&] {
                CMediaType type;
                return pin->GetMediaType(0, &type) == S_OK && type.majortype == MEDIATYPE_Video;
            }())
            pin->NonDelegatingQueryInterface(IID_IPin, videoPin.PutVoid());
    }
    if (!videoPin) {
        result.error = path + ": it has no video stream";
        return result;
    }
    ComPtr<IPin> rendererPin;
    renderer->GetPin(0)->NonDelegatingQueryInterface(IID_IPin, rendererPin.PutVoid());
    hr = graph->Connect(videoPin.Get(), rendererPin.Get());
    if (FAILED(hr)) {
        result.error = path +
                       ": its video cannot be decoded to a format the video renderer takes (" +
                       Hex(hr) + ")";
        return result;
    }
    TextCollector* collector = nullptr;
    ComPtr<IBaseFilter> collectorFilter;
    if (options.texts) {
        for (int i = 0; i < source->GetPinCount(); ++i) {
            CBasePin* pin = source->GetPin(i);
            CMediaType type;
            if (pin->GetMediaType(0, &type) != S_OK || type.majortype != MEDIATYPE_Text)
                continue;
            collector = new TextCollector;
            collector->NonDelegatingAddRef();
            collector->NonDelegatingQueryInterface(IID_IBaseFilter, collectorFilter.PutVoid());
            collector->NonDelegatingRelease();
            graph->AddFilter(collectorFilter.Get(), L"Text Renderer");
            ComPtr<IPin> textPin, collectorPin;
            pin->NonDelegatingQueryInterface(IID_IPin, textPin.PutVoid());
            collector->GetPin(0)->NonDelegatingQueryInterface(IID_IPin, collectorPin.PutVoid());
            graph->ConnectDirect(textPin.Get(), collectorPin.Get(), nullptr);
            break;
        }
    }
    ComPtr<IMediaFilter> timing;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaEventEx> events;
    graph.As(timing, IID_IMediaFilter);
    graph.As(control, IID_IMediaControl);
    graph.As(seeking, IID_IMediaSeeking);
    graph.As(events, IID_IMediaEventEx);
    timing->SetSyncSource(nullptr);  // as fast as it decodes
    if (options.rate != 1.0 && FAILED(hr = seeking->SetRate(options.rate))) {
        result.error =
            path + ": cannot play at rate " + std::to_string(options.rate) + " (" + Hex(hr) + ")";
        return result;
    }
    if (options.seekFrame >= 0) {
        hr = seeking->SetTimeFormat(&TIME_FORMAT_FRAME);
        LONGLONG position = options.seekFrame;
        if (SUCCEEDED(hr))
            hr = seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                       AM_SEEKING_NoPositioning);
        if (FAILED(hr)) {
            result.error = path + ": cannot seek to frame " + std::to_string(options.seekFrame) +
                           " (" + Hex(hr) + ")";
            return result;
        }
    }
    hr = control->Run();
    if (FAILED(hr)) {
        result.error = path + ": the graph does not run (" + Hex(hr) + ")";
        return result;
    }
    bool complete = false;
    LONG ended = 0;
    LONG_PTR cause = 0;
    renderer->WaitFor(std::chrono::minutes(10), [&] {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (!complete && events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            complete = code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT;
            if (complete)
                ended = code, cause = p1;
            events->FreeEventParams(code, p1, p2);
        }
        return complete;
    });
    control->Stop();
    renderer->Take(result);
    if (ended == EC_ERRORABORT || ended == EC_USERABORT) {
        result.error = path + ": the stream stopped with an error (" +
                       Hex(static_cast<HRESULT>(cause)) + ") after " +
                       std::to_string(result.md5s.size()) + " frame(s)";
        return result;
    }
    if (!complete && static_cast<int>(result.md5s.size()) < options.frames) {
        result.error = path + ": no frame came for 10 minutes";
        return result;
    }
    if (collector)
        result.texts = collector->Texts();
    if (SUCCEEDED(seeking->SetTimeFormat(&TIME_FORMAT_FRAME))) {
        LONGLONG frames = 0;
        if (SUCCEEDED(seeking->GetDuration(&frames)))
            result.frameCount = frames;
    }
    result.ok = true;
    return result;
}

}  // namespace

IUnknown* NewChecksumRenderer(bool mono, int frames) {
    auto* renderer = new ChecksumRenderer(mono, frames);
    IUnknown* unknown = nullptr;
    renderer->NonDelegatingAddRef();
    renderer->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
    renderer->NonDelegatingRelease();
    return unknown;
}

IUnknown* NewTextCollector() {
    auto* collector = new TextCollector;
    IUnknown* unknown = nullptr;
    collector->NonDelegatingAddRef();
    collector->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
    collector->NonDelegatingRelease();
    return unknown;
}

PullResult PullFrames(const std::string& path, const PullOptions& options) {
    const HRESULT init = CoInitialize(nullptr);
    dshow::media::RegisterMediaFilters();
    PullResult result = Pull(path, options);
    if (SUCCEEDED(init))
        CoUninitialize();
    return result;
}

}  // namespace zyl::tools
