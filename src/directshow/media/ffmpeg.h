// FFmpeg as the media filters use it: the library headers, owning pointers for its objects and
// the conversions between its time bases and media time. What depends on the library's version
// belongs here, so the filters themselves read as plain code.
//
// No state, no locks: any thread.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>
#include <string>

#include "directshow/dshow_types.h"

namespace dshow::media {

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ScaleFreer {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct ResampleFreer {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using ScalePtr = std::unique_ptr<SwsContext, ScaleFreer>;
using ResamplePtr = std::unique_ptr<SwrContext, ResampleFreer>;

// The library's text for an error code.
std::string ErrorText(int error);

// An FFmpeg error as an HRESULT: a missing file, denied access, bad data or no memory keep
// their meaning, anything else is E_FAIL.
HRESULT ToHResult(int error);

// Time stamps in a stream's time base to and from media time (100 ns units), rounded to the
// nearest unit; AV_NOPTS_VALUE stays as it is.
inline constexpr AVRational kMediaTimeBase{1, 10'000'000};
REFERENCE_TIME ToMediaTime(std::int64_t value, AVRational base);
std::int64_t FromMediaTime(REFERENCE_TIME value, AVRational base);

// A decoder for the parameters, opened with time stamps in media time: threads 0 means one per
// core, on whole frames and slices where the codec allows it. E_OUTOFMEMORY,
// VFW_E_TYPE_NOT_ACCEPTED (no such decoder) or the library's failure as an HRESULT.
HRESULT OpenDecoder(const AVCodecParameters* parameters, int threads, CodecContextPtr* decoder);

// The engine's demuxers and decoders are marked as its own, so that their messages reach the
// engine's diagnostics (errors and warnings; the rest is chatter) while every other context's
// messages, the host's own among them, go to FFmpeg's default handler at the host's log level.
// The filters install the routing once (FFmpeg has one log callback per process: a callback a
// host installed before replaces nothing of ours, one installed after ours wins; the library
// holding ours is pinned in memory from then on); nothing else of FFmpeg's process-wide state
// is changed.
void MarkOwnContext(AVFormatContext* context);
void MarkOwnContext(AVCodecContext* context);
void RouteOwnMessages();

// Channel layouts changed shape in FFmpeg 5.1; the filters ask through these.
int ChannelCount(const AVCodecParameters* parameters);
int ChannelCount(const AVCodecContext* context);

}  // namespace dshow::media
