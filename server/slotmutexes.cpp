#include "slotmutexes.h"

#include <cstdio>

namespace vorn::server {
namespace {

struct NamedMutex {
    std::recursive_mutex mutex;
    char name[12] = {};
};

struct MutexTable {
    std::array<NamedMutex, kSlots> slots;
    MutexTable() {
        for (int i = 0; i < kSlots; ++i) {
            std::snprintf(slots[i].name, sizeof slots[i].name, "mutex%03d", i);
        }
    }
};

// Made once, on first use (thread-safe), and alive until the process ends.
std::array<NamedMutex, kSlots> &mutextable() {
    static MutexTable table;
    return table.slots;
}

}  // namespace

SlotMutexes openslotmutexes() {
    SlotMutexes handles;
    auto &table = mutextable();
    for (int i = 0; i < kSlots; ++i) handles.m[i] = &table[i].mutex;
    return handles;
}

void closeslotmutexes(SlotMutexes *handles) {
    handles->m.fill(nullptr);
}

const char *slotmutexname(int slot) {
    return mutextable()[slot].name;
}

}  // namespace vorn::server
