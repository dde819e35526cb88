#include "groupcommit.h"

#include <condition_variable>
#include <memory>

#include "fserror.h"
#include "mutex.h"
#include "operation.h"

namespace vorn::server {

// The outcome of one batch; read and written under its slot's group mutex.
struct Batch {
    bool done = false;  // committed or rolled back
    bool ok = false;    // committed
};

class GroupCommit {
  public:
    Mutex m;
    std::condition_variable changed;  // a batch settled, the arrivals ran out, no leader
    int arriving GUARDED_BY(m) = 0;   // requests between asking for the slot mutex and finish
    int members GUARDED_BY(m) = 0;    // requests waiting in the open batch
    bool leading GUARDED_BY(m) = false;
    std::shared_ptr<Batch> open GUARDED_BY(m) = std::make_shared<Batch>();
};

namespace {

// A batch this large is committed even while requests still arrive.
constexpr int kBatchBound = 128;

// One per slot, alive as long as the process: a request may still wait on its slot's
// group after the file closed.
GroupCommit groups[kSlots];

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
void commitheld(GroupCommit &g, const std::shared_ptr<Batch> &batch, const SlotMutexes &mutexes,
                int slot) {
    std::lock_guard slotlock(mutexes[slot]);
    {
        MutexLock lock(g.m);
        if (batch->done) return;
    }
    // The batch is open, so its file is still in the slot: closing it settles the batch.
    SRVFSDATA *file = fsdatatbl[slot].load();
    if (file == nullptr) return settle(g, false);
    commitbatch(file);
}

// Waits until `batch` is settled, leading its commit when no one else does and no request
// is still on its way in. True when it is on disk.
bool awaitbatch(GroupCommit &g, const std::shared_ptr<Batch> &batch, const SlotMutexes &mutexes,
                int slot) {
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
        commitheld(g, batch, mutexes, slot);
        MutexLock lock(g.m);
        g.leading = false;
        g.changed.notify_all();
    }
}

}  // namespace

BatchSeat::BatchSeat(int slot) {
    if (!durablewrites) return;
    group_ = &groups[slot];
    MutexLock lock(group_->m);
    ++group_->arriving;
}

BatchSeat::~BatchSeat() {
    if (group_ == nullptr) return;
    MutexLock lock(group_->m);
    if (--group_->arriving == 0) group_->changed.notify_all();
}

bool BatchSeat::finish(Request &request, const char *name,
                       std::unique_lock<platform::NamedMutex> &lock) {
    GroupCommit &g = *group_;
    group_ = nullptr;
    JournaledFile *journaled = request.file->journaled;
    if (journaled != nullptr) journaled->defer();
    const bool held = journaled != nullptr && journaled->deferred();
    if (held) request.file->group = &g;
    std::shared_ptr<Batch> batch;
    {
        MutexLock grouplock(g.m);
        --g.arriving;
        if (held) {
            batch = g.open;
            ++g.members;
        }
        if (g.arriving == 0 || g.members >= kBatchBound) g.changed.notify_all();
    }
    lock.unlock();
    if (batch == nullptr || awaitbatch(g, batch, *request.mutexes, request.slot)) return true;
    setmsg("%s - error writing changes to the file.\r\n", name);
    setfserror(request.fs, kServerOrigin, kErrBlockWrite);
    return false;
}

int arrivingat(int slot) {
    GroupCommit &g = groups[slot];
    MutexLock lock(g.m);
    return g.arriving;
}

void settlebatch(SRVFSDATA *file, bool ok) {
    if (file->group != nullptr) settle(*file->group, ok);
}

}  // namespace vorn::server
