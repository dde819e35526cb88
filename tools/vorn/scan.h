// Whole-file surveys shared by info, stat and salvage: every block read once and classified,
// the key tree walked from its root, the free chains followed. Blocks are read straight from
// the file (not through the engine's cache), and nothing here trusts what it reads: a
// damaged link ends a walk instead of leading it astray.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "fsn/fsdata.h"

namespace vorn::tool {

// Reads block blk straight from the file; false when it cannot be read whole.
bool rawblock(FSDATA *fsdata, std::uint32_t blk, std::uint8_t out[kBlockSize]);

struct BlockCensus {
    std::uint32_t blocks = 0;  // lb + 1
    std::uint32_t control = 1, xlate = 0, emptydata = 0, data = 0, key = 0, other = 0,
                  unreadable = 0;
    std::uint64_t recordbytes = 0;  // bytes used by records (headers included) in data blocks
    std::uint32_t records = 0;      // records found in data blocks
    std::array<std::uint32_t, 10> fill{};  // data blocks holding records, by fill in tenths
};

// Reads every block from 1 to lb; `onblock` (may be empty) sees each with its number.
BlockCensus takecensus(
    FSDATA *fsdata, const std::function<void(std::uint32_t, const std::uint8_t *)> &onblock = {});

struct TreeSurvey {
    int depth = 0;  // levels, 0 when the tree is empty
    std::uint32_t leaves = 0, inner = 0;
    std::uint64_t leafkeys = 0, children = 0;  // for the averages (fan-out)
    std::map<int, std::uint64_t> keysbyfid;    // leaf keys by their fid byte
    std::uint32_t brokenlinks = 0;             // children that could not be walked
};

// Walks the key tree from rootkb through every child it can reach, each block once.
TreeSurvey surveytree(FSDATA *fsdata);

// Length of free chain i, following nbic until 0; stops (and sets *broken) at a block out of
// range, a repeat or an unreadable block.
std::uint32_t chainlength(FSDATA *fsdata, int i, bool *broken);

// Counts the records of sub-file n (1..15) by walking its rids.
std::uint32_t countrecords(FSDATA *fsdata, unsigned n);

}  // namespace vorn::tool
