// The test media makers against FFmpeg itself: the files the player tests compare frames of must
// open with the streams, key frames, B-frames and text times they were made with, and every
// decoded frame must be the picture it should be, or those tests compare against the wrong thing.
#include "support/test_media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "common/md5.h"
#include "support/avi_writer.h"
#include "support/temp_dir.h"

using namespace zyl::test;
using namespace zyl::test::media;

namespace {

using Texts = std::vector<std::pair<std::int64_t, std::string>>;

std::string Md5Of(const std::vector<std::uint8_t>& bytes) {
    zyl::tools::Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.HexDigest();
}

const StreamSummary* StreamOfType(const std::vector<StreamSummary>& streams,
                                  const std::string& type) {
    const auto found = std::find_if(streams.begin(), streams.end(),
                                    [&](const StreamSummary& s) { return s.type == type; });
    return found == streams.end() ? nullptr : &*found;
}

// Texts as (pts, text) with the container's framing removed and empty gap samples dropped.
Texts TextsOf(const StreamSummary& s) {
    Texts texts;
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
        EXPECT_EQ(streams[0].codec, "rawvideo");
        EXPECT_EQ(streams[0].width, 33);
        EXPECT_EQ(streams[0].height, 17);
        EXPECT_EQ(streams[0].keys, std::vector<bool>(6, true));

        std::vector<std::string> expected;
        for (int n = 0; n < 6; ++n) {
            std::vector<std::uint8_t> rgb;
            for (std::uint8_t v : GreyPicture(n, 33, 17)) {
                rgb.insert(rgb.end(), {v, v, v});
            }
            expected.push_back(Md5Of(bits == 8 ? rgb : Picture(n, 33, 17)));
        }
        EXPECT_EQ(ReferenceMd5s(path, "rgb24"), expected);
        if (const auto command = FfmpegCommandMd5s(path, {"-pix_fmt", "rgb24"})) {
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
    for (int n = 0; n < 12; ++n) {
        const auto rgb = Picture(n, 16, 8);
        writer.AddVideoFrame(AviWriter::Dib(rgb.data(), 16, 8, 24), true);
    }
    writer.AddText(0, "first");
    writer.AddText(3, "frame 3");
    writer.AddText(7, "");  // an empty text is still a sample
    writer.AddText(8, "frame 8");
    const std::string path = dir.file("text.avi");
    writer.Write(path);

    const std::vector<std::string> payloads = {std::string("first\0", 6),
                                               std::string("frame 3\0", 8), std::string("\0", 1),
                                               std::string("frame 8\0", 8)};
    const std::string cut = Truncated(path, dir.file("cut.avi"), 0.9);
    ASSERT_LT(std::filesystem::file_size(cut), std::filesystem::file_size(path));
    for (const std::string& file : {path, cut}) {
        SCOPED_TRACE(file);
        const auto streams = Summarize(file);
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[1].type, "subtitle");
        EXPECT_EQ(streams[1].codec, "none");
        EXPECT_EQ(std::pair(streams[1].timeBaseNum, streams[1].timeBaseDen), std::pair(1, 25));
        EXPECT_EQ(streams[1].pts, (std::vector<std::int64_t>{0, 3, 7, 8}));
        EXPECT_EQ(streams[1].payloads, payloads);
    }
    EXPECT_EQ(Summarize(path)[0].pts.size(), 12u);
}

// Each container and codec the players meet: the streams FFmpeg finds, key frames at the
// interval, real B-frames when asked, text cues at their frames' times, and decoded frames in
// order showing their own numbers.
TEST(TestMedia, EncodedFilesHaveTheStreamsTheyWereMadeWith) {
    struct Case {
        const char* container;
        const char* codec;
        int bframes;
        bool audio;
        const char* text;        // "none", "mov_text", "subrip", or "txts" (Mpeg4AviWithText)
        const char* videoCodec;  // as FFmpeg names what it finds
        const char* audioCodec;
        int fpsNum = 25;
        int fpsDen = 1;
    };
    const Case cases[] = {
        {"avi", "mjpeg", 0, false, "none", "mjpeg", nullptr},
        {"avi", "mpeg4", 0, true, "none", "mpeg4", "pcm_s16le"},
        {"avi", "mpeg4", 0, false, "txts", "mpeg4", nullptr},
        {"mp4", "libx264", 2, true, "mov_text", "h264", "aac"},
        {"mp4", "mpeg4", 0, false, "none", "mpeg4", nullptr},
        {"mkv", "libx265", 0, true, "subrip", "hevc", "aac"},
        {"mkv", "libx264", 0, false, "none", "h264", nullptr},
        {"mpg", "mpeg2video", 2, true, "none", "mpeg2video", "mp2"},
        {"ts", "libx264", 0, true, "none", "h264", "mp2", 30000, 1001},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.container) + "/" + c.codec + "/" + c.text);
        EncodeOptions s;
        s.container = c.container;
        s.codec = c.codec;
        s.frames = 12;
        s.gop = 5;
        s.bframes = c.bframes;
        s.audio = c.audio;
        s.text = c.text;
        s.textEvery = 4;
        s.fpsNum = c.fpsNum;
        s.fpsDen = c.fpsDen;
        const bool aviText = s.text == "txts";
        if (aviText) {
            s.gop = 12;  // the interval Mpeg4AviWithText encodes with
        }
        const std::string path =
            aviText ? Mpeg4AviWithText(dir.path().string(), s.width, s.height, s.frames, 4)
                    : EncodedFile(dir.path().string(), s);
        const auto streams = Summarize(path);
        const StreamSummary* video = StreamOfType(streams, "video");
        ASSERT_NE(video, nullptr);
        EXPECT_EQ(video->codec, c.videoCodec);
        EXPECT_EQ(video->width, s.width);
        EXPECT_EQ(video->height, s.height);
        EXPECT_EQ(video->pts.size(), static_cast<std::size_t>(s.frames));

        const StreamSummary* audio = StreamOfType(streams, "audio");
        ASSERT_EQ(audio != nullptr, c.audioCodec != nullptr);
        if (audio != nullptr) {
            EXPECT_EQ(audio->codec, c.audioCodec);
            EXPECT_FALSE(audio->pts.empty());
        }

        const StreamSummary* text = StreamOfType(streams, "subtitle");
        ASSERT_EQ(text != nullptr, s.text != "none");
        if (text != nullptr) {
            Texts expected;
            for (int n = 0; n < s.frames; n += s.textEvery) {
                // Frame n starts at n / 25 s.
                expected.emplace_back(
                    std::int64_t{n} * text->timeBaseDen / (25 * text->timeBaseNum),
                    "frame " + std::to_string(n));
            }
            EXPECT_EQ(TextsOf(*text), expected);
        }

        // In presentation order: the frame's own number, a key frame at the start of every
        // interval (every frame for JPEG) and no other, B-frames only when asked for.
        const auto frames = DecodedFrames(path);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(s.frames));
        int bFrames = 0;
        for (int n = 0; n < s.frames; ++n) {
            const DecodedFrame& f = frames[static_cast<std::size_t>(n)];
            EXPECT_EQ(FrameNumberOf(f.pixels, s.width, s.height, 3), n);
            EXPECT_EQ(f.key, s.codec == "mjpeg" || n % s.gop == 0) << "frame " << n;
            bFrames += f.pictureType == 'B' ? 1 : 0;
        }
        EXPECT_EQ(bFrames > 0, s.bframes > 0);
    }
}
