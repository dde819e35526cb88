// How a file table opens its files: the run options of vornserv that reach the files
// (--data-root, --sync) and the tests' hook between the server and its files. Set before the
// table's first open, read-only afterwards.
#pragma once

#include <memory>

#include "dataroot.h"
#include "vorn/platform.h"

namespace vorn::server {

// Tests put a file of their own between the server and each database it opens (to inject
// faults): given the opened file and its name, it returns the file the server uses.
using FileWrapper = std::unique_ptr<platform::BlockFile> (*)(std::unique_ptr<platform::BlockFile>,
                                                             const char *name);

struct FileOptions {
    DataRoot dataroot;                       // where clients' names are taken
    bool durablewrites = false;              // sync the journal and the file before every reply
    FileWrapper wrapdatabasefile = nullptr;  // null: each file as opened
};

}  // namespace vorn::server
