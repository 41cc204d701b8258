// CUnknown: the base of every COM object written against the base classes. It counts its own
// references through the non-delegating interface and, when aggregated, sends the delegating
// IUnknown calls to its owner. CBaseObject counts live objects, which a server's
// DllCanUnloadNow reads.
//
// Reference counts are atomics; no locks. An object may be released from any thread.
#pragma once

#include <atomic>

#include "directshow/dshow_interfaces.h"

struct INonDelegatingUnknown {
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

class CBaseObject {
public:
    explicit CBaseObject(const wchar_t* name);
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
    virtual ~CBaseObject();
    static LONG ObjectsActive();
    const wchar_t* ObjectName() const { return m_name; }

private:
    const wchar_t* m_name;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    CUnknown(const wchar_t* name, IUnknown* outer, HRESULT* hr = nullptr);
    ~CUnknown() override = default;

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // The IUnknown the object shows: its owner when aggregated, else itself.
    IUnknown* GetOwner() const { return m_owner; }
    // The object's own, non-delegating IUnknown (what an aggregating owner holds).
    IUnknown* NonDelegatingUnknown() { return &m_self; }

protected:
    std::atomic<LONG> m_cRef{0};

private:
    // A real IUnknown in front of the non-delegating methods, so the object's identity is an
    // IUnknown object of its own rather than a reinterpreted interface.
    struct Self final : IUnknown {
        explicit Self(CUnknown* o) : object(o) {}
        virtual ~Self() = default;
        HRESULT QueryInterface(REFIID riid, void** out) override {
            return object->NonDelegatingQueryInterface(riid, out);
        }
        ULONG AddRef() override { return object->NonDelegatingAddRef(); }
        ULONG Release() override { return object->NonDelegatingRelease(); }
        CUnknown* object;
    };
    Self m_self{this};
    IUnknown* const m_owner;
};

// Hands out an interface with a reference added.
HRESULT GetInterface(IUnknown* unknown, void** object);

// The delegating IUnknown of a class derived from CUnknown and from COM interfaces.
#define DECLARE_IUNKNOWN                                          \
    HRESULT QueryInterface(REFIID riid, void** object) override { \
        return GetOwner()->QueryInterface(riid, object);          \
    }                                                             \
    ULONG AddRef() override {                                     \
        return GetOwner()->AddRef();                              \
    }                                                             \
    ULONG Release() override {                                    \
        return GetOwner()->Release();                             \
    }
