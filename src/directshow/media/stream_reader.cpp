#include "directshow/media/stream_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace dshow::media {

namespace {

// What went wrong, in a user's words rather than the library's.
std::string OpenFailure(int error) {
    switch (error) {
        case AVERROR(ENOENT):
            return "no such file";
        case AVERROR(EACCES):
        case AVERROR(EPERM):
            return "permission denied";
        case AVERROR_INVALIDDATA:
        case AVERROR_EOF:
            return "not a media file FFmpeg can read";
        default:
            return ErrorText(error);
    }
}

}  // namespace

HRESULT StreamReader::Open(const std::string& path, std::unique_ptr<StreamReader>* reader,
                           std::string* error) {
    // Only files: opening a pipe without a writer, or a device, would block without a bound,
    // and a directory is no media. The name is opened without blocking and checked as opened;
    // the demuxer then opens that very file through the descriptor, so nothing put in its
    // place meanwhile can block it.
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const int cause = errno;
        *error = cause == EISDIR ? "it is a directory" : OpenFailure(AVERROR(cause));
        return cause == EISDIR ? E_INVALIDARG : ToHResult(AVERROR(cause));
    }
    struct DescriptorCloser {
        int fd;
        ~DescriptorCloser() { close(fd); }
    } closer{descriptor};
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        *error = S_ISDIR(status.st_mode) ? "it is a directory"
                                         : "not a regular file (a pipe, socket or device)";
        return E_INVALIDARG;
    }
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(descriptor);
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        *error = "out of memory";
        return E_OUTOFMEMORY;
    }
    // Program streams carry a time stamp only now and then (and none on B-frames after a
    // seek); every packet must have one for its frame to be placed.
    raw->flags |= AVFMT_FLAG_GENPTS;
    MarkOwnContext(raw);
    // A file name is a file: never a protocol ("concat:", "http:"), and nothing a playlist
    // inside it points to elsewhere.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    int result = avformat_open_input(&raw, ("file:" + byDescriptor).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
        *error = OpenFailure(result);
        return ToHResult(result);
    }
    FormatContextPtr context(raw);
    result = avformat_find_stream_info(context.get(), nullptr);
    if (result < 0) {
        *error = "cannot read its streams: " + ErrorText(result);
        return ToHResult(result);
    }
    std::unique_ptr<StreamReader> opened(new StreamReader);
    opened->m_context = std::move(context);
    opened->m_pending.reset(av_packet_alloc());
    if (!opened->m_pending) {
        *error = "out of memory";
        return E_OUTOFMEMORY;
    }
    *reader = std::move(opened);
    return S_OK;
}

