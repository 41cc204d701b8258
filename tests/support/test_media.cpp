#include "support/test_media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/md5.h"
#include "support/avi_writer.h"
#include "support/media_damage.h"

// libx265 (3.5) keeps a few buffers of every encoder it opens past x265_encoder_close; the leak
// checker should report ours, not the library's. The sanitizer runtime looks this hook up by
// name, and only a build with the leak checker calls it.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

namespace zyl::test::media {

namespace {

// FFmpeg's objects, each freed by the function that also clears the caller's pointer.
template <class T, void (*Free)(T**)>
struct Freer {
    void operator()(T* p) const { Free(&p); }
};
using InputPtr = std::unique_ptr<AVFormatContext, Freer<AVFormatContext, avformat_close_input>>;
using CodecPtr = std::unique_ptr<AVCodecContext, Freer<AVCodecContext, avcodec_free_context>>;
using PacketPtr = std::unique_ptr<AVPacket, Freer<AVPacket, av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, Freer<AVFrame, av_frame_free>>;
struct ScaleFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using ScalePtr = std::unique_ptr<SwsContext, ScaleFreer>;

// Encoder statistics and notices come out at info level; moving them below the default level
// keeps test output readable without touching FFmpeg's process-wide log level.
constexpr int kQuietEncoder = AV_LOG_DEBUG - AV_LOG_INFO;

constexpr int kAudioRate = 48000;
constexpr int kScaleFlags = SWS_BITEXACT | SWS_ACCURATE_RND | SWS_POINT;

std::string ErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

[[noreturn]] void Fail(const std::string& path, const std::string& what, int error = 0) {
    throw std::runtime_error(path + ": " + what + (error < 0 ? ": " + ErrorText(error) : ""));
}

void Check(int result, const std::string& path, const std::string& what) {
    if (result < 0) {
        Fail(path, what, result);
    }
}

PacketPtr NewPacket() {
    return PacketPtr(av_packet_alloc());
}
FramePtr NewFrame() {
    return FramePtr(av_frame_alloc());
}

std::size_t Pixels(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

std::uint8_t Grey(const std::uint8_t* rgb) {
    return static_cast<std::uint8_t>((77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2]) >> 8);
}

std::string Join(const std::string& dir, const std::string& name) {
    return (std::filesystem::path(dir) / name).string();
}

// ---- Muxing ----

// An output file with its streams' encoders; closes and frees everything it opened.
class Muxer {
public:
    Muxer(const std::string& path, const char* format) : path_(path) {
        Check(avformat_alloc_output_context2(&out_, nullptr, format, path.c_str()), path,
              std::string("no muxer ") + format);
    }
    ~Muxer() {
        if (!(out_->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&out_->pb);
        }
        avformat_free_context(out_);
    }
    Muxer(const Muxer&) = delete;
    Muxer& operator=(const Muxer&) = delete;

    AVFormatContext* get() const { return out_; }
    bool GlobalHeader() const { return (out_->oformat->flags & AVFMT_GLOBALHEADER) != 0; }

