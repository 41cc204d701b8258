// What the fake in-process servers share: a counter object, its static class factory, the
// live-object and lock counts DllCanUnloadNow reads, and the bodies of the four exports for one
// class. Included once by each fake library, so each has counts of its own; atomics, no locks.
#pragma once

#include <dlfcn.h>

#include <atomic>
#include <string>

#include "com/runtime.h"
#include "fakes/com_test_server.h"
#include "platform/registry.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

class Counter final : public ITestCounter {
public:
    Counter() { ++g_objects; }
    Counter(const Counter&) = delete;
    Counter& operator=(const Counter&) = delete;
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
    ~Counter() { --g_objects; }
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
        Counter* made = new Counter;
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

std::string OwnPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&OwnPath), &info);
    return info.dli_fname ? info.dli_fname : "";
}

HRESULT ServeClassObject(REFCLSID served, REFCLSID clsid, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!(clsid == served))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

HRESULT CanUnload() {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

// Writes (or removes) the class's server key, as a server module's registration does.
HRESULT RegisterClassKey(REFCLSID served, bool reg) {
    const bool ok = zyl::platform::editRegistry(
        zyl::platform::registryWritePath(),
        [&](zyl::platform::RegistryDocument& doc) {
            if (reg) {
                const std::string key = com::InprocServerKey(served);
                doc.setValue(key, "", zyl::platform::RegValue::string(OwnPath()));
                doc.setValue(key, "ThreadingModel", zyl::platform::RegValue::string("Both"));
            } else {
                doc.deleteKey("HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(served));
            }
        },
        nullptr);
    return ok ? S_OK : SELFREG_E_CLASS;
}

}  // namespace
