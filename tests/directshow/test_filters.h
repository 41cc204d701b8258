// Filters written against the base classes the way a filter writer would: a source with one
// output pin offering video types, a recording input pin for streaming order, a recording
// renderer, and a graph that records the events filters post.
//
// Pins are called on the test thread and on streaming threads. What a pin records is under its
// own mutex, which may be taken inside the filter lock, never the other way round.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "directshow/filter.h"
#include "directshow/renderer.h"
#include "directshow/system_clock.h"
#include "directshow/transform.h"

namespace zyl::test {

// How long a test waits for what a streaming thread should do at once: long enough for a loaded
// host, short enough that a hang fails instead of stalling the run.
inline constexpr std::chrono::milliseconds kPatience{5000};

// A private subtype for the tests' compressed "packets": an int32 frame number at offset 0 and
// an int32 key-frame flag at offset 4. Only the tests' decoders and sinks take it.
inline constexpr GUID MEDIASUBTYPE_TestPacket{
    0x6B1D3A52, 0x93C4, 0x4E27, {0x8F, 0x1A, 0x52, 0xC0, 0x7E, 0x44, 0xB9, 0x13}};

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

// A filter with one pin of the given class.
template <class Pin>
class OnePinFilter final : public CBaseFilter {
public:
    OnePinFilter()
        : CBaseFilter(L"test filter", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    Pin& pin() { return m_pin; }

private:
    CCritSec m_lock;
    Pin m_pin;
};

class SourcePin final : public CBaseOutputPin {
public:
    SourcePin(CBaseFilter* filter, CCritSec* lock)
        : CBaseOutputPin(L"source pin", filter, lock, nullptr, L"Output") {}
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
    // Sends a packet: a number at offset 0 and a key-frame flag at offset 4 that is also the
    // sync point. Without a start it goes untimed; without an end, with no stop time.
    HRESULT SendPacket(int number, bool key, std::optional<REFERENCE_TIME> start,
                       std::optional<REFERENCE_TIME> end, bool preroll = false) {
        IMediaSample* sample = nullptr;
        if (HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0); FAILED(hr))
            return hr;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const std::int32_t packet[2] = {number, key ? 1 : 0};
        std::memcpy(data, packet, sizeof packet);
        sample->SetActualDataLength(sizeof packet);
        sample->SetTime(start ? &*start : nullptr, start && end ? &*end : nullptr);
        sample->SetSyncPoint(key);
        sample->SetPreroll(preroll);
        const HRESULT hr = Deliver(sample);
        sample->Release();
        return hr;
    }
    // Sends one sample carrying a number.
    HRESULT Send(int number, REFERENCE_TIME start, REFERENCE_TIME end, bool preroll = false) {
        return SendPacket(number, true, start, end, preroll);
    }
    std::vector<CMediaType> offers;
};

using SourceFilter = OnePinFilter<SourcePin>;

// What reached a RecordingPin: a sample or one of the other streaming calls.
struct PinEvent {
    enum class Kind { Sample, NewSegment, BeginFlush, EndFlush, EndOfStream };
    Kind kind = Kind::Sample;
    int frame = -1;  // a sample's number and key flag, as SourcePin::SendPacket writes them
    bool key = false, sync = false, preroll = false, discontinuity = false;
    HRESULT timing = S_OK;               // what the sample's GetTime answered
    REFERENCE_TIME start = 0, stop = 0;  // the sample's times, or the segment's
    double rate = 0;
};

inline std::vector<PinEvent> OfKind(const std::vector<PinEvent>& events, PinEvent::Kind kind) {
    std::vector<PinEvent> found;
    for (const PinEvent& e : events) {
        if (e.kind == kind)
            found.push_back(e);
    }
    return found;
}
inline int Count(const std::vector<PinEvent>& events, PinEvent::Kind kind) {
    return static_cast<int>(OfKind(events, kind).size());
}
inline std::size_t IndexOf(const std::vector<PinEvent>& events, PinEvent::Kind kind,
                           std::size_t from = 0) {
    while (from < events.size() && events[from].kind != kind)
        ++from;
    return from;
}
// The numbers of the samples among events [from, to).
inline std::vector<int> FramesOf(const std::vector<PinEvent>& events, std::size_t from = 0,
                                 std::size_t to = std::numeric_limits<std::size_t>::max()) {
    std::vector<int> frames;
    for (std::size_t i = from; i < events.size() && i < to; ++i) {
        if (events[i].kind == PinEvent::Kind::Sample)
            frames.push_back(events[i].frame);
    }
    return frames;
}

// An input pin that records everything reaching it, in order. It can refuse samples, keep them
// as a renderer keeps the one it waits with, or hold the streaming thread inside Receive at a
// frame until a flush (then it refuses the sample), a stop or LetGo.
class RecordingPin final : public CBaseInputPin {
public:
    using Kind = PinEvent::Kind;
    RecordingPin(CBaseFilter* filter, CCritSec* lock)
        : CBaseInputPin(L"recording pin", filter, lock, nullptr, L"In") {}
    ~RecordingPin() override { ReleaseKept(); }

    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Type() == MEDIATYPE_Video && *type->Subtype() == accepted ? S_OK : S_FALSE;
    }
    HRESULT Receive(IMediaSample* sample) override {
        if (HRESULT hr = CBaseInputPin::Receive(sample); hr != S_OK)
            return hr;
        std::unique_lock lock(m_mutex);
        if (!m_answers.empty()) {
            const HRESULT answer = m_answers.front();
            m_answers.pop_front();
            if (answer != S_OK)
                return answer;
        }
        PinEvent e;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        std::int32_t packet[2] = {};
        std::memcpy(packet, data, sizeof packet);
        e.frame = packet[0];
        e.key = packet[1] != 0;
        e.sync = sample->IsSyncPoint() == S_OK;
        e.preroll = sample->IsPreroll() == S_OK;
        e.discontinuity = sample->IsDiscontinuity() == S_OK;
        e.timing = sample->GetTime(&e.start, &e.stop);
        m_events.push_back(e);
        if (m_keep) {
            sample->AddRef();
            m_kept.push_back(sample);
        }
        HRESULT answer = S_OK;
        if (m_holdAt == e.frame) {
            m_holdAt.reset();
            m_holding = true;
            m_letGoWith = S_OK;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return !m_holding; });
            answer = m_letGoWith;
        }
        m_changed.notify_all();
        return answer;
    }
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override {
        Record({.kind = Kind::NewSegment, .start = start, .stop = stop, .rate = rate});
        return CBaseInputPin::NewSegment(start, stop, rate);
    }
    HRESULT BeginFlush() override {
        CBaseInputPin::BeginFlush();
        Record({.kind = Kind::BeginFlush});
        LetGoWith(S_FALSE);
        return S_OK;
    }
    HRESULT EndFlush() override {
        Record({.kind = Kind::EndFlush});
        return CBaseInputPin::EndFlush();
    }
    HRESULT EndOfStream() override {
        Record({.kind = Kind::EndOfStream});
        return S_OK;
    }
    HRESULT Inactive() override {
        LetGo();
        return CBaseInputPin::Inactive();
    }

    // What the next Receive calls answer instead of taking the sample (S_OK takes it).
    void Answer(std::vector<HRESULT> answers) {
        std::lock_guard lock(m_mutex);
        m_answers.assign(answers.begin(), answers.end());
    }
    // Keeps every sample received until ReleaseKept.
    void Keep() {
        std::lock_guard lock(m_mutex);
        m_keep = true;
    }
    void ReleaseKept() {
        std::vector<IMediaSample*> kept;
        {
            std::lock_guard lock(m_mutex);
            kept.swap(m_kept);
            m_keep = false;
        }
        for (IMediaSample* sample : kept)
            sample->Release();
    }
    void HoldAt(int frame) {
        std::lock_guard lock(m_mutex);
        m_holdAt = frame;
    }
    void LetGo() { LetGoWith(S_OK); }
    bool WaitHolding() {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [this] { return m_holding; });
    }
    // Waits until n samples have been received; false on time-out.
    bool WaitFor(std::size_t n, std::chrono::milliseconds timeout = kPatience) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout,
                                  [&] { return OfKind(m_events, Kind::Sample).size() >= n; });
    }
    // Waits until `ends` ends of stream have arrived; false on time-out.
    bool WaitEndOfStream(std::size_t ends = 1) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [&] {
            return static_cast<std::size_t>(Count(m_events, Kind::EndOfStream)) >= ends;
        });
    }

    std::vector<PinEvent> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::vector<PinEvent> Samples() { return OfKind(Events(), Kind::Sample); }
    std::vector<int> Numbers() { return FramesOf(Events()); }
    // How many samples had arrived at each end of stream.
    std::vector<std::size_t> EndsOfStream() {
        std::vector<std::size_t> ends;
        std::size_t samples = 0;
        for (const PinEvent& e : Events()) {
            samples += e.kind == Kind::Sample;
            if (e.kind == Kind::EndOfStream)
                ends.push_back(samples);
        }
        return ends;
    }

    GUID accepted = MEDIASUBTYPE_RGB32;

