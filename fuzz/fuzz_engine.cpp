// Fuzz target: every record and key operation on a fuzzed database file. The input is
//   byte 0        bit 7: the server flavor (else the library's); bits 0..6: operation count n
//   n * 8 bytes   operations: kind, fid, rid (4 bytes), length (2 bytes)
//   the rest      the file
// Each operation runs as a handler would run it, its changes written back at once, and the
// integrity checker walks the file at the end. Nothing may crash, hang or read or write out
// of bounds, whatever the file holds.
#include <cstdint>
#include <cstring>

#include "fsn/check.h"
#include "fsn/fault.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/records.h"
#include "memimage.h"

namespace {

using namespace vorn;

constexpr std::size_t kOpSize = 8;

struct Op {
    std::uint8_t kind;
    std::uint8_t fid;
    std::uint32_t rid;
    std::uint16_t len;
};

Op decode(const std::uint8_t *p) {
    Op op{p[0], p[1], 0, 0};
    std::memcpy(&op.rid, p + 2, 4);
    std::memcpy(&op.len, p + 6, 2);
    return op;
}

// Bytes of a record or key value, varied by `seed`, with runs that compress.
void fill(std::uint8_t *out, std::size_t n, std::uint32_t seed) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = (i / 5) % 2 == 0 ? static_cast<std::uint8_t>(seed)
                                  : static_cast<std::uint8_t>(seed * 13 + i);
    }
}

// A server handler's write-back, or the library's.
void writeback(FSDATA *fs) {
    if (fs->flavor == Flavor::Server) flushfscb(fs);
    flushbuffs(fs);
}

void run(FSDATA *fs, const Op &op) {
    std::uint8_t value[kMaxStoredRecord + 8];
    std::uint8_t found[kKeyBuffer + 8];
    Fault fault;
    const auto recordlen = static_cast<std::int16_t>(1 + op.len % kMaxStoredRecord);
    const auto keylen = static_cast<std::int16_t>(op.len % (kMaxKeyValue + 1));
    fill(value, static_cast<std::size_t>(recordlen), op.rid ^ op.len);
    std::int16_t foundlen = 0;
    switch (op.kind % 13) {
        case 0:
            addrecord(fs, value, recordlen, op.fid, &fault);
            break;
        case 1:
            rewriterecord(fs, op.rid, value, recordlen, &fault);
            break;
        case 2:
            deleterecord(fs, op.rid, &fault);
            break;
        case 3:
            readrecord(fs, op.rid, value, &fault);
            break;
        case 4:
            firstrecord(fs, op.fid);
            lastrecord(fs, op.fid);
            break;
        case 5:
            addkey(fs, static_cast<std::int16_t>(keylen + 1),
                   bldkey(op.fid, op.rid, keylen, value));
            break;
        case 6:
            deletekey(fs, static_cast<std::int16_t>(keylen + 1),
                      bldkey(op.fid, op.rid, keylen, value));
            break;
        case 7:
            firstkey(fs, op.fid, found, &foundlen);
            break;
        case 8:
            findkey(fs, static_cast<std::int16_t>(keylen + 1), bldkey(op.fid, 0, keylen, value),
                    found, &foundlen);
            break;
        case 9:
            lastkey(fs, static_cast<std::int16_t>(keylen + 1), bldkey(op.fid, 0, keylen, value),
                    found, &foundlen);
            break;
        case 10:
            nextkey(fs, static_cast<std::int16_t>(keylen + 1),
                    bldkey(op.fid, op.rid, keylen, value), found, &foundlen);
            break;
        case 11:
            prevkey(fs, static_cast<std::int16_t>(keylen + 1),
                    bldkey(op.fid, op.rid, keylen, value), found, &foundlen);
            break;
        default:
            // Many adds in a row: splits and new blocks.
            for (int i = 0; i < 8; ++i) {
                fill(value, static_cast<std::size_t>(recordlen), op.rid + i);
                addrecord(fs, value, recordlen, op.fid, &fault);
                addkey(fs, static_cast<std::int16_t>(keylen + 1),
                       bldkey(op.fid, op.rid + i, keylen, value));
            }
            break;
    }
    writeback(fs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const Flavor flavor = (data[0] & 0x80) != 0 ? Flavor::Server : Flavor::Library;
    const std::size_t nops = data[0] & 0x7F;
    const std::size_t header = 1 + nops * kOpSize;
    if (size < header + kBlockSize) return 0;
    std::shared_ptr<test::MemFileData> file;
    auto fs = fuzz::openimage(data + header, size - header, flavor, false, &file);
    if (fs == nullptr) return 0;
    for (std::size_t i = 0; i < nops; ++i) run(fs.get(), decode(data + 1 + i * kOpSize));
    checkfile(fs.get());
    return 0;
}
