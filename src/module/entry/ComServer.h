// The module as an in-process COM server for its two renderer filters: the factory template
// table, the four server exports, and the text a caller shows when it cannot create one of the
// filters because the module is not registered.
//
// Any thread. Registration edits the registry file under its writer lock (see
// directshow/registration.h); the rest takes no lock of its own.
#pragma once

#include <string>

#include "directshow/registration.h"
#include "module/entry/Entry.h"

ZYLAVI_API HRESULT DllRegisterServer();
ZYLAVI_API HRESULT DllUnregisterServer();
ZYLAVI_API HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object);
ZYLAVI_API HRESULT DllCanUnloadNow();

namespace ZYL {

// Entry 0 the video filter, entry 1 the text filter.
extern const CFactoryTemplate g_Templates[];
extern const int g_cTemplates;

// The absolute path the library holding this code was loaded from, as registration records it.
const std::string& ModulePath();

// What to tell the user when creating a renderer filter failed with `hr`: the filter, the
// code, and the command that registers this module.
std::string RendererCreationFailureText(const std::string& filterName, HRESULT hr);

}  // namespace ZYL
