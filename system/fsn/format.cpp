#include "format.h"

#include <cstring>

namespace vorn {

void newcontrolblock(FSCB *cb, ImageKind kind, std::int16_t xblkfreq, const char *name) {
    std::memset(cb, 0, sizeof *cb);
    if (kind != ImageKind::ServerTemp) std::memcpy(cb->copyright, kBanner, sizeof kBanner);
    if (name != nullptr) std::strncpy(cb->fsname, name, sizeof cb->fsname - 1);
    cb->numusers = kind == ImageKind::Database ? 0 : 1;
    cb->lb = 2;
    cb->fc[0] = 2;
    cb->xblkfreq = kind == ImageKind::Database ? xblkfreq : kDefaultXblkfreq;
    for (FDATA &f : cb->f) {
        f.frid = kEmptyFrid;
        if (kind == ImageKind::ServerTemp) {
            for (int k = 0; k < 16; ++k) f.keytype[k] = static_cast<std::int8_t>(k % 9);
            f.dupkeys = 0;
        } else {
            f.dupkeys = static_cast<std::int16_t>(0xFF00);
        }
    }
}

void newxlateblock(XBLOCK *xb, std::uint32_t k) {
    for (std::uint32_t s = 0; s < kXlateEntries; ++s) xb->xlate[s] = k * kXlateEntries + s + 1;
}

void newdatablock(DB *db) {
    std::memset(db, 0, sizeof *db);
    db->len = kDbHeader;
    db->fc = 0;
}

namespace {

bool writeblock(platform::BlockFile &file, const void *image, std::uint32_t blk) {
    return file.writeat(image, kBlockSize, static_cast<std::uint64_t>(blk) * kBlockSize) ==
           static_cast<long>(kBlockSize);
}

}  // namespace

int writenewfile(platform::BlockFile &file, ImageKind kind, std::int16_t xblkfreq,
                 const char *name) {
    FSCB cb;
    newcontrolblock(&cb, kind, xblkfreq, name);
    if (!writeblock(file, &cb, 0)) return 0;
    XBLOCK xb;
    newxlateblock(&xb, 0);
    if (!writeblock(file, &xb, 1)) return 1;
    DB db;
    newdatablock(&db);
    if (!writeblock(file, &db, 2)) return 2;
    return kNewFileBlocks;
}

bool hassignature(const FSCB &cb) {
    return std::memcmp(cb.copyright + kSignatureOffset, kSignature, sizeof kSignature) == 0;
}

int integritycheck(const FSCB &cb, std::int64_t filelength) {
    const std::uint64_t fssize = filelength < 0 ? 0 : static_cast<std::uint64_t>(filelength) / 1024;
    const std::uint64_t freq = cb.xblkfreq > 0 ? static_cast<std::uint64_t>(cb.xblkfreq) : 20;
    const std::uint64_t k = cb.ftc >> 8;
    // When every entry of the last xlate block has been handed out, ftc names the first
    // entry of xlate block k, which the placement code appends on the next add. That state
    // is consistent as long as xlate block k - 1 exists.
    const bool nextxlatedue = (cb.ftc & 0xFF) == 0 && k >= 1 && (k - 1) * freq + 1 <= cb.lb;
    if (k * freq > cb.lb && !nextxlatedue) return 4;
    if (static_cast<std::uint64_t>(cb.lb) + 1 != fssize) return 5;
    for (int i = 0; i < kFreeChains; ++i) {  // by index: the header is packed
        if (cb.fc[i] > fssize) return 6;
    }
    return 0;
}

}  // namespace vorn
