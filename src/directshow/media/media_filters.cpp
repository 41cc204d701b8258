#include "directshow/media/media_filters.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "directshow/builtin_filters.h"
#include "directshow/media/audio_decoder.h"
#include "directshow/media/audio_renderer.h"
#include "directshow/media/ffmpeg.h"
#include "directshow/media/media_source.h"
#include "directshow/media/video_decoder.h"
#include "directshow/platform_classes.h"
#include "directshow/simple_unknown.h"

namespace dshow::media {
namespace {

// How sure FFmpeg is that these bytes are a container it reads, on FFmpeg's scale (100 at
// most). Weak guesses (raw elementary streams recognised by chance) do not count.
int ProbeContainer(const std::uint8_t* head, std::size_t size) {
    if (!head || size == 0)
        return 0;
    std::vector<std::uint8_t> padded(size + AVPROBE_PADDING_SIZE, 0);
    std::memcpy(padded.data(), head, size);
    AVProbeData probe{};
    probe.filename = "";
    probe.buf = padded.data();
    probe.buf_size = static_cast<int>(size);
    int score = 0;
    if (!av_probe_input_format2(&probe, 1, &score))
        return 0;
    return score >= AVPROBE_SCORE_EXTENSION ? score : 0;
}

}  // namespace

void RegisterMediaFilters() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterPlatformClasses();
        // The engine's own FFmpeg messages (damaged frames, guessed time stamps) belong in the
        // engine's diagnostics, not on the host's standard error; a host's own FFmpeg keeps its
        // messages and its log level.
        RouteOwnMessages();

        BuiltinFilter source;
        source.description = {CLSID_MediaSource,
                              L"Media Source",
                              MERIT_NORMAL,
                              {{L"Output", true, true, {{GUID_NULL, GUID_NULL}}}}};
        source.factory = &CPlatformClassFactory<CMediaSource>::Get;
        source.extensions = {L".avi",  L".mp4", L".m4v",  L".mov", L".3gp", L".mkv", L".webm",
                             L".mka",  L".mpg", L".mpeg", L".m1v", L".m2v", L".vob", L".ts",
                             L".m2ts", L".mts", L".wmv",  L".asf", L".flv", L".ogv", L".ogg",
                             L".mxf",  L".wav", L".mp3",  L".m4a"};
        source.probe = &ProbeContainer;
        RegisterBuiltinFilter(source);

        BuiltinFilter video;
        video.description = {CLSID_VideoDecoder,
                             L"Video Decoder",
                             MERIT_NORMAL,
                             {{L"In", false, false, {{MEDIATYPE_Video, GUID_NULL}}},
                              {L"Out", true, false, {{MEDIATYPE_Video, GUID_NULL}}}}};
        video.factory = &CPlatformClassFactory<CVideoDecoder>::Get;
        RegisterBuiltinFilter(video);

        BuiltinFilter audio;
        audio.description = {CLSID_AudioDecoder,
                             L"Audio Decoder",
                             MERIT_NORMAL,
                             {{L"In", false, false, {{MEDIATYPE_Audio, GUID_NULL}}},
                              {L"Out", true, false, {{MEDIATYPE_Audio, MEDIASUBTYPE_PCM}}}}};
        audio.factory = &CPlatformClassFactory<CAudioDecoder>::Get;
        RegisterBuiltinFilter(audio);

        // Preferred: intelligent connect ends every PCM stream here.
        BuiltinFilter sound;
        sound.description = {CLSID_AudioRenderer,
                             L"Audio Renderer",
                             MERIT_PREFERRED,
                             {{L"In", false, true, {{MEDIATYPE_Audio, MEDIASUBTYPE_PCM}}}}};
        sound.factory = &CPlatformClassFactory<CAudioRenderer>::Get;
        RegisterBuiltinFilter(sound);
    });
}

}  // namespace dshow::media
