// The media filters on real files made at test time, beyond what the conformance suite compares
// with FFmpeg: raw video byte for byte at every depth, pictures the right way up in every RGB
// type, NTSC rates, text arriving with its frame, files recognised by content, and repeated
// plays, loops and rate changes neither drifting, repeating nor leaking.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "common/frame_pull.h"
#include "common/md5.h"
#include "directshow/filter_graph.h"
#include "directshow/media/media_filters.h"
#include "directshow/media/media_source.h"
#include "directshow/renderer.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

namespace media = zyl::test::media;
using zyl::tools::PullFrames;
using zyl::tools::PullOptions;
using zyl::tools::PullResult;

namespace {

std::string Md5Of(const std::vector<std::uint8_t>& bytes) {
    zyl::tools::Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.HexDigest();
}

PullResult Pull(const std::string& path, int frames, bool mono = false, long long seek = -1,
                bool texts = false) {
    PullOptions options;
    options.frames = frames;
    options.mono = mono;
    options.seekFrame = seek;
    options.texts = texts;
    return PullFrames(path, options);
}

// A graph holding a renderer that takes what the module's video renderer takes.
ComPtr<IGraphBuilder> GraphWithAVideoRenderer() {
    ComPtr<IGraphBuilder> graph;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                graph.PutVoid())))
        return {};
    IUnknown* video = zyl::tools::NewChecksumRenderer(false, 1);
    ComPtr<IBaseFilter> renderer;
    video->QueryInterface(IID_IBaseFilter, renderer.PutVoid());
    video->Release();
    graph->AddFilter(renderer.Get(), L"Video Renderer");
    return graph;
}

// Files shared by the suite: encoding them once keeps the suite quick.
struct Files {
    zyl::test::TempDir dir;
    std::string h264;   // MP4, B-frames, key frame every 12, timed text every 5 frames
    std::string hevc;   // Matroska, SubRip every 4 frames
    std::string mpeg4;  // AVI with a text stream every 3 frames
};

class MediaPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        files = new Files;
        const std::string dir = files->dir.path().string();
        media::EncodeOptions h264;
        h264.container = "mp4", h264.codec = "libx264", h264.frames = 40, h264.gop = 12;
        h264.bframes = 2, h264.text = "mov_text", h264.textEvery = 5, h264.width = 96;
        h264.height = 64;
        files->h264 = media::EncodedFile(dir, h264);
        media::EncodeOptions hevc;
        hevc.container = "mkv", hevc.codec = "libx265", hevc.frames = 30, hevc.gop = 10;
        hevc.bframes = 2, hevc.text = "subrip", hevc.textEvery = 4;
        files->hevc = media::EncodedFile(dir, hevc);
        files->mpeg4 = media::Mpeg4AviWithText(dir, 64, 48, 30, 3);
    }
    static void TearDownTestSuite() {
        delete files;
        files = nullptr;
    }
    void SetUp() override {
        CoInitialize(nullptr);
        dshow::media::RegisterMediaFilters();
        before = CBaseObject::ObjectsActive();
    }
    void TearDown() override {
        EXPECT_EQ(CBaseObject::ObjectsActive(), before);
        CoUninitialize();
    }

    static Files* files;
    LONG before = 0;
};
Files* MediaPlayback::files = nullptr;

