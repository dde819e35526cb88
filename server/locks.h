// The lock manager: record locks per user and file (ridtbl) and the file's exclusive lock
// (exclowner, allowreads in the file's record). Record locks are advisory: they only stop
// other users from locking the same records and from taking the exclusive lock. Every
// function here runs with the file's slot mutex held. The handlers are in lockops.cpp.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "request.h"

namespace vorn::server {

// One user's record locks on one file.
struct LockEntry {
    UserId userid = 0;
    std::vector<std::uint32_t> rids;  // count at most kMaxUsers (a signed 16-bit count)
};

// Per slot, the lock entries in the order their users first locked.
extern std::vector<LockEntry> ridtbl[kSlots];

// A rid of a request's data: the index-th 4-byte value as sent.
inline std::uint32_t ridat(const std::uint8_t *data, std::size_t index) {
    std::uint32_t rid;
    std::memcpy(&rid, data + index * sizeof rid, sizeof rid);
    return rid;
}

// True when anyone locks one of the n rids of `data` in `slot`.
bool anyridlocked(int slot, const std::uint8_t *data, std::size_t n);
// True when anyone holds a record lock in `slot`.
bool anylocks(int slot);
// The number of record locks `user` holds in `slot`.
std::size_t heldlocks(int slot, UserId user);
enum class AddLocks { Added, NoMemoryToGrow, NoMemoryForEntry };
// Adds the n rids of `data` to the user's locks; out of memory nothing changes.
AddLocks addlocks(int slot, UserId user, const std::uint8_t *data, std::size_t n);
// Drops every lock of `user` on rid (the user's entry goes with its last rid).
void unlockrid(int slot, UserId user, std::uint32_t rid);
// Drops the first lock on rid, whoever holds it.
void forceunlockrid(int slot, std::uint32_t rid);
// 0 when nobody locks rid in `slot`, 1 when `user` does (first), 2 when another user does.
int ridlookup(int slot, UserId user, std::uint32_t rid);
// Drops the user's record locks on the file in `slot`.
void removeuserlocks(int slot, UserId user);
// Releases the user's exclusive lock on the file in `slot`, writing its changes first.
void releaseexclusive(int slot, UserId user);
// Drops every lock entry of the slot.
void clearlocks(int slot);

}  // namespace vorn::server
