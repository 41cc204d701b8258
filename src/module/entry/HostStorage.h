// Driver objects built in host storage: HostRef (a move-only {handle, pointer} that releases
// its handle) and the builder that allocates a host object, constructs the driver object in its
// block and attaches it. Any thread; no locks of its own (the host's calls are thread-safe).
#pragma once

#include <new>
#include <utility>

#include "host/ZylHost.h"
#include "module/base/errors/host_exceptions.h"

namespace zylBase {

template <class T>
class HostRef {
public:
    HostRef() = default;
    HostRef(HostHandle handle, T* object) : m_handle(handle), m_object(object) {}
    HostRef(const HostRef&) = delete;
    HostRef& operator=(const HostRef&) = delete;
    HostRef(HostRef&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)),
          m_object(std::exchange(other.m_object, nullptr)) {}
    HostRef& operator=(HostRef&& other) noexcept {
        if (this != &other) {
            Reset();
            m_handle = std::exchange(other.m_handle, nullptr);
            m_object = std::exchange(other.m_object, nullptr);
        }
        return *this;
    }
    ~HostRef() { Reset(); }

    void Reset() {
        if (m_handle != nullptr)
            HostRelease(m_handle);
        m_handle = nullptr;
        m_object = nullptr;
    }
    // Gives up the handle (the caller now owns its reference).
    HostHandle Release() {
        m_object = nullptr;
        return std::exchange(m_handle, nullptr);
    }
    HostHandle handle() const { return m_handle; }
    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    HostHandle m_handle = nullptr;
    T* m_object = nullptr;
};

// Turns a negative host result of an attach into the exception the host boundary expects.
inline void ThrowOnAttachResult(ZYL::Result result) {
    if (result >= 0)
        return;
    if (result == ZYL::kBadArgument)
        throw invalid_argument("Interface in ptr present this container");
    if (result == ZYL::kNoMemory)
        throw bad_alloc();
    throw runtime_error();
}

namespace detail {

// The most derived class of every object in host storage: Dispose destroys in place, since the
// block belongs to the host object.
template <class T>
class make_shared_t final : public T {
public:
    template <class... Args>
    explicit make_shared_t(Args&&... args) : T(std::forward<Args>(args)...) {}
    void Dispose() override {
        // An object that other threads may still be inside when its host disposes of it gets
        // them out first: the destructor itself already rewrites the object.
        if constexpr (requires(T & t) { t.ReleaseWaiters(); })
            this->ReleaseWaiters();
        this->~make_shared_t();
    }
};

}  // namespace detail

// Allocates a host object, builds T in its block and attaches it; releases the handle and
// rethrows when construction or attaching fails.
template <class T, class... Args>
HostRef<T> BuildInHostStorage(Args&&... args) {
    void* block = nullptr;
    HostHandle handle = HostAllocObject(sizeof(detail::make_shared_t<T>), &block);
    if (handle == nullptr || block == nullptr) {
        throw bad_alloc();
    }
    T* object;
    try {
        object = new (block) detail::make_shared_t<T>(std::forward<Args>(args)...);
    } catch (...) {
        HostRelease(handle);
        throw;
    }
    HostRef<T> result(handle, object);
    try {
        ZYL::IDisposableType* disposable = object;
        if (disposable == nullptr)
            throw argument_null();
        ThrowOnAttachResult(HostAttachDisposable(handle, disposable));
    } catch (...) {
        // Not attached: the host would only free the block, so the object (and the file it
        // may hold) is destroyed here; the virtual destructor reaches the whole object.
        ZYL::IDisposableType* disposable = object;
        disposable->~IDisposableType();
        throw;  // result releases the handle
    }
    return result;
}

}  // namespace zylBase
