// The media source on what users bring besides pictures: why a file cannot be opened, said
// with its path through the engine's diagnostics; cover art, which is no video; a file with
// hundreds of tracks, whose unplayed streams must cost no demuxer; and FFmpeg's process-wide
// log state, which the engine must leave as the host set it.
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
#include "directshow/diagnostics.h"
#include "directshow/filter_graph.h"
#include "directshow/media/media_filters.h"
#include "directshow/media/media_source.h"
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
