// The zylavi command as a user runs it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>

#include "common/md5.h"
#include "platform/process.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

namespace {

// A file next to the test program: the tools and the module are built there.
std::string Built(const std::string& name) {
    const std::string exe = zyl::platform::executablePath();
    return exe.substr(0, exe.rfind('/') + 1) + name;
}

using ToolRun = zyl::test::CommandRun;

// Standard output, and standard error too when asked for.
ToolRun Zylavi(const std::string& arguments, const std::string& env = "", bool withErrors = false) {
    return zyl::test::RunCommand(env + " ZYLAVI_NO_DIALOGS=1 '" + Built("zylavi") + "' " +
                                 arguments + (withErrors ? " 2>&1" : " 2>/dev/null"));
}

boost::property_tree::ptree Json(const std::string& text) {
    boost::property_tree::ptree tree;
    std::istringstream in(text);
    boost::property_tree::read_json(in, tree);
    return tree;
}

// A private registry file in which this build's module is registered, so the DirectShow player
// can create its renderer filters.
struct RegisteredModule {
    RegisteredModule() {
        env = "ZYLON_REGISTRY='" + dir.file("r.reg") + "' ZYLAVI_AUDIO=null";
        registered = Zylavi("register " + Built("libZylAvi.so"), env).status == 0;
    }
    zyl::test::TempDir dir;
    std::string env;
    bool registered = false;
};

std::vector<std::pair<int, std::string>> Frames(const boost::property_tree::ptree& result) {
    std::vector<std::pair<int, std::string>> frames;
    for (const auto& [key, frame] : result.get_child("frames"))
        frames.emplace_back(frame.get<int>("index"), frame.get<std::string>("md5"));
    return frames;
}

std::vector<std::string> Texts(const boost::property_tree::ptree& result) {
    std::vector<std::string> texts;
    for (const auto& [key, item] : result.get_child("metadata"))
        texts.push_back(item.get<std::string>("text"));
    return texts;
}

}  // namespace

TEST(ZylaviTool, PatternFilesGrabConvertAndHashAlike) {
    zyl::test::TempDir dir;
    ASSERT_EQ(Zylavi("convert --pattern 40x30:RGB8:6:0 " + dir.file("rgb.zyrv")).status, 0);
    ASSERT_EQ(Zylavi("convert --pattern 40x30:BGR8:6:0 " + dir.file("bgr.zyrv")).status, 0);
    const ToolRun rgb = Zylavi("grab " + dir.file("rgb.zyrv") + " --frames 8 --md5");
    const ToolRun bgr = Zylavi("grab " + dir.file("bgr.zyrv") + " --frames 8 --md5");
    ASSERT_EQ(rgb.status, 0);
    const std::string rgbLines = rgb.out.substr(0, rgb.out.find("Delivered"));
    EXPECT_EQ(rgbLines, bgr.out.substr(0, bgr.out.find("Delivered")))
        << "BGR8 reaches the host as RGB";
    EXPECT_TRUE(std::regex_search(rgb.out, std::regex("^0 [0-9a-f]{32}\n1 ")));
    EXPECT_NE(rgb.out.find("\n0 "), std::string::npos) << "frame 6 loops to 0";

    ASSERT_EQ(Zylavi("convert " + dir.file("bgr.zyrv") + " " + dir.file("copy.zyrv")).status, 0);
    const ToolRun copy = Zylavi("grab " + dir.file("copy.zyrv") + " --frames 8 --md5");
    EXPECT_EQ(copy.out.substr(0, copy.out.find("Delivered")), rgbLines);

    const auto info = Json(Zylavi("info " + dir.file("rgb.zyrv") + " --json").out);
    EXPECT_EQ(info.get<int>("frames"), 6);
    EXPECT_EQ(info.get<int>("planes"), 3);
    EXPECT_EQ(info.get_child("interfaces").size(), 5u);

    const auto seek = Json(
        Zylavi("grab " + dir.file("rgb.zyrv") + " --frames 2 --seek-frame 4 --step 2 --md5 --json")
            .out);
    const auto sought = Frames(seek);
    ASSERT_EQ(sought.size(), 2u);
    EXPECT_EQ(std::pair(sought[0].first, sought[1].first), std::pair(4, 1))
        << "4, then 4 + 2 wrapped by the span of 5";

    const auto png = Json(
        Zylavi("grab " + dir.file("rgb.zyrv") + " --frames 2 --out " + dir.file("png") + " --json")
            .out);
    EXPECT_EQ(png.get_child("png").size(), 2u);
    EXPECT_EQ(zyl::test::readFile(png.get_child("png").begin()->second.data()).substr(1, 3), "PNG");
}

