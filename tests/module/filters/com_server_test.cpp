// The module as a COM server: its registration written into a temporary registry file and
// removed again (nothing else touched), class objects it refuses, its filters created through
// COM from the built library once registered, and the text a user sees when they are not.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "module/config/Configuration.h"
#include "module/entry/ComServer.h"
#include "module/filters/DShowTarget.h"
#include "module/filters/sink_graph.h"
#include "platform/process.h"
#include "platform/registry.h"

using namespace zyl::test;

namespace {

constexpr const char* kOtherKey = "HKEY_LOCAL_MACHINE\\Software\\Zylon\\Imagora\\AVI";

std::string ClassKey(REFCLSID clsid) {
    return "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(clsid);
}

std::optional<std::string> StringValue(const std::string& file, const std::string& key,
                                       const std::string& name) {
    const auto loaded = zyl::platform::loadRegistry(file);
    const auto* value = loaded.document.find(key, name);
    return value ? value->asString() : std::nullopt;
}

std::string BuiltModule() {
    const std::string exe = zyl::platform::executablePath();
    return exe.substr(0, exe.rfind('/')) + "/libZylAvi.so";
}

class ComServer : public SinkTest {
protected:
    void SetUp() override {
        SinkTest::SetUp();
        // A setting of the user's that registration must leave alone.
        registryFile = dir.write("r.reg", std::string("REGEDIT4\n\n[") + kOtherKey +
                                              "]\n\"NumBuffers\"=dword:00000004\n");
    }
    TempDir dir;
    std::string registryFile;
    ScopedEnv registry{"ZYLON_REGISTRY", dir.file("r.reg")};
};

}  // namespace

TEST_F(ComServer, RegistrationWritesBothFiltersAndUnregistrationRemovesExactlyThat) {
    const std::string original = readFile(registryFile);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const auto messages = log->messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().text, "Registering ZYL DirectShow Target Filter");
    EXPECT_EQ(messages.front().logger, "DllRegisterServer");

    const std::pair<CLSID, std::string> classes[] = {
        {COM::CLSID_ZYLDirectShowTarget, "ZYL DirectShow Target"},
        {COM::CLSID_ZYLDirectShowTextTarget, "ZYL DirectShow TextTarget"}};
    for (const auto& [clsid, name] : classes) {
        EXPECT_EQ(StringValue(registryFile, ClassKey(clsid), ""), name);
        EXPECT_EQ(StringValue(registryFile, ClassKey(clsid) + "\\InprocServer32", ""),
                  ZYL::ModulePath());
        EXPECT_EQ(StringValue(registryFile, ClassKey(clsid) + "\\InprocServer32", "ThreadingModel"),
                  "Both");
    }
    EXPECT_EQ(ZYL::ModulePath().front(), '/') << "an absolute path";
    const auto filters = dshow::RegisteredFilters();
    ASSERT_EQ(filters.size(), 2u);
    for (const auto& filter : filters) {
        EXPECT_EQ(filter.merit, 0x00200000u) << "never picked by automatic graph building";
        ASSERT_EQ(filter.pins.size(), 1u);
        EXPECT_TRUE(filter.pins[0].rendered);
        EXPECT_FALSE(filter.pins[0].output);
        if (filter.clsid == COM::CLSID_ZYLDirectShowTarget) {
            EXPECT_EQ(filter.name, L"ZYL DirectShow Target");
            EXPECT_EQ(filter.pins[0].name, L"Video Input");
            EXPECT_EQ(filter.pins[0].types,
                      (std::vector<std::pair<GUID, GUID>>{{MEDIATYPE_Video, MEDIASUBTYPE_RGB8},
                                                          {MEDIATYPE_Video, MEDIASUBTYPE_RGB24},
                                                          {MEDIATYPE_Video, MEDIASUBTYPE_RGB32}}));
        } else {
            EXPECT_EQ(filter.clsid, COM::CLSID_ZYLDirectShowTextTarget);
            EXPECT_EQ(filter.name, L"ZYL DirectShow TextTarget");
            EXPECT_EQ(filter.pins[0].name, L"Text Input");
            EXPECT_EQ(filter.pins[0].types,
                      (std::vector<std::pair<GUID, GUID>>{{MEDIATYPE_Text, GUID_NULL}}));
        }
    }

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(log->messages().back().text, "DeRegistering ZYL DirectShow Target Filter");
    EXPECT_EQ(log->messages().back().logger, "DllUnregisterServer");
    EXPECT_TRUE(dshow::RegisteredFilters().empty());
    const auto after = zyl::platform::loadRegistry(registryFile);
    for (const auto& [clsid, name] : classes)
        EXPECT_FALSE(after.document.hasKey(ClassKey(clsid))) << name;
    const auto* kept = after.document.find(kOtherKey, "NumBuffers");
    ASSERT_NE(kept, nullptr) << "the user's settings survive";
    EXPECT_EQ(kept->asDword(), 4u);
}

