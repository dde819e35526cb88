// POSIX implementation of large cache regions: anonymous mappings aligned for transparent
// huge pages. A block cache read at random touches one page per block; with 4 KiB pages a
// cache of tens of megabytes misses the translation buffer on nearly every block.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "vorn/platform.h"

namespace vorn::platform {

void *mapregion(std::size_t bytes) {
    // Whole pages, so that the tail given back below starts at a page.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    bytes = (bytes + page - 1) / page * page;
    // A huge page backs only an aligned stretch of a mapping: map one alignment more than
    // asked and give back the unaligned head and the tail.
    const std::size_t mapped = bytes + kRegionAlignment;
    void *start =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t aligned = (base + kRegionAlignment - 1) & ~(kRegionAlignment - 1);
    if (aligned > base) ::munmap(start, aligned - base);
    const std::uintptr_t end = aligned + bytes;
    if (base + mapped > end) ::munmap(reinterpret_cast<void *>(end), base + mapped - end);
    // No madvise(MADV_HUGEPAGE): where the system gives huge pages only on request, a request
    // makes each first touch of 2 MiB wait for the kernel to find or compact a free huge page,
    // which at times cost adds of a large temporary database half their speed. Where it gives
    // them to every mapping, the aligned region gets them without that wait.
    return reinterpret_cast<void *>(aligned);
}

void unmapregion(void *region, std::size_t bytes) {
    if (region != nullptr) ::munmap(region, bytes);
}

}  // namespace vorn::platform
