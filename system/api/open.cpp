// Opening and closing databases: through the server (fsopen with readonly 0, fsclose of a
// network block, fsforceclose) or directly from the file, read-only.
#include <vorn/errors.h>

#include <cstring>
#include <string>

#include "fsn/blocks.h"
#include "fsn/format.h"
#include "fsn/journal.h"
#include "localfile.h"

using namespace vorn;
using namespace vorn::link;

namespace {

// Fills a fresh network block for a request that carries a file name. False when the name
// is missing or too long to send (lserrno 3).
bool namerequest(::FS *fs, const char *name, char (&namebuf)[kMaxNetName + 1]) {
    const std::size_t len = name != nullptr ? std::strlen(name) : 0;
    if (name == nullptr || len > static_cast<std::size_t>(kMaxNetName)) {
        lserrno = kErrNameTooLong;
        return false;
    }
    std::memcpy(namebuf, name, len + 1);
    std::memset(fs, 0, sizeof *fs);
    fs->isnetwork = 1;
    fs->len = static_cast<std::int16_t>(len + 1);
    return true;
}

::FS *opennetwork(char instance, const char *name) {
    ::FS *fs = allocblock();
    if (fs == nullptr || !keepnetblock(fs)) {
        delete fs;
        lserrno = 1;
        return nullptr;
    }
    char namebuf[kMaxNetName + 1];
    if (!namerequest(fs, name, namebuf) || forward(instance, kOpOpen, fs, namebuf) == 0) {
        dropnetblock(fs);
        return nullptr;
    }
    return fs;
}

// Undoes a failed local open: closes the file, frees the state and the block.
::FS *failopen(int n, int slot, std::int16_t code) {
    if (code != 0) dodberror(code);
    releaseslot(n, slot);
    return nullptr;
}

::FS *openlocal(char instance, const char *name, std::int16_t checkintegrity) {
    const int n = instanceindex(instance);
    if (n < 0) return nullptr;
    const int slot = takeslot(n);
    if (slot < 0) return nullptr;
    FSDATA *fsdata = fsdataary[n][slot];
    // The unlocks reopen the file under the full path kept here; the header copy keeps only
    // as much of it as fits.
    if (name != nullptr && setopenpath(n, slot, name)) {
        // An operation a crashed server left in the journal is rolled back first; where this
        // process may not write, the file is read as it was before that operation.
        std::string note;
        fsdata->fsp = openrecovered(name, &note);
        if (!note.empty()) setmsg(note.c_str());
    }
    if (fsdata->fsp == nullptr) {
        setmsg(name);
        lserrno = 7;
        return failopen(n, slot, kDbOpenFile);
    }
    fsdata->readonly = 1;
    if (readfscb(fsdata) == 0) return failopen(n, slot, kDbOpenFile);
    FSCB &cb = fsdata->fscb;
    cb.dblocked = 1;  // the local lock of the open; released (without a write) below
    if (!hassignature(cb)) return failopen(n, slot, kDbBadSignature);
    if (checkintegrity != 0) {
        const int rc = integritycheck(cb, fsdata->fsp->length());
        if (rc != 0) {
            lserrno = static_cast<std::int16_t>(rc);
            return failopen(n, slot, rc == 6 ? kDbBadXlate : kDbBadHeader);
        }
    }
    std::memset(cb.fsname, 0, sizeof cb.fsname);
    std::strncpy(cb.fsname, name, sizeof cb.fsname - 1);
    ++cb.numusers;
    changefscb(fsdata);
    // Unlocking a read-only database writes nothing: the file stays as it was.
    return slotblock[n][slot];
}

void closelocal(char instance, ::FS *fsinfo) {
    FSDATA *fsdata = localdb(instance, fsinfo, false);
    if (fsdata == nullptr) return;
    const int n = instanceindex(instance);
    const int slot = fsinfo->fsdatanum;
    if (fsdata->fsp != nullptr) {
        fsdata->fscb.dblocked = 1;
        --fsdata->fscb.numusers;
        changefscb(fsdata);
        if (fsdata->readonly == 0) writeback(fsdata);
    }
    releaseslot(n, slot);  // frees the block handed out, whether fsinfo is it or a copy
}

}  // namespace

::FS *fsopen(char instance, const char *name, std::int16_t checkintegrity, std::int16_t readonly) {
    lserrno = 0;
    if (readonly == 0) return opennetwork(instance, name);
    return openlocal(instance, name, checkintegrity);
}

void fsclose(char instance, ::FS *fsinfo) {
    lserrno = 0;
    if (fsinfo == nullptr) return;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        forward(instance, kOpClose, fsinfo);
        dropnetblock(fsinfo);
        return;
    }
    closelocal(instance, fsinfo);
}

void fsclosetemp(char instance, ::FS *fsinfo) {
    lserrno = 0;
    FSDATA *fsdata = localdb(instance, fsinfo, false);
    if (fsdata == nullptr) return;
    const int n = instanceindex(instance);
    const int slot = fsinfo->fsdatanum;
    // Only a file that fsopentemp created is deleted; a database opened with fsopen is
    // merely closed.
    char name[16];
    std::strcpy(name, tempnameof(n, slot));
    fsdata->fsp.reset();
    if (name[0] != '\0') platform::removefile(name);
    releaseslot(n, slot);
}

std::int16_t fsforceclose(char instance, const char *name) {
    lserrno = 0;
    ::FS fs;
    char namebuf[kMaxNetName + 1];
    if (!namerequest(&fs, name, namebuf)) return 0;
    return forward(instance, kOpForceClose, &fs, namebuf);
}
