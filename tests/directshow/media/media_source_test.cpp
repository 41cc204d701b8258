// The media source on what users bring besides pictures: why a file cannot be opened, said
// with its path through the engine's diagnostics; cover art, which is no video; a file with
// hundreds of tracks, whose unplayed streams must cost no demuxer; FFmpeg's process-wide log
// state, which the engine must leave as the host set it; and sound or captions that outlast
// the pictures.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "common/frame_pull.h"
#include "directshow/diagnostics.h"
#include "directshow/filter_graph.h"
#include "directshow/media/media_filters.h"
#include "directshow/media/media_source.h"
#include "support/avi_writer.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

namespace media = zyl::test::media;

namespace {

// What the engine says, as a host's log would get it.
std::mutex g_saidLock;
std::vector<std::string> g_said;

class MediaSource : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        dshow::media::RegisterMediaFilters();
        previous = dshow::SetDiagnosticSink([](dshow::Severity, const char* text) {
            std::lock_guard lock(g_saidLock);
            g_said.emplace_back(text);
        });
        before = CBaseObject::ObjectsActive();
    }
    void TearDown() override {
        dshow::SetDiagnosticSink(previous);
        {
            std::lock_guard lock(g_saidLock);
            g_said.clear();
        }
        EXPECT_EQ(CBaseObject::ObjectsActive(), before);
        CoUninitialize();
    }
    static std::string Said() {
        std::lock_guard lock(g_saidLock);
        std::string all;
        for (const std::string& line : g_said)
            all += line + "\n";
        return all;
    }
    // Makes a file with the ffmpeg command; false (the test skips) without one.
    bool Make(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"-y"};
        all.insert(all.end(), args.begin(), args.end());
        return media::FfmpegCommand(all).has_value();
    }
    // Loads the file into a bare source: its result, and the source for a look at its pins.
    HRESULT Load(const std::string& path, dshow::media::CMediaSource** loaded = nullptr) {
        auto* source = new dshow::media::CMediaSource(nullptr);
        source->NonDelegatingAddRef();
        const std::wstring wide(path.begin(), path.end());
        const HRESULT hr = source->Load(wide.c_str(), nullptr);
        if (loaded)
            *loaded = source;
        else
            source->NonDelegatingRelease();
        return hr;
    }

    zyl::test::TempDir dir;
    dshow::DiagnosticSink previous = nullptr;
    LONG before = 0;
};