    AVStream* AddStream(const AVCodecContext* codec) {
        AVStream* stream = avformat_new_stream(out_, nullptr);
        if (stream == nullptr) {
            Fail(path_, "no memory for a stream");
        }
        Check(avcodec_parameters_from_context(stream->codecpar, codec), path_, "stream parameters");
        stream->time_base = codec->time_base;
        return stream;
    }
    void Open() {
        if (!(out_->oformat->flags & AVFMT_NOFILE)) {
            Check(avio_open(&out_->pb, path_.c_str(), AVIO_FLAG_WRITE), path_, "cannot create");
        }
        Check(avformat_write_header(out_, nullptr), path_, "writing the header");
    }
    void Write(AVPacket* packet) {
        Check(av_interleaved_write_frame(out_, packet), path_, "writing a packet");
    }
    void Close() { Check(av_write_trailer(out_), path_, "writing the trailer"); }

private:
    std::string path_;
    AVFormatContext* out_ = nullptr;
};

// Sends one frame (null: drain) and hands every packet that comes out to `sink`.
template <class Sink>
void Encode(AVCodecContext* codec, const AVFrame* frame, const std::string& path, Sink&& sink) {
    Check(avcodec_send_frame(codec, frame), path, "encoding");
    PacketPtr packet = NewPacket();
    for (;;) {
        const int result = avcodec_receive_packet(codec, packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        Check(result, path, "encoding");
        sink(packet.get());
        av_packet_unref(packet.get());
    }
}

CodecPtr OpenVideoEncoder(const EncodeOptions& encoding, bool globalHeader,
                          const std::string& path) {
    const AVCodec* codec = avcodec_find_encoder_by_name(encoding.codec.c_str());
    if (codec == nullptr || codec->type != AVMEDIA_TYPE_VIDEO) {
        Fail(path, "no video encoder " + encoding.codec);
    }
    CodecPtr ctx(avcodec_alloc_context3(codec));
    ctx->log_level_offset = kQuietEncoder;
    ctx->width = encoding.width;
    ctx->height = encoding.height;
    ctx->time_base = AVRational{encoding.fpsDen, encoding.fpsNum};
    ctx->framerate = AVRational{encoding.fpsNum, encoding.fpsDen};
    ctx->sample_aspect_ratio = AVRational{1, 1};
    ctx->gop_size = encoding.gop;
    ctx->max_b_frames = encoding.bframes;
    ctx->thread_count = 1;
    // The JPEG encoder wants full-range YUV.
    ctx->pix_fmt = encoding.codec == "mjpeg" ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    if (globalHeader) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (encoding.codec == "libx264" || encoding.codec == "libx265") {
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    }
    if (encoding.codec == "libx265") {
        av_opt_set(ctx->priv_data, "x265-params", "log-level=error", 0);
    }
    if (encoding.codec == "mpeg4" || encoding.codec == "mpeg2video") {
        // Key frames only where the interval puts them: not at scene changes, and not moved
        // to fit a group of B-frames.
        av_opt_set_int(ctx->priv_data, "sc_threshold", 1'000'000'000, 0);
        av_opt_set(ctx->priv_data, "mpv_flags", "+strict_gop", 0);
        ctx->flags = static_cast<int>(static_cast<unsigned>(ctx->flags) | AV_CODEC_FLAG_CLOSED_GOP);
    }
    Check(avcodec_open2(ctx.get(), codec, nullptr), path, "opening " + encoding.codec);
    return ctx;
}

CodecPtr OpenAudioEncoder(const std::string& name, bool globalHeader, const std::string& path) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (codec == nullptr) {
        Fail(path, "no audio encoder " + name);
    }
    CodecPtr ctx(avcodec_alloc_context3(codec));
    ctx->log_level_offset = kQuietEncoder;
    ctx->sample_rate = kAudioRate;
    ctx->sample_fmt = codec->sample_fmts[0];
    av_channel_layout_default(&ctx->ch_layout, 1);
    ctx->bit_rate = 64000;
    ctx->time_base = AVRational{1, kAudioRate};
    if (globalHeader) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    Check(avcodec_open2(ctx.get(), codec, nullptr), path, "opening " + name);
    return ctx;
}

// Text encoders read their styles from an ASS header.
constexpr char kAssHeader[] =
    "[Script Info]\n"
    "ScriptType: v4.00+\n"
    "PlayResX: 384\n"
    "PlayResY: 288\n"
    "\n"
    "[V4+ Styles]\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
    "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
    "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
    "Style: Default,Sans,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\n"
    "\n"
    "[Events]\n"
    "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";

CodecPtr OpenTextEncoder(const std::string& name, const std::string& path) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (codec == nullptr) {
        Fail(path, "no text encoder " + name);
    }
    CodecPtr ctx(avcodec_alloc_context3(codec));
    ctx->time_base = AVRational{1, 1000};
    ctx->subtitle_header = reinterpret_cast<std::uint8_t*>(av_strdup(kAssHeader));
    ctx->subtitle_header_size = static_cast<int>(sizeof kAssHeader - 1);
    Check(avcodec_open2(ctx.get(), codec, nullptr), path, "opening " + name);
    return ctx;
}

// Fills `frame` (already sized) with picture n in the encoder's pixel format.
void DrawFrame(AVFrame* frame, int n, const std::string& path) {
    Check(av_frame_make_writable(frame), path, "frame buffer");
    const std::vector<std::uint8_t> rgb = Picture(n, frame->width, frame->height);
    ScalePtr scale(sws_getContext(frame->width, frame->height, AV_PIX_FMT_RGB24, frame->width,
                                  frame->height, static_cast<AVPixelFormat>(frame->format),
                                  SWS_BICUBIC | SWS_BITEXACT | SWS_ACCURATE_RND, nullptr, nullptr,
                                  nullptr));
    if (!scale) {
        Fail(path, "no conversion from rgb24");
    }
    const std::uint8_t* src[1] = {rgb.data()};
    const int srcStride[1] = {3 * frame->width};
    sws_scale(scale.get(), src, srcStride, 0, frame->height, frame->data, frame->linesize);
}

struct Container {
    const char* format;
    const char* extension;
    const char* audioCodec;
};

Container ContainerOf(const std::string& name, const std::string& path) {
    static const std::pair<const char*, Container> kContainers[] = {
        {"avi", {"avi", "avi", "pcm_s16le"}},
        {"mp4", {"mp4", "mp4", "aac"}},
        {"mkv", {"matroska", "mkv", "aac"}},
        {"mpg", {"vob", "mpg", "mp2"}},  // the MPEG-2 flavour of the program stream
        {"ts", {"mpegts", "ts", "mp2"}},
        {"m4v", {"m4v", "m4v", "none"}},  // a bare MPEG-4 video stream: no length anywhere
    };
    for (const auto& [key, container] : kContainers) {
        if (name == key) {
            return container;
        }
    }
    Fail(path, "unknown container " + name);
}

}  // namespace

// ---- Pictures ----

std::vector<std::uint8_t> Picture(int n, int width, int height) {
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("a picture needs a size");
    }
    std::vector<std::uint8_t> rgb(3 * Pixels(width, height));
    const int band = std::max(1, height / 4);
    const int bits = n & 0xFF;
    const int xSpan = std::max(1, width - 1);
    const int ySpan = std::max(1, height - 1);
    std::uint8_t* p = rgb.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, p += 3) {
            if (y < band) {
                const int bit = (bits >> (7 - x * 8 / width)) & 1;
                p[0] = p[1] = p[2] = bit != 0 ? 255 : 0;
            } else {
                p[0] = static_cast<std::uint8_t>(x * 255 / xSpan + n * 7);
                p[1] = static_cast<std::uint8_t>(y * 255 / ySpan + n * 13);
                p[2] = static_cast<std::uint8_t>((x + y) * 3 + n * 29);
            }
        }
    }
    return rgb;
}

