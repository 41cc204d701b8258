// ComPtr<T>: the owning interface pointer of our own code. Holds one reference; copies add one,
// moves transfer it. No locks (reference counts are the objects' own business).
#pragma once

#include <utility>

#include "com/com_types.h"

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}  // NOLINT: implicit by design
    // Takes over a reference the caller already owns.
    static ComPtr Attach(T* pointer) {
        ComPtr p;
        p.m_pointer = pointer;
        return p;
    }
    // Adds a reference of its own.
    explicit ComPtr(T* pointer) : m_pointer(pointer) {
        if (m_pointer)
            m_pointer->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.m_pointer) {}
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_pointer, other.m_pointer);
        return *this;
    }
    ~ComPtr() { Reset(); }

    void Reset() {
        if (T* p = std::exchange(m_pointer, nullptr))
            p->Release();
    }
    // Gives up the reference to the caller.
    T* Detach() { return std::exchange(m_pointer, nullptr); }
    T* Get() const { return m_pointer; }
    T* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }
    // For out parameters: releases what is held and hands out the slot.
    T** Put() {
        Reset();
        return &m_pointer;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    template <class U>
    HRESULT As(ComPtr<U>& out, REFIID iid) const {
        if (!m_pointer)
            return E_POINTER;
        return m_pointer->QueryInterface(iid, out.PutVoid());
    }

private:
    T* m_pointer = nullptr;
};