TEST_F(ComServer, ClassObjectsOnlyForTheTableAndOnlyAsFactories) {
    const LONG before = CBaseObject::ObjectsActive();
    ComPtr<IUnknown> object;
    EXPECT_EQ(DllGetClassObject(CLSID_FilterGraph, IID_IClassFactory, object.PutVoid()),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(DllGetClassObject(COM::CLSID_ZYLDirectShowTarget, IID_IBaseFilter, object.PutVoid()),
              E_NOINTERFACE);
    EXPECT_FALSE(object);
    EXPECT_EQ(DllGetClassObject(COM::CLSID_ZYLDirectShowTarget, IID_IClassFactory, nullptr),
              E_POINTER);
    for (const CLSID& clsid :
         {COM::CLSID_ZYLDirectShowTarget, COM::CLSID_ZYLDirectShowTextTarget}) {
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(DllGetClassObject(clsid, IID_IClassFactory, factory.PutVoid()), S_OK);
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a factory is alive";
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, filter.PutVoid()), S_OK);
        CLSID created{};
        ASSERT_EQ(filter->GetClassID(&created), S_OK);
        EXPECT_EQ(created, clsid);
        filter.Reset();
        factory.Reset();
    }
    EXPECT_EQ(CountLogged("Create CDShow target filter"), 2u) << "both creation routines log it";
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    if (before == 0) {
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
}

// What `zylavi register build/bin/libZylAvi.so` does, and a player creating its renderers.
TEST_F(ComServer, TheBuiltModuleRegisteredMakesItsFiltersCreatable) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    ComPtr<IBaseFilter> filter;
    const HRESULT missing =
        CoCreateInstance(COM::CLSID_ZYLDirectShowTarget, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IBaseFilter, filter.PutVoid());
    EXPECT_TRUE(FAILED(missing)) << "not registered yet";
    const std::string hint = ZYL::RendererCreationFailureText("ZYL DirectShow Target", missing);
    EXPECT_NE(hint.find("zylavi register "), std::string::npos) << hint;
    EXPECT_NE(hint.find("ZYL DirectShow Target"), std::string::npos) << hint;

    void* module = dlopen(BuiltModule().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto reg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(module, "DllRegisterServer"));
    auto unreg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(module, "DllUnregisterServer"));
    ASSERT_TRUE(reg && unreg);
    ASSERT_EQ(reg(), S_OK);
    const auto server = StringValue(
        registryFile, ClassKey(COM::CLSID_ZYLDirectShowTarget) + "\\InprocServer32", "");
    ASSERT_TRUE(server);
    EXPECT_EQ(server->front(), '/') << *server;
    EXPECT_TRUE(std::filesystem::equivalent(*server, BuiltModule())) << *server;
    for (const CLSID& clsid :
         {COM::CLSID_ZYLDirectShowTarget, COM::CLSID_ZYLDirectShowTextTarget}) {
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   filter.PutVoid()),
                  S_OK);
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(filter.As(container, IID_IConnectionPointContainer), S_OK);
        LPWSTR vendor = nullptr;
        ASSERT_EQ(filter->QueryVendorInfo(&vendor), S_OK);
        EXPECT_STREQ(vendor, L"Quarnet GmbH");
        CoTaskMemFree(vendor);
        container.Reset();
        filter.Reset();
    }
    CoFreeUnusedLibraries();
    ASSERT_EQ(unreg(), S_OK);
    EXPECT_EQ(CoCreateInstance(COM::CLSID_ZYLDirectShowTarget, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IBaseFilter, filter.PutVoid()),
              missing)
        << "unregistered again";
    dlclose(module);
    CoUninitialize();
}