std::vector<std::uint8_t> GreyPicture(int n, int width, int height) {
    const std::vector<std::uint8_t> rgb = Picture(n, width, height);
    std::vector<std::uint8_t> grey(Pixels(width, height));
    for (std::size_t i = 0; i < grey.size(); ++i) {
        grey[i] = Grey(&rgb[3 * i]);
    }
    return grey;
}

int FrameNumberOf(const std::vector<std::uint8_t>& pixels, int width, int height,
                  int bytesPerPixel) {
    if (width < 8 || height <= 0 || (bytesPerPixel != 1 && bytesPerPixel != 3) ||
        pixels.size() < Pixels(width, height) * static_cast<std::size_t>(bytesPerPixel)) {
        return -1;
    }
    const int band = std::max(1, height / 4);
    int number = 0;
    for (int k = 0; k < 8; ++k) {
        // The middle of each block, away from edges that lossy coding smears.
        const int x0 = (k * width + 7) / 8;
        const int x1 = ((k + 1) * width + 7) / 8;
        const int inset = (x1 - x0) / 4;
        const int yInset = band / 4;
        long sum = 0;
        long count = 0;
        for (int y = yInset; y < band - yInset; ++y) {
            for (int x = x0 + inset; x < x1 - inset; ++x) {
                const std::uint8_t* p = &pixels[(Pixels(width, y) + static_cast<std::size_t>(x)) *
                                                static_cast<std::size_t>(bytesPerPixel)];
                sum += bytesPerPixel == 1 ? p[0] : Grey(p);
                ++count;
            }
        }
        if (count == 0) {
            return -1;
        }
        const long mean = sum / count;
        if (mean > 160) {
            number |= 1 << (7 - k);
        } else if (mean >= 96) {
            return -1;
        }
    }
    return number;
}

// ---- Makers ----

