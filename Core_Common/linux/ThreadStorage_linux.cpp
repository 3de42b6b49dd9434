#include "Core_Common/ThreadStorage.h"

#include <new>
#include <pthread.h>

namespace Core_Common {

tss_key tss_create(void (*destructor)(void*)) {
    pthread_key_t key{};
    if (pthread_key_create(&key, destructor) != 0) {
        throw std::bad_alloc();
    }
    return static_cast<tss_key>(key);
}

void tss_delete(tss_key key) { pthread_key_delete(static_cast<pthread_key_t>(key)); }

void* tss_get(tss_key key) { return pthread_getspecific(static_cast<pthread_key_t>(key)); }

void tss_set(tss_key key, void* value) {
    pthread_setspecific(static_cast<pthread_key_t>(key), value);
}

} // namespace Core_Common
