#include "directshow/media/ffmpeg.h"

#include <cerrno>

namespace dshow::media {

std::string ErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(error, text, sizeof text) < 0)
        return "error " + std::to_string(error);
    return text;
}

HRESULT ToHResult(int error) {
    if (error >= 0)
        return S_OK;
    switch (error) {
        case AVERROR(ENOENT):
            return HRESULT_FROM_WIN32(2);  // ERROR_FILE_NOT_FOUND
        case AVERROR(EACCES):
            return E_ACCESSDENIED;
        case AVERROR(ENOMEM):
            return E_OUTOFMEMORY;
        case AVERROR_INVALIDDATA:
            return VFW_E_INVALID_FILE_FORMAT;
        default:
            return E_FAIL;
    }
}

REFERENCE_TIME ToMediaTime(std::int64_t value, AVRational base) {
    if (value == AV_NOPTS_VALUE)
        return value;
    return av_rescale_q(value, base, kMediaTimeBase);
}

std::int64_t FromMediaTime(REFERENCE_TIME value, AVRational base) {
    if (value == AV_NOPTS_VALUE)
        return value;
    return av_rescale_q(value, kMediaTimeBase, base);
}

HRESULT OpenDecoder(const AVCodecParameters* parameters, int threads, CodecContextPtr* decoder) {
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return VFW_E_TYPE_NOT_ACCEPTED;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        return E_OUTOFMEMORY;
    if (avcodec_parameters_to_context(context.get(), parameters) < 0)
        return E_FAIL;
    context->thread_count = threads;
    if (threads != 1)
        context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    context->pkt_timebase = kMediaTimeBase;
    const int result = avcodec_open2(context.get(), codec, nullptr);
    if (result < 0)
        return ToHResult(result);
    *decoder = std::move(context);
    return S_OK;
}

int ChannelCount(const AVCodecParameters* parameters) {
    return parameters->ch_layout.nb_channels;
}
int ChannelCount(const AVCodecContext* context) {
    return context->ch_layout.nb_channels;
}

}  // namespace dshow::media

#if defined(__SANITIZE_THREAD__)
#define ZYL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZYL_THREAD_SANITIZER 1
#endif
#endif

#ifdef ZYL_THREAD_SANITIZER
// FFmpeg's frame threads hand frames and buffers to each other through C11 atomics, which the
// race detector cannot see in a library built without it: every buffer allocated on a decoding
// thread and freed on ours would be reported. Only what FFmpeg's libraries do themselves
// (their allocations and frees, their locks) is ignored; our own accesses are still checked.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "called_from_lib:libavcodec.so\ncalled_from_lib:libavutil.so\n"
           "called_from_lib:libavformat.so\ncalled_from_lib:libswscale.so\n"
           "called_from_lib:libswresample.so\ncalled_from_lib:libx264.so\n"
           "called_from_lib:libx265.so\n";
}
#endif
