// zylavi selfcheck, config and log: the module's settings, its load/unload log cycle and
// logging through a log service.
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli.h"
#include "module/config/Configuration.h"
#include "module/filters/SinkInterfaces.h"
#include "module/logging/log_config.h"
#include "module/logging/logstream.h"
#include "module/logging/module_log_setup.h"
#include "platform/debug_output.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace zyl::cli {
namespace {

struct Settings {
    platform::RegistryView view;  // the files read, weakest first, and what they add up to
    ZYL::Configuration config;
    bool ok() const {
        return std::all_of(view.layers.begin(), view.layers.end(),
                           [](const auto& layer) { return layer.file.error.empty(); });
    }
};

Settings ReadSettings() {
    Settings s;
    s.view = platform::loadRegistryView();
    s.config = ZYL::ReadConfigurationFrom(s.view.document);
    return s;
}

std::string SettingsJson(const Settings& s) {
    const auto& c = s.config;
    std::ostringstream out;
    out << "{\"files\":[";
    for (std::size_t f = 0; f < s.view.layers.size(); ++f) {
        const auto& layer = s.view.layers[f];
        out << (f ? "," : "") << "{\"path\":" << Quoted(layer.path)
            << ",\"exists\":" << (layer.file.exists ? "true" : "false");
        if (!layer.file.error.empty())
            out << ",\"error\":" << Quoted(layer.file.error);
        out << ",\"diagnostics\":[";
        const auto& diagnostics = layer.file.diagnostics;
        for (std::size_t i = 0; i < diagnostics.size(); ++i) {
            out << (i ? "," : "") << "{\"line\":" << diagnostics[i].line
                << ",\"message\":" << Quoted(diagnostics[i].message) << "}";
        }
        out << "]}";
    }
    out << "],\"settings\":{\"DefaultVolume\":" << c.volume << ",\"DefaultBalance\":" << c.balance
        << ",\"LogTarget\":" << c.logTarget << ",\"LogLevel\":" << c.logLevel
        << ",\"NumBuffers\":" << c.numBuffers << ",\"ForceNV12ToMono8\":" << c.forceNV12ToMono8
        << ",\"ReplayMode\":" << c.replayMode << ",\"StepCacheMB\":" << c.stepCacheMB << "}}";
    return out.str();
}

void PrintSettings(const Settings& s) {
    const auto& c = s.config;
    std::cout << (s.view.layers.size() > 1 ? "Registry files (a later file's values win):\n"
                                           : "Registry file:\n");
    for (const auto& layer : s.view.layers) {
        std::cout << "  " << layer.path << (layer.file.exists ? "" : " (not present)") << "\n";
        if (!layer.file.error.empty())
            std::cout << "    error: " << layer.file.error << "\n";
        for (const auto& d : layer.file.diagnostics) {
            std::cout << "    " << layer.path << ":" << d.line << ": " << d.message
                      << " (line ignored)\n";
        }
    }
    std::cout << "Key: " << ZYL::kConfigurationKey << "\n"
              << "  DefaultVolume     " << c.volume
              << "  (hundredths of a dB; -10000 silent, 0 full)\n"
              << "  DefaultBalance    " << c.balance << "  (-10000 left .. 10000 right)\n"
              << "  LogTarget         " << c.logTarget << "  (0 none, 1 log file, 4 console)\n"
              << "  LogLevel          " << c.logLevel << "\n"
              << "  NumBuffers        " << c.numBuffers << "  (frame buffers, 2 .. 256)\n"
              << "  ForceNV12ToMono8  " << c.forceNV12ToMono8 << "\n"
              << "  ReplayMode        " << c.replayMode
              << "  (0 camera: skips what the host is too slow for; 1 every frame at the file's "
                 "rate; 2 every frame, unclocked)\n"
              << "  StepCacheMB       " << c.stepCacheMB
              << "  (MB of decoded pictures kept for stepping back; 0 none)\n";
}

std::uintmax_t FileSize(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

// Loads and unloads the module with a private registry that asks for the log file, then checks
// that the module's log cycle ended with "End log.".
bool CheckModuleCycle(std::string& detail, std::string& logFile) {
    char dirTemplate[] = "/tmp/zylavi-selfcheck-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        detail = "cannot create a temporary folder";
        return false;
    }
    const std::string dir = dirTemplate;
    const std::string registry = dir + "/registry.reg";
    std::ofstream(registry) << "REGEDIT4\n\n[" << ZYL::kConfigurationKey
                            << "]\n\"LogTarget\"=dword:00000001\n";
    const char* previous = std::getenv("ZYLON_REGISTRY");
    const std::string saved = previous ? previous : "";
    setenv("ZYLON_REGISTRY", registry.c_str(), 1);

    const std::string exe = platform::executablePath();
    const std::string module = exe.substr(0, exe.rfind('/')) + "/libZylAvi.so";
    logFile = qnLogging::module_log_file_for(exe);
    const auto before = FileSize(logFile);
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
        while (std::getline(in, line))
            last = line;
        ok = FileSize(logFile) > before && last.ends_with("[info] End log.");
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

// Where the registry file says each of the module's renderer filters is served from; the
// DirectShow player cannot create them otherwise.
struct FilterRegistration {
    const char* name;
    std::string server;  // empty: not registered
    bool thisBuild = false;
};

std::vector<FilterRegistration> ReadFilterRegistrations(const platform::RegistryView& loaded,
                                                        const std::string& builtModule) {
    const std::pair<const char*, CLSID> filters[] = {
        {"ZYL DirectShow Target", COM::CLSID_ZYLDirectShowTarget},
        {"ZYL DirectShow TextTarget", COM::CLSID_ZYLDirectShowTextTarget}};
    std::vector<FilterRegistration> found;
    for (const auto& [name, clsid] : filters) {
        FilterRegistration r{name, {}};
        const auto* server = loaded.document.find(
            "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(clsid) + "\\InprocServer32", "");
        if (server)
            r.server = server->asString().value_or("");
        std::error_code ec;
        r.thisBuild = !r.server.empty() && std::filesystem::equivalent(r.server, builtModule, ec);
        found.push_back(r);
    }
    return found;
}

std::string BuiltModule() {
    const std::string exe = platform::executablePath();
    return exe.substr(0, exe.rfind('/')) + "/libZylAvi.so";
}

// Collects what the logging library reports on the debug output.
struct DebugLines : platform::DebugOutputSink {
    DebugLines() { platform::setDebugOutputForTesting(this); }
    ~DebugLines() override { platform::setDebugOutputForTesting(nullptr); }
    void output(std::string_view text) override {
        if (text != "\n")
            lines.emplace_back(text);
    }
    std::vector<std::string> lines;
};

const char* const kSettingNames[] = {"DefaultVolume", "DefaultBalance", "LogTarget",
                                     "LogLevel",      "NumBuffers",     "ForceNV12ToMono8",
                                     "ReplayMode",    "StepCacheMB"};

bool KnownSetting(const std::string& name) {
    for (const char* known : kSettingNames) {
        if (name == known)
            return true;
    }
    return false;
}

}  // namespace

SettingForOneRun::SettingForOneRun(const std::string& name, std::uint32_t value) {
    char dirTemplate[] = "/tmp/zylavi-setting-XXXXXX";
    if (!mkdtemp(dirTemplate))
        throw std::runtime_error("cannot create a temporary folder for the settings of this run");
    dir_ = dirTemplate;
    const platform::RegistryView view = platform::loadRegistryView();
    const std::string file = dir_ + "/registry.reg";
    std::string error;
    const bool ok = platform::editRegistry(
        file,
        [&](platform::RegistryDocument& doc) {
            for (const auto& key : view.document.keys()) {
                doc.createKey(key.path);
                for (const auto& v : key.values)
                    doc.setValue(key.path, v.name, v.value);
            }
            doc.setValue(ZYL::kConfigurationKey, name, platform::RegValue::dword(value));
        },
        &error);
    if (!ok) {
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("cannot write the settings of this run: " + error);
    }
    if (const char* current = std::getenv("ZYLON_REGISTRY"))
        previous_ = current;
    setenv("ZYLON_REGISTRY", file.c_str(), 1);
}

SettingForOneRun::~SettingForOneRun() {
    if (previous_)
        setenv("ZYLON_REGISTRY", previous_->c_str(), 1);
    else
        unsetenv("ZYLON_REGISTRY");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

int Selfcheck(const Args& args) {
    const Settings settings = ReadSettings();
    std::string detail, logFile;
    const bool moduleOk = CheckModuleCycle(detail, logFile);
    // Unregistered filters only keep non-raw videos from playing; the check still passes.
    const auto filters = ReadFilterRegistrations(settings.view, BuiltModule());
    const bool ok = moduleOk && settings.ok();
    if (args.json) {
        std::cout << "{\"ok\":" << (ok ? "true" : "false")
                  << ",\"configuration\":" << SettingsJson(settings)
                  << ",\"module\":{\"ok\":" << (moduleOk ? "true" : "false")
                  << ",\"log_file\":" << Quoted(logFile) << ",\"detail\":" << Quoted(detail)
                  << "},\"filters\":[";
        for (std::size_t i = 0; i < filters.size(); ++i) {
            std::cout << (i ? "," : "") << "{\"name\":" << Quoted(filters[i].name)
                      << ",\"registered\":" << (filters[i].server.empty() ? "false" : "true")
                      << ",\"server\":" << Quoted(filters[i].server)
                      << ",\"this_build\":" << (filters[i].thisBuild ? "true" : "false") << "}";
        }
        std::cout << "]}\n";
    } else {
        PrintSettings(settings);
        std::cout << "Module: " << (moduleOk ? "ok" : "FAILED") << " - " << detail << "\n";
        for (const auto& f : filters) {
            std::cout << "Filter " << f.name << ": ";
            if (f.server.empty()) {
                std::cout << "not registered; non-raw videos cannot play until you run: zylavi "
                             "register "
                          << BuiltModule() << "\n";
            } else {
                std::cout << "registered, served by " << f.server
                          << (f.thisBuild ? " (this build)" : " (not this build)") << "\n";
            }
        }
        std::cout << (ok ? "Self-check passed.\n" : "Self-check FAILED.\n");
    }
    return ok ? kExitOk : kExitFailed;
}

int Config(const Args& args) {
    const std::string action = args.positional.empty() ? "show" : args.positional[0];
    if (action == "show" && args.positional.size() <= 1) {
        const Settings settings = ReadSettings();
        if (args.json) {
            std::cout << SettingsJson(settings) << "\n";
        } else {
            PrintSettings(settings);
        }
        return settings.ok() ? kExitOk : kExitFailed;
    }
    const bool set = action == "set" && args.positional.size() == 3;
    const bool unset = action == "unset" && args.positional.size() == 2;
    if (!set && !unset) {
        std::cerr
            << "zylavi config: use: config show | config set NAME VALUE | config unset NAME\n";
        return kExitUsage;
    }
    const std::string name = args.positional[1];
    if (!KnownSetting(name)) {
        std::cerr << "zylavi config: unknown setting '" << name
                  << "' (DefaultVolume, DefaultBalance, LogTarget, LogLevel, NumBuffers, "
                     "ForceNV12ToMono8, ReplayMode, StepCacheMB)\n";
        return kExitUsage;
    }
    long long value = 0;
    if (set &&
        (!ToInt(args.positional[2], value) || value < -2147483648LL || value > 0xFFFFFFFFLL)) {
        std::cerr << "zylavi config: '" << args.positional[2] << "' is not a 32-bit number\n";
        return kExitUsage;
    }
    const std::string file = platform::registryWritePath();
    std::string error;
    const bool ok = platform::editRegistry(
        file,
        [&](platform::RegistryDocument& doc) {
            if (set) {
                doc.setValue(ZYL::kConfigurationKey, name,
                             platform::RegValue::dword(static_cast<std::uint32_t>(value)));
            } else {
                doc.deleteValue(ZYL::kConfigurationKey, name);
            }
        },
        &error);
    if (!ok) {
        std::cerr << "zylavi config: " << error << "\n";
        return kExitFailed;
    }
    const Settings settings = ReadSettings();
    if (args.json) {
        std::cout << SettingsJson(settings) << "\n";
    } else {
        std::cout << (set ? "Set " : "Removed ") << name << " in " << file << "\n";
        PrintSettings(settings);
    }
    return kExitOk;
}

int Log(const Args& args) {
    const std::string module = args.get("--module").value_or("Reel2");
    const std::string levelName = args.get("--level").value_or("info");
    std::string text;
    for (const auto& word : args.positional)
        text += (text.empty() ? "" : " ") + word;
    std::uint32_t level = 0;
    for (std::uint32_t bit = 1; bit <= qnLogging::level::debug; bit <<= 1) {
        if (qnLogging::level_name(bit) == levelName)
            level = bit;
    }
    if (level == 0 || text.empty()) {
        std::cerr
            << "zylavi log: needs a level out of fatal, err, warn, info, trace, debug and a text\n";
        return kExitUsage;
    }
    DebugLines debug;
    const bool configured = qnLogging::configure_logging(module, "zylavi command line", {});
    const bool passes = qnLogging::would_log(qnLogging::root_logger(), level);
    if (configured) {
        QN_LOG(qnLogging::root_logger(), level) << text;
    }
    if (args.json) {
        std::cout << "{\"configured\":" << (configured ? "true" : "false")
                  << ",\"module\":" << Quoted(module) << ",\"level\":" << Quoted(levelName)
                  << ",\"passed_level_mask\":" << (passes ? "true" : "false") << ",\"reports\":[";
        for (std::size_t i = 0; i < debug.lines.size(); ++i)
            std::cout << (i ? "," : "") << Quoted(debug.lines[i]);
        std::cout << "]}\n";
    } else if (configured) {
        std::cout << "Configured from the log service as module " << module << "; the " << levelName
                  << " message "
                  << (passes ? "was sent." : "was filtered out by the level the service set.")
                  << "\n";
    } else {
        for (const auto& line : debug.lines)
            std::cerr << "zylavi log: " << line << "\n";
    }
    return configured ? kExitOk : kExitFailed;
}

}  // namespace zyl::cli
