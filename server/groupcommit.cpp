#include "groupcommit.h"

#include "fserror.h"
#include "operation.h"

namespace vorn::server {

namespace {

// A batch this large is committed even while requests still arrive.
constexpr int kBatchBound = 128;

// The open batch ends: its requests learn the outcome.
void settle(GroupCommit &g, bool ok) {
    MutexLock lock(g.m);
    if (g.members == 0) return;  // no one waits for the changes
    g.open->done = true;
    g.open->ok = ok;
    g.open = std::make_shared<Batch>();
    g.members = 0;
    g.changed.notify_all();
}

// The leader writes the file's held changes, unless a close did it meanwhile.
void commitheld(GroupCommit &g, const std::shared_ptr<Batch> &batch, FileTable &files,
                const SlotMutexes &mutexes, int slot) {
    SlotLock slotlock(mutexes[slot]);
    {
        MutexLock lock(g.m);
        if (batch->done) return;
    }
    // The batch is open, so its file is still in the slot: closing it settles the batch.
    SRVFSDATA *file = files.fsdatatbl[slot].load();
    if (file == nullptr) return settle(g, false);
    commitbatch(file);
}

// Waits until `batch` is settled, leading its commit when no one else does and no request
// is still on its way in. True when it is on disk.
bool awaitbatch(GroupCommit &g, const std::shared_ptr<Batch> &batch, FileTable &files,
                const SlotMutexes &mutexes, int slot) {
    for (;;) {
        {
            MutexLock lock(g.m);
            while (!batch->done && (g.leading || (g.arriving > 0 && g.members < kBatchBound))) {
                lock.wait(g.changed);
            }
            if (batch->done) return batch->ok;
            // No leader, so the batch is the open one.
            g.leading = true;
        }
        commitheld(g, batch, files, mutexes, slot);
        MutexLock lock(g.m);
        g.leading = false;
        g.changed.notify_all();
    }
}

}  // namespace

BatchSeat::BatchSeat(FileTable &files, int slot) {
    if (!files.options().durablewrites) return;
    group_ = &files.group(slot);
    arriving_ = true;
    MutexLock lock(group_->m);
    ++group_->arriving;
}

BatchSeat::~BatchSeat() {
    if (!arriving_) return;
    MutexLock lock(group_->m);
    if (--group_->arriving == 0) group_->changed.notify_all();
}

void BatchSeat::join(Request &request) {
    GroupCommit &g = *group_;
    arriving_ = false;
    JournaledFile *journaled = request.file->journaled;
    if (journaled != nullptr) journaled->defer();
    const bool held = journaled != nullptr && journaled->deferred();
    if (held) request.file->group = &g;
    MutexLock grouplock(g.m);
    --g.arriving;
    if (held) {
        batch_ = g.open;
        ++g.members;
    }
    if (g.arriving == 0 || g.members >= kBatchBound) g.changed.notify_all();
}

bool BatchSeat::await(Request &request, const char *name) {
    if (batch_ == nullptr ||
        awaitbatch(*group_, batch_, *request.files, *request.mutexes, request.slot)) {
        return true;
    }
    setmsg("%s - error writing changes to the file.\r\n", name);
    setfserror(request.fs, kServerOrigin, kErrBlockWrite);
    return false;
}

int arrivingat(FileTable &files, int slot) {
    GroupCommit &g = files.group(slot);
    MutexLock lock(g.m);
    return g.arriving;
}

void settlebatch(SRVFSDATA *file, bool ok) {
    if (file->group != nullptr) settle(*file->group, ok);
}

}  // namespace vorn::server