TEST_F(MediaPlayback, UncompressedAviFramesAreTheFilesOwnOfEveryDepthAndOddWidth) {
    for (int bits : {8, 24, 32}) {
        for (auto [width, height] : {std::pair{33, 17}, std::pair{16, 9}}) {
            SCOPED_TRACE("bits " + std::to_string(bits) + ", " + std::to_string(width) + "x" +
                         std::to_string(height));
            const std::string path =
                media::RawAvi(files->dir.path().string(), bits, width, height, 7);
            const PullResult result = Pull(path, 100);
            ASSERT_TRUE(result.ok) << result.error;
            EXPECT_EQ(result.subtype, bits == 8 ? "RGB8" : bits == 24 ? "RGB24" : "RGB32");
            ASSERT_EQ(result.md5s.size(), 7u);
            for (int n = 0; n < 7; ++n) {
                const auto expected = bits == 8 ? media::GreyPicture(n, width, height)
                                                : media::Picture(n, width, height);
                EXPECT_EQ(result.md5s[static_cast<std::size_t>(n)], Md5Of(expected))
                    << "frame " << n;
            }
            EXPECT_EQ(result.frameCount, 7);
            EXPECT_EQ(Pull(path, 3, false, 5).md5s,
                      (std::vector<std::string>{result.md5s[5], result.md5s[6]}));
        }
    }
}

TEST_F(MediaPlayback, RgbFramesShowTheRightPicturesTheRightWayUp) {
    // Lossy coding changes pixels but not the frame number drawn into each picture, nor where
    // it is drawn (the top quarter): a frame turned over or out of order shows.
    for (const std::string& path : {files->h264, files->mpeg4, files->hevc})
        for (const std::string subtype : {"", "RGB32"}) {
            SCOPED_TRACE(path + " " + subtype);
            PullOptions options;
            options.frames = 1000;
            options.keepPixels = true;
            options.only = subtype;
            const PullResult result = PullFrames(path, options);
            ASSERT_TRUE(result.ok) << result.error;
            EXPECT_EQ(result.subtype, subtype.empty() ? "RGB24" : subtype);
            const std::size_t count = media::ReferenceMd5s(path).size();
            ASSERT_EQ(result.pixels.size(), count);
            const int width = path == files->h264 ? 96 : 64;
            const int height = path == files->h264 ? 64 : 48;
            for (std::size_t n = 0; n < count; ++n)
                EXPECT_EQ(media::FrameNumberOf(result.pixels[n], width, height, 3),
                          static_cast<int>(n));
        }
}

TEST_F(MediaPlayback, NtscRatesCountAndSeekEveryFrame) {
    // 30000/1001 frames/s: no frame time is a whole number of 100 ns units.
    media::EncodeOptions encoding;
    encoding.container = "mp4", encoding.codec = "libx264", encoding.frames = 31, encoding.gop = 10;
    encoding.bframes = 2, encoding.fpsNum = 30000, encoding.fpsDen = 1001,
    encoding.name = "ntsc.mp4";
    const std::string path = media::EncodedFile(files->dir.path().string(), encoding);
    const auto sequential = media::ReferenceMd5s(path, "gray", true);
    ASSERT_EQ(sequential.size(), 31u);
    const PullResult all = Pull(path, 1000, true);
    ASSERT_TRUE(all.ok) << all.error;
    EXPECT_EQ(all.md5s, sequential);
    EXPECT_EQ(all.frameCount, 31);
    for (long long target : {3LL, 10LL, 29LL, 30LL}) {
        const PullResult seek = Pull(path, 1, true, target);
        ASSERT_TRUE(seek.ok) << seek.error;
        ASSERT_EQ(seek.md5s.size(), 1u);
        EXPECT_EQ(seek.md5s[0], sequential[static_cast<std::size_t>(target)]) << target;
    }
}

TEST_F(MediaPlayback, HeaderSizesNoBufferCouldHoldAreRefused) {
    const std::string path = media::RawAvi(files->dir.path().string(), 24, 8, 8, 2);
    for (auto [width, height] : {std::pair{1'000'000, 8}, std::pair{20'000, 20'000}}) {
        std::string bytes = zyl::test::readFile(path);
        // BITMAPINFOHEADER's width and height follow "strf", its size and biSize.
        const std::size_t strf = bytes.find("strf");
        ASSERT_NE(strf, std::string::npos);
        std::int32_t w = width, h = height;
        std::memcpy(&bytes[strf + 12], &w, 4);
        std::memcpy(&bytes[strf + 16], &h, 4);
        const std::string patched = files->dir.write("huge.avi", bytes);
        const PullResult result = Pull(patched, 2);
        EXPECT_FALSE(result.ok) << width << "x" << height;
    }
}

