// A push source for the graph's tests: on its own streaming thread it emits numbered frames
// (RGB32, 8x8) at 40 ms intervals of stream time, then the end of the stream. It seeks in
// frame or media-time units: a seek flushes downstream, starts a new segment and goes on from
// the new frame. It opens "files" through IFileSourceFilter, so RenderFile can build it.
#pragma once

#include <atomic>
#include <thread>

#include "directshow/filter_graph.h"
#include "directshow/test_filters.h"

namespace zyl::test {

inline constexpr CLSID CLSID_PushSource{
    0x5E1B0E9C, 0x2F3D, 0x4C5B, {0x9A, 0x8E, 0x7D, 0x6C, 0x5B, 0x4A, 0x3F, 0x99}};
inline constexpr REFERENCE_TIME kFrameTime = 40 * MILLISECONDS;

class PushSource final : public CBaseFilter, public IMediaSeeking, public IFileSourceFilter {
public:
    explicit PushSource(int frames = 10)
        : CBaseFilter(L"push source", nullptr, &m_lock, CLSID_PushSource),
          m_pin(this, &m_lock),
          m_frames(frames) {
        m_pin.offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8, kFrameTime)};
        m_pin.seeking = this;
    }
    ~PushSource() override { StopThread(); }

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IMediaSeeking)
            return GetInterface(static_cast<IMediaSeeking*>(this), object);
        if (riid == IID_IFileSourceFilter)
            return GetInterface(static_cast<IFileSourceFilter*>(this), object);
        return CBaseFilter::NonDelegatingQueryInterface(riid, object);
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    HRESULT Pause() override {
        CAutoLock lock(&m_lock);
        const bool start = m_State == State_Stopped;
        const HRESULT hr = CBaseFilter::Pause();
        if (SUCCEEDED(hr) && start && m_pin.IsConnected())
            StartThread();
        return hr;
    }
    HRESULT Stop() override {
        StopThread();
        return CBaseFilter::Stop();
    }

    // IFileSourceFilter
    HRESULT Load(LPCWSTR name, const AM_MEDIA_TYPE*) override {
        m_file = name ? name : L"";
        return S_OK;
    }
    HRESULT GetCurFile(LPWSTR*, AM_MEDIA_TYPE*) override { return E_NOTIMPL; }

    // IMediaSeeking
    HRESULT GetCapabilities(DWORD* c) override {
        *c = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards | AM_SEEKING_CanSeekBackwards |
             AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetCurrentPos;
        return S_OK;
    }
    HRESULT CheckCapabilities(DWORD* c) override {
        DWORD mine;
        GetCapabilities(&mine);
        return (*c & ~mine) ? S_FALSE : S_OK;
    }
    HRESULT IsFormatSupported(const GUID* f) override {
        return *f == TIME_FORMAT_MEDIA_TIME || *f == TIME_FORMAT_FRAME ? S_OK : S_FALSE;
    }
    HRESULT QueryPreferredFormat(GUID* f) override {
        *f = TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    HRESULT GetTimeFormat(GUID* f) override {
        *f = m_format;
        return S_OK;
    }
    HRESULT IsUsingTimeFormat(const GUID* f) override { return *f == m_format ? S_OK : S_FALSE; }
    HRESULT SetTimeFormat(const GUID* f) override {
        if (IsFormatSupported(f) != S_OK)
            return E_INVALIDARG;
        m_format = *f;
        return S_OK;
    }
    HRESULT GetDuration(LONGLONG* d) override {
        *d = m_format == TIME_FORMAT_FRAME ? m_frames : m_frames * kFrameTime;
        return S_OK;
    }
    HRESULT GetStopPosition(LONGLONG* p) override { return GetDuration(p); }
    // Like a demuxer with a queue, the source itself is ahead of what is on screen.
    HRESULT GetCurrentPosition(LONGLONG* p) override {
        const LONGLONG next = m_next.load() + readAhead;
        *p = m_format == TIME_FORMAT_FRAME ? next : next * kFrameTime;
        return S_OK;
    }
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                              const GUID* sourceFormat) override {
        const GUID& from = sourceFormat ? *sourceFormat : m_format;
        const GUID& to = targetFormat ? *targetFormat : m_format;
        const LONGLONG media = from == TIME_FORMAT_FRAME ? source * kFrameTime : source;
        *target = to == TIME_FORMAT_FRAME ? media / kFrameTime : media;
        return S_OK;
    }
    HRESULT SetPositions(LONGLONG* current, DWORD flags, LONGLONG*, DWORD) override {
        ++seeks;
        if ((flags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_AbsolutePositioning)
            return S_OK;
        const LONGLONG frame = m_format == TIME_FORMAT_FRAME ? *current : *current / kFrameTime;
        const bool streaming = m_thread.joinable();
        if (streaming) {
            m_pin.DeliverBeginFlush();
            StopThread();
            m_pin.DeliverEndFlush();
        }
        m_next = static_cast<int>(frame);
        m_segmentStart = frame * kFrameTime;
        if (streaming)
            StartThread();
        return S_OK;
    }
    HRESULT GetPositions(LONGLONG* c, LONGLONG* s) override {
        GetCurrentPosition(c);
        return GetStopPosition(s);
    }
    HRESULT GetAvailable(LONGLONG* e, LONGLONG* l) override {
        *e = 0;
        return GetDuration(l);
    }
    HRESULT SetRate(double rate) override {
        if (rate < 0.25 || rate > 16.0)
            return E_INVALIDARG;
        m_rate = rate;
        return S_OK;
    }
    HRESULT GetRate(double* rate) override {
        *rate = m_rate;
        return S_OK;
    }
    HRESULT GetPreroll(LONGLONG* p) override {
        *p = 0;
        return S_OK;
    }

    SourcePin& pin() { return m_pin; }
    const std::wstring& file() const { return m_file; }
    int readAhead = 0;
    std::atomic<int> seeks{0};

private:
    void StartThread() {
        m_stop = false;
        m_thread = std::thread([this] {
            // Sample times are relative to the segment, which restarts at 0 after a seek.
            m_pin.DeliverNewSegment(m_segmentStart, m_frames * kFrameTime, m_rate);
            while (!m_stop && m_next < m_frames) {
                const int frame = m_next;
                const REFERENCE_TIME at =
                    static_cast<REFERENCE_TIME>((frame * kFrameTime - m_segmentStart) / m_rate);
                if (m_pin.Send(frame, at, at + kFrameTime) != S_OK)
                    break;
                int expected = frame;  // a seek meanwhile wins
                m_next.compare_exchange_strong(expected, frame + 1);
            }
            if (!m_stop && m_next >= m_frames)
                m_pin.DeliverEndOfStream();
        });
    }
    void StopThread() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    CCritSec m_lock;
    SourcePin m_pin;
    const int m_frames;
    std::atomic<int> m_next{0};
    REFERENCE_TIME m_segmentStart = 0;
    double m_rate = 1.0;
    GUID m_format = TIME_FORMAT_MEDIA_TIME;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::wstring m_file;
};

}  // namespace zyl::test
