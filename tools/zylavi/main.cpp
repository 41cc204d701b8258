// zylavi: the command-line host for the ZylAvi module. Single-threaded: each command loads the
// module, does its work and returns an exit code.
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "cli.h"

namespace {

const char* kUsage =
    "Usage: zylavi COMMAND [OPTIONS]\n"
    "\n"
    "Opens recorded video as a camera through the ZylAvi module, the way an imaging host does.\n"
    "\n"
    "Commands:\n"
    "  demo [--json]          make a test-pattern video, play it as a camera for three seconds,\n"
    "                         write a few frames as PNG and print a summary; then (with the\n"
    "                         ffmpeg command) play it as MP4 with a text track through the\n"
    "                         DirectShow player and print the metadata texts\n"
    "  info FILE [--json]     player, planes, size, frame count, frame time, text stream and\n"
    "                         interfaces of a video (.zyrv, AVI, MP4, MKV, MPEG...)\n"
    "  grab FILE [--frames N] [--snap] [--seek-frame K | --seek-ms T] [--step N]\n"
    "       [--timeout MS] [--rate R] [--replay [paced|free]] [--metadata] [--out DIR] [--md5]\n"
    "       [--json]\n"
    "                         grab N frames (default 10) like a host; --snap grabs each frame\n"
    "                         singly; the first frame is K (or the one at T ms); --step N\n"
    "                         moves N frames on after each frame (stepping back is fast with\n"
    "                         --snap or --replay); --timeout sets the wait\n"
    "                         time-out (DirectShow player only); --rate plays at R times the\n"
    "                         frame rate (0.25 to 16, DirectShow player only); --metadata\n"
    "                         prints each text of the video's text stream as it arrives;\n"
    "                         --out writes PNG files; --md5 prints each frame's index and MD5;\n"
    "                         --replay plays every frame once, at the file's rate (paced, the\n"
    "                         default) or as fast as it is taken (free), for this run only\n"
    "                         (ReplayMode)\n"
    "  convert IN OUT.zyrv [--frames N] [--json]\n"
    "                         write a .zyrv from anything the module can play\n"
    "  convert --pattern WxH:FORMAT:FRAMES:FPS OUT.zyrv [--json]\n"
    "                         write a moving test pattern (FORMAT Mono8, RGB8, BGR8 or RGBA8)\n"
    "  config [show] [--json] the module's settings as the module reads them\n"
    "  config set NAME VALUE  store a setting in the registry file\n"
    "  config unset NAME      remove a setting (its default applies again)\n"
    "  log [--module NAME] [--level LEVEL] [--json] TEXT...\n"
    "                         configure logging from the running log service (zylavi-logsvc) as\n"
    "                         module NAME (default Reel2) and send TEXT at LEVEL (default info)\n"
    "  selfcheck [--json]     check the registry file, the settings and the module's log cycle\n"
    "  probe FILE [--json]    the filter graph RenderFile builds for FILE: filters, pins,\n"
    "                         connections and media types\n"
    "  probe FILE --frames N --md5 [--mono] [--seek-frame K] [--json]\n"
    "                         decode N frames of the first video stream as fast as possible and\n"
    "                         print each frame's MD5 (top line first, rgb24, or gray for grey\n"
    "                         video; --mono: NV12 accepted and its luma plane hashed)\n"
    "  bench-cameras FILE... [--seconds S] [--rate R] [--json]\n"
    "                         play every FILE at once, each as its own camera on its own host\n"
    "                         thread, for S seconds (default 10); print per camera the frames\n"
    "                         received and lost and their lateness, and the process's CPU time\n"
    "                         and context switches per frame\n"
    "  serve FILE... [--interface NAME] [--address A[,B...]] [--serial NAME] [--seconds S]\n"
    "       [--replay paced|free] [--json]\n"
    "                         serve each FILE as a GigE Vision camera (GenICam) until Ctrl-C\n"
    "                         or for S seconds: one camera per IPv4 address, taken from\n"
    "                         --address or else from interface NAME (default lo); the serial\n"
    "                         is the file's name unless --serial gives one; with --replay (or\n"
    "                         ReplayMode) every frame reaches the network, in order\n"
    "  register MODULE [--json], unregister MODULE [--json]\n"
    "                         call a COM server library's DllRegisterServer or\n"
    "                         DllUnregisterServer (it writes its classes to the registry file)\n"
    "\n"
    "Options:\n"
    "  -h, --help             show this help\n"
    "  --                     what follows is a file name even when it starts with '-'\n"
    "\n"
    "Environment:\n"
    "  ZYLON_REGISTRY         the one registry file to read and write instead of the\n"
    "                         machine-wide and per-user files\n"
    "  ZYLON_MACHINE_REGISTRY the machine-wide registry file (default /etc/zylon/registry.reg)\n"
    "\n"
    "Exit codes: 0 success, 1 the operation failed (for a file the module cannot open, with\n"
    "the reason the module logged), 2 usage error or a value the player refuses (--rate).\n";

struct Command {
    const char* name;
    int (*run)(const zyl::cli::Args&);
    std::set<std::string> flags;
    std::set<std::string> valued;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> raw(argv + 1, argv + argc);
    for (const auto& a : raw) {
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return zyl::cli::kExitOk;
        }
    }
    if (raw.empty()) {
        std::cerr << kUsage;
        return zyl::cli::kExitUsage;
    }
    const std::vector<Command> commands = {
        {"demo", zyl::cli::Demo, {}, {}},
        {"info", zyl::cli::Info, {}, {}},
        {"grab",
         zyl::cli::Grab,
         {"--snap", "--md5", "--metadata"},
         {"--frames", "--seek-frame", "--seek-ms", "--step", "--timeout", "--rate", "--out",
          "--replay"}},
        {"convert", zyl::cli::Convert, {}, {"--frames", "--pattern"}},
        {"config", zyl::cli::Config, {}, {}},
        {"log", zyl::cli::Log, {}, {"--module", "--level"}},
        {"selfcheck", zyl::cli::Selfcheck, {}, {}},
        {"register", zyl::cli::Register, {}, {}},
        {"probe", zyl::cli::Probe, {"--md5", "--mono"}, {"--frames", "--seek-frame"}},
        {"unregister", zyl::cli::Unregister, {}, {}},
        {"bench-cameras", zyl::cli::BenchCameras, {}, {"--seconds", "--rate"}},
        {"serve",
         zyl::cli::Serve,
         {},
         {"--interface", "--address", "--serial", "--seconds", "--replay"}},
    };
    const std::string name = raw[0];
    raw.erase(raw.begin());
    // "grab --replay" alone means paced: its value is optional, which the parser's valued
    // options are not. A following word that is a file is the FILE, not the value.
    if (name == "grab") {
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == "--")
                break;
            if (raw[i] != "--replay")
                continue;
            const bool bare = i + 1 == raw.size() || raw[i + 1].rfind("-", 0) == 0 ||
                              (raw[i + 1] != "paced" && raw[i + 1] != "free" &&
                               std::filesystem::exists(raw[i + 1]));
            if (bare)
                raw.insert(raw.begin() + static_cast<std::ptrdiff_t>(i) + 1, "paced");
        }
    }
    for (const Command& command : commands) {
        if (name != command.name)
            continue;
        zyl::cli::Args args;
        std::string error;
        if (!zyl::cli::Parse(raw, command.flags, command.valued, args, error)) {
            std::cerr << "zylavi " << name << ": " << error << " (see zylavi --help)\n";
            return zyl::cli::kExitUsage;
        }
        return command.run(args);
    }
    std::cerr << "zylavi: unknown command '" << name << "'\n\n" << kUsage;
    return zyl::cli::kExitUsage;
}