std::string RawAvi(const std::string& dir, int bits, int width, int height, int frames, int fps) {
    const std::string path =
        Join(dir, "raw" + std::to_string(bits) + "_" + std::to_string(width) + "x" +
                      std::to_string(height) + "_" + std::to_string(frames) + "f.avi");
    if ((bits != 8 && bits != 24 && bits != 32) || width <= 0 || height <= 0 || frames < 0 ||
        fps <= 0) {
        Fail(path, "no uncompressed AVI of " + std::to_string(bits) + " bits, " +
                       std::to_string(width) + "x" + std::to_string(height));
    }
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    const auto bitCount = static_cast<std::uint16_t>(bits);
    AviWriter writer({w, h, bitCount, "", static_cast<std::uint32_t>(fps), 1});
    for (int n = 0; n < frames; ++n) {
        const std::vector<std::uint8_t> pixels =
            bits == 8 ? GreyPicture(n, width, height) : Picture(n, width, height);
        writer.AddVideoFrame(AviWriter::Dib(pixels.data(), w, h, bitCount), true);
    }
    writer.Write(path);
    return path;
}

std::string EncodedFile(const std::string& dir, const EncodeOptions& encoding) {
    const Container container = ContainerOf(encoding.container, Join(dir, encoding.name));
    std::string name = encoding.name;
    if (name.empty()) {
        std::ostringstream s;
        s << encoding.codec << "_" << encoding.width << "x" << encoding.height << "_"
          << encoding.frames << "f_g" << encoding.gop << "_b" << encoding.bframes;
        if (encoding.text != "none") {
            s << "_" << encoding.text << encoding.textEvery;
        }
        if (encoding.audio) {
            s << "_audio";
        }
        s << "." << container.extension;
        name = s.str();
    }
    const std::string path = Join(dir, name);
    if (encoding.width <= 0 || encoding.height <= 0 || encoding.frames <= 0 ||
        encoding.fpsNum <= 0 || encoding.fpsDen <= 0 || encoding.gop <= 0 || encoding.bframes < 0 ||
        encoding.textEvery <= 0) {
        Fail(path,
             "size, frame count, rate, key-frame interval and text interval must be "
             "positive");
    }
    const bool text = encoding.text != "none";
    if (text && !((encoding.text == "mov_text" && encoding.container == "mp4") ||
                  (encoding.text == "subrip" && encoding.container == "mkv"))) {
        Fail(path, "no " + encoding.text + " text in " + encoding.container);
    }

    Muxer muxer(path, container.format);
    CodecPtr video = OpenVideoEncoder(encoding, muxer.GlobalHeader(), path);
    AVStream* videoStream = muxer.AddStream(video.get());
    videoStream->avg_frame_rate = video->framerate;
    CodecPtr audio;
    AVStream* audioStream = nullptr;
    if (encoding.audio) {
        audio = OpenAudioEncoder(container.audioCodec, muxer.GlobalHeader(), path);
        audioStream = muxer.AddStream(audio.get());
    }
    CodecPtr subtitles;
    AVStream* textStream = nullptr;
    if (encoding.text == "mov_text") {
        subtitles = OpenTextEncoder(encoding.text, path);
        textStream = muxer.AddStream(subtitles.get());
    } else if (encoding.text == "subrip") {
        // A SubRip block in Matroska is the bare text; the encoder would add markup.
        textStream = avformat_new_stream(muxer.get(), nullptr);
        if (textStream == nullptr) {
            Fail(path, "no memory for a stream");
        }
        textStream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        textStream->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        textStream->time_base = AVRational{1, 1000};
    }
    muxer.Open();

    auto writeFrom = [&](AVCodecContext* codec, AVStream* stream) {
        return [&muxer, codec, stream](AVPacket* packet) {
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            muxer.Write(packet);
        };
    };

    FramePtr picture = NewFrame();
    picture->format = video->pix_fmt;
    picture->width = encoding.width;
    picture->height = encoding.height;
    Check(av_frame_get_buffer(picture.get(), 0), path, "frame buffer");

    FramePtr sound;
    std::int64_t samplesSent = 0;
    int samplesPerFrame = 0;
    if (audio) {
        samplesPerFrame = audio->frame_size > 0 ? audio->frame_size : 1024;
        sound = NewFrame();
        sound->format = audio->sample_fmt;
        sound->sample_rate = kAudioRate;
        sound->nb_samples = samplesPerFrame;
        Check(av_channel_layout_copy(&sound->ch_layout, &audio->ch_layout), path, "audio layout");
        Check(av_frame_get_buffer(sound.get(), 0), path, "audio buffer");
    }
    auto sendAudioUntil = [&](std::int64_t until) {
        while (samplesSent < until) {
            Check(av_frame_make_writable(sound.get()), path, "audio buffer");
            for (int i = 0; i < samplesPerFrame; ++i) {
                const double t = static_cast<double>(samplesSent + i) / kAudioRate;
                const double v = 0.25 * std::sin(2 * std::numbers::pi * 440 * t);
                if (sound->format == AV_SAMPLE_FMT_FLTP) {
                    reinterpret_cast<float*>(sound->data[0])[i] = static_cast<float>(v);
                } else {
                    reinterpret_cast<std::int16_t*>(sound->data[0])[i] =
                        static_cast<std::int16_t>(std::lround(v * 32767));
                }
            }
            // Shifted by the encoder's priming so its first packet starts at zero: a muxer
            // would otherwise move every stream later to keep time stamps non-negative.
            sound->pts = samplesSent + audio->initial_padding;
            Encode(audio.get(), sound.get(), path, writeFrom(audio.get(), audioStream));
            samplesSent += samplesPerFrame;
        }
    };

    const AVRational frameTime{encoding.fpsDen, encoding.fpsNum};
    for (int n = 0; n < encoding.frames; ++n) {
        DrawFrame(picture.get(), n, path);
        picture->pts = n;
        Encode(video.get(), picture.get(), path, writeFrom(video.get(), videoStream));
        if (audio) {
            sendAudioUntil(
                av_rescale(n + 1, std::int64_t{kAudioRate} * encoding.fpsDen, encoding.fpsNum));
        }
        if (text && n % encoding.textEvery == 0) {
            const std::string cueText = "frame " + std::to_string(n);
            const std::int64_t start = av_rescale_q(n, frameTime, textStream->time_base);
            const std::int64_t end = av_rescale_q(n + 1, frameTime, textStream->time_base);
            PacketPtr packet = NewPacket();
            if (subtitles) {
                std::string line = "0,0,Default,,0,0,0,," + cueText;
                AVSubtitleRect rect{};
                rect.type = SUBTITLE_ASS;
                rect.ass = line.data();
                AVSubtitleRect* rects[1] = {&rect};
                AVSubtitle cue{};
                cue.format = 1;  // text
                cue.num_rects = 1;
                cue.rects = rects;
                cue.end_display_time = static_cast<std::uint32_t>(
                    av_rescale_q(end - start, textStream->time_base, AVRational{1, 1000}));
                std::uint8_t buffer[1024];
                const int size =
                    avcodec_encode_subtitle(subtitles.get(), buffer, sizeof buffer, &cue);
                Check(size, path, "encoding text");
                Check(av_new_packet(packet.get(), size), path, "text packet");
                std::memcpy(packet->data, buffer, static_cast<std::size_t>(size));
            } else {
                Check(av_new_packet(packet.get(), static_cast<int>(cueText.size())), path,
                      "text packet");
                std::memcpy(packet->data, cueText.data(), cueText.size());
            }
            packet->pts = packet->dts = start;
            packet->duration = end - start;
            packet->stream_index = textStream->index;
            muxer.Write(packet.get());
        }
    }
    Encode(video.get(), nullptr, path, writeFrom(video.get(), videoStream));
    if (audio) {
        Encode(audio.get(), nullptr, path, writeFrom(audio.get(), audioStream));
    }
    muxer.Close();
    return path;
}

