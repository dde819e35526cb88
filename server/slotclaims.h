// Finding or claiming a file slot, atomically with respect to every other open: one file
// never occupies two slots, and a slot that one open claimed is never taken by another.
//
// The claims live under one table mutex that is held only briefly and never while waiting
// for a slot mutex; a thread may take it while it holds a slot mutex (to free the slot).
#pragma once

#include <condition_variable>

#include "mutex.h"
#include "slotmutexes.h"
#include "vorn/platform.h"

namespace vorn::server {

struct Claim {
    int slot = -1;          // -1: every slot is taken
    bool existing = false;  // the file is already open in `slot`
};

// The claims of one file table's slots.
class SlotClaims {
  public:
    // The slot that holds the file `id`, or a newly claimed free slot for it (the lowest).
    // While another open is still setting the same file up, waits for it to finish.
    Claim findorclaim(const platform::FileIdentity &id);
    // True when some slot is free (a hint: a later claim may still fail).
    bool hasfreeslot();
    // The claimed slot now holds its record.
    void publishslot(int slot);
    // The slot is free again (a failed open, or a close that freed it).
    void releaseslot(int slot);
    // Forgets every claim (vorninit).
    void resetclaims();

  private:
    enum class SlotState { Free, Opening, Open };

    Mutex mutex_;
    std::condition_variable settled_;  // an Opening slot became Open or Free
    SlotState state_[kSlots] GUARDED_BY(mutex_) = {};
    platform::FileIdentity identity_[kSlots] GUARDED_BY(mutex_);
};

}  // namespace vorn::server
