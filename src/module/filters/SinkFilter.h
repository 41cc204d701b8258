// What the module's two renderer filters share on top of their renderer base: being their own
// IConnectionPointContainer with one IConnectionPoint for their sink interface, the vendor
// string, the final-release line, and the filter's own recursive lock.
//
// Threads: the player's thread advises, unadvises and enumerates; the graph's threads call the
// renderer base. Locks: the filter's own lock (the qnThreads::CCriticalSection base) guards the
// subscriber map; it is taken after the renderer base's locks where both are held, and before
// the ring buffer's lock in the video filter.
#pragma once

#include <cwchar>

#include "com/runtime.h"
#include "directshow/renderer.h"
#include "module/filters/ConnectionPoints.h"
#include "module/logging/logstream.h"

namespace COM {

template <class Renderer, class PointEnumerator, class ConnectionsEnumerator>
class TSinkFilter : public Renderer,
                    public IConnectionPointContainer,
                    public IConnectionPoint,
                    public qnThreads::CCriticalSection {
public:
    TSinkFilter(REFCLSID clsid, const wchar_t* name, IUnknown* outer, HRESULT* hr,
                REFIID connectionIid, const char* finalReleaseText)
        : Renderer(clsid, name, outer, hr),
          m_subscribers(connectionIid, *this),
          m_finalReleaseText(finalReleaseText) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return this->GetOwner()->QueryInterface(riid, object);
    }
    ULONG AddRef() override { return this->GetOwner()->AddRef(); }
    ULONG Release() override { return this->GetOwner()->Release(); }

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid == IID_IConnectionPointContainer)
            return GetInterface(static_cast<IConnectionPointContainer*>(this), object);
        if (riid == IID_IConnectionPoint)
            return GetInterface(static_cast<IConnectionPoint*>(this), object);
        return Renderer::NonDelegatingQueryInterface(riid, object);
    }
    ULONG NonDelegatingRelease() override {
        if (this->m_cRef == 1) {
            QN_LOG(qnLogging::root_logger(), qnLogging::level::info) << m_finalReleaseText;
        }
        return Renderer::NonDelegatingRelease();
    }

    HRESULT QueryVendorInfo(LPWSTR* info) override {
        if (!info)
            return E_POINTER;
        static constexpr wchar_t kVendor[] = L"Quarnet GmbH";
        *info = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kVendor));
        if (!*info)
            return E_OUTOFMEMORY;
        std::wmemcpy(*info, kVendor, std::size(kVendor));
        return S_OK;
    }

    // IConnectionPointContainer
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override {
        return HandOutEnumerator<PointEnumerator>(points, kPointEnumeratorFailure,
                                                  static_cast<IBaseFilter*>(this),
                                                  static_cast<IConnectionPoint*>(this));
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) override {
        return m_subscribers.FindConnectionPoint(this, riid, point);
    }

    // IConnectionPoint
    HRESULT GetConnectionInterface(IID* iid) override {
        return m_subscribers.GetConnectionInterface(iid);
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (!container)
            return E_POINTER;
        return GetInterface(static_cast<IConnectionPointContainer*>(this),
                            reinterpret_cast<void**>(container));
    }
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
        return m_subscribers.Advise(sink, cookie);
    }
    HRESULT Unadvise(DWORD cookie) override { return m_subscribers.Unadvise(cookie); }
    HRESULT EnumConnections(IEnumConnections** connections) override {
        return HandOutEnumerator<ConnectionsEnumerator>(connections, kConnectionsEnumeratorFailure,
                                                        static_cast<IBaseFilter*>(this),
                                                        m_subscribers);
    }

protected:
    CSubscribers m_subscribers;

private:
    const char* const m_finalReleaseText;
};

}  // namespace COM