std::string Mpeg4AviWithText(const std::string& dir, int width, int height, int frames,
                             int textEvery, int fps) {
    const std::string path =
        Join(dir, "mpeg4_text" + std::to_string(textEvery) + "_" + std::to_string(width) + "x" +
                      std::to_string(height) + "_" + std::to_string(frames) + "f.avi");
    if (width <= 0 || height <= 0 || frames <= 0 || textEvery <= 0 || fps <= 0) {
        Fail(path, "size, frame count, text interval and rate must be positive");
    }
    EncodeOptions encoding;
    encoding.codec = "mpeg4";
    encoding.width = width;
    encoding.height = height;
    encoding.fpsNum = fps;
    encoding.gop = 12;
    CodecPtr video = OpenVideoEncoder(encoding, false, path);

    AviWriter writer({static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 24,
                      "FMP4", static_cast<std::uint32_t>(fps), 1});
    writer.EnableText();
    auto keep = [&writer](AVPacket* packet) {
        writer.AddVideoFrame(std::vector<std::uint8_t>(packet->data, packet->data + packet->size),
                             (packet->flags & AV_PKT_FLAG_KEY) != 0);
    };
    FramePtr picture = NewFrame();
    picture->format = video->pix_fmt;
    picture->width = width;
    picture->height = height;
    Check(av_frame_get_buffer(picture.get(), 0), path, "frame buffer");
    for (int n = 0; n < frames; ++n) {
        DrawFrame(picture.get(), n, path);
        picture->pts = n;
        Encode(video.get(), picture.get(), path, keep);
        if (n % textEvery == 0) {
            writer.AddText(static_cast<std::uint32_t>(n), "frame " + std::to_string(n));
        }
    }
    Encode(video.get(), nullptr, path, keep);
    writer.Write(path);
    return path;
}