private:
    void Record(const PinEvent& e) {
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(e);
        }
        m_changed.notify_all();
    }
    // Ends a hold; the held Receive answers `answer`.
    void LetGoWith(HRESULT answer) {
        {
            std::lock_guard lock(m_mutex);
            if (m_holding)
                m_letGoWith = answer;
            m_holding = false;
        }
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<PinEvent> m_events;
    std::deque<HRESULT> m_answers;
    std::vector<IMediaSample*> m_kept;
    bool m_keep = false;
    std::optional<int> m_holdAt;
    bool m_holding = false;
    HRESULT m_letGoWith = S_OK;
};

using RecordingSink = OnePinFilter<RecordingPin>;

// A renderer that accepts one video subtype and records every frame DoRenderSample is given,
// with the filter's state and the system clock's time at that moment, the way a renderer writer
// overrides only that. A render can be made to take a while or to fail.
class RecordingRenderer final : public CBaseVideoRenderer {
public:
    struct Render {
        int number;
        FILTER_STATE state;
        REFERENCE_TIME at;
    };
    explicit RecordingRenderer(const GUID& accepted = MEDIASUBTYPE_RGB32)
        : CBaseVideoRenderer(GUID_NULL, L"recorder", nullptr, nullptr), m_accepted(accepted) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Subtype() == m_accepted ? S_OK : S_FALSE;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        rendering = true;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        int number;
        std::memcpy(&number, data, sizeof number);
        {
            std::lock_guard lock(m_mutex);
            m_renders.push_back({number, m_State.load(), MonotonicReferenceTime()});
        }
        m_changed.notify_all();
        std::this_thread::sleep_for(renderTime);
        rendering = false;
        return failWith;
    }
    // Called, under the renderer lock, each time a sample is about to wait for its time.
    HRESULT ShouldDrawSampleNow(IMediaSample*, REFERENCE_TIME*, REFERENCE_TIME*) override {
        {
            std::lock_guard lock(m_mutex);
            ++m_scheduled;
        }
        m_changed.notify_all();
        return S_FALSE;
    }
    // Waits until n renders have begun; false on time-out.
    bool WaitFor(std::size_t n, std::chrono::milliseconds timeout = kPatience) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_renders.size() >= n; });
    }
    // Waits until samples were put on the clock n times in all; false on time-out.
    bool WaitScheduled(int n) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [&] { return m_scheduled >= n; });
    }
    int Scheduled() {
        std::lock_guard lock(m_mutex);
        return m_scheduled;
    }
    std::vector<Render> Renders() {
        std::lock_guard lock(m_mutex);
        return m_renders;
    }
    std::vector<int> Frames() {
        std::vector<int> numbers;
        for (const Render& r : Renders())
            numbers.push_back(r.number);
        return numbers;
    }
    // What DoRenderSample answers, as a sink whose buffer is full would.
    std::atomic<HRESULT> failWith{S_OK};
    std::chrono::milliseconds renderTime{0};  // set before streaming
    std::atomic<bool> rendering{false};

