// Record placement: xlate entries (rid -> block), records inside data blocks, and the six
// free chains that group data blocks by free space.
#pragma once

#include <cstdint>

#include "fsdata.h"

namespace vorn {

// Block number of rid's record from its xlate entry; 0 on failure.
std::uint32_t ridtoblk(FSDATA *fsdata, std::uint32_t rid);
// Hands out the xlate index at the head of the free xlate chain for a record of sub-file fid
// (sub-file in the high nibble) in block blk; 0xFFFFFFFF on failure.
std::uint32_t getxlate(FSDATA *fsdata, std::uint32_t blk, std::uint32_t fid);
// Points rid's xlate entry at blk, keeping its sub-file. 1 or 0.
std::int16_t changexlate(FSDATA *fsdata, std::uint32_t blk, std::uint32_t rid);
// Releases rid's xlate entry onto the head of the free xlate chain. 1 or 0.
std::int16_t freexlate(FSDATA *fsdata, std::uint32_t rid);
// The next / previous rid of rid's sub-file in use; 0 when none or on failure.
std::uint32_t nextrid(FSDATA *fsdata, std::uint32_t rid);
std::uint32_t prevrid(FSDATA *fsdata, std::uint32_t rid);
// The record rid inside a data block image; null when absent or when the block's records
// do not tile it (a damaged block).
RECORD *findrec(FSDATA *fsdata, DB *dbuff, std::uint32_t rid);
// Appends a record to a block that has room and moves the block to its chain. Returns 1.
std::int16_t artb(FSDATA *fsdata, const std::uint32_t *rid, const std::int16_t *len,
                  const void *rec, DB *buff, std::uint32_t blk);
// Removes a record from its block; later records keep their order.
void rrfb(DB *dbuff, RECORD *rbuff);
// The chain (0..5) for a block with `free` free bytes; -1 for none.
std::int16_t whatchain(std::int16_t free);
// A block to try for a record that needs `need` bytes (stored length + 6); 0 on failure.
std::uint32_t getchain(FSDATA *fsdata, std::int16_t need);
// Moves block blk to the chain its free space calls for, when it heads its chain or is on none.
void putonchain(FSDATA *fsdata, DB *dbuff, std::uint32_t blk);

}  // namespace vorn
