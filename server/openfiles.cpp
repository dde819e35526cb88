#include "openfiles.h"

#include <cctype>
#include <cstring>
#include <new>

#include "fserror.h"
#include "fsn/blocks.h"
#include "fsn/format.h"
#include "operation.h"

namespace vorn::server {
namespace {

// A new record with its engine state and every buffer empty; null when memory is short.
SRVFSDATA *newrecord() {
    auto *rec = new (std::nothrow) SRVFSDATA;
    if (rec == nullptr) return nullptr;
    try {
        rec->fsdata = newfsdata(Flavor::Server, serverreporter());
    } catch (const std::bad_alloc &) {
        delete rec;
        return nullptr;
    }
    return rec;
}

void succeed(FS *fs, int slot) {
    fs->fsdatanum = static_cast<std::int16_t>(slot);
    fs->isnetwork = 1;
}

// Adds the user to the file already open in `slot` (mutex held). 1 or 0.
int joinslot(FileTable &files, [[maybe_unused]] const SlotMutexes &held, UserId user, FS *fs,
             int slot) REQUIRES(held[slot]) {
    SRVFSDATA *rec = files.fsdatatbl[slot].load();
    std::vector<UserId> *who = files.whoary[slot].get();
    if (who == nullptr) {
        setmsg("fsopen - whoary is NULL.\r\n");
        setfserror(fs, kServerOrigin, kErrNoUserTable);
        return 0;
    }
    if (hasuser(who, user)) {
        succeed(fs, slot);
        return 1;
    }
    if (rec->exclowner != kNoOwner && rec->exclowner != user) {
        setmsg("fsopen - file locked.\r\n");
        setfserror(fs, kServerOrigin, kErrLocked);
        return 0;
    }
    bool grown = rec->whocount < kMaxUsers;
    if (grown) {
        try {
            who->push_back(user);
        } catch (const std::bad_alloc &) {
            grown = false;
        }
    }
    if (!grown) {
        setmsg("fsopen - allocating memory.\r\n");
        setfserror(fs, kServerOrigin, kErrNoMemory);
        return 0;
    }
    ++rec->whocount;
    succeed(fs, slot);
    return 1;
}

// Sets the file up in the claimed slot (mutex held). 1, or 0 with the error set and the
// file closed.
int setupslot(FileTable &files, [[maybe_unused]] const SlotMutexes &held, UserId user, FS *fs,
              int slot, std::unique_ptr<platform::BlockFile> file, const platform::FileIdentity &id,
              const char *name, const char *uppername) REQUIRES(held[slot]) {
    const FileOptions &options = files.options();
    SRVFSDATA *rec = newrecord();
    if (rec == nullptr) {
        setmsg("fsopen - allocating memory for buffer.\r\n");
        setfserror(fs, kServerOrigin, kErrNoMemory);
        return 0;
    }
    auto who = std::unique_ptr<std::vector<UserId>>(new (std::nothrow) std::vector<UserId>);
    bool listed = who != nullptr;
    if (listed) {
        try {
            who->push_back(user);
        } catch (const std::bad_alloc &) {
            listed = false;
        }
    }
    if (!listed) {
        delete rec;
        setmsg("fsopen - allocating memory for whoary.\r\n");
        setfserror(fs, kServerOrigin, kErrNoMemory);
        return 0;
    }
    // The journal is settled (an interrupted operation rolled back) before the header is read.
    if (options.wrapdatabasefile != nullptr) file = options.wrapdatabasefile(std::move(file), name);
    // The journal lies beside the file, where the name reached it (inside the data root).
    const std::string path = options.dataroot.serverpath(name);
    std::unique_ptr<platform::BlockFile> journal;
    if (!attachjournal(path.c_str(), *file, &journal)) {
        delete rec;
        setfserror(fs, kServerOrigin, kErrOpenFile);
        return 0;
    }
    FSDATA *f = rec->fsdata.get();
    journalfile(rec, std::move(file), std::move(journal), options.durablewrites);
    rec->journalname = journalpath(path.c_str());
    rec->whocount = 1;
    rec->exclowner = kNoOwner;
    rec->identity = id;
    if (readfscb(f) == 0) {
        delete rec;
        setmsg("fsopen - reading FSCB.\r\n");
        setfserror(fs, kServerOrigin, kErrBadHeader);
        return 0;
    }
    if (!hassignature(f->fscb)) {
        delete rec;
        setmsg("fsopen - invalid file.\r\n");
        setfserror(fs, kServerOrigin, kErrBadHeader);
        return 0;
    }
    std::strcpy(rec->filename, uppername);
    f->fscb.dbextended = 0;
    changefscb(f);
    files.whoary[slot] = std::move(who);
    files.fsdatatbl[slot].store(rec);
    succeed(fs, slot);
    return 1;
}

}  // namespace

int fsopen(FileTable &files, const SlotMutexes &mutexes, UserId user, FS *fs, const char *name) {
    clearfserror(fs);
    fs->len = 0;
    const std::size_t namelen = std::strlen(name);
    if (namelen > kMaxName) {
        setmsg("fsopen - file name > 255.\r\n");
        setfserror(fs, kServerOrigin, kErrNameTooLong);
        return 0;
    }
    // Names are kept in upper case (fsforceclose matches them so), but the file is opened
    // under the name as given and known by its identity: one file reached under two names
    // shares one slot, and two files never do.
    char uppername[kMaxName + 1];
    for (std::size_t i = 0; i <= namelen; ++i) {
        uppername[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    }
    bool refused = false;
    auto file = platform::withblockcache(files.options().dataroot.openclientfile(name, &refused));
    if (refused) {
        setmsg("fsopen - %s leads outside the data root: refused.\r\n", name);
        setfserror(fs, kServerOrigin, kErrOpenFile);
        return 0;
    }
    platform::FileIdentity id;
    if (file == nullptr || !platform::fileidentity(*file, &id)) {
        setmsg("fsopen - opening file %s.\r\n", name);
        setfserror(fs, kServerOrigin, kErrOpenFile);
        return 0;
    }
    for (;;) {
        const Claim claim = files.claims().findorclaim(id);
        if (claim.slot < 0) {
            setmsg("fsopen - maximum open files exceeded.\r\n");
            setfserror(fs, kServerOrigin, kErrNoSlot);
            return 0;
        }
        SlotLock lock(mutexes[claim.slot]);
        if (!claim.existing) {
            const int ok = setupslot(files, mutexes, user, fs, claim.slot, std::move(file), id,
                                     name, uppername);
            if (ok != 0) {
                files.claims().publishslot(claim.slot);
            } else {
                files.claims().releaseslot(claim.slot);
            }
            return ok;
        }
        // The file may have been closed between the claim and the mutex: look again.
        const SRVFSDATA *rec = files.fsdatatbl[claim.slot].load();
        if (rec != nullptr && rec->identity == id) {
            // A temporary database has no banner: by name it is no database file.
            if (!rec->tempname.empty()) {
                setmsg("fsopen - invalid file.\r\n");
                setfserror(fs, kServerOrigin, kErrBadHeader);
                return 0;
            }
            return joinslot(files, mutexes, user, fs, claim.slot);
        }
    }
}

namespace {

// Writes the three blocks of a new temporary database. 0, or the failing block's code.
std::int32_t writetempimage(platform::BlockFile &file, const char *name) {
    struct Failure {
        const char *message;
        std::int32_t code;
    };
    static constexpr Failure kFailures[kNewFileBlocks] = {
        {"fsopentemp - Error writing FSCB.", kErrTempHeader},
        {"fsopentemp - Error writing first translator block.\r\n", kErrTempXlate},
        {"fsopentemp - Error writing data block", kErrTempData},
    };
    const int written = writenewfile(file, ImageKind::ServerTemp, kDefaultXblkfreq, name);
    if (written == kNewFileBlocks) return 0;
    setmsg("%s", kFailures[written].message);
    return kFailures[written].code;
}

// Creates a new temporary file under a fresh name (in the data root, if there is one); null
// when that fails. `name` is the file's own name, `path` where it lives.
std::unique_ptr<platform::BlockFile> createtemp(const DataRoot &root, std::string *name,
                                                std::string *path) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        *name = platform::maketempname();
        *path = root.serverpath(*name);
        if (auto file = platform::createexclusive(path->c_str())) {
            return platform::withblockcache(std::move(file));
        }
    }
    return nullptr;
}

}  // namespace

