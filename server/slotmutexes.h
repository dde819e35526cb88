// The slot mutexes: one recursive mutex per file slot, shared by every connection. Mutex i
// guards fsdatatbl[i], the record it points to, whoary[i] and ridtbl[i]. The table is
// process-wide and made once; each connection "opens" it by keeping its own array of
// references, which it passes to every operation.
#pragma once

#include <array>

#include "vorn/namedmutex.h"

namespace vorn::server {

inline constexpr int kSlots = 100;

// One connection's handles to the 100 slot mutexes.
struct SlotMutexes {
    std::array<platform::NamedMutex *, kSlots> m{};
    platform::NamedMutex &operator[](int slot) const { return *m[static_cast<std::size_t>(slot)]; }
};

// Fills a connection's handles (the mutexes are created on first use, not owned).
SlotMutexes openslotmutexes();
// Drops a connection's handles; the mutexes themselves live as long as the process.
void closeslotmutexes(SlotMutexes *handles);
// The name of mutex i, "mutex%03d" (the system's name of the mutex on Windows).
const char *slotmutexname(int slot);

}  // namespace vorn::server