TEST_F(MediaSource, AFileThatCannotBeOpenedIsSaidWithItsPathAndCause) {
    const std::string empty = dir.write("empty.mp4", "");
    const std::string junk = dir.write("junk.mkv", std::string(4096, 'j'));
    const struct {
        std::string path;
        const char* cause;
    } cases[] = {
        {dir.file("missing.avi"), "no such file"},
        {dir.path().string(), "it is a directory"},
        {empty, "not a media file FFmpeg can read"},
        {junk, "not a media file FFmpeg can read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_TRUE(FAILED(Load(c.path)));
        EXPECT_NE(Said().find("\"" + c.path + "\": " + c.cause), std::string::npos) << Said();
    }
}

TEST_F(MediaSource, CoverArtIsNoVideoStream) {
    const std::string picture = dir.file("cover.png");
    const std::string song = dir.file("song.mp3");
    if (!Make({"-f", "lavfi", "-i", "testsrc=s=32x32", "-frames:v", "1", picture}) ||
        !Make({"-f", "lavfi", "-i", "sine=d=1", "-i", picture, "-map", "0", "-map", "1", "-c:v",
               "png", "-disposition:v", "attached_pic", song}))
        GTEST_SKIP() << "no ffmpeg command";
    dshow::media::CMediaSource* source = nullptr;
    ASSERT_EQ(Load(song, &source), S_OK);
    ASSERT_EQ(source->GetPinCount(), 1) << "the sound alone";
    PIN_INFO info{};
    source->GetPin(0)->QueryPinInfo(&info);
    if (info.pFilter)
        info.pFilter->Release();
    EXPECT_STREQ(info.achName, L"Audio");
    source->NonDelegatingRelease();
}

TEST_F(MediaSource, TracksThatDoNotPlayCostNoDemuxer) {
    // One video and 120 sound tracks: a demuxer each would read the file 121 times.
    std::vector<std::string> args = {"-f",   "lavfi", "-i", "testsrc=s=32x24:r=25:d=1",
                                     "-f",   "lavfi", "-i", "sine=d=1",
                                     "-map", "0:v"};
    for (int i = 0; i < 120; ++i)
        args.insert(args.end(), {"-map", "1:a"});
    const std::string path = dir.file("tracks.mkv");
    args.insert(args.end(), {"-c:v", "mpeg4", "-c:a", "pcm_s16le", path});
    if (!Make(args))
        GTEST_SKIP() << "no ffmpeg command";
    dshow::media::CMediaSource* source = nullptr;
    ASSERT_EQ(Load(path, &source), S_OK);
    ASSERT_EQ(source->GetPinCount(), 121);
    int open = 0;
    for (int i = 0; i < source->GetPinCount(); ++i)
        open += dynamic_cast<dshow::media::CMediaSourcePin*>(source->GetPin(i))->HasReader();
    EXPECT_EQ(open, 1) << "only the video stream's, which every player plays";
    source->NonDelegatingRelease();
}

TEST_F(MediaSource, ALossThatRecursIsCountedEveryTimeButSaidOnceASecond) {
    // A damaged stream loses a frame at every picture: the host's log must not drown in it.
    dshow::LossCounter losses;
    for (int i = 0; i < 1000; ++i)
        losses.Note(dshow::Severity::Warning, "a frame lost");
    EXPECT_EQ(losses.Total(), 1000);
    EXPECT_EQ(Said(), "a frame lost\n");
}

TEST_F(MediaSource, FfmpegsLogStateStaysTheHostsAndOnlyOwnWarningsAreSaid) {
    // Each test runs in a process of its own: SetUp registered the filters first here.
    EXPECT_EQ(av_log_get_level(), AV_LOG_INFO) << "the host's (FFmpeg's default) level stays";
    // A context of the host's own is not the engine's business.
    AVFormatContext* hosts = avformat_alloc_context();
    ASSERT_TRUE(hosts);
    av_log(hosts, AV_LOG_ERROR, "the host's own trouble\n");
    avformat_free_context(hosts);
    EXPECT_EQ(Said().find("the host's own trouble"), std::string::npos) << Said();
    // An MP4 cut before its index: the demuxer's complaint comes to the engine's diagnostics.
    const std::string whole = dir.file("whole.mp4");
    if (!Make({"-f", "lavfi", "-i", "testsrc=s=64x48:r=25", "-frames:v", "10", "-c:v", "mpeg4",
               whole}))
        GTEST_SKIP() << "no ffmpeg command";
    media::Truncated(whole, dir.file("cut.mp4"), 0.6);
    EXPECT_TRUE(FAILED(Load(dir.file("cut.mp4"))));
    EXPECT_NE(Said().find("FFmpeg: "), std::string::npos) << Said();
}

}  // namespace

