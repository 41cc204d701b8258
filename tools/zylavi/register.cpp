// zylavi register and unregister: what the system's server registration tool does. Loads the
// library, calls its DllRegisterServer or DllUnregisterServer and reports the result.
#include <dlfcn.h>

#include <cstdio>
#include <iostream>

#include "cli.h"
#include "com/runtime.h"

namespace zyl::cli {
namespace {

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

int CallServerFunction(const Args& args, const char* command, const char* function) {
    if (args.positional.size() != 1) {
        std::cerr << "zylavi " << command << ": needs one MODULE (the path of a shared library)\n";
        return kExitUsage;
    }
    const std::string module = args.positional[0];
    // A bare name would be searched on the library path; a path is what one registers.
    const std::string path = module.find('/') == std::string::npos ? "./" + module : module;
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        std::cerr << "zylavi " << command << ": cannot load " << path << ": "
                  << (why ? why : "unknown reason") << "\n";
        return kExitFailed;
    }
    auto entry = reinterpret_cast<com::DllRegisterServerFn>(dlsym(library, function));
    if (!entry) {
        std::cerr << "zylavi " << command << ": " << path << " has no " << function << " export\n";
        dlclose(library);
        return kExitFailed;
    }
    const HRESULT hr = entry();
    dlclose(library);
    if (args.json) {
        std::cout << "{\"module\":" << Quoted(path) << ",\"function\":" << Quoted(function)
                  << ",\"result\":" << Quoted(Hex(hr))
                  << ",\"ok\":" << (SUCCEEDED(hr) ? "true" : "false") << "}\n";
    } else if (SUCCEEDED(hr)) {
        std::cout << function << " in " << path << " succeeded.\n";
    } else {
        std::cerr << "zylavi " << command << ": " << function << " in " << path << " failed with "
                  << Hex(hr) << "\n";
    }
    return SUCCEEDED(hr) ? kExitOk : kExitFailed;
}

}  // namespace

int Register(const Args& args) {
    return CallServerFunction(args, "register", "DllRegisterServer");
}
int Unregister(const Args& args) {
    return CallServerFunction(args, "unregister", "DllUnregisterServer");
}

}  // namespace zyl::cli
