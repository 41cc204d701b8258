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

int ChannelCount(const AVCodecParameters* parameters) { return parameters->ch_layout.nb_channels; }
int ChannelCount(const AVCodecContext* context) { return context->ch_layout.nb_channels; }

}  // namespace dshow::media