TEST_F(MediaPlayback, TextSamplesArriveAtTheirFramesTime) {
    struct Case {
        std::string path;
        int every;
        int frames;
    };
    for (const Case& c :
         {Case{files->mpeg4, 3, 30}, Case{files->h264, 5, 40}, Case{files->hevc, 4, 30}}) {
        SCOPED_TRACE(c.path);
        const PullResult result = Pull(c.path, 1000, true, -1, true);
        ASSERT_TRUE(result.ok) << result.error;
        std::vector<zyl::tools::TextSample> cues;
        for (const auto& t : result.texts)
            if (!t.text.empty())
                cues.push_back(t);
        ASSERT_EQ(cues.size(), static_cast<std::size_t>((c.frames + c.every - 1) / c.every));
        // Frame positions work with the text stream connected too: every stream counts the
        // video's frames.
        EXPECT_EQ(result.frameCount, c.frames);
        for (std::size_t i = 0; i < cues.size(); ++i) {
            const int frame = static_cast<int>(i) * c.every;
            EXPECT_EQ(cues[i].text, "frame " + std::to_string(frame));
            // Containers round times to their own units (milliseconds in Matroska).
            EXPECT_NEAR(static_cast<double>(cues[i].start), frame * 400'000.0, 5'000.0);
        }
    }
}

TEST_F(MediaPlayback, FilesFfmpegCannotOpenFailRenderFileWithACodeAndACause) {
    const std::string notMedia = files->dir.write("notes.mp4", std::string(5000, 'x'));
    const std::string empty = files->dir.write("empty.avi", "");
    const std::string missing = files->dir.file("missing.mkv");
    for (const std::string& path : {notMedia, empty, missing}) {
        SCOPED_TRACE(path);
        ComPtr<IGraphBuilder> graph;
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        const std::wstring wide(path.begin(), path.end());
        EXPECT_TRUE(FAILED(graph->RenderFile(wide.c_str(), nullptr)));
        const PullResult result = Pull(path, 1);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(path), std::string::npos) << result.error;
        EXPECT_GT(result.error.size(), path.size() + 10) << result.error;
    }
    // The source names the cause itself.
    auto* source = new dshow::media::CMediaSource(nullptr);
    source->NonDelegatingAddRef();
    const std::wstring wide(missing.begin(), missing.end());
    EXPECT_EQ(source->Load(wide.c_str(), nullptr), HRESULT_FROM_WIN32(2));
    EXPECT_FALSE(source->LastError().empty());
    source->NonDelegatingRelease();
}

TEST_F(MediaPlayback, AFileWithAnExtensionNobodyClaimsIsRecognisedByItsContent) {
    const std::string renamed = files->dir.file("clip.bin");
    std::filesystem::copy_file(files->hevc, renamed,
                               std::filesystem::copy_options::overwrite_existing);
    const PullResult direct = Pull(files->hevc, 3, true);
    ComPtr<IGraphBuilder> graph = GraphWithAVideoRenderer();
    ASSERT_TRUE(graph);
    const std::wstring wide(renamed.begin(), renamed.end());
    EXPECT_TRUE(SUCCEEDED(graph->RenderFile(wide.c_str(), nullptr)));
    ComPtr<IBaseFilter> source;
    EXPECT_EQ(graph->FindFilterByName(L"Matroska Splitter", source.Put()), S_OK);
    // An AVI file is the "AVI Splitter" whatever it is called.
    ComPtr<IGraphBuilder> second;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               second.PutVoid()),
              S_OK);
    const std::wstring avi(files->mpeg4.begin(), files->mpeg4.end());
    second->RenderFile(avi.c_str(), nullptr);
    ComPtr<IBaseFilter> splitter;
    EXPECT_EQ(second->FindFilterByName(L"AVI Splitter", splitter.Put()), S_OK);
    EXPECT_EQ(Pull(renamed, 3, true).md5s, direct.md5s);
}

