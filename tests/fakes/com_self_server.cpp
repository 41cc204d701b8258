// A module that is an in-process server of its own class and, like the product module, makes
// an object of that class through CoCreateInstance while it loads and gives it up while it
// unloads (its constructor and destructor functions, on the thread calling dlopen/dlclose). It
// also makes the test server's counter when that class is registered, to have a second library
// loaded by its runtime. No locks of its own; the counts are atomics.
#include "fakes/com_self_server.h"
#include "fakes/counter_server.h"

namespace {

// Made and given up on the thread that loads and unloads the library.
bool g_initialized = false;
HRESULT g_createdAtLoad = E_UNEXPECTED;
HRESULT g_peerAtLoad = E_UNEXPECTED;
IUnknown* g_own = nullptr;
IUnknown* g_peer = nullptr;

void ReleaseHeld() {
    if (g_own)
        g_own->Release();
    if (g_peer)
        g_peer->Release();
    g_own = nullptr;
    g_peer = nullptr;
}

__attribute__((constructor)) void Attach() {
    g_initialized = SUCCEEDED(CoInitialize(nullptr));
    g_createdAtLoad = CoCreateInstance(CLSID_TestSelfServed, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IUnknown, reinterpret_cast<void**>(&g_own));
    g_peerAtLoad = CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                    reinterpret_cast<void**>(&g_peer));
}

__attribute__((destructor)) void Detach() {
    ReleaseHeld();
    if (g_initialized)
        CoUninitialize();
}

}  // namespace

EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return ServeClassObject(CLSID_TestSelfServed, clsid, riid, object);
}

EXPORT HRESULT DllCanUnloadNow() {
    return CanUnload();
}

EXPORT HRESULT DllRegisterServer() {
    return RegisterClassKey(CLSID_TestSelfServed, true);
}

EXPORT HRESULT DllUnregisterServer() {
    return RegisterClassKey(CLSID_TestSelfServed, false);
}

EXPORT HRESULT SelfServerCreatedAtLoad() {
    return g_createdAtLoad;
}

EXPORT HRESULT SelfServerPeerAtLoad() {
    return g_peerAtLoad;
}

EXPORT LONG SelfServerObjects() {
    return g_objects;
}

EXPORT void SelfServerReleaseNow() {
    ReleaseHeld();
}

EXPORT HRESULT SelfServerCreate() {
    ITestCounter* counter = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_TestSelfServed, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_ITestCounter, reinterpret_cast<void**>(&counter));
    if (SUCCEEDED(hr))
        counter->Release();
    return hr;
}

EXPORT unsigned SelfServerLoadedServers() {
    return static_cast<unsigned>(com::LoadedServerCount());
}

EXPORT void SelfServerFreeUnused() {
    CoFreeUnusedLibraries();
}
