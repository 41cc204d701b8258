// IUnknown for the engine's small helper objects (enumerators, class factories) that offer a
// single interface and count their own references. The count is atomic; no locks.
#pragma once

#include <atomic>

#include "com/com_types.h"

template <class I>
class CSimpleUnknown : public I {
public:
    explicit CSimpleUnknown(const IID& iid) : m_iid(iid) {}
    CSimpleUnknown(const CSimpleUnknown&) = delete;
    CSimpleUnknown& operator=(const CSimpleUnknown&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == m_iid) {
            *object = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_references); }
    ULONG Release() override {
        const LONG left = --m_references;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

protected:
    virtual ~CSimpleUnknown() = default;

private:
    const IID m_iid;
    std::atomic<LONG> m_references{1};
};

// The class factory of one of the engine's own classes, made with new T(outer); it lives as
// long as the library that holds this code.
template <class T>
class CPlatformClassFactory final : public CSimpleUnknown<IClassFactory> {
public:
    CPlatformClassFactory() : CSimpleUnknown<IClassFactory>(IID_IClassFactory) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        // An aggregated object must hand its owner the non-delegating IUnknown.
        if (outer && !(riid == IID_IUnknown))
            return E_NOINTERFACE;
        auto* created = new T(outer);
        created->NonDelegatingAddRef();
        const HRESULT hr = created->NonDelegatingQueryInterface(riid, object);
        created->NonDelegatingRelease();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

    // What com::RegisterPlatformClass takes.
    static HRESULT Get(REFIID riid, void** factory) {
        // A static object keeps its own first reference, so no release ever deletes it, and it
        // goes with the library that holds it (a module that is unloaded leaves nothing behind).
        static CPlatformClassFactory<T> instance;
        return instance.QueryInterface(riid, factory);
    }
};
