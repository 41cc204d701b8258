#include "directshow/media/media_source.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>

#include "com/runtime.h"
#include "directshow/media/media_types.h"
#include "directshow/media/text_packets.h"
#include "platform/text.h"

namespace dshow::media {
namespace {

// Sample sizes: a compressed picture is far below an uncompressed one of the same size; a
// packet that still does not fit is skipped rather than cut.
// Raw formats FFmpeg decodes (packed YUV, 16-bit) take their picture's full size.
LONG CompressedBufferSize(const CMediaType& type, const AVCodecParameters* parameters) {
    VideoGeometry geometry;
    if (!ReadVideoGeometry(type, &geometry))
        return 1 << 20;
    std::int64_t raw = std::int64_t{geometry.width} * geometry.height * 3 / 2;
    if (parameters->format >= 0) {
        const int picture = av_image_get_buffer_size(static_cast<AVPixelFormat>(parameters->format),
                                                     parameters->width, parameters->height, 1);
        raw = std::max<std::int64_t>(raw, picture);
    }
    return static_cast<LONG>(std::clamp<std::int64_t>(raw + (64 << 10), 256 << 10, 1 << 30));
}

}  // namespace

std::wstring SplitterName(const AVInputFormat* format) {
    const std::string name = format && format->name ? format->name : "";
    auto has = [&name](const char* what) { return name.find(what) != std::string::npos; };
    if (name == "avi")
        return L"AVI Splitter";
    if (has("mp4") || has("mov"))
        return L"MPEG-4 Splitter";
    if (has("matroska"))
        return L"Matroska Splitter";
    if (name == "mpeg")
        return L"MPEG-PS Splitter";
    if (name == "mpegts")
        return L"MPEG-TS Splitter";
    if (name == "mpegvideo")
        return L"MPEG Video Splitter";
    const std::string described =
        format && format->long_name ? format->long_name : (name.empty() ? "media" : name);
    return zyl::platform::utf8ToWide(described + " Splitter").value_or(L"Media Splitter");
}

// ---------------------------------------------------------------------------------------------

CMediaSourcePin::CMediaSourcePin(CSource* filter, HRESULT* hr, const wchar_t* name,
                                 std::unique_ptr<StreamReader> reader, const CMediaType& type,
                                 AVRational frameRate, REFERENCE_TIME duration)
    : CSourceSeekingStream(L"media source pin", hr, filter, name),
      m_reader(std::move(reader)),
      m_type(type),
      m_text(type.majortype == MEDIATYPE_Text),
      m_frameTime(frameRate.num > 0 ? av_rescale(UNITS, frameRate.den, frameRate.num) : 0),
      m_packet(av_packet_alloc()) {
    // Without a known length nothing may be cut short: the stream plays until it ends.
    m_rtDuration = m_rtStop = duration > 0 ? duration : std::numeric_limits<REFERENCE_TIME>::max();
    const AVCodecParameters* parameters = m_reader->Stream()->codecpar;
    if (IsRawDib(parameters)) {
        m_rowCopy = true;
        m_flipRows = !RawRowsBottomUp(parameters);
        m_rows = parameters->height;
        m_stride = DibStride(parameters->width, parameters->bits_per_coded_sample);
    }
    // Every stream of the file counts frames of the video stream, so frame positions mean the
    // same on all of them.
    if (frameRate.num > 0)
        SetFrameRate(frameRate.num, frameRate.den);
    if (hr && SUCCEEDED(*hr) && !m_packet)
        *hr = E_OUTOFMEMORY;
}

HRESULT CMediaSourcePin::GetMediaType(int position, CMediaType* type) {
    if (!type)
        return E_POINTER;
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    *type = m_type;
    return S_OK;
}

HRESULT CMediaSourcePin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) {
    ALLOCATOR_PROPERTIES request{}, actual{};
    if (m_type.majortype == MEDIATYPE_Video) {
        request.cBuffers = m_type.bFixedSizeSamples ? 3 : 6;
        request.cbBuffer = m_type.bFixedSizeSamples
                               ? static_cast<LONG>(m_type.lSampleSize)
                               : CompressedBufferSize(m_type, m_reader->Stream()->codecpar);
    } else if (m_text) {
        request.cBuffers = 4;
        request.cbBuffer = 64 << 10;
    } else {
        request.cBuffers = 8;
        request.cbBuffer = 256 << 10;
    }
    request.cbAlign = 1;
    const HRESULT hr = allocator->SetProperties(&request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < request.cbBuffer ? E_FAIL : S_OK;
}

HRESULT CMediaSourcePin::FillBuffer(IMediaSample* sample) {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)))
        return E_UNEXPECTED;
    const LONG capacity = sample->GetSize();
    for (;;) {
        // A file that cannot be read further (truncated, damaged) ends its stream here.
        if (m_reader->Read(m_packet.get()) < 0)
            return S_FALSE;
        const AVPacket& packet = *m_packet;
        REFERENCE_TIME start = m_reader->PacketTime(packet);
        if (start == AV_NOPTS_VALUE)
            start = m_lastEnd;
        // Decode order: once a packet is decoded at or after the stop, nothing shown before
        // the stop is still to come.
        const REFERENCE_TIME decoded = m_reader->PacketDecodeTime(packet);
        if (IsAtOrPastStop(decoded == AV_NOPTS_VALUE ? start : decoded))
            return S_FALSE;
        REFERENCE_TIME length = m_reader->PacketDuration(packet);
        if (length <= 0)
            length = m_text || m_frameTime <= 0 ? 1 : m_frameTime;
        LONG size = 0;
        if (m_text) {
            size = static_cast<LONG>(
                TextFromPacket(m_reader->Stream()->codecpar->codec_id, packet.data,
                               static_cast<std::size_t>(packet.size), reinterpret_cast<char*>(data),
                               static_cast<std::size_t>(capacity)));
            // MP4 ends each cue with an empty sample: no text to hand on.
            if (size <= 1)
                continue;
        } else if (m_rowCopy) {
            if (packet.size <= 0 || packet.size % m_rows != 0 || packet.size / m_rows > m_stride ||
                std::int64_t{m_stride} * m_rows > capacity) {
                ++m_skipped;
                continue;
            }
            const int from = packet.size / m_rows;
            for (LONG row = 0; row < m_rows; ++row) {
                BYTE* to = data + std::ptrdiff_t{m_flipRows ? m_rows - 1 - row : row} * m_stride;
                std::memcpy(to, packet.data + std::ptrdiff_t{row} * from,
                            static_cast<std::size_t>(from));
                std::memset(to + from, 0, static_cast<std::size_t>(m_stride - from));
            }
            size = m_stride * m_rows;
        } else {
            if (packet.size > capacity || packet.size <= 0) {
                ++m_skipped;
                continue;
            }
            std::memcpy(data, packet.data, static_cast<std::size_t>(packet.size));
            size = packet.size;
        }
        sample->SetActualDataLength(size);
        sample->SetSyncPoint((packet.flags & AV_PKT_FLAG_KEY) || m_text ? TRUE : FALSE);
        m_lastEnd = start + length;
        return StampSample(sample, start, start + length);
    }
}

