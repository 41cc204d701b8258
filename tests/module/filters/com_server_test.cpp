// The module as a COM server: its registration written into a temporary registry file and
// removed again (nothing else touched), class objects it refuses, and when it may be unloaded.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <memory>

#include "module/entry/ComServer.h"
#include "module/filters/DShowTarget.h"
#include "module/filters/sink_test.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

using namespace zyl::test;

namespace {

constexpr const char* kOtherKey = "HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI";

std::string ClassKey(REFCLSID clsid) {
    return "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(clsid);
}

std::optional<std::string> Server(const std::string& file, REFCLSID clsid) {
    const auto loaded = zyl::platform::loadRegistry(file);
    const auto* value = loaded.document.find(ClassKey(clsid) + "\\InprocServer32", "");
    return value ? value->asString() : std::nullopt;
}

// The built library as a host loads it, with counts of its own: only what a test makes of it
// keeps it from unloading.
using Library = std::unique_ptr<void, int (*)(void*)>;
Library LoadBuiltModule() {
    const std::string exe = zyl::platform::executablePath();
    const std::string path = exe.substr(0, exe.rfind('/')) + "/libZylAvi.so";
    return {dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL), dlclose};
}
template <class F>
F* Export(const Library& library, const char* name) {
    return library ? reinterpret_cast<F*>(dlsym(library.get(), name)) : nullptr;
}

class ComServer : public SinkTest {
protected:
    TempDir dir;
    // A setting of the user's that registration must leave alone.
    const std::string registryFile = dir.write(
        "r.reg", std::string("REGEDIT4\n\n[") + kOtherKey + "]\n\"NumBuffers\"=dword:00000004\n");
    ScopedEnv registry{"ZYLON_REGISTRY", registryFile};
};

const CLSID kClasses[] = {COM::CLSID_ZYLDirectShowTarget, COM::CLSID_ZYLDirectShowTextTarget};

}  // namespace

TEST_F(ComServer, RegistrationWritesBothFiltersAndUnregistrationRemovesExactlyThat) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(ZYL::ModulePath().front(), '/') << "an absolute path";
    for (const CLSID& clsid : kClasses)
        EXPECT_EQ(Server(registryFile, clsid), ZYL::ModulePath()) << GuidToString(clsid);
    const auto filters = dshow::RegisteredFilters();
    ASSERT_EQ(filters.size(), 2u);
    for (const auto& filter : filters)
        EXPECT_EQ(filter.merit, 0x00200000u) << "never picked by automatic graph building";
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_TRUE(dshow::RegisteredFilters().empty());
    const auto after = zyl::platform::loadRegistry(registryFile);
    for (const CLSID& clsid : kClasses)
        EXPECT_FALSE(after.document.hasKey(ClassKey(clsid))) << GuidToString(clsid);
    const auto* kept = after.document.find(kOtherKey, "NumBuffers");
    ASSERT_NE(kept, nullptr) << "the user's settings survive";
    EXPECT_EQ(kept->asDword(), 4u);
}

// Factories, filters and locks each keep the module loaded; an unlock without its lock is
// refused and leaves the module unloadable.
TEST_F(ComServer, ClassObjectsOnlyForTheTableAndOnlyAsFactories) {
    const Library module = LoadBuiltModule();
    auto* getClassObject = Export<HRESULT(REFCLSID, REFIID, void**)>(module, "DllGetClassObject");
    auto* canUnload = Export<HRESULT()>(module, "DllCanUnloadNow");
    ASSERT_TRUE(getClassObject && canUnload);
    ASSERT_EQ(canUnload(), S_OK) << "nothing of the module's is alive yet";
    ComPtr<IUnknown> object;
    EXPECT_EQ(getClassObject(CLSID_FilterGraph, IID_IClassFactory, object.PutVoid()),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(getClassObject(COM::CLSID_ZYLDirectShowTarget, IID_IBaseFilter, object.PutVoid()),
              E_NOINTERFACE);
    EXPECT_FALSE(object);
    for (const CLSID& clsid : kClasses) {
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, factory.PutVoid()), S_OK)
            << GuidToString(clsid);
        EXPECT_EQ(canUnload(), S_FALSE) << "a factory is alive";
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, filter.PutVoid()), S_OK);
        factory.Reset();
        EXPECT_EQ(canUnload(), S_FALSE) << "a filter is alive";
        filter.Reset();
        EXPECT_EQ(canUnload(), S_OK) << GuidToString(clsid);
    }

    // Each round with a factory of its own: a lock outlives the factory that took it.
    struct Round {
        BOOL lock;
        HRESULT result, unload;
    };
    for (const Round& round : {Round{FALSE, E_UNEXPECTED, S_OK}, Round{TRUE, S_OK, S_FALSE},
                               Round{FALSE, S_OK, S_OK}, Round{FALSE, E_UNEXPECTED, S_OK}}) {
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(
            getClassObject(COM::CLSID_ZYLDirectShowTarget, IID_IClassFactory, factory.PutVoid()),
            S_OK);
        EXPECT_EQ(factory->LockServer(round.lock), round.result) << round.lock;
        factory.Reset();
        EXPECT_EQ(canUnload(), round.unload) << round.lock;
    }
}
