// The COM runtime: per-thread initialisation, class activation (the platform's own classes and
// in-process servers registered under HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32), task
// memory, and freeing server libraries that say they may go.
//
// Each library that links this runtime has its own copy of it. A class whose registered server
// is the library holding this copy is served by that library's own DllGetClassObject without a
// loader reference, so the host's dlclose really unloads it. Once the library (or the process)
// is being torn down the runtime loads and unloads nothing: it may be running inside the
// loader's destructor calls.
//
// Any thread. Initialisation state is per thread (no lock). The platform class table and the
// table of loaded server libraries share one mutex; dlopen runs under it, but it is never held
// while calling a server's DllGetClassObject or DllCanUnloadNow, nor around dlclose.
#pragma once

#include <cstddef>
#include <string>

#include "com/com_types.h"

HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD concurrencyModel);
void CoUninitialize();

// The context must include CLSCTX_INPROC_SERVER or CLSCTX_INPROC_HANDLER; both are served by
// the in-process server.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID riid,
                         void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object);
// Unloads every server library whose DllCanUnloadNow answers S_OK and that no thread is asking
// for a class object. Does nothing while this library or the process is being torn down (the
// last CoUninitialize of a destructor then leaves the libraries loaded).
void CoFreeUnusedLibraries();

void* CoTaskMemAlloc(std::size_t size);
void* CoTaskMemRealloc(void* memory, std::size_t size);
void CoTaskMemFree(void* memory);

namespace com {

// A class the platform provides without registration (the filter graph, the system clock...):
// getFactory hands out its class factory; a null getFactory withdraws the class.
using FactoryGetter = HRESULT (*)(REFIID riid, void** factory);
void RegisterPlatformClass(REFCLSID clsid, FactoryGetter getFactory);

// Server libraries currently loaded by the runtime (never the library holding this copy).
std::size_t LoadedServerCount();

// The exports an in-process server library offers.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

// The registry key of a class's server: "HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32".
std::string InprocServerKey(REFCLSID clsid);

}  // namespace com