// Counts what a play delivers, for loops.
class CountingRenderer final : public CBaseRenderer {
public:
    CountingRenderer() : CBaseRenderer(GUID_NULL, L"Counting", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return type->majortype == MEDIATYPE_Video && type->subtype == MEDIASUBTYPE_RGB24
                   ? S_OK
                   : E_INVALIDARG;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        REFERENCE_TIME start = 0, end = 0;
        sample->GetTime(&start, &end);
        {
            std::lock_guard<std::mutex> lock(mutex);
            starts.push_back(start);
            // Where in the file the sample lies: the segment's start plus its time at the rate.
            positions.push_back(
                InputPin()->CurrentStartTime() +
                std::llround(static_cast<double>(start) * InputPin()->CurrentRate()));
        }
        rendered.notify_all();
        return S_OK;
    }
    std::vector<REFERENCE_TIME> Take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(starts, {});
    }
    std::vector<REFERENCE_TIME> Positions() {
        std::lock_guard<std::mutex> lock(mutex);
        return positions;
    }
    bool WaitForFrames(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return rendered.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return positions.size() >= count; });
    }

private:
    std::mutex mutex;
    std::condition_variable rendered;
    std::vector<REFERENCE_TIME> starts;
    std::vector<REFERENCE_TIME> positions;
};

// A graph playing a file into a CountingRenderer.
struct CountingGraph {
    explicit CountingGraph(const std::string& path) {
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        renderer = new CountingRenderer;
        renderer->NonDelegatingAddRef();
        renderer->NonDelegatingQueryInterface(IID_IBaseFilter, filter.PutVoid());
        EXPECT_EQ(graph->AddFilter(filter.Get(), L"Counting"), S_OK);
        const std::wstring wide(path.begin(), path.end());
        EXPECT_EQ(graph->RenderFile(wide.c_str(), nullptr), S_OK);
        graph.As(control, IID_IMediaControl);
        graph.As(seeking, IID_IMediaSeeking);
        graph.As(events, IID_IMediaEventEx);
        graph.As(timing, IID_IMediaFilter);
    }
    ~CountingGraph() {
        control->Stop();
        control.Reset(), seeking.Reset(), events.Reset(), timing.Reset();
        graph.Reset();
        filter.Reset();
        renderer->NonDelegatingRelease();
    }
    ComPtr<IGraphBuilder> graph;
    CountingRenderer* renderer = nullptr;
    ComPtr<IBaseFilter> filter;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaEventEx> events;
    ComPtr<IMediaFilter> timing;
};

