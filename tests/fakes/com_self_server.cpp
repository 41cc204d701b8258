// A module that is an in-process server of its own class and, like the product module, makes
// an object of that class through CoCreateInstance while it loads and gives it up while it
// unloads (its constructor and destructor functions, on the thread calling dlopen/dlclose). It
// also makes the test server's counter when that class is registered, to have a second library
// loaded by its runtime. No locks of its own; the counts are atomics.
#include <dlfcn.h>

#include <atomic>

#include "com/runtime.h"
#include "fakes/com_self_server.h"
#include "fakes/com_test_server.h"
#include "platform/registry.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

class SelfServed final : public ITestCounter {
public:
    SelfServed() { ++g_objects; }
    SelfServed(const SelfServed&) = delete;
    SelfServed& operator=(const SelfServed&) = delete;
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITestCounter) {
            *object = static_cast<ITestCounter*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override {
        const ULONG left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }
    LONG Increment() override { return ++m_value; }

private:
    ~SelfServed() { --g_objects; }
    std::atomic<ULONG> m_references{1};
    LONG m_value = 0;
};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is static: references only keep the library in use.
    ULONG AddRef() override { return static_cast<ULONG>(++g_locks); }
    ULONG Release() override { return static_cast<ULONG>(--g_locks); }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        SelfServed* made = new SelfServed;
        const HRESULT hr = made->QueryInterface(riid, object);
        made->Release();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        lock ? ++g_locks : --g_locks;
        return S_OK;
    }
};

Factory g_factory;

// Made and given up on the thread that loads and unloads the library.
bool g_initialized = false;
HRESULT g_createdAtLoad = E_UNEXPECTED;
HRESULT g_peerAtLoad = E_UNEXPECTED;
IUnknown* g_own = nullptr;
IUnknown* g_peer = nullptr;

std::string OwnPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&OwnPath), &info);
    return info.dli_fname ? info.dli_fname : "";
}

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
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_TestSelfServed))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

EXPORT HRESULT DllCanUnloadNow() {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

EXPORT HRESULT DllRegisterServer() {
    const std::string key = com::InprocServerKey(CLSID_TestSelfServed);
    const bool ok = zyl::platform::editRegistry(
        zyl::platform::registryWritePath(),
        [&](zyl::platform::RegistryDocument& doc) {
            doc.setValue(key, "", zyl::platform::RegValue::string(OwnPath()));
            doc.setValue(key, "ThreadingModel", zyl::platform::RegValue::string("Both"));
        },
        nullptr);
    return ok ? S_OK : SELFREG_E_CLASS;
}

EXPORT HRESULT DllUnregisterServer() {
    const bool ok = zyl::platform::editRegistry(
        zyl::platform::registryWritePath(),
        [](zyl::platform::RegistryDocument& doc) {
            doc.deleteKey("HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(CLSID_TestSelfServed));
        },
        nullptr);
    return ok ? S_OK : SELFREG_E_CLASS;
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
