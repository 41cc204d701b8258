// The module's own log set-up, made when the library loads and undone when it unloads.
//
// LogTarget 1 writes "ZylAvi DLL.log" next to the executable of the host process, 4 writes to
// the console titled "ZylAvi DLL"; both through an elapsed-time formatter. The set-up opens the
// root logger to every level. The loading thread constructs it and the unloading thread
// destroys it; no other thread logs during either. Nothing thrown inside leaves it.
//
// A host that wants to show its user why an open failed sets ZYLAVI_ERROR_LOG to a file before
// loading the module: the fatal and error lines are appended there as well, whatever LogTarget
// says. Without the variable nothing changes.
#pragma once

#include <string>

#include "module/config/Configuration.h"

namespace qnLogging {

inline constexpr const char* kModuleLogName = "ZylAvi DLL";

class module_log_setup {
public:
    // Reads the configuration from the registry and uses this process's executable.
    module_log_setup();
    // error_log: the file that also receives the fatal and error lines ("" for none).
    module_log_setup(const ZYL::Configuration& config, const std::string& executable_path,
                     const std::string& error_log = std::string());
    module_log_setup(const module_log_setup&) = delete;
    module_log_setup& operator=(const module_log_setup&) = delete;
    ~module_log_setup();

    // The log file the set-up chose ("" unless LogTarget is 1).
    const std::string& log_file() const { return m_log_file; }

private:
    void setup(const std::string& executable_path);
    void setup_error_log(const std::string& error_log);

    ZYL::Configuration m_config;
    std::string m_log_file;
};

inline constexpr const char* kErrorLogVariable = "ZYLAVI_ERROR_LOG";

// The log file name for an executable: its folder + "ZylAvi DLL.log".
std::string module_log_file_for(const std::string& executable_path);

}  // namespace qnLogging
