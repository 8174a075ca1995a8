// A COM interface pointer held for the length of a scope, released when it
// ends: what the Win32 backend's PNG encoder and the tests' PNG decoder hold
// their WIC objects in.
#pragma once

namespace vcl::win32 {

template <class Interface>
class ComHeld {
  public:
    ComHeld() = default;
    ComHeld(const ComHeld&) = delete;
    ComHeld& operator=(const ComHeld&) = delete;
    ~ComHeld() { reset(); }
    Interface* operator->() const { return pointer_; }
    Interface* get() const { return pointer_; }
    // Where a call that makes the interface puts it (the one held before released).
    Interface** put() {
        reset();
        return &pointer_;
    }
    void reset() {
        if (pointer_ != nullptr)
            pointer_->Release();
        pointer_ = nullptr;
    }

  private:
    Interface* pointer_ = nullptr;
};

}  // namespace vcl::win32
