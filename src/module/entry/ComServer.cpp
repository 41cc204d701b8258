#include "module/entry/ComServer.h"

#include <dlfcn.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "module/entry/LiveCounters.h"
#include "module/filters/DShowTarget.h"
#include "module/filters/DShowTextTarget.h"
#include "module/logging/logstream.h"

namespace {

const AMOVIESETUP_MEDIATYPE kVideoTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB8},
                                             {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24},
                                             {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32}};
const AMOVIESETUP_MEDIATYPE kTextTypes[] = {{&MEDIATYPE_Text, &MEDIASUBTYPE_NULL}};

const AMOVIESETUP_PIN kVideoPins[] = {
    {L"Video Input", TRUE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 3, kVideoTypes}};
const AMOVIESETUP_PIN kTextPins[] = {
    {L"Text Input", TRUE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kTextTypes}};

// The do-not-use merit: automatic graph building never picks these filters; the player adds
// them itself.
const AMOVIESETUP_FILTER kVideoFilter = {&COM::CLSID_ZYLDirectShowTarget, L"ZYL DirectShow Target",
                                         MERIT_DO_NOT_USE, 1, kVideoPins};
const AMOVIESETUP_FILTER kTextFilter = {&COM::CLSID_ZYLDirectShowTextTarget,
                                        L"ZYL DirectShow TextTarget", MERIT_DO_NOT_USE, 1,
                                        kTextPins};

void LogOn(const char* logger, const char* text) {
    try {
        QN_LOG(qnLogging::get_logger(logger), qnLogging::level::info) << text;
    } catch (...) {
        // Logging never fails its caller.
    }
}

}  // namespace

namespace ZYL {

const CFactoryTemplate g_Templates[] = {
    {kVideoFilter.strName, &COM::CLSID_ZYLDirectShowTarget, COM::CDShowTarget::CreateInstance,
     nullptr, &kVideoFilter},
    {kTextFilter.strName, &COM::CLSID_ZYLDirectShowTextTarget,
     COM::CDShowTextTarget::CreateInstance, nullptr, &kTextFilter},
};
const int g_cTemplates = 2;

const std::string& ModulePath() {
    // Resolved once, at load (the attach handler asks first): a library loaded by a relative
    // path reports that path, which means something else once the host changes directory.
    static const std::string path = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname)
            return std::string();
        char resolved[PATH_MAX];
        return realpath(info.dli_fname, resolved) ? std::string(resolved)
                                                  : std::string(info.dli_fname);
    }();
    return path;
}

std::string RendererCreationFailureText(const std::string& filterName, HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(hr));
    const std::string path = ModulePath();
    return "Cannot create the " + filterName + " filter (" + code +
           "): its COM class is not available. Register the module with: zylavi register " +
           (path.empty() ? std::string("<path to libZylAvi.so>") : path);
}

}  // namespace ZYL

HRESULT DllRegisterServer() {
    LogOn("DllRegisterServer", "Registering ZYL DirectShow Target Filter");
    // Without its own path the module cannot say where its classes live.
    const std::string path = ZYL::ModulePath();
    if (path.empty())
        return SELFREG_E_CLASS;
    return dshow::RegisterServer(ZYL::g_Templates, ZYL::g_cTemplates, path, true);
}

HRESULT DllUnregisterServer() {
    LogOn("DllUnregisterServer", "DeRegistering ZYL DirectShow Target Filter");
    return dshow::RegisterServer(ZYL::g_Templates, ZYL::g_cTemplates, ZYL::ModulePath(), false);
}

HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return dshow::GetClassObject(ZYL::g_Templates, ZYL::g_cTemplates, clsid, riid, object);
}

HRESULT DllCanUnloadNow() {
    const HRESULT answer = dshow::CanUnloadNow();
    // The COM runtime unloads on S_OK; objects that COM does not count must survive that.
    if (answer == S_OK && (ZYL::LiveUncountedObjects().load() > 0 ||
                           ZYL::LiveAVIPlayers().load() > 0 || ZYL::LiveRVPlayers().load() > 0))
        ZYL::KeepLoadedForLiveObjects();
    return answer;
}
