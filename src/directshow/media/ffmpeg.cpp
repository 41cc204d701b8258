#include "directshow/media/ffmpeg.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "directshow/diagnostics.h"

namespace dshow::media {
namespace {

// The user data of the engine's own contexts: an address nobody else hands FFmpeg.
char g_ownContext;

bool IsOwnContext(void* object) {
    if (!object)
        return false;
    const AVClass* kind = *static_cast<const AVClass**>(object);
    if (kind == avformat_get_class())
        return static_cast<AVFormatContext*>(object)->opaque == &g_ownContext;
    // Frame threads work on copies of the context, which keep its user data.
    if (kind == avcodec_get_class())
        return static_cast<AVCodecContext*>(object)->opaque == &g_ownContext;
    return false;
}

void RouteMessage(void* object, int level, const char* format, va_list arguments) {
    if (!IsOwnContext(object)) {
        av_log_default_callback(object, level, format, arguments);
        return;
    }
    if (level > AV_LOG_WARNING)
        return;
    char line[1024];
    int printPrefix = 1;
    av_log_format_line2(object, level, format, arguments, line, sizeof line, &printPrefix);
    std::size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        line[--length] = '\0';
    if (length > 0)
        Diagnose(level <= AV_LOG_ERROR ? Severity::Warning : Severity::Info,
                 std::string("FFmpeg: ") + line);
}

}  // namespace

void MarkOwnContext(AVFormatContext* context) {
    context->opaque = &g_ownContext;
}

void MarkOwnContext(AVCodecContext* context) {
    context->opaque = &g_ownContext;
}

void RouteOwnMessages() {
    static std::once_flag once;
    std::call_once(once, [] {
        // FFmpeg keeps the callback for the life of the process, and a host that uses FFmpeg
        // keeps FFmpeg loaded: the library holding the callback must never be unmapped.
        Dl_info self{};
        if (dladdr(reinterpret_cast<void*>(&RouteMessage), &self) && self.dli_fname) {
            if (void* pinned = dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE))
                dlclose(pinned);
        }
        av_log_set_callback(&RouteMessage);
    });
}

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
    MarkOwnContext(context.get());
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
