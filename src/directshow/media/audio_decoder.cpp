#include "directshow/media/audio_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace dshow::media {
namespace {

constexpr WORD kWaveFormatPcm = 1;
// Undecodable frames skipped in one call before the decoder lets the stream go on.
constexpr int kUndecodableFramesPerCall = 16;

// Highest rate the sound server takes; a larger one is a damaged header.
constexpr DWORD kMaxRate = 384000;
// libswresample's limit on channels.
constexpr int kMaxChannels = 64;

REFERENCE_TIME TimeOf(std::int64_t samples, int rate) {
    return av_rescale(samples, 10'000'000, rate);
}

// The samples it takes to cover `length`, rounded up so that a cut at the segment start
// never keeps a sample from before it.
std::int64_t SamplesIn(REFERENCE_TIME length, int rate) {
    return av_rescale_rnd(length, rate, 10'000'000, AV_ROUND_UP);
}

}  // namespace

CMediaType Pcm16Type(int channels, int sampleRate) {
    CMediaType type(&MEDIATYPE_Audio);
    type.SetSubtype(&MEDIASUBTYPE_PCM);
    type.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEX wave{};
    wave.wFormatTag = kWaveFormatPcm;
    wave.nChannels = static_cast<WORD>(channels);
    wave.nSamplesPerSec = static_cast<DWORD>(sampleRate);
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = static_cast<WORD>(channels * 2);
    wave.nAvgBytesPerSec = wave.nSamplesPerSec * wave.nBlockAlign;
    wave.cbSize = 0;
    if (!type.SetFormat(reinterpret_cast<const BYTE*>(&wave), sizeof wave))
        return CMediaType();
    type.bFixedSizeSamples = TRUE;
    type.bTemporalCompression = FALSE;
    type.lSampleSize = wave.nBlockAlign;
    return type;
}

bool ReadPcm16(const AM_MEDIA_TYPE& type, int* channels, int* sampleRate) {
    if (type.majortype != MEDIATYPE_Audio || type.subtype != MEDIASUBTYPE_PCM ||
        type.formattype != FORMAT_WaveFormatEx || !type.pbFormat ||
        type.cbFormat < sizeof(WAVEFORMATEX))
        return false;
    WAVEFORMATEX wave;
    std::memcpy(&wave, type.pbFormat, sizeof wave);
    if (wave.wFormatTag != kWaveFormatPcm || wave.wBitsPerSample != 16 ||
        (wave.nChannels != 1 && wave.nChannels != 2) || wave.nSamplesPerSec == 0 ||
        wave.nSamplesPerSec > kMaxRate || wave.nBlockAlign != wave.nChannels * 2)
        return false;
    *channels = wave.nChannels;
    *sampleRate = static_cast<int>(wave.nSamplesPerSec);
    return true;
}

CAudioDecoder::CAudioDecoder(IUnknown* outer)
    : CDecoderFilter(L"Audio Decoder", outer, CLSID_AudioDecoder),
      m_packet(av_packet_alloc()),
      m_frame(av_frame_alloc()) {}

CAudioDecoder::~CAudioDecoder() {
    av_channel_layout_uninit(&m_resampleLayout);
}

