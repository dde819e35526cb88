// The server's file table: 100 file slots, each holding one open database file shared by
// every connection that opened it, with the list of its users (whoary) and the holder of its
// exclusive lock. The slot number is the fsdatanum that clients receive from an open. The
// table owns the slots, their mutexes and claims; the opens and closes that fill and empty
// the slots are in openfiles.h and closefiles.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fileoptions.h"
#include "fsn/fsdata.h"
#include "fsn/journalfile.h"
#include "slotclaims.h"
#include "slotmutexes.h"
#include "vorn/platform.h"
#include "vorn/wire.h"

namespace vorn::server {

class LockManager;

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

class FileTable {
  public:
    // An empty table whose slots' record locks live in `locks`.
    FileTable(LockManager &locks, FileOptions options);
    // Writes and closes every file still open.
    ~FileTable();
    FileTable(const FileTable &) = delete;
    FileTable &operator=(const FileTable &) = delete;

    // Slot tables, indexed by slot number, guarded by slot mutex i. An entry of fsdatatbl is
    // read without the mutex only to answer an invalid index early; the entry is checked
    // again once the mutex is held.
    std::atomic<SRVFSDATA *> fsdatatbl[kSlots];
    // The users of each file in the order they opened it; null for a free slot and for a
    // temporary file.
    std::unique_ptr<std::vector<UserId>> whoary[kSlots];

    // Clears the tables (the service host calls it once before the first connection). 1.
    int vorninit(int argc, char **argv);
    int fsinit();
    // Writes and closes every open file (temporary files stay on disk). Call it once no
    // connection is served any more; a second call finds nothing to do.
    void fscloseall();
    // Clears extenddb and every open file's dbextended flag.
    void fsdbextended();
    // A write-through appended a block to some file (sets extenddb).
    void noteextended() { extenddb_.store(1); }

    // Writes and closes the file in `slot` and frees the slot with its user list and record
    // locks.
    void freeslot(const SlotMutexes &held, int slot) REQUIRES(held[slot]);
    // The number of open slots (for tests and status).
    int openslotcount() const;

    // A connection's handles to the slot mutexes.
    SlotMutexes openslotmutexes() const { return mutexes_.open(); }
    SlotClaims &claims() { return claims_; }
    LockManager &locks() { return locks_; }
    const FileOptions &options() const { return options_; }
    // Slot i's group commit (durable mode, groupcommit.h).
    GroupCommit &group(int slot);

  private:
    LockManager &locks_;
    const FileOptions options_;
    SlotMutexTable mutexes_;
    SlotClaims claims_;
    std::unique_ptr<GroupCommit[]> groups_;
    // Set when a write-through appended a block to any file; cleared by fsdbextended.
    std::atomic<std::int16_t> extenddb_{0};
};

// True when `user` is in the list.
bool hasuser(const std::vector<UserId> *who, UserId user);

}  // namespace vorn::server
