// CMediaSource: the engine's source/splitter for every container FFmpeg reads. Load opens the
// file and makes one output pin per video, audio and text stream, each with a real media type
// (media_types.h); an AVI file's source calls itself "AVI Splitter" in the graph, others by
// their container ("MPEG-4 Splitter", "Matroska Splitter"...).
//
// Each pin (CMediaSourcePin) owns a demuxer of its own (StreamReader) and pushes that stream's
// packets from its streaming thread: compressed packets as they are, uncompressed AVI frames as
// the file's DIB bytes, text packets as NUL-terminated text. Load opens the file once and
// learns every stream from that one demuxer; a pin opens its own only when it first streams,
// so streams nobody renders cost nothing (a file with hundreds of tracks opens as fast as one
// with a few). Seeking is the source base's: frame-exact together with the decoder, which
// drops the frames before the target.
//
// Attached pictures (cover art) are not video streams and get no pin. Why a file cannot be
// opened is kept in words (LastError) and said through the engine's diagnostics, with the
// path; packets that cannot be carried are counted and said too.
//
// Threads and locks are CSource's and CSourceSeekingStream's: Load runs on the application
// thread under the filter lock, while the filter is stopped; the reader is touched only by the
// pin's streaming thread or with that thread parked.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "directshow/filter_graph.h"
#include "directshow/media/stream_reader.h"
#include "directshow/source_seeking.h"

namespace dshow::media {

inline constexpr CLSID CLSID_MediaSource{
    0x7D3B0E51, 0x1C2A, 0x4B8E, {0x9A, 0x61, 0x3E, 0x05, 0xC4, 0x72, 0xD8, 0x19}};

// What a pin needs to open its own demuxer when it first streams.
struct StreamPlan {
    std::string path;  // UTF-8
    int index = 0;
    REFERENCE_TIME origin = 0;
};

class CMediaSourcePin final : public CSourceSeekingStream {
public:
    // parameters: the stream's, as Load found them; largestPacket: the largest its index
    // knows of (0: none).
    CMediaSourcePin(CSource* filter, HRESULT* hr, const wchar_t* name, StreamPlan plan,
                    const AVCodecParameters* parameters, LONG largestPacket, const CMediaType& type,
                    AVRational frameRate, REFERENCE_TIME duration);

    // Takes a demuxer Load opened (at load, with no thread running), so the file is not opened
    // twice for the stream that is always played.
    void AdoptReader(std::unique_ptr<StreamReader> reader);

    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

    // Packets that could not be carried, skipped (streaming thread writes, anyone reads).
    LONG SkippedPackets() const { return m_skipped.load(); }
    // Whether the pin has a demuxer open (its stream was played or Load kept it).
    bool HasReader() const { return m_hasReader.load(); }

protected:
    HRESULT FillBuffer(IMediaSample* sample) override;
    HRESULT OnSeek(REFERENCE_TIME start) override;

private:
    HRESULT OpenReader();
    // Says once per kind why packets are skipped; counts every one.
    void Skip(const char* why, int size);

    std::unique_ptr<StreamReader> m_reader;
    std::atomic<bool> m_hasReader{false};
    const StreamPlan m_plan;
    const AVCodecID m_codec;
    const CMediaType m_type;
    const bool m_text;
    const bool m_sideData;  // samples end with the packet's side data (media_types.h)
    const REFERENCE_TIME m_frameTime;
    const LONG m_bufferSize;
    PacketPtr m_packet;
    // Uncompressed frames are copied row by row (turned over when the file's rows are
    // top-down, padded when the file's are not), so that samples are always bottom-up DIBs.
    bool m_rowCopy = false;
    bool m_flipRows = false;
    LONG m_rows = 0;
    LONG m_stride = 0;
    LONG m_rowBytes = 0;           // the bytes of one row as the file stores it
    REFERENCE_TIME m_lastEnd = 0;  // where a packet without a time stamp starts
    // After a seek into decode-order times: the key frame's shift, and the pictures after it
    // that the decoder drops (LeadingBFrames), sent without times.
    REFERENCE_TIME m_keyShift = 0;
    int m_leadingSkipped = 0;
    bool m_paletteDue = true;  // the next packet carries the stream's palette
    std::atomic<LONG> m_skipped{0};
    bool m_saidTooLarge = false;
    bool m_saidShort = false;
};

class CMediaSource final : public CSource, public IFileSourceFilter, public ISourceFilterName {
public:
    explicit CMediaSource(IUnknown* outer);

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // IFileSourceFilter: one file per filter; E_UNEXPECTED for a second Load.
    HRESULT Load(LPCWSTR fileName, const AM_MEDIA_TYPE* type) override;
    HRESULT GetCurFile(LPWSTR* fileName, AM_MEDIA_TYPE* type) override;
    // ISourceFilterName
    HRESULT GetSourceName(LPWSTR* name) override;

    // Why the last Load failed, in words (empty after a success).
    std::string LastError() const;

private:
    HRESULT LoadFile(LPCWSTR fileName, const AM_MEDIA_TYPE* type);
    // Makes the pins; m_error says why not.
    HRESULT LoadStreams(const std::string& path);

    std::wstring m_file;
    std::wstring m_name;
    std::string m_error;
};

// The name a source of this container gets in the graph.
std::wstring SplitterName(const AVInputFormat* format);

}  // namespace dshow::media
