#include "com/runtime.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/registry.h"

// The server entry of the library this copy of the runtime is linked into, when it is a server.
// Weak: a program or library without one leaves it null.
extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object)
    __attribute__((weak, visibility("default")));

namespace {

struct ThreadState {
    int count = 0;
    DWORD model = 0;
};
thread_local ThreadState t_state;

// Set once this library is being closed or the process is exiting. Trivially destructible, so
// it can be read by any destructor, however late.
constinit std::atomic<bool> g_tearingDown{false};
constinit std::atomic<bool> g_stateGone{false};

// A library closed with dlclose runs its destructor functions, last linked first, before the
// destructors of its static objects; the runtime is linked after everything that calls it, so
// this comes first. At process exit it runs after the exit handlers.
__attribute__((destructor)) void MarkTearingDown() {
    g_tearingDown = true;
}

// Covers the exit handlers: destroyed before every static object made before it, which includes
// those a library makes while it loads (its constructors run ahead of the runtime's).
struct TeardownSentinel {
    TeardownSentinel() = default;
    TeardownSentinel(const TeardownSentinel&) = delete;
    TeardownSentinel& operator=(const TeardownSentinel&) = delete;
    ~TeardownSentinel() { g_tearingDown = true; }
};
TeardownSentinel g_sentinel;

struct ServerLibrary {
    std::string path;
    void* handle = nullptr;
    com::DllGetClassObjectFn getClassObject = nullptr;
    com::DllCanUnloadNowFn canUnloadNow = nullptr;
    // Calls of DllGetClassObject under way: the library is not unloaded under them.
    int activations = 0;
};

struct Registry {
    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    // Made at first use, so destroyed before statics made earlier: those must find it gone.
    ~Registry() {
        g_tearingDown = true;
        g_stateGone = true;
    }
    std::mutex mutex;
    std::map<GUID, com::FactoryGetter> platform;
    std::vector<ServerLibrary> libraries;
};

// Null once destroyed.
Registry* State() {
    static Registry registry;
    return g_stateGone ? nullptr : &registry;
}

// The file and load address of the library holding this copy of the runtime.
struct ThisLibrary {
    const void* base = nullptr;
    bool identified = false;
    dev_t device = 0;
    ino_t inode = 0;
};

const ThisLibrary& This() {
    static const ThisLibrary self = [] {
        ThisLibrary s;
        Dl_info info{};
        if (dladdr(reinterpret_cast<const void*>(&This), &info) == 0)
            return s;
        s.base = info.dli_fbase;
        struct stat st {};
        if (info.dli_fname && *info.dli_fname && stat(info.dli_fname, &st) == 0) {
            s.identified = true;
            s.device = st.st_dev;
            s.inode = st.st_ino;
        }
        return s;
    }();
    return self;
}

// Taken while the library loads: the name it was opened by may be relative to the directory
// the host is in at that moment.
[[maybe_unused]] const ThisLibrary& g_thisAtLoad = This();

bool InThisLibrary(const void* address) {
    Dl_info info{};
    return address && dladdr(address, &info) != 0 && info.dli_fbase == This().base;
}

// Compared as files, so a symbolic link or another spelling of the path still matches.
bool IsThisLibraryFile(const std::string& path) {
    const ThisLibrary& self = This();
    struct stat st {};
    return self.identified && stat(path.c_str(), &st) == 0 && st.st_dev == self.device &&
           st.st_ino == self.inode;
}

com::DllGetClassObjectFn OwnEntry() {
    const com::DllGetClassObjectFn own = &DllGetClassObject;
    return own && InThisLibrary(reinterpret_cast<const void*>(own)) ? own : nullptr;
}

// Who answers for a class: this library itself (handle null) or a loaded server library, whose
// activation count stays raised until Finish.
struct Server {
    com::DllGetClassObjectFn getClassObject = nullptr;
    std::string path;
    void* handle = nullptr;
};

HRESULT Start(const std::string& path, Server& server) {
    if (IsThisLibraryFile(path)) {
        server.getClassObject = OwnEntry();
        return server.getClassObject ? S_OK : CO_E_ERRORINDLL;
    }
    Registry* r = State();
    if (!r)
        return E_UNEXPECTED;
    void* drop = nullptr;
    HRESULT hr = S_OK;
    {
        std::lock_guard lock(r->mutex);
        for (ServerLibrary& library : r->libraries) {
            if (library.path == path) {
                ++library.activations;
                server = {library.getClassObject, path, library.handle};
                return S_OK;
            }
        }
        // Loading runs constructors: not from inside a destructor.
        if (g_tearingDown)
            return E_UNEXPECTED;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return CO_E_DLLNOTFOUND;
        auto get = reinterpret_cast<com::DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
        auto canUnload = reinterpret_cast<com::DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
        if (!get) {
            drop = handle;
            hr = CO_E_ERRORINDLL;
        } else if (InThisLibrary(reinterpret_cast<const void*>(get))) {
            // The loader matched the name of this library although the file there is another
            // one now: give back the reference it just added.
            drop = handle;
            server.getClassObject = get;
        } else {
            r->libraries.push_back({path, handle, get, canUnload, 1});
            server = {get, path, handle};
        }
    }
    if (drop)
        dlclose(drop);
    return hr;
}

void Finish(const Server& server) {
    if (!server.handle)
        return;
    Registry* r = State();
    if (!r)
        return;
    std::lock_guard lock(r->mutex);
    for (ServerLibrary& library : r->libraries) {
        if (library.handle == server.handle && library.path == server.path &&
            library.activations > 0) {
            --library.activations;
            return;
        }
    }
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
    Registry* r = State();
    if (!r)
        return;
    std::lock_guard lock(r->mutex);
    if (getFactory) {
        r->platform[clsid] = getFactory;
    } else {
        r->platform.erase(clsid);
    }
}

std::size_t com::LoadedServerCount() {
    Registry* r = State();
    if (!r)
        return 0;
    std::lock_guard lock(r->mutex);
    return r->libraries.size();
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (t_state.count == 0)
        return CO_E_NOTINITIALIZED;
    if (!(context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)))
        return REGDB_E_CLASSNOTREG;
    Registry* r = State();
    if (!r)
        return E_UNEXPECTED;
    com::FactoryGetter platform = nullptr;
    {
        std::lock_guard lock(r->mutex);
        auto it = r->platform.find(clsid);
        if (it != r->platform.end())
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
    Server server;
    if (HRESULT hr = Start(*path, server); FAILED(hr))
        return hr;
    const HRESULT hr = server.getClassObject(clsid, riid, object);
    Finish(server);
    return hr;
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
    // dlclose from a destructor would run further destructors inside the loader, possibly of
    // the library whose destructor is running.
    if (g_tearingDown)
        return;
    Registry* r = State();
    if (!r)
        return;
    std::vector<ServerLibrary> candidates;
    {
        std::lock_guard lock(r->mutex);
        candidates = r->libraries;
    }
    // Asked without the lock: a server may create objects (and so call back) while it answers.
    std::vector<void*> idle;
    for (const ServerLibrary& library : candidates) {
        if (library.canUnloadNow && library.canUnloadNow() == S_OK)
            idle.push_back(library.handle);
    }
    // Out of the table no new class object can be handed out; each entry is taken by one
    // thread only, so a library is closed once.
    std::vector<ServerLibrary> taken;
    {
        std::lock_guard lock(r->mutex);
        std::vector<ServerLibrary> kept;
        for (ServerLibrary& library : r->libraries) {
            const bool isIdle = std::find(idle.begin(), idle.end(), library.handle) != idle.end();
            (isIdle && library.activations == 0 ? taken : kept).push_back(std::move(library));
        }
        r->libraries = std::move(kept);
    }
    // Asked again: a class object may have been handed out between the first answer and the
    // removal.
    for (ServerLibrary& library : taken) {
        if (library.canUnloadNow() == S_OK) {
            dlclose(library.handle);
        } else {
            std::lock_guard lock(r->mutex);
            r->libraries.push_back(std::move(library));
        }
    }
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
