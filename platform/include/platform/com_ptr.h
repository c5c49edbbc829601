#pragma once
// An owned interface pointer: released when it goes, or when it receives a new one through
// out(). One for the service layer's tests, the test servers and the client tool alike.

#include <utility>

#include "platform/com.h"

namespace platform {

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(T* adopted) : p_(adopted) {}
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // For results: the old pointer is released first.
    T** out() {
        Reset();
        return &p_;
    }
    void** outVoid() { return reinterpret_cast<void**>(out()); }
    IUnknown** outUnknown() { return reinterpret_cast<IUnknown**>(out()); }

    template <typename U>
    ComPtr<U> As(REFIID iid) const {
        ComPtr<U> other;
        if (p_) p_->QueryInterface(iid, other.outVoid());
        return other;
    }

private:
    T* p_ = nullptr;
};

}  // namespace platform
