// Rebuilding a file with the record identifiers of another: a dump being loaded or a damaged
// file being salvaged keeps every rid. Ordinary adds take whatever index heads the free xlate
// chain; placerecordat puts a record under an identifier chosen by the caller instead, and
// relinkfreexlate then threads the free xlate chain through every entry left unused.
#pragma once

#include <cstdint>

#include "fault.h"
#include "fsdata.h"

namespace vorn {

// Stores a record under `rid` (sub-file 1..15 in bits 31..28), appending xlate blocks up to
// the one that holds its entry. The entry must be free. The free xlate chain is not kept: it
// may still run through the entry now in use, so the caller stores every record it means to
// and then calls relinkfreexlate before anything else adds a record. 1, or 0 with `fault`
// filled in (an entry already in use is code 1045).
std::int16_t placerecordat(FSDATA *fsdata, std::uint32_t rid, const void *stored, std::int16_t len,
                           Fault *fault);

// Threads the free xlate chain through every free entry of the existing xlate blocks in
// ascending order, ending at the first index of the next xlate block, as in a file whose
// identifiers were handed out in order. 1 or 0.
std::int16_t relinkfreexlate(FSDATA *fsdata);

}  // namespace vorn