namespace {

// A camera's pictures are its clock: sound or captions that run on past the last picture (or
// stop before it) change neither the frame count nor any stream's length, and captions end
// with the pictures.
TEST_F(MediaSource, StreamsBesideTheVideoEndWithItsLastPicture) {
    constexpr REFERENCE_TIME kVideoEnd = 40 * 400'000;  // 40 frames at 25 per second
    const std::string video = dir.file("v.mp4");
    const std::string longCues = dir.write("long.srt",
                                           "1\n00:00:00,000 --> 00:00:01,000\nearly\n\n"
                                           "2\n00:00:01,200 --> 00:00:02,400\nstraddle\n\n"
                                           "3\n00:00:02,000 --> 00:00:02,300\nlate\n\n");
    const std::string shortCues =
        dir.write("short.srt", "1\n00:00:00,000 --> 00:00:01,000\nearly\n\n");
    // AVI gets its own video: H.264 copied from MP4 into AVI is stored at twice the rate with
    // an empty chunk for every other frame.
    if (!Make({"-f", "lavfi", "-i", "testsrc=s=64x48:r=25", "-frames:v", "40", "-c:v", "libx264",
               "-bf", "0", "-g", "12", video}) ||
        !Make({"-f", "lavfi", "-i", "testsrc=s=64x48:r=25", "-frames:v", "40", "-c:v", "mpeg4",
               dir.file("v.avi")}) ||
        !Make({"-f", "lavfi", "-i", "sine=d=2.4", dir.file("long.wav")}) ||
        !Make({"-f", "lavfi", "-i", "sine=d=0.8", dir.file("short.wav")}))
        GTEST_SKIP() << "no ffmpeg command";
    // An AVI text stream written on past the pictures: a text lasts one frame.
    media::AviWriter writer({64, 48, 24, "", 25, 1});
    writer.EnableText();
    for (int n = 0; n < 40; ++n)
        writer.AddVideoFrame(std::vector<std::uint8_t>(64 * 48 * 3, static_cast<std::uint8_t>(n)),
                             true);
    writer.AddText(0, "early");
    writer.AddText(39, "last");
    writer.AddText(50, "late");
    writer.Write(dir.file("text_longer.avi"));
    const struct {
        const char* name;
        const char* other;  // the second input (none: written above)
        std::vector<std::string> codecs;
        std::vector<std::string> texts;  // what the text stream delivers
    } rows[] = {
        {"subtitles_longer.mkv", "long.srt", {"-c:s", "srt"}, {"early", "straddle"}},
        {"subtitles_shorter.mkv", "short.srt", {"-c:s", "srt"}, {"early"}},
        {"text_longer.mp4", "long.srt", {"-c:s", "mov_text"}, {"early", "straddle"}},
        {"opus_longer.mkv", "long.wav", {"-c:a", "libopus"}, {}},
        {"sound_shorter.mkv", "short.wav", {"-c:a", "pcm_s16le"}, {}},
        {"sound_longer.avi", "long.wav", {"-c:a", "pcm_s16le"}, {}},
        {"sound_longer.nut", "long.wav", {"-c:a", "pcm_s16le"}, {}},
        {"aac_longer.flv", "long.wav", {"-c:a", "aac"}, {}},
        {"text_longer.avi", nullptr, {}, {"early", "last"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file(row.name);
        if (row.other) {
            const bool avi = path.ends_with(".avi");
            std::vector<std::string> args = {
                "-i", avi ? dir.file("v.avi") : video, "-i", dir.file(row.other), "-c:v", "copy"};
            args.insert(args.end(), row.codecs.begin(), row.codecs.end());
            args.push_back(path);
            ASSERT_TRUE(Make(args));
        }
        ASSERT_EQ(media::ReferenceMd5s(path).size(), 40u) << "FFmpeg decodes 40 pictures";

        dshow::media::CMediaSource* source = nullptr;
        ASSERT_EQ(Load(path, &source), S_OK);
        ASSERT_EQ(source->GetPinCount(), 2);
        for (int i = 0; i < source->GetPinCount(); ++i) {
            ComPtr<IMediaSeeking> seeking;
            ASSERT_EQ(source->GetPin(i)->QueryInterface(IID_IMediaSeeking, seeking.PutVoid()),
                      S_OK);
            LONGLONG duration = 0;
            ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
            EXPECT_EQ(duration, kVideoEnd) << "pin " << i;
        }
        source->NonDelegatingRelease();

        zyl::tools::PullOptions options;
        options.frames = 100;
        options.texts = true;
        const zyl::tools::PullResult pulled = zyl::tools::PullFrames(path, options);
        ASSERT_TRUE(pulled.ok) << pulled.error;
        EXPECT_EQ(pulled.frameCount, 40);
        EXPECT_EQ(pulled.md5s.size(), 40u);
        std::vector<std::string> texts;
        for (const auto& text : pulled.texts) {
            texts.push_back(text.text);
            EXPECT_LE(text.end, kVideoEnd) << text.text;
        }
        EXPECT_EQ(texts, row.texts);
        if (!pulled.texts.empty() && texts.back() == "straddle") {
            EXPECT_EQ(pulled.texts.back().end, kVideoEnd) << "cut where the pictures end";
        }
    }
}

}  // namespace
