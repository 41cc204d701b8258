// Differential conformance of the media filters against FFmpeg: every file is made by the
// `ffmpeg` command at test time, and every frame the filters deliver (RGB24 hashed as packed
// rgb24, or gray for grey video, and the luma plane) must be the frame the command decodes
// from the same file (converted to the same bgr24 layout), as many frames as it decodes, with
// the frame count to match (damaged files excepted); seeks in frame units land on the
// frame the command decodes at that index (at a key frame, between key frames, in the last
// group). One row per file, grouped by what can break; test names carry the row's name, so
// `--gtest_filter='*Conformance*avi*'` runs a subset.
//
// A row's `known` names the fault it showed when it was written. It does not excuse the row:
// the row fails until the fault is fixed; the mark is printed with the failure to point at it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/frame_pull.h"
#include "common/md5.h"
#include "common/module_host.h"
#include "support/media_damage.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

namespace media = zyl::test::media;
using zyl::tools::PullFrames;
using zyl::tools::PullOptions;
using zyl::tools::PullResult;

namespace {

enum class Damage {
    None,
    Cut,          // the last 40 % gone
    Hole,         // a tenth of the file zeroed in its middle
    AviSaysTen,   // AVI headers state 10 frames
    Mp4SaysHalf,  // MP4 durations halved
    MatroskaSaysHalf,
    Empty,
    Garbage,
};

struct Row {
    const char* name;
    const char* args;  // ffmpeg output options for the file
    const char* file;  // its name; the extension picks the muxer unless args say -f
    int frames = 30;   // frames made (fewer when a filter drops some)
    int gop = 10;      // key frame interval for the seeks; 0: no seeks
    bool luma = true;  // compare the luma plane too (8-bit YUV and grey sources)
    const char* size = "64x48";
    const char* encoder = "";  // skipped when ffmpeg has no such encoder
    Damage damage = Damage::None;
    bool pipe = false;        // written to a pipe: no seeking back, no index or duration
    const char* source = "";  // input options; default a moving pattern with noise at `size`
    const char* remux = "";   // a second pass over the file made, {in} standing for it
    const char* known = "";   // the fault the row showed when it was written
    bool video = true;        // false: the file must be refused, not played
};

// Frame types and reordering: ultrafast x264 makes no B-frames unless asked.
#define X264 "-c:v libx264 -preset ultrafast -g 10 -sc_threshold 0 -pix_fmt yuv420p "
#define X264B X264 "-x264-params bframes=2 "
#define MPEG4 "-c:v mpeg4 -g 10 -bf 0 "
#define MPEG4B "-c:v mpeg4 -g 10 -bf 2 "
#define MPEG2B "-c:v mpeg2video -g 10 -bf 2 "

const Row kContainers[] = {
    {.name = "avi_mpeg4", .args = MPEG4, .file = "a.avi"},
    {.name = "avi_mpeg4_bframes", .args = MPEG4B, .file = "a.avi", .known = "avi-bframes"},
    {.name = "avi_h264_bframes", .args = X264B, .file = "a.avi", .known = "avi-bframes"},
    {.name = "mp4_h264_bframes", .args = X264B, .file = "a.mp4"},
    // Copied into AVI, the stream keeps MP4's finer clock: an empty chunk between frames.
    {.name = "avi_copied_from_mp4",
     .args = X264B,
     .file = "first.mp4",
     .remux = "-i {in} -c copy copied.avi",
     .known = "avi-empty-chunks"},
    {.name = "mov_edit_list",
     .args = X264B,
     .file = "first.mp4",
     .remux = "-ss 0.52 -i {in} -c copy edit.mov"},
    {.name = "mp4_fragmented", .args = X264B "-movflags frag_keyframe+empty_moov", .file = "a.mp4"},
    {.name = "mkv_h264_bframes", .args = X264B, .file = "a.mkv"},
    {.name = "mkv_through_pipe",
     .args = X264B "-f matroska",
     .file = "a.mkv",
     .pipe = true,
     .known = "no-duration"},
    {.name = "webm_live",
     .args = "-c:v libvpx -g 10 -deadline realtime -cpu-used 8 -b:v 300k -live 1",
     .file = "a.webm",
     .encoder = "libvpx",
     .known = "no-duration"},
    {.name = "mpeg_ps_mpeg2", .args = MPEG2B "-f vob", .file = "a.mpg"},
    {.name = "mpeg_ts_h264", .args = X264B, .file = "a.ts"},
    {.name = "mpeg_ts_through_pipe", .args = X264B "-f mpegts", .file = "a.ts", .pipe = true},
    {.name = "mpeg_ts_one_gop",
     .args = "-c:v libx264 -preset ultrafast -g 1000 -pix_fmt yuv420p",
     .file = "a.ts",
     .gop = 1000,
     .known = "last-gop-seek"},
    {.name = "nut_mpeg4", .args = MPEG4, .file = "a.nut", .known = "stated-length"},
    {.name = "raw_h264", .args = X264 "-f h264", .file = "a.h264", .known = "no-duration"},
    {.name = "raw_m2v", .args = MPEG2B "-f mpeg2video", .file = "a.m2v", .known = "no-duration"},
    {.name = "raw_mjpeg",
     .args = "-c:v mjpeg -f mjpeg",
     .file = "a.mjpeg",
     .gop = 1,
     .known = "no-duration"},
    {.name = "png_single",
     .args = "-update 1",
     .file = "a.png",
     .frames = 1,
     .gop = 0,
     .luma = false,
     .known = "no-duration"},
};

const Row kCodecs[] = {
    {.name = "hevc_bframes",
     .args = "-c:v libx265 -preset ultrafast -x265-params "
             "log-level=error:keyint=10:min-keyint=10:scenecut=0:bframes=2",
     .file = "a.mp4",
     .encoder = "libx265"},
    {.name = "vp8",
     .args = "-c:v libvpx -g 10 -deadline realtime -cpu-used 8 -b:v 300k",
     .file = "a.webm",
     .encoder = "libvpx"},
    {.name = "vp9",
     .args = "-c:v libvpx-vp9 -g 10 -deadline realtime -cpu-used 8 -b:v 300k",
     .file = "a.webm",
     .encoder = "libvpx-vp9"},
    {.name = "av1",
     .args = "-c:v libaom-av1 -g 10 -cpu-used 8 -usage realtime -b:v 200k",
     .file = "a.mkv",
     .frames = 20,
     .encoder = "libaom-av1"},
    {.name = "mpeg2_interlaced",
     .args = MPEG2B "-flags +ildct+ilme -top 1 -f vob",
     .file = "a.mpg",
     .size = "64x64"},
    {.name = "mpeg4_asp_qpel", .args = MPEG4B "-flags +qpel", .file = "a.mkv"},
    {.name = "mjpeg_full_range_422",
     .args = "-c:v mjpeg -pix_fmt yuvj422p",
     .file = "a.avi",
     .frames = 12,
     .gop = 1},
    {.name = "prores_10bit",
     .args = "-c:v prores_ks -profile:v 0",
     .file = "a.mov",
     .frames = 8,
     .gop = 1,
     .luma = false,
     .encoder = "prores_ks",
     .known = "bit-depth"},
    {.name = "dnxhr_lb",
     .args = "-c:v dnxhd -profile:v dnxhr_lb -pix_fmt yuv422p",
     .file = "a.mov",
     .frames = 4,
     .gop = 1,
     .size = "256x144",
     .encoder = "dnxhd"},
    {.name = "ffv1", .args = "-c:v ffv1 -g 10", .file = "a.mkv", .frames = 20},
    {.name = "huffyuv",
     .args = "-c:v huffyuv -pix_fmt yuv422p",
     .file = "a.avi",
     .frames = 8,
     .gop = 1},
    {.name = "h264_10bit",
     .args = X264 "-pix_fmt yuv420p10le",
     .file = "a.mkv",
     .frames = 12,
     .luma = false,
     .known = "bit-depth"},
    {.name = "qtrle_rgb24",
     .args = "-c:v qtrle -g 10 -pix_fmt rgb24",
     .file = "a.mov",
     .frames = 20,
     .luma = false},
    {.name = "qtrle_rgb555",
     .args = "-c:v qtrle -g 10 -pix_fmt rgb555be",
     .file = "a.mov",
     .frames = 12,
     .luma = false,
     .known = "bit-depth"},
    {.name = "qtrle_grey",
     .args = "-c:v qtrle -g 10 -pix_fmt gray",
     .file = "a.mov",
     .frames = 12,
     .luma = false,  // FFmpeg extracts no plane from its grey
     .known = "bit-depth"},
    {.name = "smc_palette",
     .args = "-c:v smc -g 10 -pix_fmt pal8",
     .file = "a.mov",
     .frames = 12,
     .luma = false,
     .known = "side-data"},
    {.name = "ffv1_grey",
     .args = "-c:v ffv1 -pix_fmt gray",
     .file = "a.mkv",
     .frames = 8,
     .gop = 1},
    {.name = "ffv1_grey16",
     .args = "-c:v ffv1 -pix_fmt gray16le",
     .file = "a.mkv",
     .frames = 8,
     .gop = 1,
     .luma = false},
};

// Widths whose RGB conversion wrote past its buffer, odd sizes and extremes: three frames each.
#define SMALL(n, s, a, f, k) \
    { .name = n, .args = a, .file = f, .frames = 3, .gop = 0, .size = s }
#define NOISE(s) "-f lavfi -i color=c=gray:s=" s ":r=25,noise=alls=60:allf=t"
const Row kSizes[] = {
    {.name = "w1x1",
     .args = "-c:v ffv1 -pix_fmt yuv420p",
     .file = "a.mkv",
     .frames = 3,
     .gop = 0,
     .size = "1x1",
     .source = "-f lavfi -i color=c=gray:s=16x16:r=25,noise=alls=60:allf=t,scale=1:1"},
    {.name = "w2",
     .args = "-c:v ffv1 -pix_fmt yuv420p",
     .file = "a.mkv",
     .frames = 3,
     .gop = 0,
     .size = "2x8",
     .source = NOISE("2x8"),
     .known = "overflow"},
    SMALL("w6", "6x8", X264, "a.mkv", "overflow"),
    SMALL("w14", "14x8", X264, "a.mkv", ""),
    SMALL("odd_33x17", "33x17", "-c:v ffv1 -pix_fmt yuv420p", "a.mkv", ""),
    SMALL("odd_35x19_mjpeg", "35x19", "-c:v mjpeg -pix_fmt yuvj420p", "a.avi", "unaligned-rgb"),
    SMALL("w174", "174x32", X264, "a.mkv", ""),
    SMALL("w186_422", "186x16", "-c:v mjpeg -pix_fmt yuvj422p", "a.avi", "overflow"),
    SMALL("w302", "302x32", X264, "a.mkv", ""),
    SMALL("w310_422", "310x16", "-c:v mjpeg -pix_fmt yuvj422p", "a.avi", "overflow"),
    SMALL("w426x240", "426x240", X264, "a.mp4", ""),
    SMALL("w1278", "1278x16", X264, "a.mkv", ""),
    SMALL("w1918", "1918x16", X264, "a.mkv", ""),
    {.name = "uhd_single_frame",
     .args = X264,
     .file = "a.mp4",
     .frames = 1,
     .gop = 0,
     .size = "3840x2160",
     .source = "-f lavfi -i testsrc2=s=3840x2160:r=25"},
    // Lossless noise: packets larger than any fixed guess at a frame's size.
    {
        .name = "lossless_noise_1080p",
        .args = "-c:v ffv1 -pix_fmt yuv444p",
        .file = "a.mkv",
        .frames = 2,
        .gop = 0,
        .size = "1920x1080",
        .source = "-f lavfi -i color=c=gray:s=1920x1080:r=25,noise=alls=100:allf=t+u",
    },
};
#undef SMALL

const Row kTimestamps[] = {
    {.name = "missing_raw_h264_bframes",
     .args = X264B "-f h264",
     .file = "a.h264",
     .known = "no-duration"},
    // Composition offsets lost: presentation time written as decode time.
    {.name = "pts_eq_dts_mp4",
     .args = X264B "-bsf:v setts=pts=DTS-STARTDTS:dts=DTS-STARTDTS",
     .file = "a.mp4",
     .known = "pts-eq-dts"},
    {.name = "pts_eq_dts_mkv",
     .args = X264B "-bsf:v setts=pts=DTS-STARTDTS:dts=DTS-STARTDTS",
     .file = "a.mkv",
     .known = "pts-eq-dts"},
    // Two frames of every five dropped: frame n is not n frame times in, so no frame seeks.
    {.name = "vfr_mkv",
     .args = X264 "-vf select=lt(mod(n\\,5)\\,3) -fps_mode vfr",
     .file = "a.mkv",
     .gop = 0,
     .known = "vfr-count"},
    {.name = "vfr_mp4",
     .args = X264 "-vf select=lt(mod(n\\,5)\\,3) -fps_mode vfr",
     .file = "a.mp4",
     .gop = 0},
    // Starts 0.2 s before the 33-bit clock of MPEG systems wraps.
    {.name = "wrapping_ts", .args = X264B "-output_ts_offset 95443.5", .file = "a.ts"},
};

const Row kDamage[] = {
    {.name = "cut_avi",
     .args = MPEG4,
     .file = "a.avi",
     .damage = Damage::Cut,
     .known = "stated-length"},
    {.name = "cut_mkv",
     .args = X264B,
     .file = "a.mkv",
     .damage = Damage::Cut,
     .known = "stated-length"},
    {.name = "cut_mp4_faststart",
     .args = X264B "-movflags +faststart",
     .file = "a.mp4",
     .damage = Damage::Cut,
     .known = "stated-length"},
    {.name = "cut_ts",
     .args = X264B,
     .file = "a.ts",
     .damage = Damage::Cut,
     .known = "stated-length"},
    // Frames lost in a hole shift every later index: no frame seeks.
    {.name = "holed_avi",
     .args = MPEG4,
     .file = "a.avi",
     .gop = 0,
     .damage = Damage::Hole,
     .known = "stated-length"},
    {.name = "holed_mkv",
     .args = X264B,
     .file = "a.mkv",
     .gop = 0,
     .damage = Damage::Hole,
     .known = "stated-length"},
    {.name = "holed_ts",
     .args = X264B,
     .file = "a.ts",
     .gop = 0,
     .damage = Damage::Hole,
     .known = "stated-length"},
    {.name = "avi_says_ten_frames",
     .args = MPEG4,
     .file = "a.avi",
     .damage = Damage::AviSaysTen,
     .known = "stated-length"},
    {.name = "mp4_says_half",
     .args = X264B,
     .file = "a.mp4",
     .damage = Damage::Mp4SaysHalf,
     .known = "stated-length"},
    {.name = "mkv_says_half",
     .args = X264B,
     .file = "a.mkv",
     .damage = Damage::MatroskaSaysHalf,
     .known = "stated-length"},
};

// Files with no video to play: refused with a reason naming the file.
const Row kNoVideo[] = {
    {.name = "cover_art_mp3",
     .args = "-map 0:a -map 1:v -c:v png -disposition:v attached_pic -id3v2_version 3",
     .file = "a.mp3",
     .frames = 1,
     .encoder = "libmp3lame",
     .source = "-f lavfi -i sine=d=1 -f lavfi -i testsrc2=s=64x48:r=1:d=1",
     .known = "cover-art",
     .video = false},
    {.name = "audio_only_wav",
     .args = "",
     .file = "a.wav",
     .frames = 0,
     .source = "-f lavfi -i sine=d=0.5",
     .video = false},
    {.name = "empty", .args = MPEG4, .file = "a.avi", .damage = Damage::Empty, .video = false},
    {.name = "garbage", .args = MPEG4, .file = "a.mp4", .damage = Damage::Garbage, .video = false},
};

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool HasEncoder(const std::string& name) {
    static const std::optional<std::string> list =
        media::FfmpegCommand({"-hide_banner", "-encoders"});
    return list && list->find(" " + name + " ") != std::string::npos;
}

// Makes the row's file in `dir` and returns its path.
std::string Make(const Row& row, const std::string& dir) {
    const std::string first = (std::filesystem::path(dir) / row.file).string();
    std::vector<std::string> args = {"-y"};
    const std::string source = *row.source ? row.source
                                           : std::string("-f lavfi -i testsrc2=s=") + row.size +
                                                 ":r=25,noise=alls=12:allf=t";
    for (const std::string& w : Words(source))
        args.push_back(w);
    for (const std::string& w : Words(row.args))
        args.push_back(w);
    if (row.frames > 0)
        args.insert(args.end(), {"-frames:v", std::to_string(row.frames)});
    args.push_back(row.pipe ? "-" : first);
    media::FfmpegCommand(args, row.pipe ? first : "");
    std::string path = first;
    if (*row.remux) {
        std::vector<std::string> again = {"-y"};
        for (const std::string& w : Words(row.remux))
            again.push_back(w == "{in}" ? first : w);
        path = (std::filesystem::path(dir) / again.back()).string();
        again.back() = path;
        media::FfmpegCommand(again);
    }
    const auto size = std::filesystem::file_size(path);
    switch (row.damage) {
        case Damage::None:
            break;
        case Damage::Cut:
            media::CutFile(path, 0.6);
            break;
        case Damage::Hole:
            media::ZeroBytes(path, size / 2, size / 10);
            break;
        case Damage::AviSaysTen:
            media::SetAviStatedFrames(path, 10);
            break;
        case Damage::Mp4SaysHalf:
            media::ScaleMp4Durations(path, 0.5);
            break;
        case Damage::MatroskaSaysHalf:
            media::ScaleMatroskaDuration(path, 0.5);
            break;
        case Damage::Empty:
            media::CutFile(path, 0.0);
            break;
        case Damage::Garbage:
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                << std::string(4096, '\x5a') << "not a media file";
            break;
    }
    return path;
}

PullResult Pull(const std::string& path, int frames, bool mono, long long seek = -1) {
    PullOptions options;
    options.frames = frames;
    options.mono = mono;
    options.seekFrame = seek;
    return PullFrames(path, options);
}

// Where the delivered frames first differ from FFmpeg's, and which of FFmpeg's frames the
// delivered one is (a frame shifted or repeated shows as such).
std::string Difference(const std::vector<std::string>& got,
                       const std::vector<std::string>& expected) {
    std::ostringstream text;
    text << got.size() << " frame(s) delivered, " << expected.size() << " decoded by FFmpeg";
    const std::size_t common = std::min(got.size(), expected.size());
    const auto first = std::mismatch(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(common),
                                     expected.begin());
    if (first.first != got.begin() + static_cast<std::ptrdiff_t>(common)) {
        const auto n = first.first - got.begin();
        text << "; first difference at frame " << n;
        const auto same = std::find(expected.begin(), expected.end(), *first.first);
        if (same != expected.end())
            text << ", which is FFmpeg's frame " << same - expected.begin();
        else
            text << ", which is none of FFmpeg's frames";
    }
    return text.str();
}

// Which of FFmpeg's frames the delivered ones are ("?": none of them).
std::string Shown(const std::vector<std::string>& got, const std::vector<std::string>& all) {
    if (got.empty())
        return "delivers no frame";
    std::string text = "delivers FFmpeg's frames";
    for (const std::string& md5 : got) {
        const auto at = std::find(all.begin(), all.end(), md5);
        text += at == all.end() ? " ?" : " " + std::to_string(at - all.begin());
    }
    return text;
}

// The frames the module hands a host that replays the file unclocked (ReplayMode 2), as MD5s
// hashed like the engine's. The module is registered once, in a registry file of its own that
// is in force only while a file is opened and played.
std::vector<std::string> Replayed(const std::string& path, int frames) {
    static zyl::test::TempDir* dir = [] {
        auto* made = new zyl::test::TempDir;
        made->write("r.reg",
                    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI]\n"
                    "\"ReplayMode\"=dword:00000002\n");
        return made;
    }();
    zyl::test::ScopedEnv registry("ZYLON_REGISTRY", dir->file("r.reg"));
    zyl::tools::LoadedModule module;
    static const bool registered = [&] {
        auto reg = reinterpret_cast<HRESULT (*)()>(module.Symbol("DllRegisterServer"));
        return reg && reg() == S_OK;
    }();
    std::vector<std::string> md5s;
    if (!registered)
        return md5s;
    HostHandle handle = module.GetImageFromFileW(zyl::tools::Widen(path).c_str());
    if (!handle)
        return md5s;
    zyl::tools::Camera camera(handle);
    if (!camera.grab2 || camera.grab2->G2Grab() != ZYL::kOk)
        return md5s;
    for (int i = 0; i < frames && camera.grab2->G2Wait() == ZYL::kOk; ++i) {
        zyl::tools::Frame frame;
        if (zyl::tools::ReadFrame(*camera.vpa, frame) != ZYL::kOk)
            break;
        zyl::tools::Md5 md5;
        md5.Update(frame.pixels.data(), frame.pixels.size());
        md5s.push_back(md5.HexDigest());
    }
    camera.grab2->G2Freeze(false);
    return md5s;
}

