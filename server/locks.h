// The lock manager: record locks per user and file (ridtbl) and the file's exclusive lock
// (exclowner, allowreads in the file's record). Record locks are advisory: they only stop
// other users from locking the same records and from taking the exclusive lock. Every
// function here runs with the file's slot mutex held.
#pragma once

#include <cstdint>
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

// The handlers (opcodes 20 to 25 and 30). Each returns 1, or 0 with the error in the reply.
std::uint32_t fslock(Request &request);
std::uint32_t fsunlock(Request &request);
std::uint32_t fsexclusivelock(Request &request);
std::uint32_t fsexclusiveunlock(Request &request);
std::uint32_t fsunlockrid(Request &request);
std::uint32_t fsislocked(Request &request);
std::uint32_t fsforceunlockrid(Request &request);

// 0 when nobody locks rid in `slot`, 1 when `user` does (first), 2 when another user does.
int ridlookup(int slot, UserId user, std::uint32_t rid);
// Drops the user's record locks on the file in `slot`.
void removeuserlocks(int slot, UserId user);
// Releases the user's exclusive lock on the file in `slot`, writing its changes first.
void releaseexclusive(int slot, UserId user);
// Drops every lock entry of the slot.
void clearlocks(int slot);

}  // namespace vorn::server
