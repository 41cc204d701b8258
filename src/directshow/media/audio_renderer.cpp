#include "directshow/media/audio_renderer.h"

#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "directshow/media/audio_decoder.h"

namespace dshow::media {
namespace {

// Hundredths of a decibel of attenuation as an amplitude factor.
double Gain(LONG hundredthsOfDb) {
    return std::pow(10.0, static_cast<double>(hundredthsOfDb) / 2000.0);
}

std::int16_t Scale(std::int16_t sample, double gain) {
    const double scaled = std::round(static_cast<double>(sample) * gain);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

std::uint32_t BytesFor(REFERENCE_TIME length, int rate, int channels) {
    const auto frames =
        static_cast<std::uint64_t>(length) * static_cast<std::uint64_t>(rate) / 10'000'000u;
    return static_cast<std::uint32_t>(frames * static_cast<std::uint64_t>(channels) * 2u);
}

bool NullDeviceRequested() {
    const char* choice = std::getenv("ZYLAVI_AUDIO");
    return choice && std::strcmp(choice, "null") == 0;
}

}  // namespace

void ApplyVolume(const std::int16_t* in, std::int16_t* out, std::size_t frames, int channels,
                 LONG volume, LONG balance) {
    const double gain = Gain(volume);
    double left = gain, right = gain;
    if (channels == 2) {
        if (balance > 0)
            left *= Gain(-balance);
        else if (balance < 0)
            right *= Gain(balance);
    }
    const std::size_t count = frames * static_cast<std::size_t>(channels);
    if (left == 1.0 && right == 1.0) {
        if (out != in)
            std::memmove(out, in, count * sizeof *in);
        return;
    }
    if (channels != 2) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = Scale(in[i], gain);
        return;
    }
    for (std::size_t i = 0; i < count; i += 2) {
        out[i] = Scale(in[i], left);
        out[i + 1] = Scale(in[i + 1], right);
    }
}

CAudioRenderer::CAudioRenderer(IUnknown* outer)
    : CBaseRenderer(CLSID_AudioRenderer, L"Audio Renderer", outer, nullptr) {}

CAudioRenderer::~CAudioRenderer() {
    std::lock_guard lock(m_deviceLock);
    CloseDeviceLocked();
}

HRESULT CAudioRenderer::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IBasicAudio)
        return GetInterface(static_cast<IBasicAudio*>(this), object);
    return CBaseRenderer::NonDelegatingQueryInterface(riid, object);
}