TEST(ZylaviTool, ConfigEditsTheRegistryFileAndBadInputFailsClearly) {
    zyl::test::TempDir dir;
    const std::string env = "ZYLON_REGISTRY='" + dir.file("r.reg") + "'";
    EXPECT_EQ(Zylavi("config set NumBuffers 1000", env).status, 0);
    EXPECT_EQ(Zylavi("config set DefaultVolume 5000", env).status, 0);
    auto shown = Json(Zylavi("config show --json", env).out);
    EXPECT_EQ(shown.get<int>("settings.NumBuffers"), 256) << "clamped as the module reads it";
    EXPECT_EQ(shown.get<int>("settings.DefaultVolume"), -5000);
    EXPECT_EQ(Zylavi("config unset NumBuffers", env).status, 0);
    shown = Json(Zylavi("config --json", env).out);
    EXPECT_EQ(shown.get<int>("settings.NumBuffers"), 2);
    EXPECT_EQ(Zylavi("config set Bogus 1", env).status, 2);
    EXPECT_EQ(Zylavi("config set NumBuffers many", env).status, 2);

    EXPECT_EQ(Zylavi("grab").status, 2);
    EXPECT_EQ(Zylavi("grab x --frames").status, 2);
    EXPECT_EQ(Zylavi("frobnicate").status, 2);
    EXPECT_EQ(Zylavi("convert --pattern 0x0:RGB8:1:0 " + dir.file("x.zyrv")).status, 2);
    EXPECT_NE(Zylavi("--help").out.find("Usage: zylavi"), std::string::npos);
}

TEST(ZylaviTool, AMissingFileIsNamedAndNeverCreated) {
    zyl::test::TempDir dir;
    const std::string typo = dir.file("typo.zyrv");
    for (const std::string& arguments :
         {"info " + typo, "grab " + typo, "convert " + typo + " " + dir.file("out.zyrv")}) {
        const ToolRun run = Zylavi(arguments, "", true);
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_NE(run.out.find(typo + ": no such file"), std::string::npos) << run.out;
    }
    EXPECT_FALSE(std::filesystem::exists(typo));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.zyrv")));
}

TEST(ZylaviTool, DemoPlaysBothPlayers) {
    zyl::test::TempDir dir;
    // The demo registers the module in a copy of the registry file; the original stays as it is.
    const std::string registry = dir.write("r.reg", "REGEDIT4\n");
    const std::string env = "ZYLON_REGISTRY='" + registry + "' ZYLAVI_AUDIO=null";
    const auto demo = Json(Zylavi("demo --json", env).out);
    EXPECT_EQ(demo.get<int>("delivered"), 75);
    EXPECT_GE(demo.get<double>("seconds"), 3.0) << "paced at 25 frames/s";
    EXPECT_EQ(demo.get_child("png").size(), 5u);
    EXPECT_EQ(zyl::test::readFile(registry), "REGEDIT4\n");
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
        EXPECT_NE(demo.get<std::string>("note").find("ffmpeg"), std::string::npos);
    } else {
        const auto compressed = demo.get_child("directshow");
        EXPECT_EQ(compressed.get<int>("delivered"), 50);
        // The stream loops after its last frame, so the first cue may come round once more
        // before the demo stops listening.
        const auto texts = Texts(compressed);
        ASSERT_GE(texts.size(), 2u);
        ASSERT_LE(texts.size(), 3u);
        for (std::size_t i = 0; i < texts.size(); ++i)
            EXPECT_EQ(texts[i], "second " + std::to_string(i % 2) + " of the demo");
    }
    std::filesystem::remove_all(std::filesystem::path(demo.get<std::string>("file")).parent_path());

    // Without ffmpeg the raw half still plays and the run succeeds with a note.
    const ToolRun noFfmpeg = Zylavi("demo", env + " PATH=/nonexistent");
    EXPECT_EQ(noFfmpeg.status, 0);
    EXPECT_NE(noFfmpeg.out.find("Note: no ffmpeg command on PATH"), std::string::npos)
        << noFfmpeg.out;
    const auto folder = noFfmpeg.out.find("/tmp/zylavi-demo-");
    if (folder != std::string::npos) {
        std::filesystem::remove_all(
            noFfmpeg.out.substr(folder, noFfmpeg.out.find('/', folder + 6) - folder));
    }
}

