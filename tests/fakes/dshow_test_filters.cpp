// A filter module for the engine's tests and for trying zylavi probe: a push source that opens
// ".testsrc" files and a renderer that accepts RGB32 video, registered the way a module's
// DllRegisterServer registers its filters.
#include <dlfcn.h>

#include "directshow/push_source.h"
#include "directshow/registration.h"
#include "directshow/renderer.h"
#include "platform/registry.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr CLSID CLSID_TestRenderer{
    0x5E1B0E9D, 0x2F3D, 0x4C5B, {0x9A, 0x8E, 0x7D, 0x6C, 0x5B, 0x4A, 0x3F, 0x99}};

class TestRenderer final : public CBaseVideoRenderer {
public:
    TestRenderer(IUnknown* outer, HRESULT* hr)
        : CBaseVideoRenderer(CLSID_TestRenderer, L"ZYL Test Renderer", outer, hr) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Type() == MEDIATYPE_Video && *type->Subtype() == MEDIASUBTYPE_RGB32 ? S_OK
                                                                                          : S_FALSE;
    }
    HRESULT DoRenderSample(IMediaSample*) override { return S_OK; }
};

const AMOVIESETUP_MEDIATYPE kVideo[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32}};
const AMOVIESETUP_PIN kSourcePins[] = {
    {L"Output", FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kVideo}};
const AMOVIESETUP_PIN kRendererPins[] = {
    {L"In", TRUE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kVideo}};
const AMOVIESETUP_FILTER kSourceSetup = {&zyl::test::CLSID_PushSource, L"ZYL Test Source",
                                         MERIT_DO_NOT_USE, 1, kSourcePins};
const AMOVIESETUP_FILTER kRendererSetup = {&CLSID_TestRenderer, L"ZYL Test Renderer", MERIT_NORMAL,
                                           1, kRendererPins};

CUnknown* NewSource(IUnknown*, HRESULT*) {
    return new zyl::test::PushSource;
}
CUnknown* NewRenderer(IUnknown* outer, HRESULT* hr) {
    return new TestRenderer(outer, hr);
}

const CFactoryTemplate g_Templates[] = {
    {L"ZYL Test Source", &zyl::test::CLSID_PushSource, NewSource, nullptr, &kSourceSetup},
    {L"ZYL Test Renderer", &CLSID_TestRenderer, NewRenderer, nullptr, &kRendererSetup},
};
constexpr int g_cTemplates = 2;

std::string OwnPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&OwnPath), &info);
    return info.dli_fname ? info.dli_fname : "";
}

const char* kExtensionKey = "HKEY_CLASSES_ROOT\\Media Type\\Extensions\\.testsrc";

}  // namespace

EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return dshow::GetClassObject(g_Templates, g_cTemplates, clsid, riid, object);
}

EXPORT HRESULT DllCanUnloadNow() {
    return dshow::CanUnloadNow();
}

EXPORT HRESULT DllRegisterServer() {
    const HRESULT hr = dshow::RegisterServer(g_Templates, g_cTemplates, OwnPath(), true);
    if (FAILED(hr))
        return hr;
    return zyl::platform::editRegistry(
               zyl::platform::registryWritePath(),
               [](zyl::platform::RegistryDocument& doc) {
                   doc.setValue(
                       kExtensionKey, "Source Filter",
                       zyl::platform::RegValue::string(GuidToString(zyl::test::CLSID_PushSource)));
               },
               nullptr)
               ? S_OK
               : SELFREG_E_CLASS;
}

EXPORT HRESULT DllUnregisterServer() {
    const HRESULT hr = dshow::RegisterServer(g_Templates, g_cTemplates, OwnPath(), false);
    zyl::platform::editRegistry(
        zyl::platform::registryWritePath(),
        [](zyl::platform::RegistryDocument& doc) { doc.deleteKey(kExtensionKey); }, nullptr);
    return hr;
}