HRESULT CAudioRenderer::CheckMediaType(const CMediaType* type) {
    int channels = 0, rate = 0;
    return type && ReadPcm16(*type, &channels, &rate) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CAudioRenderer::SetMediaType(const CMediaType* type) {
    int channels = 0, rate = 0;
    if (!type || !ReadPcm16(*type, &channels, &rate))
        return VFW_E_TYPE_NOT_ACCEPTED;
    std::lock_guard lock(m_deviceLock);
    // A new format needs a new server stream.
    CloseDeviceLocked();
    m_deviceTried = false;
    m_channels = channels;
    m_rate = rate;
    return S_OK;
}

HRESULT CAudioRenderer::BreakConnect() {
    std::lock_guard lock(m_deviceLock);
    CloseDeviceLocked();
    m_deviceTried = false;
    return S_OK;
}

void CAudioRenderer::OpenDeviceLocked() {
    if (m_deviceTried || m_channels <= 0 || m_rate <= 0)
        return;
    m_deviceTried = true;
    if (NullDeviceRequested())
        return;
    pa_sample_spec format{};
    format.format = PA_SAMPLE_S16LE;
    format.rate = static_cast<std::uint32_t>(m_rate);
    format.channels = static_cast<std::uint8_t>(m_channels);
    pa_buffer_attr buffer{};
    buffer.maxlength = static_cast<std::uint32_t>(-1);
    // Room for twice the lead, so a write on time never waits.
    buffer.tlength = BytesFor(2 * kServerLead, m_rate, m_channels);
    // Playback starts with a little queued: a clip shorter than a full pre-buffer still plays.
    buffer.prebuf = BytesFor(200'000, m_rate, m_channels);
    buffer.minreq = static_cast<std::uint32_t>(-1);
    buffer.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    m_server = pa_simple_new(nullptr, "ZylAvi", PA_STREAM_PLAYBACK, nullptr, "Playback", &format,
                             nullptr, &buffer, &error);
    m_serverOpen = m_server != nullptr;
}

void CAudioRenderer::CloseDeviceLocked() {
    m_serverOpen = false;
    if (m_server)
        pa_simple_free(m_server);
    m_server = nullptr;
}

void CAudioRenderer::FlushDeviceLocked() {
    int error = 0;
    if (m_server && pa_simple_flush(m_server, &error) < 0)
        CloseDeviceLocked();
}

HRESULT CAudioRenderer::InitStream() {
    if (m_pin.IsConnected()) {
        std::lock_guard device(m_deviceLock);
        OpenDeviceLocked();
    }
    return CBaseRenderer::InitStream();
}

HRESULT CAudioRenderer::PauseStream(FILTER_STATE from) {
    const HRESULT hr = CBaseRenderer::PauseStream(from);
    // Not here: a write may be waiting for room at the server, and a pause must not wait.
    if (from == State_Running)
        m_flushPending = true;
    return hr;
}

HRESULT CAudioRenderer::CleanupStream(FILTER_STATE from) {
    // The base waits until no sample is being written, so the flush never waits for one.
    const HRESULT hr = CBaseRenderer::CleanupStream(from);
    m_flushPending = false;
    std::lock_guard device(m_deviceLock);
    FlushDeviceLocked();
    return hr;
}

HRESULT CAudioRenderer::ShouldDrawSampleNow(IMediaSample* sample, REFERENCE_TIME* start,
                                            REFERENCE_TIME* end) {
    if (!m_serverOpen)
        return S_FALSE;  // the null device consumes each sample at its own time
    // From the sample's own times: the base may ask again for the same sample.
    REFERENCE_TIME from = 0, to = 0;
    if (sample->GetTime(&from, &to) == S_OK) {
        *start = from - kServerLead;
        *end = to - kServerLead;
    }
    return S_FALSE;
}

HRESULT CAudioRenderer::DoRenderSample(IMediaSample* sample) {
    BYTE* data = nullptr;
    if (!sample || FAILED(sample->GetPointer(&data)))
        return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    std::lock_guard lock(m_deviceLock);
    if (m_channels <= 0 || length <= 0)
        return S_OK;
    const auto frames =
        static_cast<std::size_t>(length) / (static_cast<std::size_t>(m_channels) * 2);
    m_renderedFrames += static_cast<LONGLONG>(frames);
    if (!m_server)
        return S_OK;  // the null device: the base's scheduling was the playing
    // After a pause, or the first sample after a seek: what the server holds is stale.
    if (m_flushPending.exchange(false) || sample->IsDiscontinuity() == S_OK)
        FlushDeviceLocked();
    const std::size_t count = frames * static_cast<std::size_t>(m_channels);
    // Grows to the largest sample once, then is reused; upstream's buffer is left as it is.
    if (m_scaled.size() < count)
        m_scaled.resize(count);
    std::int16_t* const scaled = m_scaled.data();
    std::memcpy(scaled, data, count * sizeof *scaled);
    ApplyVolume(scaled, scaled, frames, m_channels, m_volume.load(), m_balance.load());
    int error = 0;
    if (m_server && pa_simple_write(m_server, scaled, count * sizeof *scaled, &error) < 0)
        CloseDeviceLocked();  // from here on the null device; the stream goes on
    return S_OK;
}

HRESULT CAudioRenderer::put_Volume(LONG volume) {
    if (volume < kMinVolume || volume > kMaxVolume)
        return E_INVALIDARG;
    m_volume = volume;
    return S_OK;
}

HRESULT CAudioRenderer::get_Volume(LONG* volume) {
    if (!volume)
        return E_POINTER;
    *volume = m_volume.load();
    return S_OK;
}

HRESULT CAudioRenderer::put_Balance(LONG balance) {
    if (balance < -kMaxBalance || balance > kMaxBalance)
        return E_INVALIDARG;
    m_balance = balance;
    return S_OK;
}

HRESULT CAudioRenderer::get_Balance(LONG* balance) {
    if (!balance)
        return E_POINTER;
    *balance = m_balance.load();
    return S_OK;
}

}  // namespace dshow::media