TEST(ZylaviTool, RegisteringTheModuleIsWhatSelfcheckReports) {
    zyl::test::TempDir dir;
    const std::string env = "ZYLON_REGISTRY='" + dir.file("r.reg") + "'";
    const std::string module = Built("libZylAvi.so");
    const auto filtersOf = [&] {
        const auto check = Json(Zylavi("selfcheck --json", env).out);
        std::vector<std::pair<bool, std::string>> filters;
        for (const auto& f : check.get_child("filters"))
            filters.emplace_back(f.second.get<bool>("registered"),
                                 f.second.get<std::string>("server"));
        return filters;
    };
    ASSERT_EQ(filtersOf(), (std::vector<std::pair<bool, std::string>>{{false, ""}, {false, ""}}));
    const ToolRun unregistered = Zylavi("selfcheck", env);
    EXPECT_NE(unregistered.out.find("zylavi register " + module), std::string::npos)
        << "names the command that fixes it: " << unregistered.out;

    EXPECT_TRUE(Json(Zylavi("register " + module + " --json", env).out).get<bool>("ok"));
    EXPECT_NE(zyl::test::readFile(dir.file("r.reg")).find("InprocServer32"), std::string::npos);
    for (const auto& [registered, server] : filtersOf()) {
        EXPECT_TRUE(registered);
        EXPECT_TRUE(std::filesystem::equivalent(server, module)) << server;
    }
    EXPECT_NE(Zylavi("selfcheck", env).out.find("(this build)"), std::string::npos);
    ASSERT_EQ(Zylavi("unregister " + module, env).status, 0);
    EXPECT_EQ(filtersOf(), (std::vector<std::pair<bool, std::string>>{{false, ""}, {false, ""}}));
    EXPECT_EQ(zyl::test::readFile(dir.file("r.reg")).find("InprocServer32"), std::string::npos);
    EXPECT_EQ(Zylavi("register " + dir.file("none.so"), env).status, 1);
    EXPECT_EQ(Zylavi("register", env).status, 2);
}

TEST(ZylaviTool, ProbeShowsTheGraphOfARegisteredSource) {
    zyl::test::TempDir dir;
    const std::string env = "ZYLON_REGISTRY='" + dir.file("r.reg") + "'";
    ASSERT_EQ(
        Zylavi("register " + std::string(ZYLAVI_TEST_FAKES) + "/libdshow_test_filters.so", env)
            .status,
        0);
    const ToolRun probe = Zylavi("probe /clips/a.testsrc --json", env);
    ASSERT_EQ(probe.status, 0);
    const auto graph = Json(probe.out);
    EXPECT_EQ(graph.get<std::string>("outcome"), "rendered");
    // The probe's own renderers, the registered source and the renderer it was joined to.
    std::vector<std::string> outputs;
    for (const auto& [key, filter] : graph.get_child("filters"))
        for (const auto& [key2, pin] : filter.get_child("pins"))
            if (pin.get<std::string>("direction") == "out")
                outputs.push_back(pin.get<std::string>("media_type.subtype"));
    EXPECT_EQ(outputs, std::vector<std::string>{"RGB32"});
    EXPECT_EQ(Zylavi("probe /clips/a.unknown", env).status, 1);
}

