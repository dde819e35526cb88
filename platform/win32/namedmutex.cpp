// Win32 implementation of the named-mutex seam: CreateMutex with the name, not owned at
// first. Kernel mutexes are recursive for their owning thread. A mutex whose owner ended
// without releasing it (WAIT_ABANDONED) is owned by the waiter all the same.
#include "vorn/namedmutex.h"

#include <windows.h>

#include <cstdio>
#include <system_error>

namespace vorn::platform {

NamedMutex::NamedMutex(const char *name) {
    std::snprintf(name_, sizeof name_, "%s", name != nullptr ? name : "");
    mutex_ = ::CreateMutexA(nullptr, FALSE, name_[0] != '\0' ? name_ : nullptr);
    if (mutex_ == nullptr) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "CreateMutex");
    }
}

NamedMutex::~NamedMutex() {
    ::CloseHandle(static_cast<HANDLE>(mutex_));
}

void NamedMutex::lock() {
    ::WaitForSingleObject(static_cast<HANDLE>(mutex_), INFINITE);
}

void NamedMutex::unlock() {
    ::ReleaseMutex(static_cast<HANDLE>(mutex_));
}

}  // namespace vorn::platform
