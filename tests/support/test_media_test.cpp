// The test media makers against FFmpeg itself: every file opens with the streams, sizes, frame
// counts, key frames and text times it was made with, every decoded frame is the picture it
// should be, and the reference digests agree with the ffmpeg command line.
#include "support/test_media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "common/md5.h"
#include "support/avi_writer.h"
#include "support/temp_dir.h"

using namespace zyl::test;
using namespace zyl::test::media;

namespace {

std::string Md5Of(const std::vector<std::uint8_t>& bytes) {
    zyl::tools::Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.HexDigest();
}

std::vector<std::uint8_t> GreyAsRgb(const std::vector<std::uint8_t>& grey) {
    std::vector<std::uint8_t> rgb;
    for (std::uint8_t v : grey) {
        rgb.insert(rgb.end(), {v, v, v});
    }
    return rgb;
}

// The message of what `make` throws, or "" when it does not throw.
template <class Make>
std::string ErrorOf(Make&& make) {
    try {
        make();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return {};
}

const StreamSummary* StreamOfType(const std::vector<StreamSummary>& streams,
                                  const std::string& type) {
    for (const StreamSummary& s : streams) {
        if (s.type == type) {
            return &s;
        }
    }
    return nullptr;
}

// Texts as (pts, text) with the container's framing removed and empty gap samples dropped.
std::vector<std::pair<std::int64_t, std::string>> Texts(const StreamSummary& s) {
    std::vector<std::pair<std::int64_t, std::string>> texts;
    for (std::size_t i = 0; i < s.payloads.size(); ++i) {
        std::string text = s.payloads[i];
        if (s.codec == "mov_text") {
            text = text.size() >= 2 ? text.substr(2) : std::string();  // 16-bit length first
        }
        text = text.substr(0, text.find('\0'));
        if (!text.empty()) {
            texts.emplace_back(s.pts[i], text);
        }
    }
    return texts;
}

}  // namespace

TEST(TestMedia, PicturesCarryTheirFrameNumberAndDifferPerFrame) {
    std::set<std::string> seen;
    for (int n = 0; n < 256; ++n) {
        const auto rgb = Picture(n, 64, 48);
        ASSERT_EQ(rgb.size(), 64u * 48u * 3u);
        EXPECT_EQ(FrameNumberOf(rgb, 64, 48, 3), n);
        EXPECT_EQ(FrameNumberOf(GreyPicture(n, 64, 48), 64, 48, 1), n);
        seen.insert(Md5Of(rgb));
    }
    EXPECT_EQ(seen.size(), 256u);
    EXPECT_EQ(Picture(3, 33, 17), Picture(3, 33, 17));
    // Too narrow for the eight blocks, or too few bytes: no number rather than a wrong one.
    EXPECT_EQ(FrameNumberOf(Picture(1, 7, 8), 7, 8, 3), -1);
    EXPECT_EQ(FrameNumberOf(std::vector<std::uint8_t>(10), 64, 48, 3), -1);
    EXPECT_EQ(FrameNumberOf(std::vector<std::uint8_t>(64 * 48 * 3, 128), 64, 48, 3), -1);
    EXPECT_THROW(Picture(0, 0, 4), std::invalid_argument);
}

// 8, 24 and 32 bits at an odd size (rows padded): FFmpeg sees rawvideo of that size with every
// frame a key frame, and the decoded frames are exactly the pictures, for libavcodec and for the
// ffmpeg command alike.
TEST(TestMedia, RawAviFramesDecodeToThePictures) {
    TempDir dir;
    for (int bits : {8, 24, 32}) {
        SCOPED_TRACE(bits);
        const std::string path = RawAvi(dir.path().string(), bits, 33, 17, 6);
        const auto streams = Summarize(path);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams[0].type, "video");
        EXPECT_EQ(streams[0].codec, "rawvideo");
        EXPECT_EQ(streams[0].width, 33);
        EXPECT_EQ(streams[0].height, 17);
        EXPECT_EQ(streams[0].pts, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
        EXPECT_EQ(std::count(streams[0].keys.begin(), streams[0].keys.end(), true), 6);

        std::vector<std::string> expected;
        for (int n = 0; n < 6; ++n) {
            expected.push_back(
                Md5Of(bits == 8 ? GreyAsRgb(GreyPicture(n, 33, 17)) : Picture(n, 33, 17)));
        }
        EXPECT_EQ(ReferenceMd5s(path, "rgb24"), expected);
        const auto command = FfmpegCommandMd5s(path, {"-pix_fmt", "rgb24"});
        if (command) {
            EXPECT_EQ(*command, expected);
        }
    }
}

// FFmpeg's AVI demuxer gives a 'txts' stream the subtitle type with no codec, in the video's
// time base; each text must come out once, at its own frame, whether the index is read or the
// file is scanned (a cut file has no index).
TEST(TestMedia, AviTextChunksComeOutAtTheirFrames) {
    TempDir dir;
    AviWriter writer({16, 8, 24, "", 25, 1});
    writer.EnableText();
    writer.EnableAudio(8000, 1);
    for (int n = 0; n < 12; ++n) {
        const auto rgb = Picture(n, 16, 8);
        writer.AddVideoFrame(AviWriter::Dib(rgb.data(), 16, 8, 24), true);
        writer.AddAudio(std::vector<std::int16_t>(320, static_cast<std::int16_t>(n)));
    }
    writer.AddText(0, "first");
    writer.AddText(3, "frame 3");
    writer.AddText(7, "");  // an empty text is still a sample
    writer.AddText(8, "frame 8");
    const std::string path = dir.file("text.avi");
    writer.Write(path);

    const auto streams = Summarize(path);
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0].pts.size(), 12u);
    EXPECT_EQ(streams[1].type, "subtitle");
    EXPECT_EQ(streams[1].codec, "none");
    EXPECT_EQ(streams[1].timeBaseNum, 1);
    EXPECT_EQ(streams[1].timeBaseDen, 25);
    EXPECT_EQ(streams[1].pts, (std::vector<std::int64_t>{0, 3, 7, 8}));
    EXPECT_EQ(streams[1].payloads,
              (std::vector<std::string>{std::string("first\0", 6), std::string("frame 3\0", 8),
                                        std::string("\0", 1), std::string("frame 8\0", 8)}));
    EXPECT_EQ(streams[2].type, "audio");
    EXPECT_EQ(streams[2].codec, "pcm_s16le");
    EXPECT_EQ(streams[2].pts.size(), 12u);

    const auto full = std::filesystem::file_size(path);
    const std::string cut = Truncated(path, dir.file("cut.avi"), 0.9);
    const auto cutStreams = Summarize(cut);
    ASSERT_EQ(cutStreams.size(), 3u);
    EXPECT_LT(std::filesystem::file_size(cut), full);
    EXPECT_EQ(cutStreams[1].pts, (std::vector<std::int64_t>{0, 3, 7, 8}));
}

