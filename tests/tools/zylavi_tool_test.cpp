// The zylavi command as a user runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>

#include "platform/process.h"
#include "common/md5.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

// Standard output, and standard error too when asked for.
ToolRun Zylavi(const std::string& arguments, const std::string& env = "", bool withErrors = false) {
    const std::string exe = zyl::platform::executablePath();
    const std::string command = env + " ZYLAVI_NO_DIALOGS=1 '" + exe.substr(0, exe.rfind('/') + 1) +
                                "zylavi' " + arguments + (withErrors ? " 2>&1" : " 2>/dev/null");
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

boost::property_tree::ptree Json(const std::string& text) {
    boost::property_tree::ptree tree;
    std::istringstream in(text);
    boost::property_tree::read_json(in, tree);
    return tree;
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
    std::vector<int> indices;
    for (const auto& f : seek.get_child("frames"))
        indices.push_back(f.second.get<int>("index"));
    EXPECT_EQ(indices, (std::vector<int>{4, 1})) << "4, then 4 + 2 wrapped by the span of 5";

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

    EXPECT_EQ(Zylavi("grab " + dir.file("missing.avi")).status, 1);
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

TEST(ZylaviTool, DemoPlaysForThreeSecondsAndWritesPictures) {
    const auto demo = Json(Zylavi("demo --json").out);
    EXPECT_EQ(demo.get<int>("delivered"), 75);
    EXPECT_GE(demo.get<double>("seconds"), 3.0) << "paced at 25 frames/s";
    EXPECT_EQ(demo.get_child("png").size(), 5u);
    std::filesystem::remove_all(std::filesystem::path(demo.get<std::string>("file")).parent_path());
}

TEST(ZylaviTool, RegisterAndUnregisterAServer) {
    zyl::test::TempDir dir;
    const std::string env = "ZYLON_REGISTRY='" + dir.file("r.reg") + "'";
    const std::string server = std::string(ZYLAVI_TEST_FAKES) + "/libcom_test_server.so";
    const auto registered = Json(Zylavi("register " + server + " --json", env).out);
    EXPECT_TRUE(registered.get<bool>("ok"));
    EXPECT_NE(zyl::test::readFile(dir.file("r.reg")).find("InprocServer32"), std::string::npos);
    EXPECT_EQ(Zylavi("unregister " + server, env).status, 0);
    EXPECT_EQ(zyl::test::readFile(dir.file("r.reg")).find("InprocServer32"), std::string::npos);
    EXPECT_EQ(Zylavi("register " + dir.file("none.so"), env).status, 1);
    EXPECT_EQ(Zylavi("register", env).status, 2);
}

TEST(ZylaviTool, RegisteringTheModuleIsWhatSelfcheckReports) {
    zyl::test::TempDir dir;
    const std::string env = "ZYLON_REGISTRY='" + dir.file("r.reg") + "'";
    const std::string exe = zyl::platform::executablePath();
    const std::string module = exe.substr(0, exe.rfind('/') + 1) + "libZylAvi.so";
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

    ASSERT_EQ(Zylavi("register " + module, env).status, 0);
    for (const auto& [registered, server] : filtersOf()) {
        EXPECT_TRUE(registered);
        EXPECT_TRUE(std::filesystem::equivalent(server, module)) << server;
    }
    EXPECT_NE(Zylavi("selfcheck", env).out.find("(this build)"), std::string::npos);
    ASSERT_EQ(Zylavi("unregister " + module, env).status, 0);
    EXPECT_EQ(filtersOf(), (std::vector<std::pair<bool, std::string>>{{false, ""}, {false, ""}}));
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
    std::vector<std::pair<int, std::string>> frames;
    for (const auto& [key, frame] : result.get_child("frames"))
        frames.emplace_back(frame.get<int>("index"), frame.get<std::string>("md5"));
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
    EXPECT_NE(gone.out.find(missing + ": 0x80070002 (No such file or directory)"),
              std::string::npos)
        << gone.out;
    const std::string junk = dir.write("junk.mkv", std::string(3000, 'j'));
    const ToolRun bad = Zylavi("probe '" + junk + "' --frames 2 --md5", "", true);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find(junk + ": "), std::string::npos) << bad.out;
    EXPECT_EQ(Zylavi("probe '" + file + "' --md5").status, 2) << "--md5 needs --frames";
    EXPECT_EQ(Zylavi("probe '" + file + "' --mono").status, 2) << "--mono goes with --md5";
}
