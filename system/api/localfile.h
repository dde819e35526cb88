// Local databases: taking and releasing a slot of the instance's file table, the image of a
// new file, and the write-back and handle renewal that a local unlock performs.
#pragma once

#include <cstdint>

#include "fsn/format.h"
#include "linkstate.h"

namespace vorn::link {

// Takes the lowest free slot of row n with a zeroed engine state and a zeroed block whose
// fsdatanum names the slot. Returns the slot, or -1 after recording 1009 (lserrno 1: no free
// slot), 1010 or 1012 (lserrno 2: no memory).
int takeslot(int n);
// Frees the slot's engine state (closing its file) and the block allocated for it.
void releaseslot(int n, int slot);

// The name of the temporary file behind a slot ("" when the slot holds no temporary).
const char *tempnameof(int n, int slot);
void settempname(int n, int slot, const char *name);
// Keeps the full path a local database was opened under, for the reopen of its unlocks.
// False when memory is short.
bool setopenpath(int n, int slot, const char *path);

// Writes the three blocks of a new database file. 0 on success, else 9, 10 or 11 for the
// block (0, 1 or 2) whose write failed.
int writenewimage(platform::BlockFile *file, ImageKind kind, std::int16_t xblkfreq,
                  const char *name);

// Clears the lock flag and writes the changed blocks and the header (nothing for a read-only
// database). 1, or 0 when a write failed.
std::int16_t writeback(FSDATA *fsdata);
// A local unlock: write back, then close the file and open it again by its header name, in
// the mode it was opened in. 0 after 1015 / lserrno 7 when it can't be reopened (the
// database then has no file until it is closed) or when the write-back failed.
std::int16_t localunlock(FSDATA *fsdata);

}  // namespace vorn::link
