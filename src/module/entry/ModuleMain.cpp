// Process attach and detach of libZylAvi.so: the work DllMain and the static initialisers do
// on Windows.
//
// Runs on the thread that loads (or unloads) the library, before any export can be called and
// after the last one has returned. The load order matters: the error-string tables first (so
// nothing can throw before they exist), then the module log set-up. Unload undoes the log
// set-up before the C++ statics it uses (root logger, target registry) are destroyed: glibc runs
// destructor functions before the library's static destructors.
#include <new>

#include "module/base/errors/error_string_database.h"
#include "module/logging/module_log_setup.h"

namespace {

alignas(qnLogging::module_log_setup) unsigned char g_logSetupStorage[sizeof(qnLogging::module_log_setup)];
qnLogging::module_log_setup* g_logSetup = nullptr;

__attribute__((constructor)) void ModuleAttach() {
    qnErrors::CErrorStringDatabase::Instance();
    try {
        g_logSetup = new (g_logSetupStorage) qnLogging::module_log_setup();
    } catch (...) {
        g_logSetup = nullptr;
    }
}

__attribute__((destructor)) void ModuleDetach() {
    if (g_logSetup != nullptr) {
        g_logSetup->~module_log_setup();
        g_logSetup = nullptr;
    }
}

}  // namespace
