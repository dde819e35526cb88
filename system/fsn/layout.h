// Where things lie in a database file, and a bounds-checked walk over the records of a data
// block. Used by the placement code, the record operations and the checker.
#pragma once

#include <cstdint>
#include <cstring>

#include "blocks.h"
#include "fsdata.h"

namespace vorn {

// Block number of the xlate block holding xlate index x (64 bits: a damaged index must not
// wrap around to a small block number).
inline std::uint64_t xlateblockof(const FSDATA *fsdata, std::uint32_t x) {
    return static_cast<std::uint64_t>(x >> 8) * xblkfreqof(fsdata) + 1;
}

// True when block blk sits at an xlate block's position.
inline bool isxlateblockno(const FSDATA *fsdata, std::uint32_t blk) {
    return blk >= 1 && (blk - 1) % xblkfreqof(fsdata) == 0;
}

// True when blk can be a data block of this file: not the control block, not an xlate block,
// not past the last block.
inline bool isdatablockno(const FSDATA *fsdata, std::uint32_t blk) {
    return blk >= 2 && blk <= fsdata->fscb.lb && !isxlateblockno(fsdata, blk);
}

// A data block image whose header can be trusted: type 0 and len within the block.
inline bool isdataimage(const DB &db) {
    return db.type == 0 && db.len >= kDbHeader && db.len <= static_cast<int>(kBlockSize);
}

// Record header fields; RECORD is packed inside the block, so they are copied out.
inline std::uint32_t recordrid(const RECORD *r) {
    std::uint32_t rid;
    std::memcpy(&rid, &r->rid, sizeof rid);
    return rid;
}
inline std::int16_t recordlen(const RECORD *r) {
    std::int16_t len;
    std::memcpy(&len, &r->len, sizeof len);
    return len;
}

// Steps through the records of a data block. It stops (and says damaged) at a header or body
// that would reach past the block's len, and at a len outside 10..1024.
class RecordCursor {
  public:
    explicit RecordCursor(DB &db)
        : bytes_(reinterpret_cast<std::uint8_t *>(&db)),
          pos_(kDbHeader),
          end_(db.len),
          damaged_(db.len < kDbHeader || db.len > static_cast<int>(kBlockSize)) {}

    // The next record, or null at the end or at damage.
    RECORD *next() {
        if (damaged_ || pos_ == end_) return nullptr;
        if (pos_ + kRecordHeader > end_) return fail();
        auto *r = reinterpret_cast<RECORD *>(bytes_ + pos_);
        const int len = recordlen(r);
        if (len < 0 || pos_ + kRecordHeader + len > end_) return fail();
        pos_ += kRecordHeader + len;
        return r;
    }
    bool damaged() const { return damaged_; }
    // Offset (from the start of the block) where the next record would start.
    int offset() const { return pos_; }

  private:
    RECORD *fail() {
        damaged_ = true;
        return nullptr;
    }
    std::uint8_t *bytes_;
    int pos_;
    int end_;
    bool damaged_;
};

}  // namespace vorn
