// Process attach and detach of libZylAvi.so: the work DllMain and the static initialisers do
// on Windows.
//
// Runs on the thread that loads the library, before any export can be called. The error-string
// tables come first, so nothing can throw before they exist; then the module's own path (before
// the host can change directory), then the module log set-up, then
// COM for the loading thread (undone first at unload). The
// set-up is a function-local static made after every static its tear-down uses, so its
// destructor ("End log.", the message box, clearing the targets) runs before theirs, both when
// the library is unloaded and at process exit, where the C++ statics go before the library's
// destructor functions would run.
#include "com/runtime.h"
#include "module/base/errors/error_string_database.h"
#include "module/entry/ComServer.h"
#include "module/logging/logger.h"
#include "module/logging/logstream.h"
#include "module/logging/module_log_setup.h"
#include "module/logging/target_registry.h"

namespace {

// COM for the loading thread, from process attach to process detach.
class ComForLoadingThread {
public:
    ComForLoadingThread() {
        if (FAILED(CoInitialize(nullptr))) {
            QN_LOG(qnLogging::root_logger(), qnLogging::level::fatal)
                << "Failed to initialize COM facilities.";
            return;
        }
        m_initialized = true;
    }
    ~ComForLoadingThread() {
        if (m_initialized)
            CoUninitialize();
    }

private:
    bool m_initialized = false;
};

__attribute__((constructor)) void ModuleAttach() {
    qnErrors::CErrorStringDatabase::Instance();
    // Before the host can change directory.
    ZYL::ModulePath();
    qnLogging::root_logger();
    qnLogging::target_count();
    qnLogging::purge_loggers();
    static qnLogging::module_log_setup setup;
    // Made after the log set-up, so it is undone before it: COM goes, then "End log.".
    static ComForLoadingThread com;
}

}  // namespace
