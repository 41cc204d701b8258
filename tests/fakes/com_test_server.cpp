// An in-process server for the runtime's tests: one class, its factory, and the four exports,
// registering itself in the registry file as a server module does.
#include "fakes/counter_server.h"

EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return ServeClassObject(CLSID_TestCounter, clsid, riid, object);
}

EXPORT HRESULT DllCanUnloadNow() {
    return CanUnload();
}

EXPORT HRESULT DllRegisterServer() {
    return RegisterClassKey(CLSID_TestCounter, true);
}

EXPORT HRESULT DllUnregisterServer() {
    return RegisterClassKey(CLSID_TestCounter, false);
}
