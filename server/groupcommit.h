// Group commit in durable mode (vornserv --sync): the changes of concurrent requests on one
// file share one journal write and one set of syncs.
//
// A request's operation does not write its changes: they stay held in the file's journaled
// file, on top of those of the requests before it (the open batch), and the request gives
// the slot mutex up and waits. One waiting request at a time commits the batch (the leader);
// it does so once every request that was queued for the slot mutex has had its turn, or once
// the batch is large, so that a stream of arrivals cannot hold it back. Every request of the
// batch then replies: with its own result when the batch is on disk, with 473 when it failed
// (the file and the engine are then as before the batch). A request that saw no held changes
// replies at once; one that saw another's held changes waits for them, so no client acts on
// a change that a power cut could still take back. Every other commit of the file (a close,
// an exclusive unlock, shutdown) writes the batch too and settles it the same way.
//
// Lock order: the slot mutex, then the slot's group mutex. No one waits for a batch while
// holding a slot mutex, and the leader takes the slot mutex holding nothing.
#pragma once

#include <condition_variable>
#include <memory>

#include "filetable.h"
#include "mutex.h"
#include "request.h"

namespace vorn::server {

// The outcome of one batch; read and written under its slot's group mutex.
struct Batch {
    bool done = false;  // committed or rolled back
    bool ok = false;    // committed
};

// One slot's group commit, owned by the file table.
class GroupCommit {
  public:
    Mutex m;
    std::condition_variable changed;  // a batch settled, the arrivals ran out, no leader
    int arriving GUARDED_BY(m) = 0;   // requests between asking for the slot mutex and finish
    int members GUARDED_BY(m) = 0;    // requests waiting in the open batch
    bool leading GUARDED_BY(m) = false;
    std::shared_ptr<Batch> open GUARDED_BY(m) = std::make_shared<Batch>();
};

// A request's place in its slot's group commit, from before it asks for the slot mutex
// until it replies. Outside durable mode it does nothing.
class BatchSeat {
  public:
    // Counts the request as arriving at the slot of `files` (called before the slot mutex is
    // taken).
    BatchSeat(FileTable &files, int slot);
    // A request that never reached join stops arriving.
    ~BatchSeat();
    BatchSeat(const BatchSeat &) = delete;
    BatchSeat &operator=(const BatchSeat &) = delete;

    // The file table is in durable mode: the request must end with join, then await.
    bool seated() const { return group_ != nullptr; }
    // Ends the request's operation, under the slot mutex: when the file then holds changes
    // not yet on disk, the request joins the open batch.
    void join(Request &request) REQUIRES_SLOT(request);
    // With the slot mutex given up: waits until the batch joined is on disk (see above).
    // False, with 473 set and `name` in the message, when it could not be written.
    bool await(Request &request, const char *name);

  private:
    GroupCommit *group_ = nullptr;  // its slot's group commit, in durable mode
    bool arriving_ = false;         // counted as arriving: join has not run yet
    std::shared_ptr<Batch> batch_;  // the batch joined, if any
};

// Requests on their way to the slot's mutex, counted in durable mode (for tests: a batch
// forms from these).
int arrivingat(FileTable &files, int slot);

// Called under the slot mutex after every commit of `file` in durable mode: the requests
// waiting for the changes it held learn that they are on disk (`ok`) or were rolled back.
void settlebatch(SRVFSDATA *file, bool ok);

}  // namespace vorn::server
