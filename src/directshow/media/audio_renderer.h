// CAudioRenderer: plays interleaved 16-bit PCM (one or two channels) through the sound
// server's simple API, with IBasicAudio's volume and balance applied to the samples. When no
// server answers, or ZYLAVI_AUDIO=null is set, a null device stands in: it consumes each
// sample at its time on the reference clock (the base's scheduling) and plays nothing. A
// server that fails later is dropped for the null device; the stream goes on.
//
// Pacing: the base schedules every sample by the graph's clock. With a server, a sample is
// handed over kServerLead before its time, so the server's buffer stays about that full and
// pa_simple_write, which blocks while the buffer is at its target length (twice the lead),
// normally returns at once. The sound card's clock is not the graph's: over a long stream the
// buffer fills or empties by their drift, bounded by the blocking write on one side and an
// underrun (the server waits for its pre-buffer again) on the other.
//
// The simple API cannot pause a stream: after a pause from running, the next sample flushes
// what the server still holds, so that sound resumes in step with the clock (the pause itself
// never waits for a write, which blocks while the server's buffer is full). Stop flushes at
// once: the base has waited for the write by then. A seek's
// flush reaches this renderer only as the discontinuity on the first sample after it (the
// base keeps BeginFlush/EndFlush to itself): the server's buffer is flushed then, so at most
// the lead of old sound plays on after a seek.
//
// Threads: state changes on the graph's thread open the server (at the first Pause after a
// connection, never on the sample path) and flush it; DoRenderSample runs on the upstream
// streaming thread; IBasicAudio comes from any thread and touches only atomics.
// Locks, in order: the filter lock, then the device lock (the server connection, the format
// and the conversion buffer). The renderer lock is never held with the device lock:
// ShouldDrawSampleNow reads an atomic. Stop takes the device lock only after the base has
// waited for the sample path; Pause takes it only from stopped, when no write is under way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "directshow/dshow_interfaces.h"
#include "directshow/renderer.h"

struct pa_simple;

namespace dshow::media {

inline constexpr CLSID CLSID_AudioRenderer{
    0x5B1E7A43, 0x93C6, 0x4F1D, {0xA8, 0x0B, 0x26, 0x4D, 0xE1, 0x7C, 0x35, 0x9F}};

// How far ahead of its time a sample goes to the sound server.
inline constexpr REFERENCE_TIME kServerLead = 1'000'000;  // 100 ms

// IBasicAudio's ranges, in hundredths of a decibel.
inline constexpr LONG kMinVolume = -10000;
inline constexpr LONG kMaxVolume = 0;
inline constexpr LONG kMaxBalance = 10000;

// Scales interleaved 16-bit samples: every channel by 10^(volume/2000); with two channels a
// positive balance attenuates the left one by 10^(-balance/2000), a negative one the right.
// One channel ignores the balance. `out` may be `in`.
void ApplyVolume(const std::int16_t* in, std::int16_t* out, std::size_t frames, int channels,
                 LONG volume, LONG balance);

class CAudioRenderer final : public CBaseRenderer, public IBasicAudio {
public:
    explicit CAudioRenderer(IUnknown* outer);
    ~CAudioRenderer() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT BreakConnect() override;
    HRESULT DoRenderSample(IMediaSample* sample) override;
    HRESULT ShouldDrawSampleNow(IMediaSample* sample, REFERENCE_TIME* start,
                                REFERENCE_TIME* end) override;

    // The device opens as the filter leaves the stopped state and drops what it holds when
    // the filter stops; a pause from running flushes it before the next write.
    HRESULT InitStream() override;
    HRESULT PauseStream(FILTER_STATE from) override;
    HRESULT CleanupStream(FILTER_STATE from) override;

    // IBasicAudio: E_INVALIDARG outside the ranges above, E_POINTER for a null out-pointer.
    HRESULT put_Volume(LONG volume) override;
    HRESULT get_Volume(LONG* volume) override;
    HRESULT put_Balance(LONG balance) override;
    HRESULT get_Balance(LONG* balance) override;
    // IDispatch: no automation here.
    HRESULT GetTypeInfoCount(std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(std::uint32_t, DWORD, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, wchar_t**, std::uint32_t, DWORD, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(LONG, REFIID, DWORD, std::uint16_t, void*, void*, void*,
                   std::uint32_t*) override {
        return E_NOTIMPL;
    }

    // Sample frames (one sample per channel) consumed since creation, by the server or the
    // null device.
    LONGLONG RenderedFrames() const { return m_renderedFrames.load(); }
    // Whether samples go to a sound server now (false: the null device).
    bool PlaysToServer() const { return m_serverOpen.load(); }

private:
    // Under the device lock: connects to the server once per connection, unless told not to.
    void OpenDeviceLocked();
    void CloseDeviceLocked();
    void FlushDeviceLocked();

    std::mutex m_deviceLock;
    // Guarded by m_deviceLock.
    pa_simple* m_server = nullptr;
    bool m_deviceTried = false;
    int m_channels = 0;
    int m_rate = 0;
    std::vector<std::int16_t> m_scaled;

    std::atomic<bool> m_serverOpen{false};
    std::atomic<bool> m_flushPending{false};
    std::atomic<LONG> m_volume{0};
    std::atomic<LONG> m_balance{0};
    std::atomic<LONGLONG> m_renderedFrames{0};
};

}  // namespace dshow::media
