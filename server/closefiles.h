// Closing files on the server: one user's close, a connection's end, a forced close by name,
// the close of a temporary database. Closing every file at once is the file table's own
// (FileTable::fscloseall).
#pragma once

#include "filetable.h"

namespace vorn::server {

// Removes `user` from the file at fsdatanum; the last user's close closes the file.
void fsclose(FileTable &files, const SlotMutexes &mutexes, UserId user, FS *fs);
// Closes every file of a connection that ends and drops all of its locks.
void fscloseallforuser(FileTable &files, const SlotMutexes &mutexes, UserId user);
// Closes the file whose (upper-case) name is `name` for all of its users.
void fsforceclose(FileTable &files, const SlotMutexes &mutexes, UserId user, FS *fs,
                  const char *name);
// Closes the temporary database at fsdatanum and deletes its file.
void fsclosetemp(FileTable &files, const SlotMutexes &mutexes, FS *fs);

}  // namespace vorn::server