class Conformance : public ::testing::TestWithParam<Row> {
protected:
    zyl::test::TempDir dir;
};

TEST_P(Conformance, MatchesFfmpeg) {
    const Row& row = GetParam();
    if (!HasEncoder("rawvideo"))
        GTEST_SKIP() << "no ffmpeg command on PATH";
    if (*row.encoder && !HasEncoder(row.encoder))
        GTEST_SKIP() << "ffmpeg has no " << row.encoder << " encoder";
    if (*row.known)
        RecordProperty("known", row.known);
    SCOPED_TRACE(*row.known ? std::string("known fault: ") + row.known : "no known fault");
    const std::string path = Make(row, dir.path().string());

    if (!row.video) {
        const PullResult result = Pull(path, 5, false);
        EXPECT_FALSE(result.ok) << result.md5s.size() << " frame(s) played";
        EXPECT_NE(result.error.find(path), std::string::npos) << result.error;
        return;
    }

    const std::vector<std::string> passthrough = {"-map", "0:v:0", "-vsync", "passthrough"};
    auto reference = [&](std::vector<std::string> args) {
        args.insert(args.begin(), passthrough.begin(), passthrough.end());
        return *media::FfmpegCommandMd5s(path, args);
    };
    // The pixel format is what the renderer was given: grey video is hashed as gray.
    const PullResult all = Pull(path, 1000, false);
    ASSERT_TRUE(all.ok) << all.error;
    // Colour is compared with FFmpeg's conversion to the decoder's own layout (bgr24):
    // swscale's paths to rgb24 and bgr24 round deep sources differently.
    const auto rgb = all.pixelFormat == "rgb24" ? *media::FfmpegBgrMd5s(path, passthrough)
                                                : reference({"-pix_fmt", all.pixelFormat});
    ASSERT_FALSE(rgb.empty()) << "FFmpeg decodes no frame";
    const auto count = static_cast<std::int64_t>(rgb.size());
    EXPECT_TRUE(all.md5s == rgb) << all.pixelFormat << ": " << Difference(all.md5s, rgb);
    // A damaged file's count is what its header and index promise; only decoding it all
    // would tell how many frames survive.
    if (row.damage != Damage::Cut && row.damage != Damage::Hole) {
        EXPECT_EQ(all.frameCount, count) << "frame count";
    }

    // Replayed through the module, every frame comes once and in order, and again after the
    // loop: one and a half passes. (A known fault shows here too: a file without a length
    // does not open as a camera, and one cut short loops into its damage.)
    if (!*row.known) {
        const int replayed = static_cast<int>(all.md5s.size() * 3 / 2);
        std::vector<std::string> looped;
        for (int i = 0; i < replayed; ++i)
            looped.push_back(all.md5s[static_cast<std::size_t>(i) % all.md5s.size()]);
        const auto played = Replayed(path, replayed);
        EXPECT_TRUE(played == looped) << "replayed: " << Difference(played, looped);
    }

    std::vector<std::string> luma;
    if (row.luma) {
        luma = reference({"-vf", "extractplanes=y", "-pix_fmt", "gray"});
        const PullResult mono = Pull(path, 1000, true);
        ASSERT_TRUE(mono.ok) << mono.error;
        EXPECT_TRUE(mono.md5s == luma) << "luma: " << Difference(mono.md5s, luma);
    }

    if (row.gop == 0 || count < 2)
        return;
    // The last frame before a key frame, the key frame, a frame between key frames, and the
    // last two frames (in the last group).
    const std::int64_t gop = row.gop;
    const std::set<std::int64_t> targets = {
        gop < count ? gop - 1 : 0, gop < count ? gop : 0,
        gop < count ? std::min(gop + gop / 2, count - 1) : count / 2, count - 2, count - 1};
    const auto& expected = row.luma ? luma : rgb;
    for (const std::int64_t target : targets) {
        const PullResult seek = Pull(path, 2, row.luma, target);
        ASSERT_TRUE(seek.ok) << "seek to " << target << ": " << seek.error;
        const auto want = std::vector<std::string>(expected.begin() + target,
                                                   expected.begin() + std::min(target + 2, count));
        EXPECT_TRUE(seek.md5s == want)
            << "seek to frame " << target << " " << Shown(seek.md5s, expected);
    }
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Containers, Conformance, ::testing::ValuesIn(kContainers), RowName);
INSTANTIATE_TEST_SUITE_P(Codecs, Conformance, ::testing::ValuesIn(kCodecs), RowName);
INSTANTIATE_TEST_SUITE_P(Sizes, Conformance, ::testing::ValuesIn(kSizes), RowName);
INSTANTIATE_TEST_SUITE_P(Timestamps, Conformance, ::testing::ValuesIn(kTimestamps), RowName);
INSTANTIATE_TEST_SUITE_P(Damage, Conformance, ::testing::ValuesIn(kDamage), RowName);
INSTANTIATE_TEST_SUITE_P(NoVideo, Conformance, ::testing::ValuesIn(kNoVideo), RowName);

}  // namespace
