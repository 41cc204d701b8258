#include "com/runtime.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/registry.h"

namespace {

struct ThreadState {
    int count = 0;
    DWORD model = 0;
};
thread_local ThreadState t_state;

struct ServerLibrary {
    std::string path;
    void* handle = nullptr;
    com::DllGetClassObjectFn getClassObject = nullptr;
    com::DllCanUnloadNowFn canUnloadNow = nullptr;
};

struct Registry {
    std::mutex mutex;
    std::map<GUID, com::FactoryGetter> platform;
    std::vector<ServerLibrary> libraries;
};

Registry& State() {
    static Registry registry;
    return registry;
}

// The loaded library for a path, loading it on first use.
HRESULT ServerFor(const std::string& path, com::DllGetClassObjectFn& getClassObject) {
    Registry& r = State();
    std::lock_guard lock(r.mutex);
    for (const ServerLibrary& library : r.libraries) {
        if (library.path == path) {
            getClassObject = library.getClassObject;
            return S_OK;
        }
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return CO_E_DLLNOTFOUND;
    auto get = reinterpret_cast<com::DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
    if (!get) {
        dlclose(handle);
        return CO_E_ERRORINDLL;
    }
    auto canUnload = reinterpret_cast<com::DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
    r.libraries.push_back({path, handle, get, canUnload});
    getClassObject = get;
    return S_OK;
}

}  // namespace

HRESULT CoInitializeEx(void*, DWORD model) {
    ThreadState& s = t_state;
    if (s.count > 0) {
        if (s.model != model)
            return RPC_E_CHANGED_MODE;
        ++s.count;
        return S_FALSE;
    }
    s.count = 1;
    s.model = model;
    return S_OK;
}

HRESULT CoInitialize(void* reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
    ThreadState& s = t_state;
    if (s.count > 0 && --s.count == 0) {
        CoFreeUnusedLibraries();
    }
}

std::string com::InprocServerKey(REFCLSID clsid) {
    return "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(clsid) + "\\InprocServer32";
}

void com::RegisterPlatformClass(REFCLSID clsid, FactoryGetter getFactory) {
    Registry& r = State();
    std::lock_guard lock(r.mutex);
    r.platform[clsid] = getFactory;
}

std::size_t com::LoadedServerCount() {
    Registry& r = State();
    std::lock_guard lock(r.mutex);
    return r.libraries.size();
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (t_state.count == 0)
        return CO_E_NOTINITIALIZED;
    if (!(context & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    com::FactoryGetter platform = nullptr;
    {
        Registry& r = State();
        std::lock_guard lock(r.mutex);
        auto it = r.platform.find(clsid);
        if (it != r.platform.end())
            platform = it->second;
    }
    if (platform)
        return platform(riid, object);
    const auto key = zyl::platform::RegistryKey::open(com::InprocServerKey(clsid));
    if (!key)
        return REGDB_E_CLASSNOTREG;
    const auto value = key->query("");
    const auto path = value ? value->asString() : std::nullopt;
    if (!path || path->empty())
        return REGDB_E_CLASSNOTREG;
    com::DllGetClassObjectFn getClassObject = nullptr;
    if (HRESULT hr = ServerFor(*path, getClassObject); FAILED(hr))
        return hr;
    return getClassObject(clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(outer, riid, object);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() {
    std::vector<ServerLibrary> candidates;
    {
        Registry& r = State();
        std::lock_guard lock(r.mutex);
        candidates = r.libraries;
    }
    // Asked without the lock: a server may create objects (and so call back) while it answers.
    std::vector<void*> unload;
    for (const ServerLibrary& library : candidates) {
        if (library.canUnloadNow && library.canUnloadNow() == S_OK)
            unload.push_back(library.handle);
    }
    {
        Registry& r = State();
        std::lock_guard lock(r.mutex);
        std::erase_if(r.libraries, [&](const ServerLibrary& l) {
            return std::find(unload.begin(), unload.end(), l.handle) != unload.end();
        });
    }
    for (void* handle : unload)
        dlclose(handle);
}

void* CoTaskMemAlloc(std::size_t size) {
    return std::malloc(size ? size : 1);
}
void* CoTaskMemRealloc(void* memory, std::size_t size) {
    return std::realloc(memory, size ? size : 1);
}
void CoTaskMemFree(void* memory) {
    std::free(memory);
}
