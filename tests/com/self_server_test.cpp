// A module that is an in-process server of its own class and creates that class through the
// registry while it loads: it must not hold itself loaded (the host's dlclose unloads it), and
// the CoUninitialize of its destructors must not unload any library, nor crash at process exit.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "com/runtime.h"
#include "fakes/com_self_server.h"
#include "fakes/com_test_server.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace {

const std::string kSelfServer = std::string(ZYLAVI_TEST_FAKES) + "/libcom_self_server.so";
const std::string kTestServer = std::string(ZYLAVI_TEST_FAKES) + "/libcom_test_server.so";

bool Loaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

template <class Fn>
Fn Export(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

// What regsvr32 does: load, call the registration export, unload.
HRESULT RegisterServer(const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return CO_E_DLLNOTFOUND;
    const HRESULT hr = Export<com::DllRegisterServerFn>(library, "DllRegisterServer")();
    dlclose(library);
    return hr;
}

// The module as a host sees it: loaded with dlopen, read through its exports.
struct Module {
    Module() : library(dlopen(kSelfServer.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    HRESULT CreatedAtLoad() const {
        return Export<SelfServerCreatedAtLoadFn>(library, "SelfServerCreatedAtLoad")();
    }
    HRESULT PeerAtLoad() const {
        return Export<SelfServerPeerAtLoadFn>(library, "SelfServerPeerAtLoad")();
    }
    LONG Objects() const { return Export<SelfServerObjectsFn>(library, "SelfServerObjects")(); }
    void ReleaseNow() const { Export<SelfServerReleaseNowFn>(library, "SelfServerReleaseNow")(); }
    HRESULT Create() const { return Export<SelfServerCreateFn>(library, "SelfServerCreate")(); }
    unsigned LoadedServers() const {
        return Export<SelfServerLoadedServersFn>(library, "SelfServerLoadedServers")();
    }
    void FreeUnused() const { Export<SelfServerFreeUnusedFn>(library, "SelfServerFreeUnused")(); }
    HRESULT CanUnloadNow() const {
        return Export<com::DllCanUnloadNowFn>(library, "DllCanUnloadNow")();
    }
    void Close() {
        dlclose(library);
        library = nullptr;
    }
    void* library;
};

class SelfServer : public ::testing::Test {
protected:
    zyl::test::TempDir dir;
    zyl::test::ScopedEnv registry{"ZYLON_REGISTRY", dir.file("registry.reg")};
};
using SelfServerDeathTest = SelfServer;

}  // namespace

TEST_F(SelfServer, CreatesItsOwnClassWithoutHoldingItselfLoaded) {
    Module unregistered;
    ASSERT_NE(unregistered.library, nullptr) << dlerror();
    EXPECT_EQ(unregistered.CreatedAtLoad(), REGDB_E_CLASSNOTREG);
    unregistered.Close();
    EXPECT_FALSE(Loaded(kSelfServer));
    ASSERT_EQ(RegisterServer(kSelfServer), S_OK);
    EXPECT_FALSE(Loaded(kSelfServer));

    for (const bool releaseBeforeUnload : {false, true}) {
        SCOPED_TRACE(releaseBeforeUnload ? "released before dlclose" : "held until unloading");
        Module module;
        ASSERT_NE(module.library, nullptr) << dlerror();
        EXPECT_EQ(module.CreatedAtLoad(), S_OK);
        EXPECT_EQ(module.Objects(), 1);
        EXPECT_EQ(module.LoadedServers(), 0u) << "its own class needs no library loaded";
        EXPECT_EQ(module.Create(), S_OK) << "once loaded as well";
        EXPECT_EQ(module.LoadedServers(), 0u);
        EXPECT_EQ(module.Objects(), 1);
        if (releaseBeforeUnload) {
            module.ReleaseNow();
            EXPECT_EQ(module.Objects(), 0);
            EXPECT_EQ(module.CanUnloadNow(), S_OK);
        } else {
            EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
        }
        module.Close();
        EXPECT_FALSE(Loaded(kSelfServer)) << "the host's dlclose unloads it";
    }
}

TEST_F(SelfServer, KnowsItselfByFileNotByPathText) {
    const std::string link = dir.file("libself-link.so");
    std::filesystem::create_symlink(kSelfServer, link);
    ASSERT_TRUE(zyl::platform::editRegistry(
        dir.file("registry.reg"),
        [&](zyl::platform::RegistryDocument& doc) {
            doc.setValue(com::InprocServerKey(CLSID_TestSelfServed), "",
                         zyl::platform::RegValue::string(link));
        },
        nullptr));
    Module module;
    ASSERT_NE(module.library, nullptr) << dlerror();
    EXPECT_EQ(module.CreatedAtLoad(), S_OK);
    EXPECT_EQ(module.LoadedServers(), 0u);
    module.Close();
    EXPECT_FALSE(Loaded(kSelfServer));
}

TEST_F(SelfServer, OtherServersUnloadWhenFreedButNotFromItsDestructors) {
    // The module first, so that loading it to register it makes no counter.
    ASSERT_EQ(RegisterServer(kSelfServer), S_OK);
    ASSERT_EQ(RegisterServer(kTestServer), S_OK);
    ASSERT_FALSE(Loaded(kTestServer));
    {
        Module module;
        ASSERT_NE(module.library, nullptr) << dlerror();
        EXPECT_EQ(module.PeerAtLoad(), S_OK);
        EXPECT_EQ(module.LoadedServers(), 1u);
        module.FreeUnused();
        EXPECT_TRUE(Loaded(kTestServer)) << "its counter is held";
        module.ReleaseNow();
        module.FreeUnused();
        EXPECT_EQ(module.LoadedServers(), 0u);
        EXPECT_FALSE(Loaded(kTestServer)) << "unused: freed";
        module.Close();
        EXPECT_FALSE(Loaded(kSelfServer));
    }
    {
        Module module;
        ASSERT_NE(module.library, nullptr) << dlerror();
        EXPECT_EQ(module.PeerAtLoad(), S_OK);
        module.Close();
        EXPECT_FALSE(Loaded(kSelfServer));
    }
    // Its destructor released the counter and uninitialised COM while the loader was running
    // destructors: the test server's library is idle but still loaded.
    void* server = dlopen(kTestServer.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(server, nullptr) << "no library is unloaded from inside a destructor";
    EXPECT_EQ(Export<com::DllCanUnloadNowFn>(server, "DllCanUnloadNow")(), S_OK);
    // Our reference, then the one the unloaded module could not give back.
    dlclose(server);
    dlclose(server);
    EXPECT_FALSE(Loaded(kTestServer));
}

TEST_F(SelfServerDeathTest, ProcessExitsCleanlyWithTheModuleStillHoldingObjects) {
    ASSERT_EQ(RegisterServer(kSelfServer), S_OK);
    ASSERT_EQ(RegisterServer(kTestServer), S_OK);
    EXPECT_EXIT(
        {
            Module module;
            if (!module.library || module.CreatedAtLoad() != S_OK || module.PeerAtLoad() != S_OK)
                std::_Exit(2);
            // Never closed: its static objects and destructor functions run during exit.
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