TEST_F(ComServer, AnUnlockWithoutItsLockIsRefusedAndLeavesTheServerUnloadable) {
    const LONG before = CBaseObject::ObjectsActive();
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(
        DllGetClassObject(COM::CLSID_ZYLDirectShowTarget, IID_IClassFactory, factory.PutVoid()),
        S_OK);
    struct Step {
        BOOL lock;
        HRESULT result;
    };
    for (const Step& step : {Step{FALSE, E_UNEXPECTED}, Step{TRUE, S_OK}, Step{TRUE, S_OK},
                             Step{FALSE, S_OK}, Step{FALSE, S_OK}, Step{FALSE, E_UNEXPECTED}})
        EXPECT_EQ(factory->LockServer(step.lock), step.result) << step.lock;
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a lock outlives its factory";
    ASSERT_EQ(
        DllGetClassObject(COM::CLSID_ZYLDirectShowTarget, IID_IClassFactory, factory.PutVoid()),
        S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    if (before == 0) {
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
}

// Every field of a pin's setup data survives registration and comes back as the graph reads it.
TEST_F(ComServer, PinSetupDataRoundTripsWhole) {
    constexpr CLSID kFilter{
        0x1B2C3D4E, 0x5F60, 0x4172, {0x83, 0x94, 0xA5, 0xB6, 0xC7, 0xD8, 0xE9, 0xFA}};
    const AMOVIESETUP_MEDIATYPE types[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
    const AMOVIESETUP_PIN pins[] = {
        {L"Plain", TRUE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, types},
        {L"Optional many", FALSE, TRUE, TRUE, TRUE, &COM::CLSID_ZYLDirectShowTarget, L"Video Input",
         1, types},
        {L"No filter", FALSE, FALSE, TRUE, FALSE, nullptr, L"", 0, nullptr}};
    const AMOVIESETUP_FILTER setup = {&kFilter, L"Pins", MERIT_NORMAL, 3, pins};
    const CFactoryTemplate table[] = {{L"Pins", &kFilter, nullptr, nullptr, &setup}};
    ASSERT_EQ(dshow::RegisterServer(table, 1, "/nowhere/lib.so", true), S_OK);
    const auto filters = dshow::RegisteredFilters();
    ASSERT_EQ(filters.size(), 1u);
    ASSERT_EQ(filters[0].pins.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& read = filters[0].pins[i];
        EXPECT_EQ(read.name, pins[i].strName);
        EXPECT_EQ(read.rendered, pins[i].bRendered != FALSE) << i;
        EXPECT_EQ(read.output, pins[i].bOutput != FALSE) << i;
        EXPECT_EQ(read.zero, pins[i].bZero != FALSE) << i;
        EXPECT_EQ(read.many, pins[i].bMany != FALSE) << i;
        EXPECT_EQ(read.connectsToFilter,
                  pins[i].clsConnectsToFilter ? *pins[i].clsConnectsToFilter : CLSID_NULL)
            << i;
        EXPECT_EQ(read.connectsToPin, pins[i].strConnectsToPin ? pins[i].strConnectsToPin : L"")
            << i;
    }
    // The module's own pins: required, single, connecting to any filter and any pin.
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const auto loaded = zyl::platform::loadRegistry(registryFile);
    const std::string pinKey = "HKEY_CLASSES_ROOT\\CLSID\\" +
                               GuidToString(CLSID_LegacyAmFilterCategory) + "\\Instance\\" +
                               GuidToString(COM::CLSID_ZYLDirectShowTarget) + "\\Pins\\0";
    for (const char* name : {"AllowedZero", "AllowedMany"}) {
        const auto* value = loaded.document.find(pinKey, name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(value->asDword(), 0u) << name;
    }
    const auto* filter = loaded.document.find(pinKey, "ConnectsToFilter");
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->asString(), GuidToString(CLSID_NULL));
    const auto* pin = loaded.document.find(pinKey, "ConnectsToPin");
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->asString(), "");
}

// Registering without an override writes the user's file only, which adds to the machine-wide
// settings instead of hiding them; unregistering what is not there creates nothing.
TEST_F(ComServer, RegistrationWithoutAnOverrideLayersOverTheMachineWideFile) {
    ScopedEnv unset{"ZYLON_REGISTRY", ""};
    ScopedEnv home{"XDG_CONFIG_HOME", dir.file("home")};
    const std::string machineText =
        std::string("REGEDIT4\n\n[") + kOtherKey + "]\n\"NumBuffers\"=dword:00000006\n";
    ScopedEnv machine{"ZYLON_MACHINE_REGISTRY", dir.write("machine.reg", machineText)};
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(std::filesystem::exists(dir.file("home")));
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(StringValue(dir.file("home/zylon/registry.reg"),
                          ClassKey(COM::CLSID_ZYLDirectShowTarget) + "\\InprocServer32", ""),
              ZYL::ModulePath());
    EXPECT_EQ(readFile(dir.file("machine.reg")), machineText);
    EXPECT_EQ(ZYL::ReadConfiguration().numBuffers, 6) << "the machine's setting still applies";
    EXPECT_EQ(dshow::RegisteredFilters().size(), 2u);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_TRUE(dshow::RegisteredFilters().empty());
}
