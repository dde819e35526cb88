// On-disk structures of a database file. docs/FORMAT.md describes every block kind in
// prose; this header is the byte-exact definition, checked at compile time.
//
// A database file is a sequence of 1024-byte blocks: block 0 is the control block (FSCB),
// block k * xblkfreq + 1 is xlate block k, and every other block is a data block (type 0)
// or a key block (type 1). All integers are little-endian; every structure is packed.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the file format and the wire protocol are little-endian as stored in memory");

namespace vorn {

inline constexpr std::uint32_t kBlockSize = 1024;
inline constexpr std::uint32_t kBlockShift = 10;
inline constexpr std::uint32_t kMaxBlock = 0x3FFFFF;         // largest block number
inline constexpr std::uint32_t kMaxXlateIndex = 0x0FFFFFFF;  // 28-bit xlate index space
inline constexpr std::uint32_t kNoBlock = 0xFFFFFFFF;        // FSBUFF.blk of an empty buffer
inline constexpr std::uint32_t kEmptyFrid = 0xFFFFFFFF;      // FDATA.frid of an empty sub-file
inline constexpr int kSubFiles = 15;
inline constexpr int kFreeChains = 6;
inline constexpr int kXlateEntries = 256;
inline constexpr std::int16_t kDefaultXblkfreq = 20;
inline constexpr std::int16_t kDbHeader = 10;           // DB header bytes
inline constexpr std::int16_t kRecordHeader = 6;        // RECORD header bytes
inline constexpr std::int16_t kBlockRoom = 1014;        // bytes after the DB header
inline constexpr std::int16_t kMaxStoredRecord = 1008;  // largest body an empty block takes
inline constexpr char kSignature[8] = {'V', 'a', 'r', 'n', 'h', 'o', 'l', 't'};
inline constexpr std::size_t kSignatureOffset = 21;

// Key index limits.
inline constexpr int kMaxKeyValue = 195;  // value bytes of one key
inline constexpr int kKeyBuffer = 200;    // fid byte + value + rid
inline constexpr std::int16_t kKbHeader = 14;
inline constexpr int kMaxLevels = 10;  // size of the ancestor path

#pragma pack(push, 1)

// Sub-file descriptor: 15 of them live in the control block.
struct FDATA {
    std::int16_t rlen;        // not interpreted
    std::uint32_t frid;       // lowest rid in use; 0 or 0xFFFFFFFF = empty
    char name[15];            // not interpreted
    std::uint32_t lrid;       // highest rid in use; 0 when empty
    std::int8_t keytype[16];  // comparison type 0..8 of each subkey; other values = undefined
    std::int16_t dupkeys;     // bit k: subkey k admits duplicate values
};

// Control block, block 0.
struct FSCB {
    char copyright[63];  // banner; bytes 21..28 hold the signature
    char fsname[64];     // path of the last local open (temporary files: their own name)
    std::int16_t numusers;
    std::uint32_t rootkb;  // root key block, 0 = no key
    FDATA f[kSubFiles];
    std::uint32_t fc[kFreeChains];  // free chain heads
    std::uint16_t ce;               // chain misses (wraps)
    std::uint32_t ftc;              // head of the free xlate chain (xlate index)
    char cf;                        // image changed; 0 on disk
    char dblocked;                  // local lock flag; 0 on disk
    std::int16_t xblkfreq;          // xlate block spacing; 0 reads as 20
    std::uint32_t lb;               // last block number
    std::int16_t wrts;              // block writes since the last header write; 0 on disk
    std::uint32_t fschanged;        // change counter
    std::uint16_t cefixes;          // chain repairs (wraps)
    std::int16_t cannumber[2];      // application counter pair (low, high)
    std::uint32_t businessdate;
    std::int16_t dbextended;  // set by the server when it appends a block
    char appstat;
    std::int16_t sitenumber;  // not interpreted
    char fscbfil[187];
};

// Data block. Records are packed from buff[0] up to len - 10.
struct DB {
    std::uint32_t nbic;  // next block in the same free chain
    std::int16_t len;    // bytes in use including this header: 10..1024
    std::int16_t fc;     // free chain 0..5, or -1 for none
    char type;           // 0 data, 1 key
    char fill;
    std::uint8_t buff[kBlockRoom];
};

// Record header inside a data block; the stored body of `len` bytes follows.
struct RECORD {
    std::uint32_t rid;
    std::int16_t len;
    std::uint8_t rec[1];  // first byte of the body (the body is `len` bytes long)
};

// Xlate block: 256 entries. In use: sub-file in bits 31..28, block in 27..0.
// Free: 0 in bits 31..28, next free xlate index in 27..0.
struct XBLOCK {
    std::uint32_t xlate[kXlateEntries];
};

// Key block. Leaf entry: int16 n, n key bytes, uint32 rid (n + 6 bytes).
// Separator entry: int16 n, uint32 child, n key bytes, uint32 rid (n + 10 bytes).
struct KB {
    std::uint32_t ancestor;  // 0 in the tree; free-chain link once freed
    std::int16_t len;        // bytes in use including this 14-byte header
    std::int16_t numkeys;
    char type;  // 1
    std::int8_t level;
    std::uint32_t xtrablk;  // rightmost child of an inner block
    std::uint8_t buff[kBlockSize - kKbHeader];
};

#pragma pack(pop)

static_assert(sizeof(FDATA) == 43);
static_assert(offsetof(FDATA, rlen) == 0);
static_assert(offsetof(FDATA, frid) == 2);
static_assert(offsetof(FDATA, name) == 6);
static_assert(offsetof(FDATA, lrid) == 21);
static_assert(offsetof(FDATA, keytype) == 25);
static_assert(offsetof(FDATA, dupkeys) == 41);

static_assert(sizeof(FSCB) == kBlockSize);
static_assert(offsetof(FSCB, copyright) == 0);
static_assert(offsetof(FSCB, fsname) == 63);
static_assert(offsetof(FSCB, numusers) == 127);
static_assert(offsetof(FSCB, rootkb) == 129);
static_assert(offsetof(FSCB, f) == 133);
static_assert(offsetof(FSCB, fc) == 778);
static_assert(offsetof(FSCB, ce) == 802);
static_assert(offsetof(FSCB, ftc) == 804);
static_assert(offsetof(FSCB, cf) == 808);
static_assert(offsetof(FSCB, dblocked) == 809);
static_assert(offsetof(FSCB, xblkfreq) == 810);
static_assert(offsetof(FSCB, lb) == 812);
static_assert(offsetof(FSCB, wrts) == 816);
static_assert(offsetof(FSCB, fschanged) == 818);
static_assert(offsetof(FSCB, cefixes) == 822);
static_assert(offsetof(FSCB, cannumber) == 824);
static_assert(offsetof(FSCB, businessdate) == 828);
static_assert(offsetof(FSCB, dbextended) == 832);
static_assert(offsetof(FSCB, appstat) == 834);
static_assert(offsetof(FSCB, sitenumber) == 835);
static_assert(offsetof(FSCB, fscbfil) == 837);

static_assert(sizeof(DB) == kBlockSize);
static_assert(offsetof(DB, nbic) == 0);
static_assert(offsetof(DB, len) == 4);
static_assert(offsetof(DB, fc) == 6);
static_assert(offsetof(DB, type) == 8);
static_assert(offsetof(DB, fill) == 9);
static_assert(offsetof(DB, buff) == 10);

static_assert(offsetof(RECORD, rid) == 0);
static_assert(offsetof(RECORD, len) == 4);
static_assert(offsetof(RECORD, rec) == kRecordHeader);

static_assert(sizeof(XBLOCK) == kBlockSize);

static_assert(sizeof(KB) == kBlockSize);
static_assert(offsetof(KB, ancestor) == 0);
static_assert(offsetof(KB, len) == 4);
static_assert(offsetof(KB, numkeys) == 6);
static_assert(offsetof(KB, type) == 8);
static_assert(offsetof(KB, level) == 9);
static_assert(offsetof(KB, xtrablk) == 10);
static_assert(offsetof(KB, buff) == kKbHeader);

// Helpers over the rid layout: sub-file in bits 31..28, xlate index in 27..0.
constexpr unsigned subfileof(std::uint32_t rid) {
    return rid >> 28;
}
constexpr std::uint32_t xindexof(std::uint32_t rid) {
    return rid & kMaxXlateIndex;
}

}  // namespace vorn
