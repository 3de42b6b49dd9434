#pragma once

#include <cstdint>

namespace Core_Common {

// Raw thread-specific slots of the platform. The destructor runs on a thread that ends while
// its slot holds a value. (A thread_local with a destructor is not used: with MinGW's emulated
// TLS the destructor may run after the variable's storage was freed.)
using tss_key = std::uintptr_t;
tss_key tss_create(void (*destructor)(void*));
void tss_delete(tss_key key);
void* tss_get(tss_key key);
void tss_set(tss_key key, void* value);

// Owns one value of T per thread; each thread's value is deleted when that thread ends.
template <class T> class thread_specific_ptr {
public:
    thread_specific_ptr() : key_(tss_create(&destroy)) {}
    ~thread_specific_ptr() {
        reset();
        tss_delete(key_);
    }
    thread_specific_ptr(const thread_specific_ptr&) = delete;
    thread_specific_ptr& operator=(const thread_specific_ptr&) = delete;

    T* get() const { return static_cast<T*>(tss_get(key_)); }
    void reset(T* value = nullptr) {
        T* old = get();
        tss_set(key_, value);
        delete old;
    }

private:
    static void destroy(void* value) { delete static_cast<T*>(value); }

    tss_key key_;
};

} // namespace Core_Common
