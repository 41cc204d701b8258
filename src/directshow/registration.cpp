#include "directshow/registration.h"

#include <algorithm>
#include <atomic>
#include <sstream>

#include "com/runtime.h"
#include "directshow/simple_unknown.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

std::atomic<LONG> g_serverLocks{0};

std::string Narrow(const wchar_t* text) {
    auto utf8 = zyl::platform::wideToUtf8(text ? text : L"");
    return utf8.value_or("");
}

std::wstring Wide(const std::string& text) {
    auto wide = zyl::platform::utf8ToWide(text);
    return wide.value_or(L"");
}

std::string FilterKey(REFCLSID clsid) {
    return "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(CLSID_LegacyAmFilterCategory) +
           "\\Instance\\" + GuidToString(clsid);
}

// A live object of the module like any other (a CBaseObject), so a factory someone holds keeps
// the module loaded even without LockServer.
class CClassFactory final : public CSimpleUnknown<IClassFactory>, public CBaseObject {
public:
    explicit CClassFactory(const CFactoryTemplate* t)
        : CSimpleUnknown<IClassFactory>(IID_IClassFactory),
          CBaseObject(L"Class Factory"),
          m_template(t) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        // An aggregated object must hand its owner the non-delegating IUnknown.
        if (outer && !(riid == IID_IUnknown))
            return E_NOINTERFACE;
        HRESULT hr = S_OK;
        CUnknown* created = m_template->m_lpfnNew(outer, &hr);
        if (!created)
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        created->NonDelegatingAddRef();
        if (SUCCEEDED(hr))
            hr = created->NonDelegatingQueryInterface(riid, object);
        created->NonDelegatingRelease();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock) {
            ++g_serverLocks;
            return S_OK;
        }
        // An unlock without its lock would keep the count below zero, and the server loaded,
        // for good.
        LONG held = g_serverLocks.load();
        do {
            if (held <= 0)
                return E_UNEXPECTED;
        } while (!g_serverLocks.compare_exchange_weak(held, held - 1));
        return S_OK;
    }

private:
    const CFactoryTemplate* m_template;
};

}  // namespace