TEST(ZylaviTool, ProbeHashesTheFramesOfRealFilesAndNamesWhatIsWrong) {
    zyl::test::TempDir dir;
    const std::string file = zyl::test::media::RawAvi(dir.path().string(), 24, 33, 17, 4);
    const ToolRun run = Zylavi("probe '" + file + "' --frames 10 --md5 --seek-frame 1 --json");
    ASSERT_EQ(run.status, 0) << run.out;
    const auto result = Json(run.out);
    EXPECT_EQ(result.get<std::string>("pixel_format"), "rgb24");
    const auto frames = Frames(result);
    ASSERT_EQ(frames.size(), 3u);
    for (int n = 1; n <= 3; ++n) {
        const auto picture = zyl::test::media::Picture(n, 33, 17);
        zyl::tools::Md5 md5;
        md5.Update(picture.data(), picture.size());
        EXPECT_EQ(frames[static_cast<std::size_t>(n - 1)],
                  (std::pair<int, std::string>{n, md5.HexDigest()}));
    }
    // Human output: one line per frame, index first.
    const ToolRun human = Zylavi("probe '" + file + "' --frames 1 --md5");
    EXPECT_NE(human.out.find("\n0 "), std::string::npos) << human.out;

    const std::string missing = dir.file("gone.mp4");
    const ToolRun gone = Zylavi("probe '" + missing + "'", "", true);
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.out.find(missing + ": 0x80070002 (no such file)"), std::string::npos)
        << gone.out;
    const std::string junk = dir.write("junk.mkv", std::string(3000, 'j'));
    const ToolRun bad = Zylavi("probe '" + junk + "' --frames 2 --md5", "", true);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find(junk + ": "), std::string::npos) << bad.out;
    // The cause in words for whatever the name is; nothing that is not a file is opened, so
    // a pipe without a writer cannot block.
    const std::string pipe = dir.file("pipe.mp4");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    for (const auto& [path, cause] :
         {std::pair<std::string, std::string>{dir.path().string(), "it is a directory"},
          {pipe, "not a regular file"},
          {junk, "not a media file FFmpeg can read"}}) {
        const ToolRun refused = Zylavi("probe '" + path + "'", "", true);
        EXPECT_EQ(refused.status, 1) << path;
        EXPECT_NE(refused.out.find(cause), std::string::npos) << refused.out;
    }
    EXPECT_EQ(Zylavi("probe '" + file + "' --frames 2 --md5 --seek-frame 9", "", true).status, 1)
        << "no frame decoded is a failure";
    std::filesystem::copy_file(file, dir.file("-clip.avi"));
    EXPECT_EQ(
        Zylavi("probe --frames 1 --md5 -- -clip.avi", "cd '" + dir.path().string() + "' &&").status,
        0)
        << "a name after -- is a name";
    EXPECT_EQ(Zylavi("probe '" + file + "' --md5").status, 2) << "--md5 needs --frames";
    EXPECT_EQ(Zylavi("probe '" + file + "' --mono").status, 2) << "--mono goes with --md5";
}

