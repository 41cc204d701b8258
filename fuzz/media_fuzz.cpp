// libFuzzer target: the media path (the FFmpeg source filter, the video decoder and a renderer
// that takes what the module's video renderer takes) must play or refuse any file, never crash,
// hang or leak. The input is read from memory: a memfd opened by its /proc/self/fd name, so the
// source sees an ordinary file with no extension and FFmpeg probes its content. Each input runs
// unclocked for a bounded time, from the start or after a frame seek chosen by its last byte.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "common/frame_pull.h"
#include "directshow/filter_graph.h"
#include "directshow/media/media_filters.h"
#include "directshow/media/media_source.h"

namespace {

constexpr auto kPlayFor = std::chrono::milliseconds(500);

// The input as a file of its own, closed when done.
class MemoryFile {
public:
    MemoryFile(const std::uint8_t* data, std::size_t size)
        : fd_(memfd_create("media", MFD_CLOEXEC)) {
        for (std::size_t done = 0; fd_ >= 0 && done < size;) {
            const ssize_t wrote = write(fd_, data + done, size - done);
            if (wrote <= 0)
                break;
            done += static_cast<std::size_t>(wrote);
        }
    }
    ~MemoryFile() {
        if (fd_ >= 0)
            close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    std::wstring path() const { return L"/proc/self/fd/" + std::to_wstring(fd_); }

private:
    int fd_;
};

void Play(const std::wstring& path, LONGLONG seekFrame) {
    ComPtr<IGraphBuilder> graph;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                graph.PutVoid())))
        __builtin_trap();
    auto* source = new dshow::media::CMediaSource(nullptr);
    source->NonDelegatingAddRef();
    ComPtr<IBaseFilter> sourceFilter;
    source->NonDelegatingQueryInterface(IID_IBaseFilter, sourceFilter.PutVoid());
    source->NonDelegatingRelease();
    if (FAILED(source->Load(path.c_str(), nullptr)))
        return;
    ComPtr<IPin> videoPin;
    for (int i = 0; i < source->GetPinCount() && !videoPin; ++i) {
        CBasePin* pin = source->GetPin(i);
        CMediaType type;
        if (pin->GetMediaType(0, &type) == S_OK && type.majortype == MEDIATYPE_Video)
            pin->NonDelegatingQueryInterface(IID_IPin, videoPin.PutVoid());
    }
    if (!videoPin)
        return;
    IUnknown* renderer = zyl::tools::NewChecksumRenderer(false, 8);
    ComPtr<IBaseFilter> rendererFilter;
    renderer->QueryInterface(IID_IBaseFilter, rendererFilter.PutVoid());
    renderer->Release();
    graph->AddFilter(sourceFilter.Get(), L"Source");
    graph->AddFilter(rendererFilter.Get(), L"Renderer");
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> rendererPin;
    if (FAILED(rendererFilter->EnumPins(pins.Put())) ||
        pins->Next(1, rendererPin.Put(), nullptr) != S_OK)
        __builtin_trap();
    if (FAILED(graph->Connect(videoPin.Get(), rendererPin.Get())))
        return;
    ComPtr<IMediaFilter> timing;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaEventEx> events;
    graph.As(timing, IID_IMediaFilter);
    graph.As(control, IID_IMediaControl);
    graph.As(seeking, IID_IMediaSeeking);
    graph.As(events, IID_IMediaEventEx);
    timing->SetSyncSource(nullptr);
    if (seekFrame > 0 && SUCCEEDED(seeking->SetTimeFormat(&TIME_FORMAT_FRAME)))
        seeking->SetPositions(&seekFrame, AM_SEEKING_AbsolutePositioning, nullptr,
                              AM_SEEKING_NoPositioning);
    if (SUCCEEDED(control->Run())) {
        const auto deadline = std::chrono::steady_clock::now() + kPlayFor;
        bool ended = false;
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            LONG code = 0;
            LONG_PTR p1 = 0, p2 = 0;
            if (events->GetEvent(&code, &p1, &p2, 10) == S_OK) {
                ended = code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT;
                events->FreeEventParams(code, p1, p2);
            }
        }
    }
    control->Stop();
    LONGLONG duration = 0;
    seeking->GetDuration(&duration);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        CoInitialize(nullptr);
        dshow::media::RegisterMediaFilters();
        return true;
    }();
    (void)ready;
    if (size == 0)
        return 0;
    const MemoryFile file(data, size);
    if (!file.ok())
        return 0;
    // A quarter of the inputs start with a seek into their first frames.
    const LONGLONG seek = data[size - 1] % 4 == 0 ? data[size - 1] / 4 % 8 : 0;
    Play(file.path(), seek);
    return 0;
}