int fsopentemp(FileTable &files, const SlotMutexes &mutexes, FS *fs) {
    SlotClaims &claims = files.claims();
    clearfserror(fs);
    fs->len = 0;
    if (!claims.hasfreeslot()) {
        setmsg("fsopentemp - maximum number of files exceeded.\r\n");
        setfserror(fs, kServerOrigin, kErrNoSlot);
        return 0;
    }
    std::string name;
    std::string path;
    auto file = createtemp(files.options().dataroot, &name, &path);
    platform::FileIdentity id;
    if (file == nullptr || !platform::fileidentity(*file, &id)) {
        if (file != nullptr) platform::removefile(path.c_str());
        setmsg("fsopentemp - opening file.\r\n");
        setfserror(fs, kServerOrigin, kErrOpenFile);
        return 0;
    }
    // The file exists before its slot is claimed, so the claim carries its identity and an
    // open of the same file by name can never take a second slot.
    const Claim claim = claims.findorclaim(id);
    if (claim.slot < 0 || claim.existing) {
        file.reset();
        platform::removefile(path.c_str());
        setmsg("fsopentemp - maximum number of files exceeded.\r\n");
        setfserror(fs, kServerOrigin, kErrNoSlot);
        return 0;
    }
    SlotLock lock(mutexes[claim.slot]);
    SRVFSDATA *rec = newrecord();
    if (rec == nullptr) {
        file.reset();
        platform::removefile(path.c_str());
        claims.releaseslot(claim.slot);
        setmsg("fsopentemp - allocating buffer memory.\r\n");
        setfserror(fs, kServerOrigin, kErrNoMemory);
        return 0;
    }
    std::int32_t code = writetempimage(*file, name.c_str());
    // No one opens a temporary database after a crash: it needs no journal.
    journalfile(rec, std::move(file), nullptr, files.options().durablewrites);
    if (code == 0 && readfscb(rec->fsdata.get()) == 0) {
        setmsg("fsopentemp - Error reading FSCB.");
        code = kErrBadHeader;
    }
    if (code != 0) {
        // The file stays on disk, as a failed temporary open leaves it.
        delete rec;
        claims.releaseslot(claim.slot);
        setfserror(fs, kServerOrigin, code);
        return 0;
    }
    rec->whocount = 0;
    rec->exclowner = kNoOwner;
    rec->identity = id;
    rec->tempname = path;
    files.fsdatatbl[claim.slot].store(rec);
    claims.publishslot(claim.slot);
    succeed(fs, claim.slot);
    return 1;
}

}  // namespace vorn::server