std::string Truncated(const std::string& src, const std::string& dst, double fraction) {
    if (!(fraction >= 0.0 && fraction <= 1.0)) {
        Fail(dst, "a fraction between 0 and 1 is needed to truncate " + src);
    }
    std::error_code error;
    std::filesystem::copy_file(src, dst, std::filesystem::copy_options::overwrite_existing, error);
    if (error) {
        Fail(src, "cannot copy to " + dst + ": " + error.message());
    }
    CutFile(dst, fraction);
    return dst;
}

// ---- Reading back ----

namespace {

// sws_getCachedContext frees or keeps the context it is given, so the owner is the variable.
struct CachedScale {
    SwsContext* context = nullptr;
    CachedScale() = default;
    CachedScale(const CachedScale&) = delete;
    CachedScale& operator=(const CachedScale&) = delete;
    ~CachedScale() { sws_freeContext(context); }
};

InputPtr OpenInput(const std::string& path) {
    AVFormatContext* raw = nullptr;
    Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), path, "cannot open");
    InputPtr input(raw);
    Check(avformat_find_stream_info(input.get(), nullptr), path, "no stream information");
    return input;
}

// A frame as packed top-down rows of `format`, converted bit-exactly.
std::vector<std::uint8_t> Convert(const AVFrame* frame, AVPixelFormat format, SwsContext*& scale,
                                  const std::string& path) {
    scale = sws_getCachedContext(scale, frame->width, frame->height,
                                 static_cast<AVPixelFormat>(frame->format), frame->width,
                                 frame->height, format, kScaleFlags, nullptr, nullptr, nullptr);
    if (scale == nullptr) {
        Fail(path, "no conversion to " + std::string(av_get_pix_fmt_name(format)));
    }
    std::uint8_t* data[4] = {};
    int linesize[4] = {};
    Check(av_image_alloc(data, linesize, frame->width, frame->height, format, 32), path,
          "image buffer");
    sws_scale(scale, frame->data, frame->linesize, 0, frame->height, data, linesize);
    const std::size_t row =
        static_cast<std::size_t>(frame->width) * (format == AV_PIX_FMT_RGB24 ? 3 : 1);
    std::vector<std::uint8_t> packed(row * static_cast<std::size_t>(frame->height));
    for (int y = 0; y < frame->height; ++y) {
        std::memcpy(packed.data() + row * static_cast<std::size_t>(y),
                    data[0] + static_cast<std::ptrdiff_t>(y) * linesize[0], row);
    }
    av_freep(&data[0]);
    return packed;
}

std::vector<std::uint8_t> Luma(const AVFrame* frame, const std::string& path) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (desc == nullptr || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0 ||
        desc->comp[0].depth != 8 || desc->comp[0].step != 1) {
        Fail(path, "frames have no 8-bit luma plane");
    }
    const auto row = static_cast<std::size_t>(frame->width);
    std::vector<std::uint8_t> packed(row * static_cast<std::size_t>(frame->height));
    for (int y = 0; y < frame->height; ++y) {
        std::memcpy(packed.data() + row * static_cast<std::size_t>(y),
                    frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0], row);
    }
    return packed;
}

AVPixelFormat PackedFormat(const std::string& name, const std::string& path) {
    if (name == "rgb24") {
        return AV_PIX_FMT_RGB24;
    }
    if (name == "gray") {
        return AV_PIX_FMT_GRAY8;
    }
    Fail(path, "no reference frames in " + name);
}

