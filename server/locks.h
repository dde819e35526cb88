// The lock manager: record locks per user and file (ridtbl) and the file's exclusive lock
// (exclowner, allowreads in the file's record). Record locks are advisory: they only stop
// other users from locking the same records and from taking the exclusive lock. Every
// function here runs with the file's slot mutex held, named by the handles `held` it was taken
// through. The handlers are in lockops.cpp.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "filetable.h"

namespace vorn::server {

// One user's record locks on one file.
struct LockEntry {
    UserId userid = 0;
    std::vector<std::uint32_t> rids;  // count at most kMaxUsers (a signed 16-bit count)
};

// A rid of a request's data: the index-th 4-byte value as sent.
inline std::uint32_t ridat(const std::uint8_t *data, std::size_t index) {
    std::uint32_t rid;
    std::memcpy(&rid, data + index * sizeof rid, sizeof rid);
    return rid;
}

enum class AddLocks { Added, NoMemoryToGrow, NoMemoryForEntry };

class LockManager {
  public:
    // True when anyone locks one of the n rids of `data` in `slot`.
    bool anyridlocked(const SlotMutexes &held, int slot, const std::uint8_t *data,
                      std::size_t n) const REQUIRES(held[slot]);
    // True when anyone holds a record lock in `slot`.
    bool anylocks(const SlotMutexes &held, int slot) const REQUIRES(held[slot]);
    // The number of record locks `user` holds in `slot`.
    std::size_t heldlocks(const SlotMutexes &held, int slot, UserId user) const
        REQUIRES(held[slot]);
    // Adds the n rids of `data` to the user's locks; out of memory nothing changes.
    AddLocks addlocks(const SlotMutexes &held, int slot, UserId user, const std::uint8_t *data,
                      std::size_t n) REQUIRES(held[slot]);
    // Drops every lock of `user` on rid (the user's entry goes with its last rid).
    void unlockrid(const SlotMutexes &held, int slot, UserId user, std::uint32_t rid)
        REQUIRES(held[slot]);
    // Drops the first lock on rid, whoever holds it.
    void forceunlockrid(const SlotMutexes &held, int slot, std::uint32_t rid) REQUIRES(held[slot]);
    // 0 when nobody locks rid in `slot`, 1 when `user` does (first), 2 when another user does.
    int ridlookup(const SlotMutexes &held, int slot, UserId user, std::uint32_t rid) const
        REQUIRES(held[slot]);
    // Drops the user's record locks on the file in `slot`.
    void removeuserlocks(const SlotMutexes &held, int slot, UserId user) REQUIRES(held[slot]);
    // Drops every lock entry of the slot.
    void clearlocks(const SlotMutexes &held, int slot) REQUIRES(held[slot]);

    // Releases the user's exclusive lock on `file` (null: none), writing its changes first.
    // The file's slot mutex is held.
    static void releaseexclusive(SRVFSDATA *file, UserId user);

  private:
    using Entries = std::vector<LockEntry>;
    Entries::iterator entryof(int slot, UserId user);
    Entries::const_iterator entryof(int slot, UserId user) const;
    bool removeridat(int slot, Entries::iterator entry, std::size_t index);

    // Per slot, the lock entries in the order their users first locked; entry i is guarded
    // by slot mutex i.
    Entries ridtbl_[kSlots];
};

}  // namespace vorn::server