HRESULT dshow::GetClassObject(const CFactoryTemplate* templates, int count, REFCLSID clsid,
                              REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!(riid == IID_IUnknown) && !(riid == IID_IClassFactory))
        return E_NOINTERFACE;
    for (int i = 0; i < count; ++i) {
        if (templates[i].m_ClsID && *templates[i].m_ClsID == clsid && templates[i].m_lpfnNew) {
            *object = static_cast<IClassFactory*>(new CClassFactory(&templates[i]));
            return S_OK;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT dshow::CanUnloadNow() {
    // Class factories count among the live objects.
    return CBaseObject::ObjectsActive() == 0 && g_serverLocks == 0 ? S_OK : S_FALSE;
}

HRESULT dshow::RegisterServer(const CFactoryTemplate* templates, int count,
                              const std::string& modulePath, bool reg) {
    const bool ok = zyl::platform::editRegistry(
        zyl::platform::registryWritePath(),
        [&](zyl::platform::RegistryDocument& doc) {
            using zyl::platform::RegValue;
            for (int i = 0; i < count; ++i) {
                const CFactoryTemplate& t = templates[i];
                if (!t.m_ClsID)
                    continue;
                const std::string classKey =
                    "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(*t.m_ClsID);
                doc.deleteKey(classKey);
                doc.deleteKey(FilterKey(*t.m_ClsID));
                if (!reg)
                    continue;
                doc.setValue(classKey, "", RegValue::string(Narrow(t.m_Name)));
                doc.setValue(classKey + "\\InprocServer32", "", RegValue::string(modulePath));
                doc.setValue(classKey + "\\InprocServer32", "ThreadingModel",
                             RegValue::string("Both"));
                const AMOVIESETUP_FILTER* setup = t.m_pAMovieSetup_Filter;
                if (!setup)
                    continue;
                const std::string key = FilterKey(*t.m_ClsID);
                doc.setValue(key, "FriendlyName", RegValue::string(Narrow(setup->strName)));
                doc.setValue(key, "CLSID", RegValue::string(GuidToString(*t.m_ClsID)));
                doc.setValue(key, "Merit", RegValue::dword(setup->dwMerit));
                for (UINT p = 0; p < setup->nPins; ++p) {
                    const AMOVIESETUP_PIN& pin = setup->lpPin[p];
                    const std::string pinKey = key + "\\Pins\\" + std::to_string(p);
                    doc.setValue(pinKey, "Name", RegValue::string(Narrow(pin.strName)));
                    doc.setValue(pinKey, "Output", RegValue::dword(pin.bOutput ? 1 : 0));
                    doc.setValue(pinKey, "Rendered", RegValue::dword(pin.bRendered ? 1 : 0));
                    // The value names of the legacy per-pin registration.
                    doc.setValue(pinKey, "AllowedZero", RegValue::dword(pin.bZero ? 1 : 0));
                    doc.setValue(pinKey, "AllowedMany", RegValue::dword(pin.bMany ? 1 : 0));
                    doc.setValue(
                        pinKey, "ConnectsToFilter",
                        RegValue::string(GuidToString(
                            pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : CLSID_NULL)));
                    doc.setValue(pinKey, "ConnectsToPin",
                                 RegValue::string(Narrow(pin.strConnectsToPin)));
                    std::ostringstream types;
                    for (UINT m = 0; m < pin.nMediaTypes; ++m) {
                        const AMOVIESETUP_MEDIATYPE& type = pin.lpMediaType[m];
                        types << (m ? ";" : "")
                              << GuidToString(type.clsMajorType ? *type.clsMajorType : GUID_NULL)
                              << "/"
                              << GuidToString(type.clsMinorType ? *type.clsMinorType : GUID_NULL);
                    }
                    doc.setValue(pinKey, "Types", RegValue::string(types.str()));
                }
            }
        },
        nullptr);
    return ok ? S_OK : SELFREG_E_CLASS;
}

std::vector<dshow::RegisteredFilter> dshow::RegisteredFilters() {
    std::vector<RegisteredFilter> filters;
    const auto view = zyl::platform::loadRegistryView();
    const auto& doc = view.document;
    const std::string category =
        "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(CLSID_LegacyAmFilterCategory) + "\\Instance";
    for (const std::string& instance : doc.subkeyNames(category)) {
        const std::string key = category + "\\" + instance;
        RegisteredFilter f;
        const auto* clsid = doc.find(key, "CLSID");
        const auto clsidText = clsid ? clsid->asString() : std::nullopt;
        const auto parsed = clsidText ? GuidFromString(*clsidText) : GuidFromString(instance);
        if (!parsed)
            continue;
        f.clsid = *parsed;
        if (const auto* name = doc.find(key, "FriendlyName"))
            f.name = Wide(name->asString().value_or(""));
        if (const auto* merit = doc.find(key, "Merit"))
            f.merit = merit->asDword().value_or(0);
        for (const std::string& pinName : doc.subkeyNames(key + "\\Pins")) {
            const std::string pinKey = key + "\\Pins\\" + pinName;
            RegisteredPin pin;
            if (const auto* v = doc.find(pinKey, "Name"))
                pin.name = Wide(v->asString().value_or(""));
            if (const auto* v = doc.find(pinKey, "Output"))
                pin.output = v->asDword().value_or(0) != 0;
            if (const auto* v = doc.find(pinKey, "Rendered"))
                pin.rendered = v->asDword().value_or(0) != 0;
            if (const auto* v = doc.find(pinKey, "AllowedZero"))
                pin.zero = v->asDword().value_or(0) != 0;
            if (const auto* v = doc.find(pinKey, "AllowedMany"))
                pin.many = v->asDword().value_or(0) != 0;
            if (const auto* v = doc.find(pinKey, "ConnectsToFilter"))
                pin.connectsToFilter =
                    GuidFromString(v->asString().value_or("")).value_or(CLSID_NULL);
            if (const auto* v = doc.find(pinKey, "ConnectsToPin"))
                pin.connectsToPin = Wide(v->asString().value_or(""));
            if (const auto* v = doc.find(pinKey, "Types")) {
                std::istringstream list(v->asString().value_or(""));
                std::string entry;
                while (std::getline(list, entry, ';')) {
                    const auto slash = entry.find('/');
                    if (slash == std::string::npos)
                        continue;
                    auto major = GuidFromString(entry.substr(0, slash));
                    auto minor = GuidFromString(entry.substr(slash + 1));
                    if (major && minor)
                        pin.types.emplace_back(*major, *minor);
                }
            }
            f.pins.push_back(std::move(pin));
        }
        filters.push_back(std::move(f));
    }
    std::stable_sort(
        filters.begin(), filters.end(),
        [](const RegisteredFilter& a, const RegisteredFilter& b) { return a.merit > b.merit; });
    return filters;
}