HRESULT CMediaSourcePin::OnSeek(REFERENCE_TIME start) {
    m_lastEnd = start;
    const int result = m_reader->SeekBefore(start);
    return result < 0 ? ToHResult(result) : S_OK;
}

// ---------------------------------------------------------------------------------------------

CMediaSource::CMediaSource(IUnknown* outer) : CSource(L"media source", outer, CLSID_MediaSource) {}

HRESULT CMediaSource::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IFileSourceFilter)
        return GetInterface(static_cast<IFileSourceFilter*>(this), object);
    if (riid == IID_ISourceFilterName)
        return GetInterface(static_cast<ISourceFilterName*>(this), object);
    return CSource::NonDelegatingQueryInterface(riid, object);
}

HRESULT CMediaSource::Load(LPCWSTR fileName, const AM_MEDIA_TYPE* type) {
    try {
        return LoadFile(fileName, type);
    } catch (const std::bad_alloc&) {
        CAutoLock lock(&m_cStateLock);
        m_error = "out of memory";
        return E_OUTOFMEMORY;
    }
}

HRESULT CMediaSource::LoadFile(LPCWSTR fileName, const AM_MEDIA_TYPE*) {
    if (!fileName)
        return E_POINTER;
    CAutoLock lock(&m_cStateLock);
    if (!m_file.empty())
        return E_UNEXPECTED;
    m_error.clear();
    const auto path = zyl::platform::wideToUtf8(fileName);
    if (!path) {
        m_error = "the file name is not valid text";
        return E_INVALIDARG;
    }
    std::unique_ptr<StreamReader> first;
    HRESULT hr = StreamReader::Open(*path, &first, &m_error);
    if (FAILED(hr))
        return hr;
    AVFormatContext* context = first->Context();

    // Every stream counts time from the start of the video stream FFmpeg rates best (the one
    // a player shows), and frames at its rate, so they stay in step.
    int originStream = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    first->Select(originStream >= 0 ? originStream : 0);
    const REFERENCE_TIME origin = first->StreamStart();
    const AVRational frameRate = first->FrameRate();

    int videos = 0, audios = 0, texts = 0;
    for (unsigned index = 0; index < context->nb_streams; ++index) {
        std::unique_ptr<StreamReader> reader;
        if (first) {
            reader = std::move(first);
        } else {
            std::string error;
            hr = StreamReader::Open(*path, &reader, &error);
            if (FAILED(hr)) {
                m_error = error;
                break;
            }
        }
        reader->Select(static_cast<int>(index));
        reader->SetOrigin(origin);
        const auto type = StreamMediaType(reader->Stream(), reader->FrameTime());
        if (!type) {
            first = std::move(reader);  // keep it for the next stream
            continue;
        }
        const GUID major = type->majortype;
        const int number = major == MEDIATYPE_Video   ? ++videos
                           : major == MEDIATYPE_Audio ? ++audios
                                                      : ++texts;
        std::wstring pinName = major == MEDIATYPE_Video   ? L"Video"
                               : major == MEDIATYPE_Audio ? L"Audio"
                                                          : L"Text";
        if (number > 1)
            pinName += L" " + std::to_wstring(number);
        const REFERENCE_TIME duration = reader->Duration();
        HRESULT pinResult = S_OK;
        // The pin adds itself to the filter, which deletes it.
        new CMediaSourcePin(this, &pinResult, pinName.c_str(), std::move(reader), *type, frameRate,
                            duration);
        if (FAILED(pinResult)) {
            hr = pinResult;
            m_error = "cannot make an output pin";
            break;
        }
    }
    if (SUCCEEDED(hr) && m_paStreams.empty()) {
        hr = VFW_E_UNSUPPORTED_STREAM;
        m_error = "it has no video, audio or text stream the engine can carry";
    }
    if (FAILED(hr)) {
        while (!m_paStreams.empty()) {
            CSourceStream* pin = m_paStreams.back();
            RemovePin(pin);
            delete pin;
        }
        return hr;
    }
    m_file = fileName;
    m_name = SplitterName(context->iformat);
    return S_OK;
}

