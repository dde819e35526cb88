// POSIX implementation of the named-mutex seam: a recursive mutex of this process.
#include "vorn/namedmutex.h"

#include <cstdio>
#include <mutex>

namespace vorn::platform {

NamedMutex::NamedMutex(const char *name) : mutex_(new std::recursive_mutex) {
    std::snprintf(name_, sizeof name_, "%s", name != nullptr ? name : "");
}

NamedMutex::~NamedMutex() {
    delete static_cast<std::recursive_mutex *>(mutex_);
}

void NamedMutex::lock() {
    static_cast<std::recursive_mutex *>(mutex_)->lock();
}

void NamedMutex::unlock() {
    static_cast<std::recursive_mutex *>(mutex_)->unlock();
}

}  // namespace vorn::platform