TEST(ZylaviTool, DirectShowFilesGrabLikeTheEngineDecodesThem) {
    RegisteredModule registry;
    ASSERT_TRUE(registry.registered);
    zyl::test::TempDir dir;
    zyl::test::media::EncodeOptions mp4;
    mp4.frames = 8;
    zyl::test::media::EncodeOptions mkv = mp4;
    mkv.container = "mkv";
    mkv.codec = "mpeg4";
    const std::vector<std::string> files = {
        zyl::test::media::EncodedFile(dir.path().string(), mp4),
        zyl::test::media::EncodedFile(dir.path().string(), mkv),
        zyl::test::media::Mpeg4AviWithText(dir.path().string(), 64, 48, 8, 4),
    };
    std::vector<std::vector<std::pair<int, std::string>>> decoded;
    for (const std::string& file : files) {
        const ToolRun probe = Zylavi("probe '" + file + "' --frames 8 --md5 --json");
        ASSERT_EQ(probe.status, 0) << file;
        const auto expected = Frames(Json(probe.out));
        ASSERT_EQ(expected.size(), 8u);
        decoded.push_back(expected);

        const ToolRun grab =
            Zylavi("grab '" + file + "' --frames 4 --md5 --json", registry.env, true);
        ASSERT_EQ(grab.status, 0) << file << ": " << grab.out;
        const auto grabbed = Json(grab.out.substr(grab.out.find('{')));
        EXPECT_EQ(grabbed.get<std::string>("player"), "directshow");
        EXPECT_EQ(Frames(grabbed), std::vector(expected.begin(), expected.begin() + 4)) << file;
        // Replaying: every frame once and in order, looped, for this run only.
        for (const std::string replay : {"paced", "free"}) {
            const ToolRun run = Zylavi(
                "grab '" + file + "' --frames 20 --md5 --json --replay " + replay, registry.env);
            ASSERT_EQ(run.status, 0) << file << ": " << run.out;
            const auto frames = Frames(Json(run.out));
            ASSERT_EQ(frames.size(), 20u) << file << " " << replay;
            for (std::size_t i = 0; i < frames.size(); ++i)
                EXPECT_EQ(frames[i].second, expected[i % 8].second) << file << " " << i;
        }

        // The first frame is the one sought, with a grab and with single snaps.
        for (const std::string mode : {"", " --snap"}) {
            const ToolRun sought = Zylavi(
                "grab '" + file + "' --frames 2 --seek-frame 5 --md5 --json" + mode, registry.env);
            ASSERT_EQ(sought.status, 0) << file << mode;
            const auto first = Frames(Json(sought.out)).front();
            EXPECT_EQ(first.second, expected[5].second) << file << mode;
            // A camera's snap runs the graph until its frame is there and reports where the
            // graph then stands: three frames from the end, a loaded machine may see it loop.
            if (mode.empty()) {
                EXPECT_EQ(first.first, 5) << file;
            }
        }
    }
    EXPECT_EQ(Zylavi("grab '" + files[0] + "' --replay slow", registry.env).status, 2);
    const auto info = Json(Zylavi("info '" + files[2] + "' --json", registry.env).out);
    EXPECT_EQ(info.get<std::string>("player"), "directshow");
    EXPECT_EQ(info.get<int>("frames"), 8);
    EXPECT_TRUE(info.get<bool>("text_stream"));
    EXPECT_EQ(info.get_child("interfaces").size(), 6u);

    const std::string copy = dir.file("copy.zyrv");
    ASSERT_EQ(Zylavi("convert '" + files[0] + "' " + copy, registry.env).status, 0);
    const auto converted = Json(Zylavi("grab " + copy + " --frames 3 --md5 --json").out);
    EXPECT_EQ(Frames(converted), std::vector(decoded[0].begin(), decoded[0].begin() + 3));
}

TEST(ZylaviTool, BenchCamerasPlaysEveryFileAtOnceAndNamesOneItCannotOpen) {
    RegisteredModule registry;
    ASSERT_TRUE(registry.registered);
    zyl::test::TempDir dir;
    const std::string file =
        zyl::test::media::EncodedFile(dir.path().string(), {.frames = 8, .name = ""});
    const std::string raw = dir.file("pattern.zyrv");
    ASSERT_EQ(Zylavi("convert --pattern 32x16:Mono8:8:25 " + raw).status, 0);
    // The same file twice: two players of their own.
    const ToolRun run = Zylavi(
        "bench-cameras '" + file + "' '" + file + "' " + raw + " --seconds 1 --json", registry.env);
    ASSERT_EQ(run.status, 0) << run.out;
    const auto cameras = Json(run.out).get_child("cameras");
    ASSERT_EQ(cameras.size(), 3u);
    for (const auto& [key, camera] : cameras) {
        EXPECT_GT(camera.get<int>("frames"), 4);
        EXPECT_EQ(camera.get<std::string>("error"), "null");
    }
    const ToolRun missing = Zylavi("bench-cameras '" + file + "' nowhere.mp4", registry.env, true);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("nowhere.mp4"), std::string::npos) << missing.out;
    EXPECT_EQ(Zylavi("bench-cameras").status, 2);
    EXPECT_EQ(Zylavi("bench-cameras '" + file + "' --seconds 0").status, 2);
}

