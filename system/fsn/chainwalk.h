// Finding a data block with room for a record: the walk along the free chains that add and
// rewrite share, re-linking the blocks it meets that sit on the wrong chain.
#pragma once

#include <cstdint>

#include "blocks.h"
#include "fault.h"
#include "fsdata.h"

namespace vorn {

// The library codes of the walk's steps for one operation; `op` names the operation in the
// server's messages ("fsadd", "fswrite").
struct WalkCodes {
    const char *op;
    std::int16_t nochain;       // the chain search yielded no block
    std::int16_t read;          // the first block could not be read
    std::int16_t repairwrite;   // a re-linked block could not be written
    std::int16_t nochainafter;  // no block after a chain's end (or the walk went on too long)
    std::int16_t readwalk;      // a later block could not be read
};

// Keeps a buffer pinned (never chosen as a victim) for the guard's lifetime.
class PinGuard {
  public:
    PinGuard() = default;
    explicit PinGuard(FSBUFF *b) : b_(b) {}
    ~PinGuard() { release(); }
    PinGuard(const PinGuard &) = delete;
    PinGuard &operator=(const PinGuard &) = delete;
    void hold(FSBUFF *b) {
        release();
        b_ = b;
        if (b_ != nullptr) pinblk(b_);
    }
    void release() {
        if (b_ != nullptr) unpinblk(b_);
        b_ = nullptr;
    }

  private:
    FSBUFF *b_ = nullptr;
};

// Reads block blk when it can be a data block (the cache may append it when it is lb + 1);
// null when it cannot be read or is no data block. Reports nothing beyond the cache's codes.
FSBUFF *readdatablock(FSDATA *fsdata, std::uint32_t blk, bool mayappend = false);

// Finds a block with at least `need` free bytes (need = stored length + 6, at most 1014).
// Returns its buffer, which the caller must pin before any further block read, and its
// number in *blk; null with `fault` filled in on failure.
FSBUFF *findroom(FSDATA *fsdata, std::int16_t need, const WalkCodes &codes, Fault *fault,
                 std::uint32_t *blk);

}  // namespace vorn
