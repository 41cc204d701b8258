#include "directshow/decoder.h"

#include <memory>
#include <new>

namespace {

struct ReleaseSample {
    void operator()(IMediaSample* sample) const { sample->Release(); }
};
using SamplePtr = std::unique_ptr<IMediaSample, ReleaseSample>;

// The writer's hooks may throw; a COM caller must get an HRESULT instead.
template <class Call>
HRESULT Guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace

CDecoderFilter::CDecoderFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid)
    : CTransformFilter(name, outer, clsid) {}

void CDecoderFilter::ResetStreamState() {
    m_inputPreroll = false;
    m_discontinuity = true;
}

bool CDecoderFilter::IsPreroll(IMediaSample* out) const {
    if (out->IsPreroll() == S_OK)
        return true;
    REFERENCE_TIME start = 0, end = 0;
    const HRESULT timed = out->GetTime(&start, &end);
    // A timed frame is judged by its time alone: a reordering or frame-threaded codec gives
    // back frames shown after the target while it still takes preroll input (and drains them
    // after the last input, which may be preroll too).
    if (timed == S_OK)
        return end <= 0;
    // Without an end, a frame at 0 is the first of the segment.
    if (timed == VFW_S_NO_STOP_TIME)
        return start < 0;
    return m_inputPreroll;
}

HRESULT CDecoderFilter::Feed(IMediaSample* in) {
    for (;;) {
        HRESULT hr = SendInput(in);
        if (FAILED(hr))
            return hr;
        if (hr != S_FALSE)
            return S_OK;
        // The codec wants its output taken before it takes more; frames the writer dropped
        // as preroll before making their samples were taken too.
        int taken = 0;
        const LONG droppedBefore = m_framesDropped.load();
        hr = DeliverReady(&taken);
        if (hr != S_OK)
            return hr;
        if (taken == 0 && m_framesDropped.load() == droppedBefore)
            return E_UNEXPECTED;  // it would refuse this input for ever
    }
}

HRESULT CDecoderFilter::DeliverReady(int* taken) {
    for (;;) {
        // Frames decoded before a flush must not reach downstream after it.
        if (m_input.IsFlushing())
            return S_FALSE;
        if (!OutputReady())
            return S_OK;
        IMediaSample* raw = nullptr;
        if (HRESULT hr = m_output.GetDeliveryBuffer(&raw, nullptr, nullptr, 0); FAILED(hr))
            return hr;
        const SamplePtr out(raw);
        HRESULT hr = ReceiveOutput(out.get());
        if (FAILED(hr))
            return hr;
        if (hr == S_FALSE)
            return S_OK;
        if (taken)
            ++*taken;
        if (IsPreroll(out.get())) {
            ++m_framesDropped;
            continue;
        }
        if (m_discontinuity) {
            out->SetDiscontinuity(TRUE);
            m_discontinuity = false;
        }
        hr = m_output.Deliver(out.get());
        if (hr != S_OK)
            return hr;
        ++m_framesDelivered;
    }
}

HRESULT CDecoderFilter::Receive(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    return Guarded([&]() -> HRESULT {
        CAutoLock lock(&m_csReceive);
        if (!m_output.IsConnected())
            return S_OK;  // nowhere to go: dropped, as CTransformFilter does
        m_inputPreroll = sample->IsPreroll() == S_OK;
        if (HRESULT hr = Feed(sample); hr != S_OK)
            return hr;
        return DeliverReady(nullptr);
    });
}

HRESULT CDecoderFilter::EndOfStream() {
    return Guarded([&]() -> HRESULT {
        CAutoLock lock(&m_csReceive);
        if (!m_output.IsConnected())
            return S_OK;
        const HRESULT drained = Guarded([&]() -> HRESULT {
            HRESULT hr = Feed(nullptr);
            return hr == S_OK ? DeliverReady(nullptr) : hr;
        });
        // A flush under way cancels the end of the stream along with the data before it.
        if (m_input.IsFlushing())
            return S_OK;
        // Downstream learns that the stream ended even when its last frames could not be
        // decoded or delivered.
        const HRESULT eos = m_output.DeliverEndOfStream();
        return FAILED(drained) ? drained : eos;
    });
}

HRESULT CDecoderFilter::BeginFlush() {
    // Not under m_csReceive: Receive may be blocked downstream until the flush reaches it.
    return Guarded([&] { return CTransformFilter::BeginFlush(); });
}

HRESULT CDecoderFilter::FlushCodecAndReset() {
    const HRESULT flushed = Guarded([&]() -> HRESULT {
        FlushCodec();
        return S_OK;
    });
    ResetStreamState();
    return flushed;
}

HRESULT CDecoderFilter::EndFlush() {
    return Guarded([&]() -> HRESULT {
        CAutoLock lock(&m_csReceive);
        const HRESULT flushed = FlushCodecAndReset();
        // Downstream leaves its flush whatever became of the codec.
        const HRESULT hr = CTransformFilter::EndFlush();
        return FAILED(flushed) ? flushed : hr;
    });
}

HRESULT CDecoderFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return Guarded([&]() -> HRESULT {
        CAutoLock lock(&m_csReceive);
        m_segmentStart = start;
        m_segmentStop = stop;
        m_segmentRate = rate;
        ResetStreamState();
        return CTransformFilter::NewSegment(start, stop, rate);
    });
}

HRESULT CDecoderFilter::StartStreaming() {
    return Guarded([&]() -> HRESULT {
        CAutoLock lock(&m_csReceive);
        ResetStreamState();
        return CTransformFilter::StartStreaming();
    });
}

HRESULT CDecoderFilter::StopStreaming() {
    return Guarded([&]() -> HRESULT {
        CAutoLock lock(&m_csReceive);
        const HRESULT flushed = FlushCodecAndReset();
        const HRESULT hr = CTransformFilter::StopStreaming();
        return FAILED(flushed) ? flushed : hr;
    });
}
