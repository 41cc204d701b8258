// A server library standing in for the external decoder filters the player inserts by class id
// (an H.264 decoder, an H.265 decoder and a colour space converter). Each is the rewiring
// tests' pass-through video converter under that class id; only the class keys are registered,
// so automatic graph building never picks them.
#include <dlfcn.h>

#include <string>

#include "directshow/registration.h"
#include "module/player/rewiring_filters.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr CLSID CLSID_H264Decoder{
    0xE2B7DF25, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
constexpr CLSID CLSID_H265Decoder{
    0xE2B7DE9C, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
constexpr CLSID CLSID_ColorSpaceConverter{
    0xE2B7DAF2, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};

template <const CLSID& clsid>
CUnknown* New(IUnknown*, HRESULT*) {
    return new zyl::test::rewiring::TestConverter(clsid);
}

const CFactoryTemplate g_Templates[] = {
    {L"Test H264 Decoder", &CLSID_H264Decoder, New<CLSID_H264Decoder>, nullptr, nullptr},
    {L"Test H265 Decoder", &CLSID_H265Decoder, New<CLSID_H265Decoder>, nullptr, nullptr},
    {L"Test Color Space Converter", &CLSID_ColorSpaceConverter, New<CLSID_ColorSpaceConverter>,
     nullptr, nullptr},
};
constexpr int g_cTemplates = 3;

std::string OwnPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&OwnPath), &info);
    return info.dli_fname ? info.dli_fname : "";
}

}  // namespace

EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return dshow::GetClassObject(g_Templates, g_cTemplates, clsid, riid, object);
}

EXPORT HRESULT DllCanUnloadNow() {
    return dshow::CanUnloadNow();
}

EXPORT HRESULT DllRegisterServer() {
    return dshow::RegisterServer(g_Templates, g_cTemplates, OwnPath(), true);
}

EXPORT HRESULT DllUnregisterServer() {
    return dshow::RegisterServer(g_Templates, g_cTemplates, OwnPath(), false);
}