TEST_F(MediaPlayback, AHundredLoopsByStopRewindRunDeliverEveryFrameOnTime) {
    media::EncodeOptions encoding;
    encoding.container = "mp4", encoding.codec = "libx264", encoding.frames = 8, encoding.gop = 4;
    encoding.bframes = 2, encoding.name = "loop.mp4";
    const std::string path = media::EncodedFile(files->dir.path().string(), encoding);
    CountingGraph g(path);
    ASSERT_EQ(g.timing->SetSyncSource(nullptr), S_OK);
    for (int loop = 0; loop < 100; ++loop) {
        SCOPED_TRACE("loop " + std::to_string(loop));
        ASSERT_TRUE(SUCCEEDED(g.control->Run()));
        LONG code = 0;
        ASSERT_EQ(g.events->WaitForCompletion(10'000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        ASSERT_EQ(g.control->Stop(), S_OK);
        LONGLONG zero = 0;
        ASSERT_EQ(g.seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr,
                                          AM_SEEKING_NoPositioning),
                  S_OK);
        const auto starts = g.renderer->Take();
        ASSERT_EQ(starts.size(), 8u);
        for (std::size_t n = 0; n < starts.size(); ++n)
            EXPECT_EQ(starts[n], static_cast<REFERENCE_TIME>(n) * 400'000);
    }
}

TEST_F(MediaPlayback, ARateChangeWhilePlayingShowsNoFrameTwice) {
    media::EncodeOptions encoding;
    encoding.container = "mp4", encoding.codec = "libx264", encoding.frames = 20, encoding.gop = 5;
    encoding.bframes = 2, encoding.name = "rate.mp4";
    CountingGraph g(media::EncodedFile(files->dir.path().string(), encoding));
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));  // on the clock, 40 ms a frame
    ASSERT_TRUE(g.renderer->WaitForFrames(4));
    ASSERT_EQ(g.seeking->SetRate(4.0), S_OK);
    LONG code = 0;
    ASSERT_EQ(g.events->WaitForCompletion(10'000, &code), S_OK);
    const auto positions = g.renderer->Positions();
    for (std::size_t n = 1; n < positions.size(); ++n)
        EXPECT_GT(positions[n], positions[n - 1]) << "frame " << n << " shown again";
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), 19 * 400'000) << "played to the last frame";
}

TEST_F(MediaPlayback, PositionsRatesAndFormatsThroughTheGraph) {
    ComPtr<IGraphBuilder> graph = GraphWithAVideoRenderer();
    ASSERT_TRUE(graph);
    const std::wstring wide(files->h264.begin(), files->h264.end());
    ASSERT_TRUE(
        SUCCEEDED(graph->RenderFile(wide.c_str(), nullptr)));  // the text stream stays unconnected
    ComPtr<IMediaSeeking> seeking;
    graph.As(seeking, IID_IMediaSeeking);
    DWORD caps = 0;
    ASSERT_EQ(seeking->GetCapabilities(&caps), S_OK);
    EXPECT_TRUE(caps & AM_SEEKING_CanSeekAbsolute);
    EXPECT_TRUE(caps & AM_SEEKING_CanSeekForwards);
    LONGLONG duration = 0, stop = 0;
    ASSERT_EQ(seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 40 * 400'000);
    ASSERT_EQ(seeking->GetStopPosition(&stop), S_OK);
    EXPECT_EQ(stop, duration);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_FRAME), S_OK);
    ASSERT_EQ(seeking->GetStopPosition(&stop), S_OK);
    EXPECT_EQ(stop, 40);
    ASSERT_EQ(seeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
    EXPECT_EQ(seeking->SetRate(0.25), S_OK);
    EXPECT_EQ(seeking->SetRate(16.0), S_OK);
    EXPECT_TRUE(FAILED(seeking->SetRate(16.5)));
    EXPECT_TRUE(FAILED(seeking->SetRate(0.2)));
    double rate = 0;
    EXPECT_EQ(seeking->GetRate(&rate), S_OK);
    EXPECT_EQ(rate, 16.0);
}

TEST_F(MediaPlayback, OtherRatesDeliverEveryFrameAndSeekExactly) {
    // Sample times shrink with the rate; no frame may be lost to the stop or to a seek.
    const auto sequential = media::ReferenceMd5s(files->h264, "gray", true);
    for (double rate : {0.25, 0.5, 2.0, 16.0}) {
        for (long long target : {-1LL, 13LL, 30LL}) {
            SCOPED_TRACE("rate " + std::to_string(rate) + ", from " + std::to_string(target));
            PullOptions options;
            options.frames = 1000;
            options.mono = true;
            options.seekFrame = target;
            options.rate = rate;
            const PullResult result = PullFrames(files->h264, options);
            ASSERT_TRUE(result.ok) << result.error;
            const auto first = static_cast<std::ptrdiff_t>(target < 0 ? 0 : target);
            EXPECT_EQ(result.md5s,
                      std::vector<std::string>(sequential.begin() + first, sequential.end()));
        }
    }
}

}  // namespace
