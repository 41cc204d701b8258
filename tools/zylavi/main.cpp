// zylavi: the command-line host for the ZylAvi module.
//
// Commands so far: "selfcheck" (configuration, registry and the module's load/unload log
// cycle) and "config show". Single-threaded.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "module/config/Configuration.h"
#include "module/logging/log_config.h"
#include "module/logging/logstream.h"
#include "platform/debug_output.h"
#include "module/logging/module_log_setup.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* kUsage =
    "Usage: zylavi COMMAND [OPTIONS]\n"
    "\n"
    "Opens recorded video as a camera through the ZylAvi module.\n"
    "\n"
    "Commands:\n"
    "  selfcheck [--json]    check the registry file, the settings and the module's log cycle\n"
    "  config show [--json]  show the module's settings as the module reads them\n"
    "  log [--module NAME] [--level LEVEL] [--json] TEXT...\n"
    "                        configure logging from the running log service (zylavi-logsvc) as\n"
    "                        module NAME (default Reel2) and send TEXT at LEVEL (default info:\n"
    "                        fatal, err, warn, info, trace or debug)\n"
    "\n"
    "Options:\n"
    "  -h, --help            show this help\n"
    "\n"
    "Environment:\n"
    "  ZYLON_REGISTRY        the registry file to use instead of the per-user one\n"
    "\n"
    "Exit codes: 0 success, 1 a check or operation failed, 2 usage error.\n";

std::string quoted(const std::string& s) { return zyl::tools::JsonQuote(s); }

struct Settings {
    std::string file;
    bool exists = false;
    std::string error;
    std::vector<zyl::platform::RegistryDiagnostic> diagnostics;
    ZYL::Configuration config;
};

Settings readSettings() {
    Settings s;
    s.file = zyl::platform::registryReadPath();
    auto loaded = zyl::platform::loadRegistry(s.file);
    s.exists = loaded.exists;
    s.error = loaded.error;
    s.diagnostics = loaded.diagnostics;
    s.config = ZYL::ReadConfigurationFrom(s.file);
    return s;
}

std::string settingsJson(const Settings& s) {
    const auto& c = s.config;
    std::ostringstream out;
    out << "{\"registry\":" << quoted(s.file) << ",\"exists\":" << (s.exists ? "true" : "false");
    if (!s.error.empty()) out << ",\"error\":" << quoted(s.error);
    out << ",\"diagnostics\":[";
    for (std::size_t i = 0; i < s.diagnostics.size(); ++i) {
        out << (i ? "," : "") << "{\"line\":" << s.diagnostics[i].line
            << ",\"message\":" << quoted(s.diagnostics[i].message) << "}";
    }
    out << "],\"settings\":{\"DefaultVolume\":" << c.volume << ",\"DefaultBalance\":" << c.balance
        << ",\"LogTarget\":" << c.logTarget << ",\"LogLevel\":" << c.logLevel
        << ",\"NumBuffers\":" << c.numBuffers << ",\"ForceNV12ToMono8\":" << c.forceNV12ToMono8
        << "}}";
    return out.str();
}

void printSettings(const Settings& s) {
    const auto& c = s.config;
    std::cout << "Registry file: " << s.file << (s.exists ? "" : " (not present: defaults apply)")
              << "\n";
    if (!s.error.empty()) std::cout << "  error: " << s.error << "\n";
    for (const auto& d : s.diagnostics) {
        std::cout << "  " << s.file << ":" << d.line << ": " << d.message << " (line ignored)\n";
    }
    std::cout << "Key: " << ZYL::kConfigurationKey << "\n"
              << "  DefaultVolume     " << c.volume << "  (hundredths of a dB; -10000 silent, 0 full)\n"
              << "  DefaultBalance    " << c.balance << "  (-10000 left .. 10000 right)\n"
              << "  LogTarget         " << c.logTarget << "  (0 none, 1 log file, 4 console)\n"
              << "  LogLevel          " << c.logLevel << "\n"
              << "  NumBuffers        " << c.numBuffers << "  (frame buffers, 2 .. 256)\n"
              << "  ForceNV12ToMono8  " << c.forceNV12ToMono8 << "\n";
}

std::string moduleDirectory() {
    const std::string exe = zyl::platform::executablePath();
    return exe.substr(0, exe.rfind('/'));
}