// Decodes the first video stream in order, drained at the end, handing each frame to `sink`.
template <class Sink>
void DecodeVideo(const std::string& path, Sink&& sink) {
    InputPtr input = OpenInput(path);
    const AVStream* stream = nullptr;
    for (unsigned i = 0; i < input->nb_streams && stream == nullptr; ++i) {
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            stream = input->streams[i];
        }
    }
    if (stream == nullptr) {
        Fail(path, "no video stream");
    }
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        Fail(path, std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id));
    }
    CodecPtr decoder(avcodec_alloc_context3(codec));
    Check(avcodec_parameters_to_context(decoder.get(), stream->codecpar), path, "decoder setup");
    decoder->pkt_timebase = stream->time_base;
    Check(avcodec_open2(decoder.get(), codec, nullptr), path, "opening the decoder");

    FramePtr frame = NewFrame();
    // Damaged data costs the frames it carries, as it does for the ffmpeg command; only running
    // out of memory ends the decoding.
    auto receive = [&] {
        for (;;) {
            const int result = avcodec_receive_frame(decoder.get(), frame.get());
            if (result == AVERROR(ENOMEM)) {
                Fail(path, "decoding", result);
            }
            if (result < 0) {
                return;
            }
            sink(frame.get());
            av_frame_unref(frame.get());
        }
    };
    PacketPtr packet = NewPacket();
    // A damaged or cut file ends where reading stops, as it does for the ffmpeg command.
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream->index) {
            const int sent = avcodec_send_packet(decoder.get(), packet.get());
            if (sent == AVERROR(ENOMEM)) {
                Fail(path, "decoding", sent);
            }
            receive();
        }
        av_packet_unref(packet.get());
    }
    Check(avcodec_send_packet(decoder.get(), nullptr), path, "draining the decoder");
    receive();
}

std::string Md5Of(const std::vector<std::uint8_t>& bytes) {
    tools::Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.HexDigest();
}

}  // namespace

std::vector<std::string> ReferenceMd5s(const std::string& path, const std::string& pixelFormat,
                                       bool lumaOnly) {
    const AVPixelFormat format = PackedFormat(pixelFormat, path);
    std::vector<std::string> md5s;
    CachedScale scale;
    DecodeVideo(path, [&](const AVFrame* frame) {
        md5s.push_back(
            Md5Of(lumaOnly ? Luma(frame, path) : Convert(frame, format, scale.context, path)));
    });
    return md5s;
}

namespace {

std::optional<std::string> FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = Join(dir.empty() ? "." : dir, program);
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    const auto last = s.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

std::string Quoted(const std::string& s) {
    std::string quoted = "'";
    for (char c : s) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

std::optional<std::string> FfmpegCommand(const std::vector<std::string>& args,
                                         const std::string& outputPath) {
    const std::optional<std::string> ffmpeg = FindOnPath("ffmpeg");
    if (!ffmpeg) {
        return std::nullopt;
    }
    std::string command = Quoted(*ffmpeg) + " -nostdin -v error";
    for (const std::string& a : args) {
        command += " " + Quoted(a);
    }
    if (!outputPath.empty()) {
        command += " > " + Quoted(outputPath);
    }
    FILE* pipe = popen(command.c_str(), "re");  // no other child inherits the pipe
    if (pipe == nullptr) {
        Fail("ffmpeg", std::string("cannot run: ") + std::strerror(errno));
    }
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, got);
    }
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Fail(outputPath.empty() ? "ffmpeg" : outputPath, command + " failed");
    }
    return output;
}

std::optional<std::vector<std::string>> FfmpegBgrMd5s(const std::string& path,
                                                      const std::vector<std::string>& args) {
    // Turning bgr24 into rgb24 only moves bytes, so the rgb24 frames hash as the bgr24 ones would
    // in R, G, B order.
    std::vector<std::string> all = args;
    all.insert(all.end(), {"-vf", "format=bgr24", "-pix_fmt", "rgb24"});
    return FfmpegCommandMd5s(path, all);
}

std::optional<std::vector<std::string>> FfmpegCommandMd5s(const std::string& path,
                                                          const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"-i", path};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-f", "framemd5", "-"});
    const std::optional<std::string> printed = FfmpegCommand(argv);
    if (!printed) {
        return std::nullopt;
    }
    // "stream, dts, pts, duration, size, hash" per frame; '#' lines describe the streams.
    std::vector<std::string> md5s;
    std::istringstream lines(*printed);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("0,")) {
            md5s.push_back(Trim(line.substr(line.rfind(',') + 1)));
        }
    }
    return md5s;
}

}  // namespace zyl::test::media
