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

#include <mutex>

#include "filetable.h"
#include "request.h"

namespace vorn::server {

// A request's place in its slot's group commit, from before it asks for the slot mutex
// until it replies. Outside durable mode it does nothing.
class BatchSeat {
  public:
    // Counts the request as arriving at the slot (called before the slot mutex is taken).
    explicit BatchSeat(int slot);
    // A request that never reached finish stops arriving.
    ~BatchSeat();
    BatchSeat(const BatchSeat &) = delete;
    BatchSeat &operator=(const BatchSeat &) = delete;

    // Ends the request's operation, which ran under `lock` (the slot mutex), and unlocks it.
    // When the file then holds changes not yet on disk, waits until they are (see above).
    // False, with 473 set and `name` in the message, when they could not be written.
    bool finish(Request &request, const char *name, std::unique_lock<platform::NamedMutex> &lock);

  private:
    GroupCommit *group_ = nullptr;  // while arriving
};

// Requests on their way to the slot's mutex, counted in durable mode (for tests: a batch
// forms from these).
int arrivingat(int slot);

// Called under the slot mutex after every commit of `file` in durable mode: the requests
// waiting for the changes it held learn that they are on disk (`ok`) or were rolled back.
void settlebatch(SRVFSDATA *file, bool ok);

}  // namespace vorn::server
