// Opening files on the server: fsopen shares one slot of the file table among every
// connection that opens the same file, fsopentemp makes a new temporary database.
#pragma once

#include "filetable.h"

namespace vorn::server {

// Opens `name` for `user`, sharing the slot of a file that is already open. 1 with
// fsdatanum = slot and isnetwork = 1, or 0 with the error in fs.
int fsopen(FileTable &files, const SlotMutexes &mutexes, UserId user, FS *fs, const char *name);
// Creates and opens a temporary database (in the data root, if there is one); it belongs to
// no user.
int fsopentemp(FileTable &files, const SlotMutexes &mutexes, FS *fs);

}  // namespace vorn::server
