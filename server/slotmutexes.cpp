#include "slotmutexes.h"

#include <cstdio>

namespace vorn::server {

SlotMutexTable::SlotMutexTable() {
    for (int i = 0; i < kSlots; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "mutex%03d", i);
        mutexes_[static_cast<std::size_t>(i)] = std::make_unique<SlotMutex>(name);
    }
}

SlotMutexes SlotMutexTable::open() const {
    SlotMutexes handles;
    for (std::size_t i = 0; i < handles.m.size(); ++i) handles.m[i] = mutexes_[i].get();
    return handles;
}

const char *SlotMutexTable::name(int slot) const {
    return mutexes_[static_cast<std::size_t>(slot)]->name();
}

void closeslotmutexes(SlotMutexes *handles) {
    handles->m.fill(nullptr);
}

}  // namespace vorn::server