std::uintmax_t fileSize(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

// Loads and unloads the module with a private registry that asks for the log file, then checks
// that the module's log cycle ended with "End log.".
bool checkModuleCycle(std::string& detail, std::string& logFile) {
    char dirTemplate[] = "/tmp/zylavi-selfcheck-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        detail = "cannot create a temporary folder";
        return false;
    }
    const std::string dir = dirTemplate;
    const std::string registry = dir + "/registry.reg";
    {
        std::ofstream out(registry);
        out << "REGEDIT4\n\n[" << ZYL::kConfigurationKey << "]\n\"LogTarget\"=dword:00000001\n";
    }
    const char* previous = std::getenv("ZYLON_REGISTRY");
    const std::string saved = previous ? previous : "";
    setenv("ZYLON_REGISTRY", registry.c_str(), 1);

    const std::string module = moduleDirectory() + "/libZylAvi.so";
    logFile = qnLogging::module_log_file_for(zyl::platform::executablePath());
    const auto before = fileSize(logFile);
    bool ok = false;
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        detail = "cannot load " + module + ": " + (why ? why : "unknown error");
    } else {
        dlclose(handle);
        std::ifstream in(logFile);
        in.seekg(static_cast<std::streamoff>(before));
        std::string line, last;
        while (std::getline(in, line)) last = line;
        ok = fileSize(logFile) > before && last.ends_with("[info] End log.");
        detail = ok ? "module loaded and unloaded; its log ends with: " + last
                    : "the module's log " + logFile + " does not end with \"[info] End log.\"";
    }
    if (previous) {
        setenv("ZYLON_REGISTRY", saved.c_str(), 1);
    } else {
        unsetenv("ZYLON_REGISTRY");
    }
    std::filesystem::remove_all(dir);
    return ok;
}

int commandSelfcheck(bool json) {
    const Settings settings = readSettings();
    std::string detail, logFile;
    const bool moduleOk = checkModuleCycle(detail, logFile);
    const bool registryOk = settings.error.empty();
    const bool ok = moduleOk && registryOk;
    if (json) {
        std::cout << "{\"ok\":" << (ok ? "true" : "false") << ",\"configuration\":"
                  << settingsJson(settings) << ",\"module\":{\"ok\":" << (moduleOk ? "true" : "false")
                  << ",\"log_file\":" << quoted(logFile) << ",\"detail\":" << quoted(detail)
                  << "}}\n";
    } else {
        printSettings(settings);
        std::cout << "Module: " << (moduleOk ? "ok" : "FAILED") << " - " << detail << "\n"
                  << (ok ? "Self-check passed.\n" : "Self-check FAILED.\n");
    }
    return ok ? kExitOk : kExitFailed;
}

int commandConfig(const std::vector<std::string>& args, bool json) {
    if (!args.empty() && args[0] != "show") {
        std::cerr << "zylavi config: unknown action '" << args[0] << "' (try: show)\n";
        return kExitUsage;
    }
    const Settings settings = readSettings();
    if (json) {
        std::cout << settingsJson(settings) << "\n";
    } else {
        printSettings(settings);
    }
    return settings.error.empty() ? kExitOk : kExitFailed;
}

// Collects what the logging library reports on the debug output.
struct DebugLines : zyl::platform::DebugOutputSink {
    DebugLines() { zyl::platform::setDebugOutputForTesting(this); }
    ~DebugLines() override { zyl::platform::setDebugOutputForTesting(nullptr); }
    void output(std::string_view text) override {
        if (text != "\n") lines.emplace_back(text);
    }
    std::vector<std::string> lines;
};

int commandLog(const std::vector<std::string>& args, bool json) {
    std::string module = "Reel2";
    std::string levelName = "info";
    std::string text;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--module" || args[i] == "--level") && i + 1 < args.size()) {
            (args[i] == "--module" ? module : levelName) = args[i + 1];
            ++i;
        } else if (args[i] == "--module" || args[i] == "--level") {
            std::cerr << "zylavi log: " << args[i] << " needs a value\n";
            return kExitUsage;
        } else {
            text += (text.empty() ? "" : " ") + args[i];
        }
    }
    std::uint32_t level = 0;
    for (std::uint32_t bit = 1; bit <= qnLogging::level::debug; bit <<= 1) {
        if (qnLogging::level_name(bit) == levelName) level = bit;
    }
    if (level == 0 || text.empty()) {
        std::cerr << "zylavi log: needs a level out of fatal, err, warn, info, trace, debug and a text\n";
        return kExitUsage;
    }
    DebugLines debug;
    const bool configured = qnLogging::configure_logging(module, "zylavi command line", {});
    const bool passes = qnLogging::would_log(qnLogging::root_logger(), level);
    if (configured) {
        QN_LOG(qnLogging::root_logger(), level) << text;
    }
    if (json) {
        std::cout << "{\"configured\":" << (configured ? "true" : "false") << ",\"module\":" << quoted(module)
                  << ",\"level\":" << quoted(levelName) << ",\"passed_level_mask\":"
                  << (passes ? "true" : "false") << ",\"reports\":[";
        for (std::size_t i = 0; i < debug.lines.size(); ++i) {
            std::cout << (i ? "," : "") << quoted(debug.lines[i]);
        }
        std::cout << "]}\n";
    } else if (configured) {
        std::cout << "Configured from the log service as module " << module << "; the " << levelName
                  << " message " << (passes ? "was sent." : "was filtered out by the level the service set.")
                  << "\n";
    } else {
        for (const auto& line : debug.lines) std::cerr << "zylavi log: " << line << "\n";
    }
    return configured ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return kExitOk;
        }
        if (arg == "--json") {
            json = true;
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty()) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "selfcheck" && args.empty()) {
        return commandSelfcheck(json);
    }
    if (command == "config") {
        return commandConfig(args, json);
    }
    if (command == "log") {
        return commandLog(args, json);
    }
    std::cerr << "zylavi: unknown command or extra arguments: " << command << "\n\n" << kUsage;
    return kExitUsage;
}