void StreamReader::Select(int streamIndex) {
    for (unsigned i = 0; i < m_context->nb_streams; ++i)
        m_context->streams[i]->discard =
            static_cast<int>(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    m_stream = m_context->streams[streamIndex];
    m_origin = StreamStart();
    // AVI stores a frame per index slot and no presentation times: what the library guesses
    // for some packets (from the decoder's delay) and not for others would count frames from
    // two origins, so only the slots count (the decoder puts them in display order).
    const std::string format =
        m_context->iformat && m_context->iformat->name ? m_context->iformat->name : "";
    m_decodeTimesOnly = format == "avi";
    // Elementary streams carry no times of their own: what the parser makes up for some
    // pictures and not others would count frames from two origins, so each packet is a frame
    // at the stream's rate, counted from the top of the file.
    static const char* const kElementary[] = {"h264",      "hevc", "mpegvideo", "m4v",  "mjpeg",
                                              "cavsvideo", "vc1",  "h261",      "h263", "obu"};
    m_untimed =
        std::find(std::begin(kElementary), std::end(kElementary), format) != std::end(kElementary);
}

REFERENCE_TIME StreamReader::StreamStart() const {
    if (m_stream->start_time != AV_NOPTS_VALUE)
        return ToMediaTime(m_stream->start_time, m_stream->time_base);
    if (m_context->start_time != AV_NOPTS_VALUE)
        return ToMediaTime(m_context->start_time, AVRational{1, AV_TIME_BASE});
    return 0;
}

int StreamReader::ReadRaw(AVPacket* packet) {
    m_untouched = false;
    for (;;) {
        av_packet_unref(packet);
        const int result = av_read_frame(m_context.get(), packet);
        if (result < 0)
            return result;
        if (packet->stream_index == m_stream->index) {
            std::size_t size = 0;
            if (const std::uint8_t* palette =
                    av_packet_get_side_data(packet, AV_PKT_DATA_PALETTE, &size))
                m_palette.assign(palette, palette + size);
            return 0;
        }
    }
}

int StreamReader::Read(AVPacket* packet) {
    if (m_hasPending) {
        av_packet_unref(packet);
        av_packet_move_ref(packet, m_pending.get());
        m_hasPending = false;
        m_untouched = false;
        return 0;
    }
    if (!m_ahead.empty()) {
        av_packet_unref(packet);
        av_packet_move_ref(packet, m_ahead.front().get());
        m_ahead.pop_front();
        return 0;
    }
    return ReadRaw(packet);
}

namespace {

// MPEG-4 part 2: whether the packet's first picture (VOP) is bidirectional.
bool StartsWithBVop(const AVPacket& packet) {
    for (int i = 0; i + 4 < packet.size; ++i) {
        if (packet.data[i] == 0 && packet.data[i + 1] == 0 && packet.data[i + 2] == 1 &&
            packet.data[i + 3] == 0xB6)
            return (packet.data[i + 4] >> 6) == 2;
    }
    return false;
}

}  // namespace

void StreamReader::LearnPalette() {
    // Demuxers hand the palette over once, with the first packet they read: a seek before it
    // was read (or a second pass) would leave the decoder without one.
    if (m_stream->codecpar->format != AV_PIX_FMT_PAL8 || !m_palette.empty())
        return;
    if (!m_untouched && SeekTo(0) < 0)
        return;
    PacketPtr packet(av_packet_alloc());
    if (packet)
        ReadRaw(packet.get());  // keeps the palette when the packet carries one
    m_untouched = false;
}

int StreamReader::LeadingBFrames() {
    // Only AVI's MPEG-4 part 2 needs it: decode-order times, and groups that open with
    // B-frames which refer back past the key frame (the decoder drops them after a seek).
    if (!m_hasPending || !m_decodeTimesOnly || m_stream->codecpar->codec_id != AV_CODEC_ID_MPEG4)
        return 0;
    constexpr int kMostAhead = 16;
    int leading = 0;
    while (leading < kMostAhead) {
        if (static_cast<int>(m_ahead.size()) <= leading) {
            PacketPtr next(av_packet_alloc());
            if (!next || ReadRaw(next.get()) < 0)
                break;
            m_ahead.push_back(std::move(next));
        }
        if (!StartsWithBVop(*m_ahead[static_cast<std::size_t>(leading)]))
            break;
        ++leading;
    }
    return leading;
}

int StreamReader::SeekTo(REFERENCE_TIME time) {
    const std::int64_t target = FromMediaTime(time + m_origin, m_stream->time_base);
    if (av_seek_frame(m_context.get(), m_stream->index, target, AVSEEK_FLAG_BACKWARD) >= 0)
        return 0;
    if (avformat_seek_file(m_context.get(), m_stream->index, INT64_MIN, target, target, 0) >= 0)
        return 0;
    // Nothing before the target (or no index): the start of the file.
    if (av_seek_frame(m_context.get(), m_stream->index, INT64_MIN, AVSEEK_FLAG_BACKWARD) >= 0)
        return 0;
    return av_seek_frame(m_context.get(), -1, 0, AVSEEK_FLAG_BYTE);
}

int StreamReader::SeekBefore(REFERENCE_TIME time) {
    m_hasPending = false;
    m_ahead.clear();
    av_packet_unref(m_pending.get());
    m_landed = AV_NOPTS_VALUE;
    if (time <= 0 && m_untouched) {
        m_landed = 0;
        return 0;
    }
    const bool video = m_stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    const REFERENCE_TIME frame = FrameTime() > 0 ? FrameTime() : 40 * 10'000;
    // Demuxers may index key frames by decode time, which runs ahead of the display time by
    // the reordering delay, and program and transport streams have no index at all and land
    // where a bisection of the file takes them: when the key frame found is shown after the
    // target, the search starts earlier, widening each time. Program and transport streams
    // start a little earlier from the outset: their bisection can land inside a picture, and
    // the key frame found first may be cut.
    const std::string format = m_context->iformat->name ? m_context->iformat->name : "";
    REFERENCE_TIME margin = video && (format == "mpeg" || format == "mpegts") ? 16 * frame : 0;
    for (int attempt = 0; attempt < 7; ++attempt) {
        const REFERENCE_TIME target = std::max<REFERENCE_TIME>(time - margin, 0);
        // The last resort: the first byte of the file, where the stream begins.
        const bool fromTheTop = attempt == 6;
        int result =
            fromTheTop ? av_seek_frame(m_context.get(), -1, 0, AVSEEK_FLAG_BYTE) : SeekTo(target);
        if (fromTheTop && result < 0)
            result = SeekTo(0);  // a container that cannot seek by bytes
        if (result < 0)
            return result;
        for (;;) {
            result = ReadRaw(m_pending.get());
            if (result < 0 || !video || (m_pending->flags & AV_PKT_FLAG_KEY))
                break;
        }
        if (result < 0) {
            // No key frame between the landing point and the end: the one that starts the
            // target's group lies further back (a bisection landing in the last group, a file
            // that is one group), unless the search already started at the top.
            if (fromTheTop || !video)
                return 0;  // nothing left to show: the next read ends the stream
        } else {
            const REFERENCE_TIME slot = PacketTime(*m_pending);
            REFERENCE_TIME shown = slot;
            if (video && slot != AV_NOPTS_VALUE) {
                // A key frame with pictures shown before it is itself shown after them.
                m_hasPending = true;
                shown += LeadingBFrames() * frame;
                m_hasPending = false;
            }
            if (!video || fromTheTop || (shown != AV_NOPTS_VALUE && shown <= time)) {
                m_hasPending = true;
                m_landed = fromTheTop ? 0 : slot;
                return 0;
            }
            m_ahead.clear();
            // A packet without a time (an elementary stream's) says nothing of where the
            // demuxer landed: only the top of the file is a known place to count from.
            if (shown == AV_NOPTS_VALUE)
                attempt = 5;
        }
        margin = target == 0 ? time + frame : margin * 4 + frame;
        if (target == 0)
            attempt = 5;  // a seek to the start that lands later: go to the top
    }
    m_hasPending = m_pending->buf != nullptr;
    return 0;
}

REFERENCE_TIME StreamReader::PacketTime(const AVPacket& packet) const {
    if (m_untimed)
        return AV_NOPTS_VALUE;
    if (m_decodeTimesOnly)
        return PacketDecodeTime(packet);
    const std::int64_t stamp = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    if (stamp == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    return ToMediaTime(stamp, m_stream->time_base) - m_origin;
}

REFERENCE_TIME StreamReader::PacketDecodeTime(const AVPacket& packet) const {
    if (m_untimed)
        return AV_NOPTS_VALUE;
    const std::int64_t stamp = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    if (stamp == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    return ToMediaTime(stamp, m_stream->time_base) - m_origin;
}

REFERENCE_TIME StreamReader::PacketDuration(const AVPacket& packet) const {
    // A picture of an AVI with empty chunks lasts until the next one: a frame on average.
    if (m_decodeTimesOnly && m_measuredStream == m_stream->index && m_measuredRate.num > 0)
        return FrameTime();
    if (packet.duration <= 0)
        return 0;
    // The end rounded on its own, not the start plus a rounded length: at rates like
    // 30000/1001 those differ by a unit, and a frame would reach past the next one's start.
    const std::int64_t stamp = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    if (stamp == AV_NOPTS_VALUE)
        return ToMediaTime(packet.duration, m_stream->time_base);
    return ToMediaTime(stamp + packet.duration, m_stream->time_base) -
           ToMediaTime(stamp, m_stream->time_base);
}

AVRational StreamReader::FrameRate() const {
    if (m_stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
        return AVRational{0, 1};
    if (m_measuredRate.num > 0 && m_measuredStream == m_stream->index)
        return m_measuredRate;
    AVRational rate = m_stream->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0)
        rate = av_guess_frame_rate(m_context.get(), const_cast<AVStream*>(m_stream), nullptr);
    if (rate.num <= 0 || rate.den <= 0)
        return AVRational{0, 1};
    return rate;
}

REFERENCE_TIME StreamReader::FrameTime() const {
    const AVRational rate = FrameRate();
    return rate.num > 0 ? av_rescale(10'000'000, rate.den, rate.num) : 0;
}

REFERENCE_TIME StreamReader::ReadToEnd(AVPacket* packet, std::int64_t* packets) {
    REFERENCE_TIME end = AV_NOPTS_VALUE;
    while (ReadRaw(packet) == 0) {
        if (packets)
            ++*packets;
        const REFERENCE_TIME start = PacketTime(*packet);
        if (start == AV_NOPTS_VALUE)
            continue;
        const REFERENCE_TIME length = std::max(PacketDuration(*packet), FrameTime());
        end = end == AV_NOPTS_VALUE ? start + length : std::max(end, start + length);
    }
    return end;
}

REFERENCE_TIME StreamReader::ScanEnd() {
    AVIOContext* io = m_context->pb;
    const std::int64_t size = io ? avio_size(io) : -1;
    REFERENCE_TIME end = AV_NOPTS_VALUE;
    if (size <= 0)
        return end;
    PacketPtr packet(av_packet_alloc());
    for (std::int64_t window : {std::int64_t{4} << 20, std::int64_t{32} << 20, size}) {
        const std::int64_t from = std::max<std::int64_t>(size - window, 0);
        if (!packet || av_seek_frame(m_context.get(), -1, from, AVSEEK_FLAG_BYTE) < 0)
            break;
        end = ReadToEnd(packet.get());
        if (end != AV_NOPTS_VALUE || from == 0)
            break;
    }
    // Back to the start, as if nothing had been read.
    av_seek_frame(m_context.get(), -1, 0, AVSEEK_FLAG_BYTE);
    m_untouched = true;
    return end;
}

bool StreamReader::SharesTheFile() const {
    for (unsigned i = 0; i < m_context->nb_streams; ++i) {
        const AVStream* other = m_context->streams[i];
        if (other != m_stream && !(other->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return true;
    }
    return false;
}

REFERENCE_TIME StreamReader::TailEnd(REFERENCE_TIME near) {
    // From the last key frame at or before the file's end: the stream's last packets follow.
    REFERENCE_TIME end = AV_NOPTS_VALUE;
    PacketPtr packet(av_packet_alloc());
    if (packet && SeekTo(near) >= 0)
        end = ReadToEnd(packet.get());
    // The next SeekBefore moves back to wherever playing starts.
    m_untouched = false;
    // A seek that landed past the stream's last packet found nothing: every packet is read.
    return end != AV_NOPTS_VALUE ? end : CountEnd();
}

REFERENCE_TIME StreamReader::Duration() {
    // Program and transport streams have no duration of their own, and FFmpeg's guess from a
    // glance at the end of the file can be several frames short: the end is looked up (their
    // time stamps are absolute, so a packet read anywhere tells its time).
    const auto method = m_context->duration_estimation_method;
    const std::string format = m_context->iformat->name ? m_context->iformat->name : "";
    if (format == "mpeg" || format == "mpegts") {
        const REFERENCE_TIME end = ScanEnd();
        if (end != AV_NOPTS_VALUE && end > 0)
            return end;
    }
    // NUT states the end of its last packet's start, not of the packet.
    if (format == "nut") {
        const REFERENCE_TIME end = ScanEnd();
        if (end != AV_NOPTS_VALUE && end > 0) {
            m_countedEnd = end;
            m_countedStream = m_stream->index;
        }
    }
    // A guess from the bit rate is no length at all.
    REFERENCE_TIME stated = 0;
    if (method != AVFMT_DURATION_FROM_BITRATE) {
        if (m_stream->duration != AV_NOPTS_VALUE && m_stream->duration > 0) {
            stated =
                ToMediaTime(m_stream->duration, m_stream->time_base) + StreamStart() - m_origin;
        } else if (m_context->duration != AV_NOPTS_VALUE && m_context->duration > 0) {
            REFERENCE_TIME end = ToMediaTime(m_context->duration, AVRational{1, AV_TIME_BASE});
            if (m_context->start_time != AV_NOPTS_VALUE)
                end += ToMediaTime(m_context->start_time, AVRational{1, AV_TIME_BASE});
            stated = std::max<REFERENCE_TIME>(end - m_origin, 0);
            // The container's length is its longest stream's: sound or captions that run on
            // past the last picture (Matroska states no length per stream) would make the
            // video longer than its frames. The stream's own end is looked up instead.
            if (stated > 0 && SharesTheFile()) {
                const REFERENCE_TIME own =
                    m_countedStream == m_stream->index ? m_countedEnd : TailEnd(stated);
                if (own != AV_NOPTS_VALUE && own > 0)
                    return own;
            }
        }
    }
    // A header may state less than the file holds (written before the recording ended): what
    // the index lists, or what was counted, is at least as long.
    if (stated > 0) {
        const REFERENCE_TIME frame = FrameTime();
        const bool indexesEveryFrame = format == "avi" || format.find("mp4") != std::string::npos;
        if (indexesEveryFrame && frame > 0 &&
            m_stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            std::int64_t shown = 0;  // frames an edit list cuts are listed too, marked
            const int entries = avformat_index_get_entries_count(m_stream);
            for (int i = 0; i < entries; ++i) {
                const AVIndexEntry* entry = avformat_index_get_entry(m_stream, i);
                shown += entry && !(entry->flags & AVINDEX_DISCARD_FRAME);
            }
            // An AVI entry is a tick of the stream's clock, whether it holds a picture or not.
            stated = std::max<REFERENCE_TIME>(
                stated, format == "avi" ? ToMediaTime(shown, m_stream->time_base) : shown * frame);
        }
        if (m_countedEnd != AV_NOPTS_VALUE && m_countedStream == m_stream->index)
            stated = std::max(stated, m_countedEnd);
        return stated;
    }
    // Nothing states a length (raw elementary streams, files recorded live, a single image):
    // the stream is read through once, which costs far less than decoding it.
    const REFERENCE_TIME end = CountEnd();
    return end != AV_NOPTS_VALUE && end > 0 ? end : 0;
}

void StreamReader::MeasureAverageRate() {
    // Matroska states a frame duration, not a count, and writers state the encoder's nominal
    // rate for variable-rate video: the packets are counted instead, up to a size that reads
    // in a moment.
    // 64 MiB reads in about a tenth of a second from the page cache.
    constexpr std::int64_t kMostBytes = std::int64_t{64} << 20;
    const std::string format = m_context->iformat->name ? m_context->iformat->name : "";
    // AVI keeps a chunk per tick of its clock: a stream copied from a finer clock (MP4's), or
    // a capture that dropped frames, has empty chunks, which decode to no picture. Its average
    // rate is that of the chunks that hold one.
    if (format == "avi" && m_stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        // The demuxer indexes only chunks with data, each at its tick: gaps between the ticks
        // are the empty chunks. (A file cut before its index is indexed as it is read, without
        // gaps so far: it keeps its rate.)
        std::int64_t pictures = 0, first = 0, last = 0;
        const int entries = avformat_index_get_entries_count(m_stream);
        for (int i = 0; i < entries; ++i) {
            const AVIndexEntry* entry = avformat_index_get_entry(m_stream, i);
            if (!entry || entry->size <= 0)
                continue;
            if (pictures++ == 0)
                first = entry->timestamp;
            last = entry->timestamp;
        }
        if (pictures < 2 || last - first <= pictures - 1)
            return;
        AVRational rate{};
        av_reduce(&rate.num, &rate.den, m_stream->time_base.den * (pictures - 1),
                  m_stream->time_base.num * (last - first), 1 << 30);
        if (rate.num > 0 && rate.den > 0) {
            m_measuredRate = rate;
            m_measuredStream = m_stream->index;
        }
        return;
    }
    const std::int64_t size = m_context->pb ? avio_size(m_context->pb) : -1;
    if (m_stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || m_stream->nb_frames > 0 ||
        format.find("matroska") == std::string::npos || size <= 0 || size > kMostBytes)
        return;
    const REFERENCE_TIME end = CountEnd();
    if (end == AV_NOPTS_VALUE || end <= 0 || m_counted <= 0)
        return;
    AVRational rate{};
    av_reduce(&rate.num, &rate.den, m_counted * UNITS, end, 1 << 30);
    const AVRational stated = FrameRate();
    // Only a rate that differs from the stated one by more than rounding replaces it.
    if (rate.num > 0 && rate.den > 0 &&
        (stated.num <= 0 || std::abs(av_q2d(rate) / av_q2d(stated) - 1.0) > 0.01)) {
        m_measuredRate = rate;
        m_measuredStream = m_stream->index;
    }
}

REFERENCE_TIME StreamReader::CountEnd() {
    // Byte positions mean nothing to some demuxers (Matroska): the reader moves by time only.
    if (!m_untouched && SeekTo(0) < 0)
        return AV_NOPTS_VALUE;
    PacketPtr packet(av_packet_alloc());
    std::int64_t packets = 0;
    REFERENCE_TIME end = packet ? ReadToEnd(packet.get(), &packets) : AV_NOPTS_VALUE;
    m_counted = packets;
    m_countedStream = m_stream->index;
    // Packets without times (an elementary stream's) are frames at the stream's rate.
    const REFERENCE_TIME frame = FrameTime();
    if (frame > 0 && packets > 0)
        end = std::max(end == AV_NOPTS_VALUE ? 0 : end, packets * frame);
    // The next SeekBefore moves back to wherever playing starts.
    m_untouched = false;
    m_countedEnd = end;
    return end;
}

}  // namespace dshow::media
