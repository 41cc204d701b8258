// A source written on CSource the way a filter writer would: one seeking output pin that
// pushes numbered frames from its streaming thread. Each sample carries its frame number
// (int32 at offset 0) and whether it is a key frame (int32 at offset 4, also the sync point);
// a key frame comes every K frames. It opens "files" through IFileSourceFilter, so RenderFile
// can build it, can be told to fail at a frame, and counts its streaming threads.
//
// Threads: the pin's streaming thread runs FillBuffer; OnSeek runs on the seeking thread with
// the streaming thread parked. The reader position needs no lock of its own for that reason.
// The fault knob and the counters are atomics. Locks are the base classes'.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "com/runtime.h"
#include "directshow/filter_graph.h"
#include "directshow/source_seeking.h"
#include "directshow/test_filters.h"

namespace zyl::test {

inline constexpr CLSID CLSID_FrameSource{
    0x3F0C8E21, 0x5A7B, 0x4D19, {0xA4, 0x62, 0x1E, 0x9B, 0x70, 0xD5, 0x28, 0xC6}};

struct FrameSourceThreads {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
};

class FrameSource;

class FramePin final : public CSourceSeekingStream {
public:
    FramePin(CSource* filter, HRESULT* hr, int frames, REFERENCE_TIME frameTime, int keyEvery,
             const GUID& subtype, std::shared_ptr<FrameSourceThreads> threads)
        : CSourceSeekingStream(L"frame source pin", hr, filter, L"Output"),
          m_frames(frames),
          m_frameTime(frameTime),
          m_keyEvery(keyEvery > 0 ? keyEvery : 1),
          m_subtype(subtype),
          m_threads(std::move(threads)) {
        m_rtDuration = m_rtStop = frames * frameTime;
        SetFrameTime(frameTime);
    }

    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = VideoType(m_subtype, 8, 8, m_frameTime);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        const LONG size = std::max<LONG>(8, static_cast<LONG>(m_mt.lSampleSize));
        ALLOCATOR_PROPERTIES request{3, size, 1, 0}, actual{};
        return allocator->SetProperties(&request, &actual);
    }

    // FillBuffer fails with E_FAIL at this frame (-1: never).
    std::atomic<int> failAt{-1};
    // How often the reader was moved (a new thread starts with one move too), and how often
    // the time format and the rate were set.
    std::atomic<int> seeks{0};
    std::atomic<int> timeFormatsSet{0};
    std::atomic<int> ratesSet{0};
    HRESULT SetTimeFormat(const GUID* format) override {
        ++timeFormatsSet;
        return CSourceSeekingStream::SetTimeFormat(format);
    }
    HRESULT SetRate(double rate) override {
        ++ratesSet;
        return CSourceSeekingStream::SetRate(rate);
    }
    // Frames read ahead of the last one made, as a demuxer with a queue is ahead of the screen;
    // when set, the pin answers its own current position from there.
    std::atomic<int> readAhead{0};
    HRESULT GetCurrentPosition(LONGLONG* position) override {
        if (readAhead == 0 || !position)
            return CSourceSeekingStream::GetCurrentPosition(position);
        return ConvertTimeFormat(position, nullptr, (m_next + readAhead) * m_frameTime,
                                 &TIME_FORMAT_MEDIA_TIME);
    }

protected:
    HRESULT FillBuffer(IMediaSample* sample) override {
        const int frame = m_next;
        const REFERENCE_TIME start = frame * m_frameTime;
        if (frame >= m_frames || IsAtOrPastStop(start))
            return S_FALSE;
        if (frame == failAt.load())
            return E_FAIL;
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data)) || sample->GetSize() < 8)
            return E_UNEXPECTED;
        const std::int32_t number = frame;
        const std::int32_t key = frame % m_keyEvery == 0 ? 1 : 0;
        std::memcpy(data, &number, sizeof number);
        std::memcpy(data + 4, &key, sizeof key);
        sample->SetSyncPoint(key);
        LONGLONG mediaStart = frame, mediaEnd = frame + 1;
        sample->SetMediaTime(&mediaStart, &mediaEnd);
        StampSample(sample, start, start + m_frameTime);
        ++m_next;
        return S_OK;
    }
    HRESULT OnThreadCreate() override {
        ++m_threads->created;
        return CSourceSeekingStream::OnThreadCreate();
    }
    HRESULT OnThreadDestroy() override {
        ++m_threads->destroyed;
        return S_OK;
    }
    HRESULT OnSeek(REFERENCE_TIME start) override {
        ++seeks;
        const LONGLONG frame = std::clamp<LONGLONG>(start / m_frameTime, 0, m_frames);
        m_next = static_cast<int>(frame - frame % m_keyEvery);
        return S_OK;
    }
    REFERENCE_TIME KeyFrameBefore(REFERENCE_TIME position) override {
        const LONGLONG frame = std::max<LONGLONG>(position / m_frameTime, 0);
        return (frame - frame % m_keyEvery) * m_frameTime;
    }

private:
    const int m_frames;
    const REFERENCE_TIME m_frameTime;
    const int m_keyEvery;
    const GUID m_subtype;
    std::shared_ptr<FrameSourceThreads> m_threads;
    std::atomic<int> m_next{0};  // the next frame FillBuffer makes
};

class FrameSource : public CSource, public IFileSourceFilter {
public:
    explicit FrameSource(int frames = 10, REFERENCE_TIME frameTime = 40 * MILLISECONDS,
                         int keyEvery = 1, const GUID& subtype = MEDIASUBTYPE_TestPacket,
                         const CLSID& clsid = CLSID_FrameSource)
        : CSource(L"frame source", nullptr, clsid),
          threads(std::make_shared<FrameSourceThreads>()) {
        // The pin adds itself; CSource deletes it.
        m_pin = new FramePin(this, nullptr, frames, frameTime, keyEvery, subtype, threads);
    }

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IFileSourceFilter)
            return GetInterface(static_cast<IFileSourceFilter*>(this), object);
        return CSource::NonDelegatingQueryInterface(riid, object);
    }

    // IFileSourceFilter
    HRESULT Load(LPCWSTR name, const AM_MEDIA_TYPE*) override { return name ? S_OK : E_POINTER; }
    HRESULT GetCurFile(LPWSTR*, AM_MEDIA_TYPE*) override { return E_NOTIMPL; }

    FramePin& pin() { return *m_pin; }
    // The pin's seeking interface, without a reference added.
    IMediaSeeking* seeking() { return static_cast<IMediaSeeking*>(m_pin); }
    void FailAt(int frame) { m_pin->failAt = frame; }

    // Outlives the filter, so a test can count threads after the last release.
    const std::shared_ptr<FrameSourceThreads> threads;

private:
    FramePin* m_pin = nullptr;
};

}  // namespace zyl::test
