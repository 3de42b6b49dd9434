#include "Core_Common/Thread.h"

#include <cerrno>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace Core_Common::thread_helper {
namespace {

// The kernel keeps 15 bytes of a thread name; cut at a character boundary.
std::string kernel_thread_name(const std::string& name) {
    std::size_t length = name.size() < 15 ? name.size() : 15;
    while (length > 0 && length < name.size() &&
           (static_cast<unsigned char>(name[length]) & 0xC0u) == 0x80u) {
        --length;
    }
    return name.substr(0, length);
}

} // namespace

void apply_to_current_thread(const std::string& name, thread_priority_enum priority) {
    // On Linux the nice value belongs to the thread (its id), not to the whole process.
    const auto self = static_cast<id_t>(gettid());
    errno = 0;
    const int inherited = getpriority(PRIO_PROCESS, self);
    if (errno == 0) {
        const int wanted = linux_thread_nice(priority, inherited);
        if (wanted != inherited) {
            setpriority(PRIO_PROCESS, self, wanted);
        }
    }
    if (!name.empty()) {
        pthread_setname_np(pthread_self(), kernel_thread_name(name).c_str());
    }
}

std::string current_thread_name() {
    char name[16] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) {
        return {};
    }
    return name;
}

int current_thread_priority() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }

} // namespace Core_Common::thread_helper
