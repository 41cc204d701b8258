#include "module/logging/module_log_setup.h"

#include <cstdlib>

#include "module/logging/console_target.h"
#include "module/logging/file_target.h"
#include "module/logging/formatters.h"
#include "module/logging/logstream.h"
#include "module/logging/target_registry.h"
#include "platform/message_box.h"
#include "platform/process.h"

namespace qnLogging {

std::string module_log_file_for(const std::string& executable_path) {
    const std::size_t slash = executable_path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : executable_path.substr(0, slash + 1);
    return folder + kModuleLogName + ".log";
}

namespace {

class error_level_filter : public basic_logtargetfilter {
public:
    bool accept(const basic_timed_msgstate& state) override {
        return state.level == level::fatal || state.level == level::err;
    }
};

std::string error_log_from_environment() {
    const char* file = std::getenv(kErrorLogVariable);
    return file ? std::string(file) : std::string();
}

}  // namespace

module_log_setup::module_log_setup()
    : module_log_setup(ZYL::ReadConfiguration(), zyl::platform::executablePath(),
                       error_log_from_environment()) {}

module_log_setup::module_log_setup(const ZYL::Configuration& config,
                                   const std::string& executable_path, const std::string& error_log)
    : m_config(config) {
    try {
        setup(executable_path);
    } catch (...) {
        // The library must load even when its log cannot be set up.
    }
    try {
        setup_error_log(error_log);
    } catch (...) {
        // A host's error copy is a convenience; the module loads without it.
    }
}

void module_log_setup::setup_error_log(const std::string& error_log) {
    if (error_log.empty()) {
        return;
    }
    auto file = std::make_shared<file_target::file>(error_log);
    register_target(
        std::make_shared<basic_timespanformatter>(std::make_shared<file_target>(std::move(file))),
        std::make_shared<error_level_filter>());
    // Opened here too: a log whose own target failed leaves the root closed, and the copy
    // would then get nothing.
    set_level_mask(root_logger(), mask::all);
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
