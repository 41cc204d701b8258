#include "directshow/unknown.h"

namespace {
std::atomic<LONG> g_objectsActive{0};
}

CBaseObject::CBaseObject(const wchar_t* name) : m_name(name) {
    ++g_objectsActive;
}
CBaseObject::~CBaseObject() {
    --g_objectsActive;
}
LONG CBaseObject::ObjectsActive() {
    return g_objectsActive.load();
}

CUnknown::CUnknown(const wchar_t* name, IUnknown* outer, HRESULT*)
    : CBaseObject(name), m_owner(outer ? outer : &m_self) {}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown) {
        return GetInterface(&m_self, object);
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() {
    return static_cast<ULONG>(++m_cRef);
}

ULONG CUnknown::NonDelegatingRelease() {
    const LONG left = --m_cRef;
    if (left == 0) {
        // Guards against a destructor that adds and drops a reference of its own.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(left);
}

HRESULT GetInterface(IUnknown* unknown, void** object) {
    if (!object)
        return E_POINTER;
    *object = unknown;
    unknown->AddRef();
    return S_OK;
}