TEST(ZylaviTool, MetadataArrivesInFrameOrderAndItsAbsenceIsSaid) {
    RegisteredModule registry;
    ASSERT_TRUE(registry.registered);
    zyl::test::TempDir dir;
    zyl::test::media::EncodeOptions subtitled;
    subtitled.container = "mkv";
    subtitled.codec = "mpeg4";
    subtitled.frames = 8;
    subtitled.text = "subrip";
    subtitled.textEvery = 2;
    for (const std::string& file :
         {zyl::test::media::EncodedFile(dir.path().string(), subtitled),
          zyl::test::media::Mpeg4AviWithText(dir.path().string(), 64, 48, 8, 2)}) {
        const ToolRun run =
            Zylavi("grab '" + file + "' --frames 8 --metadata --json", registry.env, true);
        ASSERT_EQ(run.status, 0) << run.out;
        const auto result = Json(run.out);
        const std::vector<std::string> texts = Texts(result);
        ASSERT_GE(texts.size(), 3u) << run.out;
        for (std::size_t i = 0; i < texts.size(); ++i)
            EXPECT_EQ(texts[i], "frame " + std::to_string(2 * (i % 4))) << file;
        long long previous = 0;
        for (const auto& [key, item] : result.get_child("metadata")) {
            EXPECT_GE(item.get<long long>("frames"), previous) << "counts never go back";
            previous = item.get<long long>("frames");
        }
        // People read the texts as they arrive.
        const ToolRun human = Zylavi("grab '" + file + "' --frames 3 --metadata", registry.env);
        EXPECT_NE(human.out.find("metadata after "), std::string::npos) << human.out;
        EXPECT_NE(human.out.find(": frame 0\n"), std::string::npos) << human.out;
    }

    zyl::test::media::EncodeOptions plain;
    plain.frames = 4;
    const std::string silent = zyl::test::media::EncodedFile(dir.path().string(), plain);
    const ToolRun none = Zylavi("grab '" + silent + "' --frames 2 --metadata", registry.env, true);
    EXPECT_EQ(none.status, 0) << none.out;
    EXPECT_NE(none.out.find("no text stream"), std::string::npos) << none.out;
    EXPECT_NE(none.out.find("Delivered 2 frames"), std::string::npos) << none.out;

    ASSERT_EQ(Zylavi("convert --pattern 16x8:Mono8:3:0 " + dir.file("p.zyrv")).status, 0);
    const ToolRun raw =
        Zylavi("grab " + dir.file("p.zyrv") + " --frames 2 --metadata --timeout 50", "", true);
    EXPECT_EQ(raw.status, 0) << raw.out;
    EXPECT_NE(raw.out.find("no INotify"), std::string::npos) << raw.out;
    EXPECT_NE(raw.out.find("--timeout ignored: the raw player has no wait time-out (0x80000013)"),
              std::string::npos)
        << raw.out;
}

// A camera's clock is its pictures: captions or sound that run on past the last picture add no
// frame, hold no loop and show nothing after it, and a file that states no length counts its
// pictures.
TEST(ZylaviTool, StreamsOutlastingThePicturesNeitherCountNorHoldTheLoop) {
    RegisteredModule registry;
    ASSERT_TRUE(registry.registered);
    zyl::test::TempDir dir;
    zyl::test::media::EncodeOptions video;
    video.container = "mkv";
    video.codec = "mpeg4";
    video.frames = 20;  // 0.8 s
    const std::string pictures = zyl::test::media::EncodedFile(dir.path().string(), video);
    const std::string cues = dir.write("c.srt",
                                       "1\n00:00:00,000 --> 00:00:00,400\nearly\n\n"
                                       "2\n00:00:00,600 --> 00:00:01,600\nlast\n\n"
                                       "3\n00:00:01,000 --> 00:00:01,500\nlate\n\n");
    const std::string subtitled = dir.file("subtitled.mkv"), sounding = dir.file("sounding.mkv");
    if (!zyl::test::media::FfmpegCommand(
            {"-y", "-i", pictures, "-i", cues, "-c:v", "copy", "-c:s", "srt", subtitled}))
        GTEST_SKIP() << "no ffmpeg command";
    zyl::test::media::FfmpegCommand({"-y", "-i", pictures, "-f", "lavfi", "-i", "sine=d=1.6",
                                     "-c:v", "copy", "-c:a", "pcm_s16le", sounding});
    // An elementary stream states no length at all: it is read through when opened.
    video.container = "m4v";
    const std::string elementary = zyl::test::media::EncodedFile(dir.path().string(), video);
    for (const std::string& file : {subtitled, sounding, elementary}) {
        SCOPED_TRACE(file);
        const ToolRun info = Zylavi("info '" + file + "' --json", registry.env);
        ASSERT_EQ(info.status, 0) << info.out;
        EXPECT_EQ(Json(info.out).get<int>("frames"), 20);
        EXPECT_EQ(Json(info.out).get<int>("length_ms"), 800);
        // 60 frames are 2.4 s at 25 per second; held for the longer stream at each of the two
        // loops, they would take 1.6 s more.
        const ToolRun grab =
            Zylavi("grab '" + file + "' --frames 60 --metadata --json", registry.env);
        ASSERT_EQ(grab.status, 0) << grab.out;
        const auto result = Json(grab.out);
        EXPECT_EQ(result.get<int>("delivered"), 60);
        EXPECT_LT(result.get<double>("seconds"), 3.2);
        for (const std::string& text : Texts(result))
            EXPECT_NE(text, "late") << "shown after the last picture";
    }
}