TEST(TestMedia, AviWriterRefusesWhatItCannotWrite) {
    TempDir dir;
    AviWriter writer({8, 8, 24, "", 25, 1});
    writer.EnableText();
    EXPECT_THROW(writer.AddText(0, std::string("a\0b", 3)), std::invalid_argument);
    EXPECT_THROW(writer.AddAudio({1, 2}), std::logic_error);  // no audio stream
    writer.AddVideoFrame(std::vector<std::uint8_t>(8 * 8 * 3), true);
    writer.AddText(1, "after the last frame");
    EXPECT_NE(ErrorOf([&] { writer.Write(dir.file("late.avi")); }).find("late.avi"),
              std::string::npos);
    AviWriter good({8, 8, 24, "", 25, 1});
    good.AddVideoFrame(std::vector<std::uint8_t>(8 * 8 * 3), true);
    EXPECT_NE(ErrorOf([&] { good.Write(dir.file("no/such/folder.avi")); }).find("folder.avi"),
              std::string::npos);
    EXPECT_THROW(AviWriter({8, 8, 16, "", 25, 1}), std::invalid_argument);
    EXPECT_THROW(AviWriter({8, 8, 24, "", 0, 1}), std::invalid_argument);
}

TEST(TestMedia, Mpeg4AviCarriesTextAtEveryNthFrame) {
    TempDir dir;
    const std::string path = Mpeg4AviWithText(dir.path().string(), 64, 48, 12, 5);
    const auto streams = Summarize(path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].codec, "mpeg4");
    EXPECT_EQ(streams[0].width, 64);
    EXPECT_EQ(streams[0].height, 48);
    EXPECT_EQ(streams[0].pts.size(), 12u);
    EXPECT_EQ(streams[0].keys, (std::vector<bool>{true, false, false, false, false, false, false,
                                                  false, false, false, false, false}));
    EXPECT_EQ(Texts(streams[1]), (std::vector<std::pair<std::int64_t, std::string>>{
                                     {0, "frame 0"}, {5, "frame 5"}, {10, "frame 10"}}));
    const auto frames = DecodedFrames(path);
    ASSERT_EQ(frames.size(), 12u);
    for (int n = 0; n < 12; ++n) {
        EXPECT_EQ(FrameNumberOf(frames[static_cast<std::size_t>(n)].pixels, 64, 48, 3), n);
    }
}

struct Case {
    EncodeOptions encoding;
    const char* videoCodec;
    const char* audioCodec;  // nullptr: no audio stream
};

