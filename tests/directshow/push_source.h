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

class PushSource final : public CBaseFilter, public SeekingStub, public IFileSourceFilter {
public:
    explicit PushSource(int frames = 10)
        : CBaseFilter(L"push source", nullptr, &m_lock, CLSID_PushSource),
          SeekingStub(frames * kFrameTime, kFrameTime),
          m_pin(this, &m_lock),
          m_frames(frames) {
        capabilities = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                       AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetDuration |
                       AM_SEEKING_CanGetCurrentPos;
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

    HRESULT PauseStream(FILTER_STATE from) override {
        if (from == State_Stopped && m_pin.IsConnected())
            StartThread();
        return S_OK;
    }
    HRESULT CleanupStream(FILTER_STATE) override {
        StopThread();
        return S_OK;
    }

    // IFileSourceFilter
    HRESULT Load(LPCWSTR name, const AM_MEDIA_TYPE*) override {
        m_file = name ? name : L"";
        return S_OK;
    }
    HRESULT GetCurFile(LPWSTR*, AM_MEDIA_TYPE*) override { return E_NOTIMPL; }

    // IMediaSeeking, beyond the stub's. Like a demuxer with a queue, the source itself is ahead
    // of what is on screen.
    HRESULT GetCurrentPosition(LONGLONG* p) override {
        return Put(p, InFormat((m_next.load() + readAhead) * kFrameTime));
    }
    HRESULT SetPositions(LONGLONG* at, DWORD flags, LONGLONG* stopAt, DWORD stopFlags) override {
        SeekingStub::SetPositions(at, flags, stopAt, stopFlags);
        if ((flags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_AbsolutePositioning)
            return S_OK;
        const LONGLONG frame = format == TIME_FORMAT_FRAME ? *at : *at / kFrameTime;
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
    HRESULT SetRate(double r) override {
        return r < 0.25 || r > 16.0 ? E_INVALIDARG : SeekingStub::SetRate(r);
    }

    SourcePin& pin() { return m_pin; }
    const std::wstring& file() const { return m_file; }
    int readAhead = 0;

private:
    void StartThread() {
        m_stop = false;
        m_thread = std::thread([this] {
            // Sample times are relative to the segment, which restarts at 0 after a seek.
            m_pin.DeliverNewSegment(m_segmentStart, m_frames * kFrameTime, rate);
            while (!m_stop && m_next < m_frames) {
                const int frame = m_next;
                const REFERENCE_TIME at =
                    static_cast<REFERENCE_TIME>((frame * kFrameTime - m_segmentStart) / rate);
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
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::wstring m_file;
};

}  // namespace zyl::test
