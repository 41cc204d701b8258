#include "module/logging/module_log_setup.h"

#include "module/logging/console_target.h"
#include "module/logging/file_target.h"
#include "module/logging/formatters.h"
#include "module/logging/logstream.h"
#include "platform/message_box.h"
#include "platform/process.h"

namespace qnLogging {

std::string module_log_file_for(const std::string& executable_path) {
    const std::size_t slash = executable_path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : executable_path.substr(0, slash + 1);
    return folder + kModuleLogName + ".log";
}

module_log_setup::module_log_setup()
    : module_log_setup(ZYL::ReadConfiguration(), zyl::platform::executablePath()) {}

module_log_setup::module_log_setup(const ZYL::Configuration& config,
                                   const std::string& executable_path)
    : m_config(config) {
    try {
        setup(executable_path);
    } catch (...) {
        // The library must load even when its log cannot be set up.
    }
}

void module_log_setup::setup(const std::string& executable_path) {
    if (m_config.logTarget == 1) {
        m_log_file = module_log_file_for(executable_path);
        auto file = std::make_shared<file_target::file>(m_log_file);
        register_formatter(basic_timespanformatter(std::make_shared<file_target>(std::move(file))));
    } else if (m_config.logTarget == 4) {
        auto console = std::make_shared<console_target::console>(kModuleLogName);
        register_formatter(
            basic_timespanformatter(std::make_shared<console_target>(std::move(console))));
    }
    set_level_mask(root_logger(), mask::all);
}

module_log_setup::~module_log_setup() {
    try {
        logstream(root_logger(), level::info) << "End log.";
    } catch (...) {
    }
    if (m_config.logTarget == 4) {
        zyl::platform::messageBox("Press 'OK' to close log window",
                                  "Process detached from ZylAvi.dll");
    }
    try {
        purge_loggers();
    } catch (...) {
    }
    clear_targets();
}

}  // namespace qnLogging
