// Opening a file by a name that an untrusted party chose, inside one directory and never
// outside it (the server's data root).
#pragma once

#include <memory>

#include "vorn/platform.h"

namespace vorn::platform {

// Opens the existing file `name`, taken relative to the directory `root`. An absolute name,
// a ".." or a symbolic link that would lead outside `root` is refused: null, with *escaped
// set. Null with *escaped clear for any other failure (no such file, no permission).
std::unique_ptr<BlockFile> openbeneath(const char *root, const char *name, OpenMode mode,
                                       bool *escaped);

// The same by a walk of the name in user space, one component at a time; openbeneath uses it
// where the system can't resolve beneath a directory itself. Exposed so that tests cover it
// on every system.
std::unique_ptr<BlockFile> openbeneathbywalk(const char *root, const char *name, OpenMode mode,
                                             bool *escaped);

// True when `name`, read as a path relative to some directory, stays inside it by its text
// alone: not absolute, and no ".." climbs above the start. Links are not looked at.
bool staysbeneath(const char *name);

}  // namespace vorn::platform
