// The COM runtime: GUIDs, initialisation, activation of an in-process server through the
// registry, unloading, and the owning pointer.
#include "com/runtime.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

#include "com/com_ptr.h"
#include "directshow/push_source.h"
#include "fakes/com_test_server.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace {

const std::string kServer = std::string(ZYLAVI_TEST_FAKES) + "/libcom_test_server.so";

// Initialises COM for the test's thread and gives it a registry file of its own.
class ComRuntime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }
    // What regsvr32 does: load, call the export, unload.
    static HRESULT Register(const char* function, const std::string& path = kServer) {
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return CO_E_DLLNOTFOUND;
        auto fn = reinterpret_cast<com::DllRegisterServerFn>(dlsym(library, function));
        const HRESULT hr = fn();
        dlclose(library);
        return hr;
    }
    zyl::test::TempDir dir;
    zyl::test::ScopedEnv registry{"ZYLON_REGISTRY", dir.file("registry.reg")};
};

bool ServerLoaded(const std::string& path = kServer) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

// A loaded library's own answer; E_FAIL when it is not loaded.
HRESULT CanUnloadNow(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return E_FAIL;
    const HRESULT hr = reinterpret_cast<com::DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"))();
    dlclose(handle);
    return hr;
}

}  // namespace

TEST(Guid, WindowsLayoutAndTextForm) {
    const GUID g = CLSID_TestCounter;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&g);
    EXPECT_EQ(bytes[0], 0x9C) << "Data1 little-endian first";
    EXPECT_EQ(bytes[8], 0x9A) << "Data4 as bytes";
    EXPECT_EQ(GuidToString(g), "{6A1B0E9C-2F3D-4C5B-9A8E-7D6C5B4A3F21}");
    EXPECT_EQ(GuidFromString("{6a1b0e9c-2f3d-4c5b-9a8e-7d6c5b4a3f21}"), g);
    EXPECT_EQ(GuidFromString("6A1B0E9C-2F3D-4C5B-9A8E-7D6C5B4A3F21"), g);
    for (const char* bad :
         {"", "{6A1B0E9C-2F3D-4C5B-9A8E-7D6C5B4A3F2}", "{6A1B0E9C+2F3D-4C5B-9A8E-7D6C5B4A3F21}",
          "{6A1B0E9C-2F3D-4C5B-9A8E-7D6C5B4A3F2G}"}) {
        EXPECT_FALSE(GuidFromString(bad)) << bad;
    }
}

TEST(ComInit, PerThreadCountsAndModes) {
    std::thread([] {
        void* object = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK)
            << "fully uninitialised: any mode";
        CoUninitialize();
    }).join();
}

TEST_F(ComRuntime, ActivatesARegisteredServerAndUnloadsItWhenUnused) {
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(Register("DllRegisterServer"), S_OK);
    {
        ComPtr<ITestCounter> counter;
        ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITestCounter, counter.PutVoid()),
                  S_OK);
        EXPECT_EQ(counter->Increment(), 1);
        ComPtr<ITestCounter> copy = counter;
        EXPECT_EQ(copy->Increment(), 2);
        EXPECT_EQ(com::LoadedServerCount(), 1u);
        CoFreeUnusedLibraries();
        EXPECT_TRUE(ServerLoaded()) << "an object still lives";
        ComPtr<IUnknown> unknown;
        EXPECT_EQ(counter.As(unknown, IID_IUnknown), S_OK);
        ComPtr<IClassFactory> wrong;
        EXPECT_EQ(counter.As(wrong, IID_IClassFactory), E_NOINTERFACE);
    }
    CoFreeUnusedLibraries();
    EXPECT_EQ(com::LoadedServerCount(), 0u);
    EXPECT_FALSE(ServerLoaded());

    IUnknown* outer = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, outer, CLSCTX_ALL, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    CoFreeUnusedLibraries();
    ASSERT_EQ(Register("DllUnregisterServer"), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
}

TEST_F(ComRuntime, MissingLibrariesAndPlatformClasses) {
    ASSERT_TRUE(zyl::platform::editRegistry(
        dir.file("registry.reg"),
        [](zyl::platform::RegistryDocument& doc) {
            doc.setValue(com::InprocServerKey(CLSID_TestCounter), "",
                         zyl::platform::RegValue::string("/nowhere/lib.so"));
        },
        nullptr));
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              CO_E_DLLNOTFOUND);

    static const CLSID kPlatform{0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    com::RegisterPlatformClass(kPlatform, [](REFIID, void** factory) {
        *factory = nullptr;
        return E_NOTIMPL;
    });
    EXPECT_EQ(CoGetClassObject(kPlatform, CLSCTX_ALL, nullptr, IID_IClassFactory, &object),
              E_NOTIMPL)
        << "the platform's class answers without the registry";
}

TEST_F(ComRuntime, InprocHandlerRequestsAreServedByTheServer) {
    ASSERT_EQ(Register("DllRegisterServer"), S_OK);
    constexpr DWORD kLocalServer = 0x4;
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CoGetClassObject(CLSID_TestCounter, kLocalServer, nullptr, IID_IClassFactory,
                               factory.PutVoid()),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_HANDLER, nullptr, IID_IClassFactory,
                               factory.PutVoid()),
              S_OK);
    ComPtr<ITestCounter> counter;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITestCounter, counter.PutVoid()), S_OK);
    counter.Reset();
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());
}

// A filter module's class factories are live objects of the module (they derive from
// CBaseObject), so DllCanUnloadNow answers S_FALSE while one is held, locked or not.
TEST_F(ComRuntime, AHeldClassFactoryKeepsAFilterModuleLoaded) {
    const std::string module = std::string(ZYLAVI_TEST_FAKES) + "/libdshow_test_filters.so";
    ASSERT_EQ(Register("DllRegisterServer", module), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(zyl::test::CLSID_PushSource, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, factory.PutVoid()),
              S_OK);
    EXPECT_EQ(CanUnloadNow(module), S_FALSE) << "a factory is held";
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerLoaded(module));

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(CanUnloadNow(module), S_FALSE) << "locked";
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerLoaded(module));

    ASSERT_EQ(CoGetClassObject(zyl::test::CLSID_PushSource, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, factory.PutVoid()),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(CanUnloadNow(module), S_FALSE) << "unlocked, but a factory is still held";
    ComPtr<IUnknown> source;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, source.PutVoid()), S_OK);
    factory.Reset();
    EXPECT_EQ(CanUnloadNow(module), S_FALSE) << "a filter lives";
    source.Reset();
    EXPECT_EQ(CanUnloadNow(module), S_OK);
    CoFreeUnusedLibraries();
    EXPECT_EQ(com::LoadedServerCount(), 0u);
    EXPECT_FALSE(ServerLoaded(module));
}