// Each container and codec the players meet: the streams FFmpeg finds, one packet per frame,
// key frames at the interval, real B-frames when asked, text cues at their frames' times, and
// decoded frames in order showing their own numbers.
TEST(TestMedia, EncodedFilesHaveTheStreamsTheyWereMadeWith) {
    TempDir dir;
    auto encoding = [](const char* container, const char* codec) {
        EncodeOptions s;
        s.container = container;
        s.codec = codec;
        s.frames = 12;
        s.gop = 5;
        return s;
    };
    std::vector<Case> cases;
    cases.push_back({encoding("avi", "mjpeg"), "mjpeg", nullptr});
    cases.push_back({encoding("avi", "mpeg4"), "mpeg4", "pcm_s16le"});
    cases.back().encoding.audio = true;
    cases.push_back({encoding("mp4", "libx264"), "h264", "aac"});
    cases.back().encoding.bframes = 2;
    cases.back().encoding.audio = true;
    cases.back().encoding.text = "mov_text";
    cases.push_back({encoding("mp4", "mpeg4"), "mpeg4", nullptr});
    cases.push_back({encoding("mkv", "libx265"), "hevc", "aac"});
    cases.back().encoding.audio = true;
    cases.back().encoding.text = "subrip";
    cases.back().encoding.textEvery = 4;
    cases.push_back({encoding("mkv", "libx264"), "h264", nullptr});
    cases.back().encoding.pixelFormat = "gray";
    cases.push_back({encoding("mpg", "mpeg2video"), "mpeg2video", "mp2"});
    cases.back().encoding.bframes = 2;
    cases.back().encoding.audio = true;
    cases.push_back({encoding("ts", "libx264"), "h264", "mp2"});
    cases.back().encoding.audio = true;
    cases.back().encoding.fpsNum = 30000;
    cases.back().encoding.fpsDen = 1001;

    for (const Case& c : cases) {
        const EncodeOptions& s = c.encoding;
        SCOPED_TRACE(s.container + "/" + s.codec);
        const std::string path = EncodedFile(dir.path().string(), s);
        const auto streams = Summarize(path);
        const StreamSummary* video = StreamOfType(streams, "video");
        ASSERT_NE(video, nullptr);
        EXPECT_EQ(video->codec, c.videoCodec);
        EXPECT_EQ(video->width, s.width);
        EXPECT_EQ(video->height, s.height);
        EXPECT_EQ(video->pts.size(), static_cast<std::size_t>(s.frames));
        if (s.bframes > 0 && s.container != "mpg") {
            // Decode order differs from presentation order (the program stream leaves the time
            // stamps of many frames out, so there the decoder's picture types have to do).
            bool reordered = false;
            for (std::size_t i = 1; i < video->pts.size(); ++i) {
                reordered = reordered || video->pts[i] < video->pts[i - 1];
            }
            EXPECT_TRUE(reordered);
        }
        if (s.codec == "libx264") {
            EXPECT_EQ(video->pts != video->dts, s.bframes > 0);
        }

        const StreamSummary* audio = StreamOfType(streams, "audio");
        if (c.audioCodec != nullptr) {
            ASSERT_NE(audio, nullptr);
            EXPECT_EQ(audio->codec, c.audioCodec);
            EXPECT_FALSE(audio->pts.empty());
        } else {
            EXPECT_EQ(audio, nullptr);
        }

        const StreamSummary* text = StreamOfType(streams, "subtitle");
        if (s.text != "none") {
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(text->codec, s.text);
            std::vector<std::pair<std::int64_t, std::string>> expected;
            for (int n = 0; n < s.frames; n += s.textEvery) {
                // Frame n starts at n / 25 s.
                const std::int64_t pts =
                    std::int64_t{n} * text->timeBaseDen / (25 * text->timeBaseNum);
                expected.emplace_back(pts, "frame " + std::to_string(n));
            }
            EXPECT_EQ(Texts(*text), expected);
        } else {
            EXPECT_EQ(text, nullptr);
        }

        // In presentation order: the frame's own number, a key frame at the start of every
        // interval (every frame for JPEG) and no other, B-frames only when asked for.
        const bool grey = s.pixelFormat == "gray";
        const auto frames = DecodedFrames(path, grey ? "gray" : "rgb24");
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(s.frames));
        int bFrames = 0;
        for (int n = 0; n < s.frames; ++n) {
            const DecodedFrame& f = frames[static_cast<std::size_t>(n)];
            EXPECT_EQ(FrameNumberOf(f.pixels, s.width, s.height, grey ? 1 : 3), n);
            EXPECT_EQ(f.key, s.codec == "mjpeg" || n % s.gop == 0) << "frame " << n;
            bFrames += f.pictureType == 'B' ? 1 : 0;
        }
        EXPECT_EQ(bFrames > 0, s.bframes > 0);
    }
}

