#include "operation.h"

#include "fserror.h"
#include "fsn/blocks.h"
#include "groupcommit.h"

namespace vorn::server {

namespace {

// The engine's buffers and header image may hold changes the file no longer has: they are
// dropped and the header read again. The control values that live in memory until the next
// header write (counter pair, status flag, business date) are kept.
void reloadengine(FSDATA *f) {
    const FSCB kept = f->fscb;
    resetbuffers(f);
    if (readfscb(f) == 0) return;
    f->fscb.cannumber[0] = kept.cannumber[0];
    f->fscb.cannumber[1] = kept.cannumber[1];
    f->fscb.businessdate = kept.businessdate;
    f->fscb.appstat = kept.appstat;
    f->fscb.dblocked = kept.dblocked;
}

bool failed(FS *fs, const char *name, const char *what) {
    setmsg("%s - %s.\r\n", name, what);
    if (fs != nullptr) {
        setfserror(fs, kServerOrigin, kErrBlockWrite);
    } else {
        logfserror(kServerOrigin, kErrBlockWrite);
    }
    return false;
}

}  // namespace

bool attachjournal(const char *name, platform::BlockFile &file,
                   std::unique_ptr<platform::BlockFile> *journal) {
    const std::string path = journalpath(name);
    auto j = platform::openfile(path.c_str(), platform::OpenMode::ReadWrite);
    if (j == nullptr) j = platform::createfile(path.c_str());
    if (j == nullptr) {
        setmsg("fsopen - can't create the journal %s.\r\n", path.c_str());
        return false;
    }
    if (!j->trylock()) {
        setmsg("fsopen - %s is in use by another server.\r\n", name);
        return false;
    }
    JournalContent content;
    switch (readjournal(*j, &content)) {
        case JournalState::Empty:
        case JournalState::Damaged:  // its write never finished: the file was not touched
            break;
        case JournalState::Unreadable:
            setmsg("fsopen - can't read the journal %s.\r\n", path.c_str());
            return false;
        case JournalState::Valid:
            if (!restoreimages(file, content) || !file.sync() || !emptyjournal(*j)) {
                setmsg("fsopen - can't roll back the interrupted operation in %s.\r\n",
                       path.c_str());
                return false;
            }
            setmsg("fsopen - rolled back an interrupted operation on %s.\r\n", name);
            logfserror(kServerOrigin, 0);
            break;
    }
    *journal = std::move(j);
    return true;
}

void journalfile(SRVFSDATA *rec, std::unique_ptr<platform::BlockFile> file,
                 std::unique_ptr<platform::BlockFile> journal, bool durable) {
    auto journaled = std::make_unique<JournaledFile>(std::move(file), std::move(journal), durable);
    rec->journaled = journaled.get();
    rec->fsdata->fsp = std::move(journaled);
}

bool beginoperation(SRVFSDATA *rec, FS *fs, const char *name) {
    if (rec->journaled == nullptr) return true;
    switch (rec->journaled->begin()) {
        case JournaledFile::Outcome::Done:
            return true;
        case JournaledFile::Outcome::RolledBack:
            reloadengine(rec->fsdata.get());
            return true;
        case JournaledFile::Outcome::Pending:
            break;
    }
    return failed(fs, name, "the file awaits the rollback of a failed write");
}

bool commitoperation(SRVFSDATA *rec, FS *fs, const char *name) {
    if (rec->journaled == nullptr) return true;
    const bool done = rec->journaled->commit() == JournaledFile::Outcome::Done;
    // Deferred operations went with this one (durable mode).
    settlebatch(rec, done);
    if (done) return true;
    // Rolled back, or still to be rolled back at the next operation: either way the engine
    // forgets the changes the file did not take.
    reloadengine(rec->fsdata.get());
    return failed(fs, name, "error writing changes to the file");
}

void commitbatch(SRVFSDATA *rec) {
    const bool done = rec->journaled->commit() == JournaledFile::Outcome::Done;
    if (!done) reloadengine(rec->fsdata.get());
    settlebatch(rec, done);
}

void flushoperation(SRVFSDATA *rec, bool headerfirst) {
    FSDATA *f = rec->fsdata.get();
    const bool scoped = rec->journaled != nullptr && !rec->journaled->inoperation();
    if (scoped && !beginoperation(rec, nullptr, "flush")) return;
    // Failures are reported by the engine.
    if (headerfirst) flushfscb(f);
    flushbuffs(f);
    if (!headerfirst) flushfscb(f);
    if (scoped) commitoperation(rec, nullptr, "flush");
}

void dropjournal(SRVFSDATA *rec) {
    if (rec->journaled == nullptr || rec->journalname.empty() || !rec->journaled->settled()) return;
    platform::removefile(rec->journalname.c_str());
}

}  // namespace vorn::server
