// Command-line plumbing shared by the zylavi commands: exit codes, option parsing and output
// helpers. Single-threaded.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "common/module_host.h"

namespace zyl::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--frames" -> "10"
    std::set<std::string> flags;                 // "--md5"
    bool json = false;

    bool has(const std::string& flag) const { return flags.count(flag) != 0; }
    std::optional<std::string> get(const std::string& option) const {
        auto it = options.find(option);
        if (it == options.end())
            return std::nullopt;
        return it->second;
    }
};

// Splits arguments; flags are the options without a value. Returns false (with a message) on
// an unknown option or a missing value.
bool Parse(const std::vector<std::string>& raw, const std::set<std::string>& flags,
           const std::set<std::string>& valued, Args& args, std::string& error);

// Whole decimal numbers (optionally negative); false when the text is not one.
bool ToInt(const std::string& text, long long& value);
bool ToDouble(const std::string& text, double& value);

inline std::string Quoted(const std::string& s) {
    return tools::JsonQuote(s);
}

// Opens FILE like a host; the module must have been loaded with its error lines captured.
// Throws std::runtime_error naming the file and the module's reason.
std::unique_ptr<tools::Camera> OpenCamera(tools::LoadedModule& module, const std::string& path);

// For one run: every registry file in force merged into a temporary one with the setting
// NAME changed, which ZYLON_REGISTRY names until the object goes; the user's files are not
// touched. Throws std::runtime_error when the file cannot be written.
class SettingForOneRun {
public:
    SettingForOneRun(const std::string& name, std::uint32_t value);
    ~SettingForOneRun();
    SettingForOneRun(const SettingForOneRun&) = delete;
    SettingForOneRun& operator=(const SettingForOneRun&) = delete;

private:
    std::string dir_;
    std::optional<std::string> previous_;
};

// Commands.
int Selfcheck(const Args& args);
int Config(const Args& args);
int Log(const Args& args);
int Info(const Args& args);
int Grab(const Args& args);
int Convert(const Args& args);
int Demo(const Args& args);
int Register(const Args& args);
int Unregister(const Args& args);
int Probe(const Args& args);
int BenchCameras(const Args& args);
int Serve(const Args& args);

}  // namespace zyl::cli