// The luma the reference decoder hashes is the plane the ffmpeg command extracts.
TEST(TestMedia, ReferenceLumaMatchesTheCommandLine) {
    TempDir dir;
    EncodeOptions encoding;
    encoding.frames = 8;
    encoding.gop = 4;
    encoding.bframes = 2;
    const std::string path = EncodedFile(dir.path().string(), encoding);
    const auto luma = ReferenceMd5s(path, "gray", true);
    ASSERT_EQ(luma.size(), 8u);
    EXPECT_EQ(std::set<std::string>(luma.begin(), luma.end()).size(), 8u);
    const auto command = FfmpegCommandMd5s(path, {"-vf", "extractplanes=y", "-pix_fmt", "gray"});
    if (!command) {
        GTEST_SKIP() << "no ffmpeg command on PATH";
    }
    EXPECT_EQ(*command, luma);
}

// A cut file decodes to a prefix of the whole file's frames; fractions outside 0..1 and missing
// sources are refused with the file named.
TEST(TestMedia, TruncatedCopiesAPrefix) {
    TempDir dir;
    const std::string whole = RawAvi(dir.path().string(), 24, 32, 16, 10);
    const auto size = std::filesystem::file_size(whole);
    EXPECT_EQ(std::filesystem::file_size(Truncated(whole, dir.file("none.avi"), 0.0)), 0u);
    EXPECT_EQ(readFile(Truncated(whole, dir.file("all.avi"), 1.0)), readFile(whole));
    const std::string half = Truncated(whole, dir.file("half.avi"), 0.5);
    EXPECT_EQ(std::filesystem::file_size(half), size / 2);
    EXPECT_EQ(readFile(half), readFile(whole).substr(0, size / 2));

    const auto all = ReferenceMd5s(whole);
    const auto some = ReferenceMd5s(half);
    ASSERT_EQ(all.size(), 10u);
    EXPECT_GT(some.size(), 0u);
    EXPECT_LT(some.size(), all.size());
    EXPECT_TRUE(std::equal(some.begin(), some.end(), all.begin()));

    EXPECT_NE(ErrorOf([&] { Truncated(whole, dir.file("x.avi"), 1.5); }).find("x.avi"),
              std::string::npos);
    EXPECT_NE(ErrorOf([&] { Truncated(whole, dir.file("y.avi"), -0.1); }).find("y.avi"),
              std::string::npos);
    EXPECT_NE(ErrorOf([&] {
                  Truncated(dir.file("missing.avi"), dir.file("z.avi"), 0.5);
              }).find("missing.avi"),
              std::string::npos);
}

// Requests the encoders or muxers cannot meet fail with the file named, never with a file that
// only looks right.
TEST(TestMedia, MakersNameTheFileWhenTheyFail) {
    TempDir dir;
    const std::string d = dir.path().string();
    auto failure = [&](EncodeOptions s) { return ErrorOf([&] { EncodedFile(d, s); }); };
    EncodeOptions s;
    s.name = "bad.mp4";
    s.container = "flv";
    EXPECT_NE(failure(s).find("unknown container flv"), std::string::npos);
    s.container = "mp4";
    s.codec = "nosuchcodec";
    EXPECT_NE(failure(s).find("bad.mp4"), std::string::npos);
    s.codec = "mpeg2video";
    s.pixelFormat = "gray";
    EXPECT_NE(failure(s).find("does not take gray"), std::string::npos);
    s.pixelFormat = "yuv420p";
    s.text = "subrip";  // SubRip goes to Matroska only
    EXPECT_NE(failure(s).find("bad.mp4"), std::string::npos);
    s.text = "none";
    s.frames = 0;
    EXPECT_NE(failure(s).find("bad.mp4"), std::string::npos);
    s.frames = 4;
    s.name = "missing/folder.mp4";
    EXPECT_NE(failure(s).find("folder.mp4"), std::string::npos);

    EXPECT_NE(ErrorOf([&] { RawAvi(d, 16, 8, 8, 2); }).find("raw16"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { Mpeg4AviWithText(d, 64, 48, 4, 0); }).find("mpeg4_text0"),
              std::string::npos);

    const std::string notMedia = dir.write("text.avi", "this is not a video");
    EXPECT_NE(ErrorOf([&] { ReferenceMd5s(notMedia); }).find("text.avi"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { ReferenceMd5s(dir.file("absent.avi")); }).find("absent.avi"),
              std::string::npos);
    const std::string raw = RawAvi(d, 8, 8, 8, 2);
    EXPECT_NE(ErrorOf([&] { ReferenceMd5s(raw, "gray", true); }).find("luma"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { ReferenceMd5s(raw, "yuv420p"); }).find("yuv420p"), std::string::npos);
}
