// The server's file table: 100 file slots, each holding one open database file shared by
// every connection that opened it, with the list of its users (whoary) and the holder of its
// exclusive lock. The slot number is the fsdatanum that clients receive from an open.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fsn/fsdata.h"
#include "fsn/journalfile.h"
#include "slotmutexes.h"
#include "vorn/platform.h"
#include "vorn/wire.h"

namespace vorn::server {

// A connection is a user: its identity is the 4-byte value of its socket handle.
using UserId = std::uint32_t;
inline constexpr UserId kNoOwner = 0x20202020;  // four spaces: nobody holds the exclusive lock
inline constexpr std::size_t kMaxName = 255;
inline constexpr std::int16_t kMaxUsers = 32767;

class GroupCommit;  // groupcommit.h

// The record of an open file: the engine's state plus the server's bookkeeping.
struct SRVFSDATA {
    std::unique_ptr<FSDATA> fsdata;      // file, header image, 20 block buffers
    std::int16_t whocount = 0;           // entries of the slot's whoary; 0 for a temporary file
    UserId exclowner = kNoOwner;         // holder of the exclusive lock
    std::int16_t allowreads = 1;         // the holder lets others read (meaningless without one)
    char filename[kMaxName + 1] = {};    // the name of the first open, upper case; "" for temp
    platform::FileIdentity identity;     // the file itself, whatever name reached it
    std::string tempname;                // a temporary file's name, deleted by fsclosetemp
    JournaledFile *journaled = nullptr;  // the engine's file (owned by fsdata)
    std::string journalname;             // its journal beside it; "" for a temporary file
    GroupCommit *group = nullptr;        // durable mode: its slot's group commit, once used
};

// Slot tables, indexed by slot number. An entry of fsdatatbl is read without the slot mutex
// only to answer an invalid index early; everything else happens under mutex i, and the
// entry is checked again once the mutex is held.
extern std::atomic<SRVFSDATA *> fsdatatbl[kSlots];
// The users of each file in the order they opened it; null for a free slot and for a
// temporary file.
extern std::unique_ptr<std::vector<UserId>> whoary[kSlots];
// Set when a write-through appended a block to any file; cleared by fsdbextended.
extern std::atomic<std::int16_t> extenddb;

// Clears the tables (the service host calls it once before the first connection). 1.
int vorninit(int argc, char **argv);
int fsinit();

// Opens `name` for `user`, sharing the slot of a file that is already open. 1 with
// fsdatanum = slot and isnetwork = 1, or 0 with the error in fs.
int fsopen(const SlotMutexes &mutexes, UserId user, FS *fs, const char *name);
// Creates and opens a temporary database in the working directory; it belongs to no user.
int fsopentemp(const SlotMutexes &mutexes, FS *fs);
// Removes `user` from the file at fsdatanum; the last user's close closes the file.
void fsclose(const SlotMutexes &mutexes, UserId user, FS *fs);
// Closes every file of a connection that ends and drops all of its locks.
void fscloseallforuser(const SlotMutexes &mutexes, UserId user);
// Closes the file whose (upper-case) name is `name` for all of its users.
void fsforceclose(const SlotMutexes &mutexes, UserId user, FS *fs, const char *name);
// Closes the temporary database at fsdatanum and deletes its file.
void fsclosetemp(const SlotMutexes &mutexes, FS *fs);
// Writes and closes every open file (temporary files stay on disk). Call it once no
// connection is served any more; a second call finds nothing to do.
void fscloseall();
// Clears extenddb and every open file's dbextended flag.
void fsdbextended();

// Writes and closes the file in `slot` and frees the slot with its user list and record
// locks. The caller holds the slot mutex.
void freeslot(int slot);
// True when `user` is in the list.
bool hasuser(const std::vector<UserId> *who, UserId user);
// The number of open slots (for tests and status).
int openslotcount();

}  // namespace vorn::server
