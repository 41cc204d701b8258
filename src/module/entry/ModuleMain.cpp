// Process attach and detach of libZylAvi.so: the work DllMain and the static initialisers do
// on Windows.
//
// Runs on the thread that loads the library, before any export can be called. The error-string
// tables come first, so nothing can throw before they exist; then the module log set-up. The
// set-up is a function-local static made after every static its tear-down uses, so its
// destructor ("End log.", the message box, clearing the targets) runs before theirs, both when
// the library is unloaded and at process exit, where the C++ statics go before the library's
// destructor functions would run.
#include "module/base/errors/error_string_database.h"
#include "module/logging/logger.h"
#include "module/logging/module_log_setup.h"
#include "module/logging/target_registry.h"

namespace {

__attribute__((constructor)) void ModuleAttach() {
    qnErrors::CErrorStringDatabase::Instance();
    qnLogging::root_logger();
    qnLogging::target_count();
    qnLogging::purge_loggers();
    static qnLogging::module_log_setup setup;
}

}  // namespace