TEST(ZylaviTool, PlaybackRateIsThePlayersToRefuse) {
    RegisteredModule registry;
    ASSERT_TRUE(registry.registered);
    zyl::test::TempDir dir;
    zyl::test::media::EncodeOptions options;
    options.frames = 6;
    const std::string file = zyl::test::media::EncodedFile(dir.path().string(), options);
    const ToolRun fast = Zylavi("grab '" + file + "' --frames 12 --rate 16 --json", registry.env);
    ASSERT_EQ(fast.status, 0);
    EXPECT_EQ(Json(fast.out).get<int>("delivered"), 12) << "loops at any rate";

    const ToolRun refused = Zylavi("grab '" + file + "' --rate 100", registry.env, true);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find("refuses rate 100 (0x80000002"), std::string::npos) << refused.out;
    EXPECT_EQ(Zylavi("grab '" + file + "' --rate fast", registry.env).status, 2);
    // A quarter of 25 frames/s leaves 160 ms between frames, far beyond a 1 ms wait.
    const ToolRun impatient =
        Zylavi("grab '" + file + "' --frames 3 --rate 0.25 --timeout 1", registry.env, true);
    EXPECT_EQ(impatient.status, 1);
    EXPECT_NE(impatient.out.find("failed: 0x80000004 (no frame within the wait time-out)"),
              std::string::npos)
        << impatient.out;

    ASSERT_EQ(Zylavi("convert --pattern 16x8:Mono8:3:25 " + dir.file("p.zyrv")).status, 0);
    const ToolRun raw = Zylavi("grab " + dir.file("p.zyrv") + " --rate 2", "", true);
    EXPECT_EQ(raw.status, 1);
    EXPECT_NE(raw.out.find("no playback rate"), std::string::npos) << raw.out;
}

TEST(ZylaviTool, AFileTheModuleCannotOpenShowsWhatTheModuleLogged) {
    RegisteredModule registry;
    ASSERT_TRUE(registry.registered);
    zyl::test::TempDir dir;
    zyl::test::media::EncodeOptions options;
    options.frames = 6;
    const std::string whole = zyl::test::media::EncodedFile(dir.path().string(), options);
    const std::vector<std::string> files = {
        dir.write("notes.avi", "these are words, not pictures\n"),
        zyl::test::media::Truncated(whole, dir.file("cut.mp4"), 0.5),
    };
    for (const std::string& file : files) {
        for (const std::string command : {"info", "grab"}) {
            const ToolRun run = Zylavi(command + " '" + file + "'", registry.env, true);
            EXPECT_EQ(run.status, 1) << run.out;
            EXPECT_NE(run.out.find("cannot open " + file + ":\n  ["), std::string::npos) << run.out;
            EXPECT_NE(run.out.find("\n  [err] Unable to render the input file " + file),
                      std::string::npos)
                << run.out;
        }
    }
}
