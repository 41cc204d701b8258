// Decoders written on CDecoderFilter the way a codec's filter would be, for the engine's
// tests. They take "packets" of a private subtype (an int32 frame number at offset 0, an int32
// key-frame flag at offset 4) and give 8x8 RGB32 frames carrying a number at offset 0, which
// RecordingRenderer and the sinks read. PacketDecoder holds what they share (types, buffers).
//
// NumberDecoder behaves like an inter-frame codec: it holds one decoded frame back (so the end of
// the stream must drain the last one), and a frame other than a key frame decodes only when the
// frame before it was decoded since the last key frame; otherwise it comes out as -1, garbage.
// Each decoded frame keeps the times and preroll flag of the packet it came from, so output
// times are the input's, one frame late. Like a send/receive codec, it refuses input while a
// frame is ready to be taken. Its hooks run on the streaming thread under the receive lock.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>

#include "directshow/decoder.h"
#include "directshow/test_filters.h"

namespace zyl::test {

inline constexpr LONG kTestPacketBytes = 8;

// What every decoder of packets into 8x8 RGB32 frames shares: the types and the buffers.
class PacketDecoder : public CDecoderFilter {
public:
    static constexpr LONG kFrameBytes = 8 * 8 * 4;

    explicit PacketDecoder(const wchar_t* name) : CDecoderFilter(name, nullptr, GUID_NULL) {}

    HRESULT CheckInputType(const CMediaType* type) override {
        return *type->Type() == MEDIATYPE_Video && *type->Subtype() == MEDIASUBTYPE_TestPacket
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT CheckTransform(const CMediaType*, const CMediaType* out) override {
        return *out->Type() == MEDIATYPE_Video && *out->Subtype() == MEDIASUBTYPE_RGB32
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        // The frame rate is the packets'.
        REFERENCE_TIME frameTime = 400000;
        const CMediaType& in = Input()->CurrentMediaType();
        if (*in.FormatType() == FORMAT_VideoInfo && in.FormatLength() >= sizeof(VIDEOINFOHEADER)) {
            VIDEOINFOHEADER vih;
            std::memcpy(&vih, in.Format(), sizeof vih);
            frameTime = vih.AvgTimePerFrame;
        }
        *type = VideoType(MEDIASUBTYPE_RGB32, 8, 8, frameTime);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{2, kFrameBytes, 1, 0}, actual{};
        if (HRESULT hr = allocator->SetProperties(&request, &actual); FAILED(hr))
            return hr;
        return actual.cbBuffer >= kFrameBytes ? S_OK : E_FAIL;
    }

protected:
    // Reads a packet: false when it is too short to be one.
    static bool ReadPacket(IMediaSample* in, std::int32_t* number, std::int32_t* key) {
        BYTE* data = nullptr;
        if (FAILED(in->GetPointer(&data)) || in->GetActualDataLength() < kTestPacketBytes)
            return false;
        std::memcpy(number, data, sizeof *number);
        std::memcpy(key, data + 4, sizeof *key);
        return true;
    }
    // Writes a frame carrying a number.
    static HRESULT WriteFrame(IMediaSample* out, std::int32_t number) {
        BYTE* data = nullptr;
        if (FAILED(out->GetPointer(&data)) || out->GetSize() < kFrameBytes)
            return VFW_E_BUFFER_OVERFLOW;
        std::memset(data, 0, kFrameBytes);
        std::memcpy(data, &number, sizeof number);
        return out->SetActualDataLength(kFrameBytes);
    }
};

class NumberDecoder : public PacketDecoder {
public:
    NumberDecoder() : PacketDecoder(L"number decoder") {}

    HRESULT SendInput(IMediaSample* in) override {
        if (!in) {
            m_draining = true;
            return S_OK;
        }
        if (OutputReady())
            return S_FALSE;  // take what is decoded first
        std::int32_t number = 0, key = 0;
        if (!ReadPacket(in, &number, &key))
            return E_INVALIDARG;

        Frame frame;
        frame.timing = in->GetTime(&frame.start, &frame.end);
        frame.preroll = in->IsPreroll() == S_OK;
        if (key) {
            frame.number = number;
            m_referenceValid = true;
        } else if (m_referenceValid && m_reference == number - 1) {
            frame.number = number;
        } else {
            frame.number = -1;  // predicted from a picture we do not have
            m_referenceValid = false;
        }
        m_reference = number;
        m_frames.push_back(frame);
        return S_OK;
    }
    bool OutputReady() override { return m_frames.size() > (m_draining ? 0u : 1u); }
    HRESULT ReceiveOutput(IMediaSample* out) override {
        if (!OutputReady())
            return S_FALSE;
        const Frame frame = m_frames.front();
        m_frames.pop_front();
        if (HRESULT hr = WriteFrame(out, frame.number); FAILED(hr))
            return hr;
        REFERENCE_TIME start = frame.start, end = frame.end;
        if (frame.timing == S_OK) {
            out->SetTime(&start, &end);
        } else if (frame.timing == VFW_S_NO_STOP_TIME) {
            out->SetTime(&start, nullptr);
        } else {
            out->SetTime(nullptr, nullptr);
        }
        out->SetSyncPoint(TRUE);
        out->SetPreroll(frame.preroll);
        return S_OK;
    }
    void FlushCodec() override {
        m_frames.clear();
        m_draining = false;
        m_referenceValid = false;
    }

    LONG Delivered() const { return FramesDelivered(); }
    LONG DroppedAsPreroll() const { return FramesDroppedAsPreroll(); }

private:
    struct Frame {
        std::int32_t number = 0;
        HRESULT timing = VFW_E_SAMPLE_TIME_NOT_SET;
        REFERENCE_TIME start = 0, end = 0;
        bool preroll = false;
    };
    std::deque<Frame> m_frames;
    bool m_draining = false;
    bool m_referenceValid = false;
    std::int32_t m_reference = 0;
};

}  // namespace zyl::test
