// Win32 implementation of large cache regions: committed virtual memory, which the system
// gives pages only when they are first touched. Large pages need a privilege that a library
// can't expect its callers to hold, so the regions use ordinary pages.
#include <windows.h>

#include "vorn/platform.h"

namespace vorn::platform {

void *mapregion(std::size_t bytes) {
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmapregion(void *region, std::size_t bytes) {
    (void)bytes;
    if (region != nullptr) ::VirtualFree(region, 0, MEM_RELEASE);
}

}  // namespace vorn::platform
