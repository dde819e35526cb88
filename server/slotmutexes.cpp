#include "slotmutexes.h"

#include <cstdio>
#include <memory>

namespace vorn::server {
namespace {

struct MutexTable {
    std::array<std::unique_ptr<platform::NamedMutex>, kSlots> slots;
    MutexTable() {
        for (int i = 0; i < kSlots; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "mutex%03d", i);
            slots[i] = std::make_unique<platform::NamedMutex>(name);
        }
    }
};

// Made once, on first use (thread-safe), and alive until the process ends.
std::array<std::unique_ptr<platform::NamedMutex>, kSlots> &mutextable() {
    static MutexTable table;
    return table.slots;
}

}  // namespace

SlotMutexes openslotmutexes() {
    SlotMutexes handles;
    auto &table = mutextable();
    for (int i = 0; i < kSlots; ++i) handles.m[i] = table[i].get();
    return handles;
}

void closeslotmutexes(SlotMutexes *handles) {
    handles->m.fill(nullptr);
}

const char *slotmutexname(int slot) {
    return mutextable()[slot]->name();
}

}  // namespace vorn::server
