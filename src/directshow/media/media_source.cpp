#include "directshow/media/media_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>

#include "com/runtime.h"
#include "directshow/diagnostics.h"
#include "directshow/media/media_types.h"
#include "directshow/media/text_packets.h"
#include "platform/text.h"

namespace dshow::media {
namespace {

// Sample sizes: a compressed picture is usually far below an uncompressed one of the same
// size, but lossless coding of noise is not, so a sample holds the largest of a picture in the
// stream's own decoded format, a quarter more than that for coding overhead, and the largest
// packet the container's index knows of; 64 KiB spare for headers.
LONG CompressedBufferSize(const CMediaType& type, const AVCodecParameters* parameters,
                          LONG largestPacket) {
    VideoGeometry geometry;
    if (!ReadVideoGeometry(type, &geometry))
        return std::max<LONG>(1 << 20, largestPacket);
    std::int64_t raw = std::int64_t{geometry.width} * geometry.height * 3 / 2;
    if (parameters->format >= 0) {
        const int picture = av_image_get_buffer_size(static_cast<AVPixelFormat>(parameters->format),
                                                     parameters->width, parameters->height, 1);
        raw = std::max<std::int64_t>(raw, picture);
    }
    raw += raw / 4;
    raw = std::max<std::int64_t>(raw, largestPacket);
    return static_cast<LONG>(std::clamp<std::int64_t>(raw + (64 << 10), 256 << 10, 1 << 30));
}

// The largest packet of a stream that the container indexes (0 when it has no index).
LONG LargestIndexedPacket(AVStream* stream) {
    int largest = 0;
    const int entries = avformat_index_get_entries_count(stream);
    for (int i = 0; i < entries; ++i) {
        if (const AVIndexEntry* entry = avformat_index_get_entry(stream, i))
            largest = std::max(largest, entry->size);
    }
    return largest;
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// A camera hands over the pixels its sensor gave: a display rotation or a non-square pixel
// shape the file asks for is not applied (that would resample every frame and change the
// size a host sees), and is said once so nobody wonders.
void NoteDisplayHints(const std::string& path, const AVStream* stream) {
    std::size_t size = 0;
    const std::uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (matrix && size >= 9 * sizeof(std::int32_t)) {
        const double degrees =
            av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
        if (!std::isnan(degrees) && std::lround(degrees) % 360 != 0)
            Diagnose(Severity::Info, Quoted(path) +
                                         " asks for its pictures to be shown rotated by " +
                                         std::to_string(-std::lround(degrees)) +
                                         " degrees; they are delivered as stored");
    }
    const AVRational aspect = stream->codecpar->sample_aspect_ratio;
    if (aspect.num > 0 && aspect.den > 0 && aspect.num != aspect.den)
        Diagnose(Severity::Info, Quoted(path) + " has pixels " + std::to_string(aspect.num) + ":" +
                                     std::to_string(aspect.den) +
                                     " wide; they are delivered as stored, one sample each");
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

CMediaSourcePin::CMediaSourcePin(CSource* filter, HRESULT* hr, const wchar_t* name, StreamPlan plan,
                                 const AVCodecParameters* parameters, LONG largestPacket,
                                 const CMediaType& type, AVRational frameRate,
                                 REFERENCE_TIME duration)
    : CSourceSeekingStream(L"media source pin", hr, filter, name),
      m_plan(std::move(plan)),
      m_codec(parameters->codec_id),
      m_type(type),
      m_text(type.majortype == MEDIATYPE_Text),
      m_sideData(type.majortype == MEDIATYPE_Video && IsCodecSubtype(type.subtype)),
      m_frameTime(frameRate.num > 0 ? av_rescale(UNITS, frameRate.den, frameRate.num) : 0),
      m_bufferSize(type.majortype == MEDIATYPE_Video && !type.bFixedSizeSamples
                       ? CompressedBufferSize(type, parameters, largestPacket)
                       : 0),
      m_packet(av_packet_alloc()) {
    // Without a known length nothing may be cut short: the stream plays until it ends. A
    // video's stated length is a hint (every frame FFmpeg decodes is played); sound keeps its
    // stop, which cuts the codec's padding after the end.
    m_rtDuration = m_rtStop = duration > 0 ? duration : std::numeric_limits<REFERENCE_TIME>::max();
    m_bDurationIsAHint = type.majortype == MEDIATYPE_Video;
    if (IsRawDib(parameters)) {
        m_rowCopy = true;
        m_flipRows = !RawRowsBottomUp(parameters);
        m_rows = parameters->height;
        m_stride = DibStride(parameters->width, parameters->bits_per_coded_sample);
        m_rowBytes = (parameters->width * parameters->bits_per_coded_sample + 7) / 8;
    }
    // Every stream of the file counts frames of the video stream, so frame positions mean the
    // same on all of them.
    if (frameRate.num > 0)
        SetFrameRate(frameRate.num, frameRate.den);
    if (hr && SUCCEEDED(*hr) && !m_packet)
        *hr = E_OUTOFMEMORY;
}

void CMediaSourcePin::AdoptReader(std::unique_ptr<StreamReader> reader) {
    reader->Select(m_plan.index);
    reader->SetOrigin(m_plan.origin);
    reader->LearnPalette();
    m_reader = std::move(reader);
    m_hasReader = true;
}

HRESULT CMediaSourcePin::OpenReader() {
    if (m_reader)
        return S_OK;
    std::string error;
    const HRESULT hr = StreamReader::Open(m_plan.path, &m_reader, &error);
    if (FAILED(hr)) {
        Diagnose(Severity::Error, "cannot open " + Quoted(m_plan.path) + " again: " + error);
        return hr;
    }
    if (m_plan.index >= static_cast<int>(m_reader->Context()->nb_streams)) {
        m_reader.reset();
        Diagnose(Severity::Error, Quoted(m_plan.path) + " changed while it was open");
        return VFW_E_INVALID_FILE_FORMAT;
    }
    m_reader->Select(m_plan.index);
    m_reader->SetOrigin(m_plan.origin);
    if (m_type.majortype == MEDIATYPE_Video)
        m_reader->MeasureAverageRate();  // as Load's reader did, for the same times
    m_reader->LearnPalette();
    m_hasReader = true;
    return S_OK;
}

void CMediaSourcePin::Skip(const char* why, int size) {
    ++m_skipped;
    bool& said = m_rowCopy ? m_saidShort : m_saidTooLarge;
    if (said)
        return;
    said = true;
    Diagnose(Severity::Warning, Quoted(m_plan.path) + ": skipped a packet of " +
                                    std::to_string(size) + " bytes (" + why +
                                    "); later ones are counted without a word");
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
        request.cbBuffer =
            m_type.bFixedSizeSamples ? static_cast<LONG>(m_type.lSampleSize) : m_bufferSize;
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
    if (!m_reader)
        return S_FALSE;
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
        if (m_text) {
            // A cue still showing when the pictures end is cut there: the stream must not
            // outlast the video (its stop), or the graph waits for it at every loop.
            CAutoLock lock(&m_cSeekingLock);
            if (start >= m_rtStop)
                return S_FALSE;
            length = std::min(length, m_rtStop - start);
        }
        LONG size = 0;
        if (m_text) {
            size = static_cast<LONG>(
                TextFromPacket(m_codec, packet.data, static_cast<std::size_t>(packet.size),
                               reinterpret_cast<char*>(data), static_cast<std::size_t>(capacity)));
            // MP4 ends each cue with an empty sample: no text to hand on.
            if (size <= 1)
                continue;
        } else if (m_rowCopy) {
            // Rows as the header describes them, padded to whole words or not; a frame with
            // fewer bytes than its header promises is refused, as FFmpeg refuses it.
            const int from = packet.size >= std::int64_t{m_stride} * m_rows ? m_stride
                             : m_rows > 0 && packet.size % m_rows == 0      ? packet.size / m_rows
                                                                            : 0;
            if (from < m_rowBytes || std::int64_t{m_stride} * m_rows > capacity) {
                Skip("shorter than its header says a frame is", packet.size);
                continue;
            }
            for (LONG row = 0; row < m_rows; ++row) {
                BYTE* to = data + std::ptrdiff_t{m_flipRows ? m_rows - 1 - row : row} * m_stride;
                std::memcpy(to, packet.data + std::ptrdiff_t{row} * from,
                            static_cast<std::size_t>(m_rowBytes));
                std::memset(to + m_rowBytes, 0, static_cast<std::size_t>(m_stride - m_rowBytes));
            }
            size = m_stride * m_rows;
        } else {
            if (packet.size <= 0)
                continue;  // a dropped frame's placeholder: nothing to show
            if (m_paletteDue && m_sideData) {
                // The decoder starts afresh after a seek: it gets the palette again.
                m_paletteDue = false;
                const auto& palette = m_reader->Palette();
                if (!palette.empty() &&
                    !av_packet_get_side_data(m_packet.get(), AV_PKT_DATA_PALETTE, nullptr)) {
                    if (std::uint8_t* copy = av_packet_new_side_data(
                            m_packet.get(), AV_PKT_DATA_PALETTE, palette.size()))
                        std::memcpy(copy, palette.data(), palette.size());
                }
            }
            std::size_t total = static_cast<std::size_t>(packet.size);
            if (packet.size > capacity ||
                (m_sideData && !AppendSampleTrailer(packet, data, total,
                                                    static_cast<std::size_t>(capacity), &total))) {
                Skip("larger than a sample", packet.size);
                continue;
            }
            std::memcpy(data, packet.data, static_cast<std::size_t>(packet.size));
            size = static_cast<LONG>(total);
        }
        sample->SetActualDataLength(size);
        sample->SetSyncPoint((packet.flags & AV_PKT_FLAG_KEY) || m_text ? TRUE : FALSE);
        m_lastEnd = start + length;
        if (m_keyShift > 0) {
            start += m_keyShift;
            m_keyShift = 0;
        } else if (m_leadingSkipped > 0) {
            --m_leadingSkipped;
            const HRESULT hr = StampSample(sample, start, start + length);
            sample->SetTime(nullptr, nullptr);
            sample->SetPreroll(TRUE);
            return hr;
        }
        return StampSample(sample, start, start + length);
    }
}

HRESULT CMediaSourcePin::OnSeek(REFERENCE_TIME start) {
    m_lastEnd = start;
    if (const HRESULT hr = OpenReader(); FAILED(hr))
        return hr;
    const int result = m_reader->SeekBefore(start);
    // Packets without times count on from where the reader landed.
    if (m_reader->LandedAt() != AV_NOPTS_VALUE)
        m_lastEnd = m_reader->LandedAt();
    // Decode-order times after a seek: the pictures the decoder will drop take no time, and
    // the key frame takes the last of theirs (it is shown after them), so every frame shown
    // keeps its place.
    m_paletteDue = true;
    m_leadingSkipped = result < 0 ? 0 : m_reader->LeadingBFrames();
    m_keyShift = m_leadingSkipped * m_frameTime;
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
        Diagnose(Severity::Error, "cannot open a file whose name is not valid text");
        return E_INVALIDARG;
    }
    const HRESULT hr = LoadStreams(*path);
    if (FAILED(hr)) {
        while (!m_paStreams.empty()) {
            CSourceStream* pin = m_paStreams.back();
            RemovePin(pin);
            delete pin;
        }
        Diagnose(Severity::Error, "cannot open " + Quoted(*path) + ": " + m_error);
        return hr;
    }
    m_file = fileName;
    return S_OK;
}

HRESULT CMediaSource::LoadStreams(const std::string& path) {
    std::unique_ptr<StreamReader> reader;
    HRESULT hr = StreamReader::Open(path, &reader, &m_error);
    if (FAILED(hr))
        return hr;
    AVFormatContext* context = reader->Context();
    if (context->nb_streams == 0) {
        m_error = "it has no streams";
        return VFW_E_UNSUPPORTED_STREAM;
    }
    const auto attached = [context](unsigned index) {
        return (context->streams[index]->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
    };

    // Every stream counts time from the start of the video stream FFmpeg rates best (the one
    // a player shows), and frames at its rate, so they stay in step; its duration is every
    // stream's (a camera's stream ends with its pictures).
    const int video = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const bool hasVideo = video >= 0 && !attached(static_cast<unsigned>(video));
    reader->Select(hasVideo ? video : 0);
    if (hasVideo)
        reader->MeasureAverageRate();
    const REFERENCE_TIME origin = reader->StreamStart();
    const AVRational frameRate = reader->FrameRate();
    const REFERENCE_TIME videoDuration = hasVideo ? reader->Duration() : 0;
    if (hasVideo)
        NoteDisplayHints(path, context->streams[video]);

    int videos = 0, audios = 0, texts = 0;
    CMediaSourcePin* first = nullptr;
    for (unsigned index = 0; index < context->nb_streams; ++index) {
        if (attached(index))
            continue;  // cover art: a picture, not a stream of them
        reader->Select(static_cast<int>(index));
        reader->SetOrigin(origin);
        const auto type = StreamMediaType(reader->Stream(), reader->FrameTime());
        if (!type)
            continue;
        const GUID major = type->majortype;
        const int number = major == MEDIATYPE_Video   ? ++videos
                           : major == MEDIATYPE_Audio ? ++audios
                                                      : ++texts;
        std::wstring pinName = major == MEDIATYPE_Video   ? L"Video"
                               : major == MEDIATYPE_Audio ? L"Audio"
                                                          : L"Text";
        if (number > 1)
            pinName += L" " + std::to_wstring(number);
        REFERENCE_TIME duration = videoDuration;
        if (!hasVideo)
            duration = reader->Duration();
        AVStream* stream = context->streams[index];
        HRESULT pinResult = S_OK;
        // The pin adds itself to the filter, which deletes it.
        auto* pin = new CMediaSourcePin(
            this, &pinResult, pinName.c_str(), StreamPlan{path, static_cast<int>(index), origin},
            stream->codecpar, LargestIndexedPacket(stream), *type, frameRate, duration);
        if (FAILED(pinResult)) {
            m_error = "cannot make an output pin";
            return pinResult;
        }
        if (!first || static_cast<int>(index) == video)
            first = pin;
    }
    // The demuxer Load opened serves the video stream (or the first); the others open theirs
    // when they first stream.
    if (first)
        first->AdoptReader(std::move(reader));
    if (m_paStreams.empty()) {
        m_error = video >= 0 && !hasVideo
                      ? "it holds a picture (cover art) but no video, audio or text stream"
                      : "it has no video, audio or text stream the engine can carry";
        return VFW_E_UNSUPPORTED_STREAM;
    }
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
