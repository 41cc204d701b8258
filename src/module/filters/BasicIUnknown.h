// COM::CBasicIUnknown: the reference count of the module's small COM objects (the connection
// enumerators here, the player's event sinks). An object starts with one reference, owned by
// whoever receives it first, and destroys itself through its virtual destructor when the last
// one goes. The count is atomic; no locks; any thread.
#pragma once

#include <atomic>

#include "com/com_types.h"

namespace COM {

class CBasicIUnknown : public IUnknown {
public:
    CBasicIUnknown() = default;
    CBasicIUnknown(const CBasicIUnknown&) = delete;
    CBasicIUnknown& operator=(const CBasicIUnknown&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override = 0;
    ULONG AddRef() override { return static_cast<ULONG>(++m_references); }
    ULONG Release() override {
        const LONG left = --m_references;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }
    virtual ~CBasicIUnknown() = default;

protected:
    // What a final-release log line compares against; a snapshot, as any count read outside.
    LONG References() const { return m_references.load(); }

private:
    std::atomic<LONG> m_references{1};
};

}  // namespace COM