HRESULT CAudioDecoder::CheckInputType(const CMediaType* type) {
    if (!type || type->majortype != MEDIATYPE_Audio)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const CodecParametersPtr parameters = CodecParametersFromType(*type);
    if (!parameters || !avcodec_find_decoder(parameters->codec_id) ||
        parameters->sample_rate <= 0 || static_cast<DWORD>(parameters->sample_rate) > kMaxRate ||
        ChannelCount(parameters.get()) <= 0 || ChannelCount(parameters.get()) > kMaxChannels)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CAudioDecoder::GetMediaType(int position, CMediaType* type) {
    if (!type)
        return E_POINTER;
    if (position < 0)
        return E_INVALIDARG;
    if (!m_input.IsConnected() || !m_parameters)
        return E_UNEXPECTED;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    *type = Pcm16Type(m_outChannels, m_outRate);
    return type->IsValid() ? S_OK : E_OUTOFMEMORY;
}

HRESULT CAudioDecoder::CheckTransform(const CMediaType* in, const CMediaType* out) {
    if (FAILED(CheckInputType(in)) || !out)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const CodecParametersPtr parameters = CodecParametersFromType(*in);
    int channels = 0, rate = 0;
    // Same rate, at most two channels: no resampling on the way.
    if (!parameters || !ReadPcm16(*out, &channels, &rate) ||
        channels != std::min(ChannelCount(parameters.get()), 2) || rate != parameters->sample_rate)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CAudioDecoder::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    int channels = 0, rate = 0;
    if (!ReadPcm16(m_output.CurrentMediaType(), &channels, &rate))
        return E_UNEXPECTED;
    // About 100 ms a buffer, and never less than the 1024 samples of a typical codec frame.
    const LONG bytes = std::max(1024, rate / 10) * channels * 2;
    request->cBuffers = std::max<LONG>(request->cBuffers, 4);
    request->cbBuffer = std::max(request->cbBuffer, bytes);
    request->cbAlign = std::max<LONG>(request->cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < channels * 2 ? E_FAIL : S_OK;
}

HRESULT CAudioDecoder::SetMediaType(PIN_DIRECTION direction, const CMediaType* type) {
    if (direction != PINDIR_INPUT)
        return S_OK;
    CAutoLock lock(&m_csReceive);
    m_parameters = CodecParametersFromType(*type);
    if (!m_parameters)
        return VFW_E_TYPE_NOT_ACCEPTED;
    m_outChannels = std::min(ChannelCount(m_parameters.get()), 2);
    m_outRate = m_parameters->sample_rate;
    m_codec.reset();
    m_resample.reset();
    m_resampleFormat = AV_SAMPLE_FMT_NONE;
    return S_OK;
}

HRESULT CAudioDecoder::BreakConnect(PIN_DIRECTION direction) {
    CAutoLock lock(&m_csReceive);
    if (direction == PINDIR_INPUT) {
        DropFrame();
        m_codec.reset();
        m_parameters.reset();
    }
    m_resample.reset();
    m_resampleFormat = AV_SAMPLE_FMT_NONE;
    return S_OK;
}

HRESULT CAudioDecoder::OpenCodec() {
    if (!m_packet || !m_frame || !m_parameters)
        return E_OUTOFMEMORY;
    // Audio decodes far faster than it plays; threads would only add delay.
    return OpenDecoder(m_parameters.get(), 1, &m_codec);
}

HRESULT CAudioDecoder::StartStreaming() {
    CAutoLock lock(&m_csReceive);
    DropFrame();
    m_draining = false;
    m_nextStart = 0;
    if (!m_codec) {
        if (HRESULT hr = OpenCodec(); FAILED(hr))
            return hr;
    }
    return CDecoderFilter::StartStreaming();
}

bool CAudioDecoder::FillPacket(const BYTE* data, LONG size) {
    const auto needed = static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE;
    // The codec may still hold the last input (a reference of its own): then it keeps that
    // buffer and we take a new one.
    if (!m_packetData || !av_buffer_is_writable(m_packetData.get()) ||
        m_packetData->size < needed) {
        const std::size_t grown =
            std::max(needed, m_packetData ? static_cast<std::size_t>(m_packetData->size) : 0);
        m_packetData.reset(av_buffer_alloc(grown));
        if (!m_packetData)
            return false;
    }
    std::memcpy(m_packetData->data, data, static_cast<std::size_t>(size));
    std::memset(m_packetData->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    return true;
}

HRESULT CAudioDecoder::SendInput(IMediaSample* in) {
    if (!m_codec)
        return E_UNEXPECTED;
    if (!in) {
        if (m_draining)
            return S_OK;
        if (avcodec_send_packet(m_codec.get(), nullptr) == AVERROR(EAGAIN))
            return S_FALSE;
        m_draining = true;
        return S_OK;
    }
    BYTE* data = nullptr;
    if (FAILED(in->GetPointer(&data)))
        return E_UNEXPECTED;
    const LONG size = in->GetActualDataLength();
    if (size <= 0)
        return S_OK;  // nothing to decode; an empty packet would start the drain
    if (!FillPacket(data, size))
        return E_OUTOFMEMORY;
    // The packet borrows the kept buffer; the codec takes a reference of its own.
    m_packet->buf = m_packetData.get();
    m_packet->data = m_packetData->data;
    m_packet->size = size;
    REFERENCE_TIME start = 0, end = 0;
    const HRESULT timed = in->GetTime(&start, &end);
    m_packet->pts = SUCCEEDED(timed) ? start : AV_NOPTS_VALUE;
    m_packet->dts = AV_NOPTS_VALUE;
    m_packet->duration = timed == S_OK ? end - start : 0;
    m_packet->flags = AV_PKT_FLAG_KEY;
    const int result = avcodec_send_packet(m_codec.get(), m_packet.get());
    m_packet->buf = nullptr;
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (result == AVERROR(EAGAIN))
        return S_FALSE;
    // Damaged data costs its frames, not the stream.
    if (result < 0)
        m_rejected.Note(Severity::Warning,
                        "sound decoder: a packet was not decoded (" + ErrorText(result) + ")");
    return S_OK;
}

bool CAudioDecoder::OutputReady() {
    if (m_haveFrame)
        return true;
    if (!m_codec)
        return false;
    // A damaged frame reports an error and is gone; the next may decode.
    for (int attempt = 0; attempt < kUndecodableFramesPerCall; ++attempt) {
        const int result = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return false;
        if (result < 0) {
            m_lost.Note(Severity::Warning,
                        "sound decoder: a frame could not be decoded (" + ErrorText(result) + ")");
            continue;
        }
        const int rate = m_frame->sample_rate > 0 ? m_frame->sample_rate : m_outRate;
        if (m_frame->nb_samples <= 0 || rate <= 0) {
            av_frame_unref(m_frame.get());
            continue;
        }
        m_frame->sample_rate = rate;
        m_frameStart = m_frame->best_effort_timestamp;
        if (m_frameStart == AV_NOPTS_VALUE)
            m_frameStart = m_nextStart;
        m_nextStart = m_frameStart + TimeOf(m_frame->nb_samples, rate);
        // The samples before the segment start (a seek's target) are cut.
        m_frameOffset = m_frameStart < 0 ? static_cast<int>(std::min<std::int64_t>(
                                               SamplesIn(-m_frameStart, rate), m_frame->nb_samples))
                                         : 0;
        m_haveFrame = true;
        return true;
    }
    return false;
}

bool CAudioDecoder::PrepareResampler() {
    const auto format = static_cast<AVSampleFormat>(m_frame->format);
    const int rate = m_frame->sample_rate;
    AVChannelLayout* layout = &m_frame->ch_layout;
    AVChannelLayout fallback{};
    // Without channel positions the usual layout for the count is the best guess for a downmix.
    if (layout->order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&fallback, layout->nb_channels);
        layout = &fallback;
    }
    if (m_resample && format == m_resampleFormat && rate == m_resampleRate &&
        av_channel_layout_compare(layout, &m_resampleLayout) == 0)
        return true;
    m_resampleFormat = AV_SAMPLE_FMT_NONE;
    if (layout->nb_channels <= 0 || layout->nb_channels > kMaxChannels)
        return false;
    AVChannelLayout target{};
    av_channel_layout_default(&target, m_outChannels);
    // Reuses the context we have; swr_init resets what it holds.
    SwrContext* context = m_resample.release();
    if (swr_alloc_set_opts2(&context, &target, AV_SAMPLE_FMT_S16, m_outRate, layout, format, rate,
                            0, nullptr) < 0 ||
        swr_init(context) < 0) {
        swr_free(&context);
        return false;
    }
    m_resample.reset(context);
    av_channel_layout_uninit(&m_resampleLayout);
    if (av_channel_layout_copy(&m_resampleLayout, layout) < 0)
        return false;
    m_resampleFormat = format;
    m_resampleRate = rate;
    return true;
}

int CAudioDecoder::Convert(BYTE* buffer, int count, int room) {
    if (!PrepareResampler())
        return AVERROR(EINVAL);
    int used = std::min(count, room);
    if (m_resampleRate != m_outRate) {
        // A rate change mid-stream: what the resampler holds plus this input must fit.
        while (used > 1 && swr_get_out_samples(m_resample.get(), used) > room)
            used /= 2;
    }
    const auto format = static_cast<AVSampleFormat>(m_frame->format);
    const int channels = m_frame->ch_layout.nb_channels;
    const std::ptrdiff_t bytes = av_get_bytes_per_sample(format);
    std::array<const std::uint8_t*, kMaxChannels> in{};
    if (av_sample_fmt_is_planar(format)) {
        for (int c = 0; c < channels; ++c)
            in[static_cast<std::size_t>(c)] = m_frame->extended_data[c] + m_frameOffset * bytes;
    } else {
        in[0] = m_frame->extended_data[0] + m_frameOffset * bytes * channels;
    }
    std::uint8_t* out[1] = {buffer};
    const int written = swr_convert(m_resample.get(), out, room, in.data(), used);
    if (written < 0)
        return written;
    m_frameOffset += used;
    return written;
}

void CAudioDecoder::DropFrame() {
    if (m_frame)
        av_frame_unref(m_frame.get());
    m_haveFrame = false;
    m_frameOffset = 0;
}

HRESULT CAudioDecoder::ReceiveOutput(IMediaSample* out) {
    const REFERENCE_TIME stop = SegmentStop() > SegmentStart() ? SegmentStop() - SegmentStart()
                                                               : REFERENCE_TIME{0x7FFFFFFFFFFFFFFF};
    const int block = m_outChannels * 2;
    BYTE* buffer = nullptr;
    if (block <= 0 || FAILED(out->GetPointer(&buffer)))
        return E_UNEXPECTED;
    const int room = out->GetSize() / block;
    if (room <= 0)
        return E_FAIL;
    while (OutputReady()) {
        const int rate = m_frame->sample_rate;
        const int remaining = m_frame->nb_samples - m_frameOffset;
        const REFERENCE_TIME at = m_frameStart + TimeOf(m_frameOffset, rate);
        // Wholly before the segment start, or at or past its stop: not the segment's.
        if (remaining <= 0 || at >= stop) {
            DropFrame();
            continue;
        }
        int count = remaining;
        if (stop - at < TimeOf(remaining, rate)) {
            // To the nearest sample: times are rounded to 100 ns, a fraction of a sample.
            count = static_cast<int>(std::min<std::int64_t>(
                av_rescale_rnd(stop - at, rate, 10'000'000, AV_ROUND_NEAR_INF), remaining));
            if (count <= 0) {
                DropFrame();
                continue;
            }
        }
        const int written = Convert(buffer, count, room);
        if (written < 0) {
            DropFrame();
            return E_FAIL;
        }
        if (m_frameOffset >= m_frame->nb_samples)
            DropFrame();
        if (written == 0)
            continue;  // the resampler kept it all for now
        REFERENCE_TIME start = at;
        REFERENCE_TIME end = at + TimeOf(written, m_outRate);
        out->SetActualDataLength(written * block);
        out->SetTime(&start, &end);
        out->SetSyncPoint(TRUE);
        out->SetPreroll(FALSE);
        return S_OK;
    }
    return S_FALSE;
}

void CAudioDecoder::FlushCodec() {
    if (m_codec)
        avcodec_flush_buffers(m_codec.get());
    DropFrame();
    m_draining = false;
    m_nextStart = 0;
    // A resampler changing the rate holds samples of the old position.
    if (m_resampleRate != m_outRate)
        m_resampleFormat = AV_SAMPLE_FMT_NONE;
}

}  // namespace dshow::media
