#pragma once

namespace Core_Common {

// The process-wide instance slot of a module implementation. Null while the module does
// not exist; written only by the module's Create and Destroy.
template <class T> class Singleton {
public:
    static inline T* instance = nullptr;

protected:
    Singleton() = default;
};

// The Create and Destroy pattern shared by every module: an existing instance is destroyed
// first, so both are safe to call whether or not the module exists.
template <class T> void destroy_instance(T*& slot) {
    T* old = slot;
    slot = nullptr;
    delete old;
}

template <class T, class... Args> void create_instance(T*& slot, Args&&... args) {
    destroy_instance(slot);
    slot = new T(static_cast<Args&&>(args)...);
}

} // namespace Core_Common
