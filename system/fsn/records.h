// The record operations: add, rewrite, delete, read and walk records of a sub-file. The
// library's local path and the server's handlers both call these; records are given and
// returned in their stored (compressed) form.
#pragma once

#include <cstdint>

#include "fault.h"
#include "fsdata.h"

namespace vorn {

// Adds a record of sub-file fid >> 4 (the low nibble of fid is ignored). Returns the new rid
// (fid's sub-file in bits 31..28), 0 on failure with `fault` filled in.
std::uint32_t addrecord(FSDATA *fsdata, const void *stored, std::int16_t len, std::uint8_t fid,
                        Fault *fault);
// Rewrites record rid, in its block when it still fits, else moved to another block. 1 or 0.
// *moved (when given) tells whether the record changed blocks.
std::int16_t rewriterecord(FSDATA *fsdata, std::uint32_t rid, const void *stored, std::int16_t len,
                           Fault *fault, bool *moved = nullptr);
// Deletes record rid and releases its identifier. 1 or 0.
std::int16_t deleterecord(FSDATA *fsdata, std::uint32_t rid, Fault *fault);
// Copies record rid's stored form to `stored` (room for kMaxStoredRecord bytes). Returns its
// stored length (at least 1), 0 on failure.
std::int16_t readrecord(FSDATA *fsdata, std::uint32_t rid, void *stored, Fault *fault);
// The first / last rid of sub-file fid >> 4; 0 when it is empty.
std::uint32_t firstrecord(FSDATA *fsdata, std::uint8_t fid);
std::uint32_t lastrecord(FSDATA *fsdata, std::uint8_t fid);

}  // namespace vorn
