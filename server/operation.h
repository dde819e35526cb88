// An operation on an open file, made atomic on disk: every write between beginoperation and
// commitoperation reaches the file through the file's rollback journal at the commit, so a
// crash leaves the file as it was before the operation or after it, never in between.
#pragma once

#include <memory>
#include <string>

#include "filetable.h"
#include "fsn/journalfile.h"

namespace vorn::server {

// Opens (creating it when absent) and locks the journal beside `name`, and rolls back an
// operation that a crash left in it. The journal in *journal; false with msg set when the
// file can't be used: another server holds the journal, or the rollback failed.
bool attachjournal(const char *name, platform::BlockFile &file,
                   std::unique_ptr<platform::BlockFile> *journal);
// Gives the file's engine its journaled file over `file` and `journal` (null for none);
// `durable`: sync the journal and the file before every reply (vornserv --sync).
void journalfile(SRVFSDATA *rec, std::unique_ptr<platform::BlockFile> file,
                 std::unique_ptr<platform::BlockFile> journal, bool durable);

// Starts an operation on the request's file. False (error 473 set, `name` in the message)
// when the file still awaits a rollback that can't be done.
bool beginoperation(SRVFSDATA *rec, FS *fs, const char *name);
// Writes the operation's changes. False (error 473 set) when they could not be written: the
// file is then as before the operation, and so is the engine's view of it.
bool commitoperation(SRVFSDATA *rec, FS *fs, const char *name);
// Durable mode: writes the changes that the file's deferred operations hold, as one
// operation, and settles their batch (groupcommit.h). On failure the file and the engine's
// view of it are as before the batch.
void commitbatch(SRVFSDATA *rec);
// Writes every changed buffer and the header (`headerfirst`: the header, then the buffers),
// as one operation unless one is running.
void flushoperation(SRVFSDATA *rec, bool headerfirst);
// Removes the journal of a file being closed when it holds nothing.
void dropjournal(SRVFSDATA *rec);

}  // namespace vorn::server