HRESULT CMediaSource::GetCurFile(LPWSTR* fileName, AM_MEDIA_TYPE* type) {
    if (!fileName)
        return E_POINTER;
    *fileName = nullptr;
    CAutoLock lock(&m_cStateLock);
    if (m_file.empty())
        return E_FAIL;
    *fileName = static_cast<LPWSTR>(CoTaskMemAlloc((m_file.size() + 1) * sizeof(WCHAR)));
    if (!*fileName)
        return E_OUTOFMEMORY;
    std::wmemcpy(*fileName, m_file.c_str(), m_file.size() + 1);
    if (type) {
        std::memset(type, 0, sizeof *type);
        type->majortype = MEDIATYPE_Stream;
    }
    return S_OK;
}

HRESULT CMediaSource::GetSourceName(LPWSTR* name) {
    if (!name)
        return E_POINTER;
    *name = nullptr;
    CAutoLock lock(&m_cStateLock);
    if (m_name.empty())
        return E_FAIL;
    *name = static_cast<LPWSTR>(CoTaskMemAlloc((m_name.size() + 1) * sizeof(WCHAR)));
    if (!*name)
        return E_OUTOFMEMORY;
    std::wmemcpy(*name, m_name.c_str(), m_name.size() + 1);
    return S_OK;
}

std::string CMediaSource::LastError() const {
    CAutoLock lock(const_cast<CCritSec*>(&m_cStateLock));
    return m_error;
}

}  // namespace dshow::media