private:
    GUID m_accepted;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Render> m_renders;
    int m_scheduled = 0;
};

// A transform from RGB32 frames to RGB24 frames carrying ten times the frame number, counting
// how often streaming starts and stops.
class TenTimes final : public CTransformFilter {
public:
    TenTimes() : CTransformFilter(L"ten times", nullptr, GUID_NULL) {}
    HRESULT CheckInputType(const CMediaType* type) override {
        return *type->Subtype() == MEDIASUBTYPE_RGB32 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT CheckTransform(const CMediaType*, const CMediaType* out) override {
        return *out->Subtype() == MEDIASUBTYPE_RGB24 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = VideoType(MEDIASUBTYPE_RGB24, 8, 8);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{2, 8 * 8 * 3, 1, 0}, actual{};
        return allocator->SetProperties(&request, &actual);
    }
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
        BYTE *from = nullptr, *to = nullptr;
        in->GetPointer(&from);
        out->GetPointer(&to);
        std::int32_t packet[2];
        std::memcpy(packet, from, sizeof packet);
        packet[0] *= 10;
        std::memcpy(to, packet, sizeof packet);
        return S_OK;
    }
    HRESULT StartStreaming() override {
        ++starts;
        return S_OK;
    }
    HRESULT StopStreaming() override {
        ++stops;
        return S_OK;
    }
    std::atomic<int> starts{0}, stops{0};
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
        {
            std::lock_guard lock(m_mutex);
            m_events.emplace_back(code, param1);
            m_postedAt.push_back(MonotonicReferenceTime());
        }
        m_posted.notify_all();
        return S_OK;
    }
    // When the first event of the code was posted (the system clock's time), or nothing when
    // none was within the time-out.
    std::optional<REFERENCE_TIME> WaitFor(LONG code, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        std::optional<REFERENCE_TIME> at;
        m_posted.wait_for(lock, timeout, [&] {
            for (std::size_t i = 0; i < m_events.size(); ++i)
                if (m_events[i].first == code)
                    at = m_postedAt[i];
            return at.has_value();
        });
        return at;
    }
    // The codes posted, in order, and with their first parameter.
    std::vector<LONG> Events() {
        std::vector<LONG> codes;
        for (const auto& e : Posted())
            codes.push_back(e.first);
        return codes;
    }
    std::vector<std::pair<LONG, LONG_PTR>> Posted() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
        m_postedAt.clear();
    }
    virtual ~EventGraph() = default;

private:
    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::vector<std::pair<LONG, LONG_PTR>> m_events;
    std::vector<REFERENCE_TIME> m_postedAt;
};

// Makes a filter with its first reference held by the caller.
template <class F, class... Args>
F* Make(Args&&... args) {
    F* filter = new F(std::forward<Args>(args)...);
    filter->NonDelegatingAddRef();
    return filter;
}

}  // namespace zyl::test
