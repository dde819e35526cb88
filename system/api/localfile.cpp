#include "localfile.h"

#include <vorn/errors.h>

#include <cstring>
#include <new>
#include <string>

#include "fsn/blocks.h"

namespace vorn::link {
namespace {

// Names of temporary files are at most 12 characters.
inline constexpr std::size_t kTempNameSize = 13;
char tempnames[kInstances][kFilesPerInstance][kTempNameSize] = {};
// The full path each local database was opened under. The header keeps only its first 63
// characters, too few to reopen a file in a deep directory. Never destroyed: an application
// may close databases from its own exit handlers.
struct OpenPaths {
    std::string path[kInstances][kFilesPerInstance];
};
OpenPaths &openpaths() {
    static auto *paths = new OpenPaths;
    return *paths;
}

// The name an unlock reopens the database under: the path it was opened with, else (a
// temporary database) the name in its header.
std::string reopenname(const FSDATA *fsdata) {
    for (int n = 0; n < kInstances; ++n) {
        for (int slot = 0; slot < kFilesPerInstance; ++slot) {
            if (fsdataary[n][slot] == fsdata && !openpaths().path[n][slot].empty()) {
                return openpaths().path[n][slot];
            }
        }
    }
    char name[sizeof fsdata->fscb.fsname];
    std::memcpy(name, fsdata->fscb.fsname, sizeof name);
    name[sizeof name - 1] = '\0';
    return name;
}

FSDATA *newstate() {
    try {
        return newfsdata(Flavor::Library, linkreporter()).release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

}  // namespace

int takeslot(int n) {
    int slot = 0;
    while (slot < kFilesPerInstance && fsdataary[n][slot] != nullptr) ++slot;
    if (slot == kFilesPerInstance) {
        dodberror(kDbNoSlot);
        lserrno = 1;
        return -1;
    }
    FSDATA *fsdata = newstate();
    if (fsdata == nullptr) {
        dodberror(kDbNoStateMemory);
        lserrno = 2;
        return -1;
    }
    ::FS *block = allocblock();
    if (block == nullptr) {
        delete fsdata;
        dodberror(kDbNoBlockMemory);
        lserrno = 2;
        return -1;
    }
    block->fsdatanum = static_cast<std::int16_t>(slot);
    fsdataary[n][slot] = fsdata;
    slotblock[n][slot] = block;
    tempnames[n][slot][0] = '\0';
    return slot;
}

void releaseslot(int n, int slot) {
    delete fsdataary[n][slot];
    fsdataary[n][slot] = nullptr;
    delete slotblock[n][slot];
    slotblock[n][slot] = nullptr;
    tempnames[n][slot][0] = '\0';
    openpaths().path[n][slot].clear();
}

bool setopenpath(int n, int slot, const char *path) {
    try {
        openpaths().path[n][slot] = path;
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

const char *tempnameof(int n, int slot) {
    return tempnames[n][slot];
}

void settempname(int n, int slot, const char *name) {
    std::strncpy(tempnames[n][slot], name, kTempNameSize - 1);
    tempnames[n][slot][kTempNameSize - 1] = '\0';
}

int writenewimage(platform::BlockFile *file, ImageKind kind, std::int16_t xblkfreq,
                  const char *name) {
    const int written = writenewfile(*file, kind, xblkfreq, name);
    return written == kNewFileBlocks ? 0 : 9 + written;
}

std::int16_t writeback(FSDATA *fsdata) {
    fsdata->fscb.dblocked = 0;
    changefscb(fsdata);
    const std::int16_t flushed = flushbuffs(fsdata);
    if (fsdata->fsp->writeout()) return flushed;
    dodberror(kDbFlushBlock);  // a block held back could not be written
    return 0;
}

std::int16_t localunlock(FSDATA *fsdata) {
    const std::int16_t flushed = writeback(fsdata);
    const std::string name = reopenname(fsdata);
    // Renewing the handle keeps the mode: a read-only database never becomes writable.
    const auto mode =
        fsdata->readonly != 0 ? platform::OpenMode::ReadOnly : platform::OpenMode::ReadWrite;
    fsdata->fsp.reset();
    fsdata->fsp = platform::openfile(name.c_str(), mode);
    // Only a temporary database is opened for writing here, and no other process knows of it.
    if (mode == platform::OpenMode::ReadWrite) {
        fsdata->fsp = platform::withprivatecache(std::move(fsdata->fsp));
    }
    if (fsdata->fsp == nullptr) {
        dodberror(kDbOpenFile);
        lserrno = 7;
        return 0;
    }
    return flushed;
}

}  // namespace vorn::link
