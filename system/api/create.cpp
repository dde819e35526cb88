// New database files: fscreatedatabase writes one and leaves it closed, fsopentemp creates a
// private temporary database and opens it.
#include <vorn/errors.h>
#include <vorn/wire.h>

#include <string>

#include "fsn/blocks.h"
#include "fsn/journal.h"
#include "localfile.h"

using namespace vorn;
using namespace vorn::link;

namespace {

// Collisions of temporary names are retried with fresh names this often.
constexpr int kTempAttempts = 8;

std::unique_ptr<platform::BlockFile> createtemp(std::string *name) {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        *name = platform::maketempname();
        if (auto file = platform::createexclusive(name->c_str())) {
            // No other process knows of the file: its writes may wait for a flush point.
            return platform::withprivatecache(std::move(file));
        }
    }
    return nullptr;
}

::FS *failtemp(int n, int slot, std::int16_t code, const std::string &created) {
    dodberror(code);
    if (!created.empty()) {
        fsdataary[n][slot]->fsp.reset();
        platform::removefile(created.c_str());
    }
    releaseslot(n, slot);
    return nullptr;
}

}  // namespace

::FS *fsopentemp(char instance) {
    lserrno = 0;
    const int n = instanceindex(instance);
    if (n < 0) return nullptr;
    const int slot = takeslot(n);
    if (slot < 0) return nullptr;
    FSDATA *fsdata = fsdataary[n][slot];
    std::string name;
    auto file = createtemp(&name);
    if (file == nullptr) {
        setmsg(name.c_str());
        lserrno = 7;
        return failtemp(n, slot, kDbOpenFile, "");
    }
    int rc = writenewimage(file.get(), ImageKind::LibraryTemp, kDefaultXblkfreq, name.c_str());
    // The new file is on disk whole from the start; later changes may wait for a flush point.
    if (rc == 0 && !file->writeout()) rc = 9;
    fsdata->fsp = std::move(file);
    if (rc != 0) {
        lserrno = static_cast<std::int16_t>(rc);
        // Blocks 0, 1, 2 failing (rc 9, 10, 11) record their own codes.
        const std::int16_t code = rc == kErrTempHeader  ? kDbBadHeader
                                  : rc == kErrTempXlate ? kDbBadXlate
                                                        : kDbTempData;
        return failtemp(n, slot, code, name);
    }
    if (readfscb(fsdata) == 0) {
        lserrno = 8;
        return failtemp(n, slot, kDbBadSignature, name);
    }
    settempname(n, slot, name.c_str());
    return slotblock[n][slot];
}

std::int16_t fscreatedatabase(const char *filename, std::int16_t freq) {
    lserrno = 0;
    // Spacing 1 would put every block after the first xlate block in the xlate sequence and
    // a negative one means nothing; 0 reads as the default 20.
    if (filename == nullptr || filename[0] == '\0' || freq < 0 || freq == 1) {
        lserrno = 406;
        return 0;
    }
    auto file = platform::createfile(filename);
    if (file == nullptr) {
        lserrno = 406;
        return 0;
    }
    // A journal left beside an earlier file of this name belongs to that file: rolled back
    // onto the new one it would damage it.
    platform::removefile(journalpath(filename).c_str());
    const int rc = writenewimage(file.get(), ImageKind::Database, freq, nullptr);
    if (rc != 0) {
        lserrno = static_cast<std::int16_t>(rc);
        return 0;
    }
    return 1;
}
