// vorn salvage DAMAGED NEW: every record that can still be read from a damaged file, under
// its own rid, into a new file, and the keys whose records survive. Nothing in the damaged
// file is trusted beyond one block at a time: every block is read straight from the file,
// records are taken from any data block whose records can be walked, keys from any leaf
// that passes the key block check (reachable from the root or not). The xlate entries serve
// only to choose between two copies of a rid and to name the records that were lost.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "command.h"
#include "dbfile.h"
#include "fsn/blocks.h"
#include "fsn/format.h"
#include "fsn/keysearch.h"
#include "fsn/keytree.h"
#include "fsn/keyupdate.h"
#include "fsn/layout.h"
#include "fsn/restore.h"
#include "progress.h"
#include "scan.h"

namespace vorn::tool {
namespace {

struct Found {
    std::uint32_t blk;
    std::vector<std::uint8_t> stored;
};

struct FoundKey {
    std::uint8_t fid;
    std::vector<std::uint8_t> value;
    std::uint32_t rid;
};

// What the damaged file still holds, gathered block by block.
struct Harvest {
    std::uint32_t spacing = kDefaultXblkfreq;
    bool headerok = false;
    FSCB header{};
    std::uint32_t blocks = 0;  // whole blocks in the file
    std::map<std::uint32_t, std::vector<Found>> records;
    std::map<std::uint32_t, std::uint32_t> xlate;  // rid -> block, from readable xlate entries
    std::vector<FoundKey> keys;
    std::vector<std::uint32_t> damagedblocks;  // data blocks whose records stop at damage
    std::vector<std::uint32_t> unknownblocks;  // neither a data block nor a key block
    std::uint32_t unreadable = 0;
    std::uint32_t implausible = 0;  // record headers naming a rid the file never had
};

bool isxlatepos(std::uint32_t blk, std::uint32_t spacing) {
    return blk >= 1 && (blk - 1) % spacing == 0;
}

void harvestxlate(Harvest &h, std::uint32_t blk, const std::uint8_t *bytes) {
    XBLOCK xb;
    std::memcpy(&xb, bytes, sizeof xb);
    const std::uint32_t k = (blk - 1) / h.spacing;
    for (std::uint32_t s = 0; s < kXlateEntries; ++s) {
        const std::uint32_t e = xb.xlate[s];
        if ((e >> 28) != 0)
            h.xlate[(e & 0xF0000000u) | (k * kXlateEntries + s)] = e & kMaxXlateIndex;
    }
}

void harvestdata(Harvest &h, std::uint32_t blk, DB &db) {
    RecordCursor cursor(db);
    while (const RECORD *r = cursor.next()) {
        const std::uint32_t rid = recordrid(r);
        const std::int16_t len = recordlen(r);
        if (subfileof(rid) == 0 || len < 1 || len > kMaxStoredRecord) continue;
        // An xlate index whose xlate block lies beyond the file's end (and the block made
        // next) was never handed out: the bytes are not a record.
        if (static_cast<std::uint64_t>(xindexof(rid) >> 8) * h.spacing > h.blocks) {
            ++h.implausible;
            continue;
        }
        h.records[rid].push_back({blk, std::vector<std::uint8_t>(r->rec, r->rec + len)});
    }
    if (cursor.damaged()) h.damagedblocks.push_back(blk);
}

void harvestleaf(Harvest &h, const KB &kb) {
    for (int off = 0; off < usedof(kb); off += entrysize(0, entrylen(kb, off))) {
        const std::uint8_t *key = entrykey(kb, off);
        const int n = entrylen(kb, off);
        if ((key[0] >> 4) == 0) continue;
        h.keys.push_back({key[0], std::vector<std::uint8_t>(key + 1, key + n), entryrid(kb, off)});
    }
}

void harvestblock(Harvest &h, std::uint32_t blk, const std::uint8_t *bytes) {
    if (isxlatepos(blk, h.spacing)) return harvestxlate(h, blk, bytes);
    DB db;
    std::memcpy(&db, bytes, sizeof db);
    if (isdataimage(db)) return harvestdata(h, blk, db);
    KB kb;
    std::memcpy(&kb, bytes, sizeof kb);
    if (!validkb(kb)) {
        h.unknownblocks.push_back(blk);
    } else if (kb.level == 0) {
        harvestleaf(h, kb);
    }
}

bool harvest(const std::string &path, long long spacing, Harvest *h, std::string *why) {
    auto file = platform::openfile(path.c_str(), platform::OpenMode::ReadOnly);
    if (file == nullptr) {
        *why = "cannot open " + path;
        return false;
    }
    h->blocks = static_cast<std::uint32_t>(
        std::min<std::int64_t>(file->length() / kBlockSize, kMaxBlock + 1));
    if (h->blocks == 0) {
        *why = path + " holds no whole block";
        return false;
    }
    alignas(8) std::uint8_t bytes[kBlockSize];
    if (file->readat(bytes, kBlockSize, 0) == static_cast<long>(kBlockSize)) {
        std::memcpy(&h->header, bytes, sizeof h->header);
        const int stored = h->header.xblkfreq;  // copied out of the packed header
        const int freq = stored == 0 ? kDefaultXblkfreq : stored;
        h->headerok = hassignature(h->header) && freq >= 2;
        if (h->headerok) h->spacing = static_cast<std::uint32_t>(freq);
    }
    if (spacing != 0) h->spacing = static_cast<std::uint32_t>(spacing);
    Progress progress("salvage", "blocks");
    for (std::uint32_t blk = 1; blk < h->blocks; ++blk) {
        progress.update(blk, h->blocks);
        if (file->readat(bytes, kBlockSize, static_cast<std::uint64_t>(blk) << kBlockShift) !=
            static_cast<long>(kBlockSize)) {
            ++h->unreadable;
            continue;
        }
        harvestblock(*h, blk, bytes);
    }
    return true;
}

// The copy of rid to keep: the one in the block its xlate entry names, else the first found.
const Found &choose(const Harvest &h, std::uint32_t rid, const std::vector<Found> &copies) {
    const auto it = h.xlate.find(rid);
    for (const Found &f : copies) {
        if (it != h.xlate.end() && f.blk == it->second) return f;
    }
    return copies.front();
}

void copysettings(const Harvest &h, FSDATA *fs) {
    if (!h.headerok) return;
    FSCB &cb = fs->fscb;
    std::memcpy(cb.cannumber, h.header.cannumber, sizeof cb.cannumber);
    cb.businessdate = h.header.businessdate;
    cb.appstat = h.header.appstat;
    cb.sitenumber = h.header.sitenumber;
    for (int n = 0; n < kSubFiles; ++n) {
        FDATA &f = cb.f[n];
        const FDATA &old = h.header.f[n];
        f.rlen = old.rlen;
        std::memcpy(f.name, old.name, sizeof f.name);
        std::memcpy(f.keytype, old.keytype, sizeof f.keytype);
        f.dupkeys = old.dupkeys;
    }
    changefscb(fs);
}

struct Outcome {
    std::uint32_t records = 0, duplicates = 0, keys = 0, keysorphaned = 0, keysrefused = 0;
    std::vector<std::uint32_t> lost;  // rids an xlate entry names but no block holds
    std::uint32_t badentries = 0;     // xlate entries naming no data block
};

bool rebuild(const Harvest &h, FSDATA *fs, CollectingReporter &reporter, Outcome *out,
             std::string *why) {
    copysettings(h, fs);
    std::set<std::uint32_t> placed;
    for (const auto &[rid, copies] : h.records) {
        const Found &f = choose(h, rid, copies);
        Fault fault;
        if (placerecordat(fs, rid, f.stored.data(), static_cast<std::int16_t>(f.stored.size()),
                          &fault) == 0) {
            *why = "cannot store record " + ridtext(rid) + ": " + faulttext(fault);
            return false;
        }
        placed.insert(rid);
        ++out->records;
        if (copies.size() > 1) ++out->duplicates;
    }
    if (relinkfreexlate(fs) == 0) {
        *why = "cannot write the free xlate chain: " + reporter.last();
        return false;
    }
    for (const FoundKey &k : h.keys) {
        if (placed.count(k.rid) == 0) {
            ++out->keysorphaned;
            continue;
        }
        const std::uint8_t *built =
            bldkey(k.fid, k.rid, static_cast<std::int16_t>(k.value.size()), k.value.data());
        if (addkey(fs, static_cast<std::int16_t>(k.value.size() + 1), built) != 0) {
            ++out->keys;
        } else {
            ++out->keysrefused;
        }
    }
    for (const auto &[rid, blk] : h.xlate) {
        if (placed.count(rid) != 0) continue;
        // An entry naming no data block of the file is itself damaged, not a lost record.
        if (blk >= 2 && blk < h.blocks && !isxlatepos(blk, h.spacing)) {
            out->lost.push_back(rid);
        } else {
            ++out->badentries;
        }
    }
    if (flushbuffs(fs) == 0) {
        *why = "cannot write the new file: " + reporter.last();
        return false;
    }
    return true;
}

void report(const Harvest &h, const Outcome &o, const std::string &to) {
    std::printf("salvaged %lu record%s into %s", static_cast<unsigned long>(o.records),
                o.records == 1 ? "" : "s", to.c_str());
    std::printf(" (xlate spacing %lu%s)\n", static_cast<unsigned long>(h.spacing),
                h.headerok ? "" : ", control block damaged: settings not copied");
    std::printf(
        "keys: %lu rebuilt, %lu dropped with their records, %lu refused (duplicate or "
        "undefined index)\n",
        static_cast<unsigned long>(o.keys), static_cast<unsigned long>(o.keysorphaned),
        static_cast<unsigned long>(o.keysrefused));
    if (o.duplicates != 0) {
        std::printf(
            "%lu rid(s) found in more than one block: kept the copy the xlate entry "
            "names, else the first\n",
            static_cast<unsigned long>(o.duplicates));
    }
    for (std::uint32_t blk : h.damagedblocks) {
        std::printf("lost: the records after the damage in data block %lu\n",
                    static_cast<unsigned long>(blk));
    }
    for (std::uint32_t blk : h.unknownblocks) {
        std::printf(
            "lost: block %lu is neither a data block nor a key block: its records or "
            "keys are gone\n",
            static_cast<unsigned long>(blk));
    }
    if (h.unreadable != 0) {
        std::printf("lost: %lu unreadable block(s)\n", static_cast<unsigned long>(h.unreadable));
    }
    if (o.badentries != 0) {
        std::printf("damaged: %lu xlate entr%s naming no data block\n",
                    static_cast<unsigned long>(o.badentries), o.badentries == 1 ? "y" : "ies");
    }
    if (h.implausible != 0) {
        std::printf("skipped: %lu record header(s) naming a rid beyond the file's xlate blocks\n",
                    static_cast<unsigned long>(h.implausible));
    }
    // The records an xlate entry names but no block holds, by the block the entry names.
    std::map<std::uint32_t, std::vector<std::uint32_t>> lostbyblock;
    for (std::uint32_t rid : o.lost) lostbyblock[h.xlate.at(rid)].push_back(rid);
    for (const auto &[blk, rids] : lostbyblock) {
        std::printf("lost: %zu record%s that block %lu should hold: %s", rids.size(),
                    rids.size() == 1 ? "" : "s", static_cast<unsigned long>(blk),
                    ridtext(rids.front()).c_str());
        if (rids.size() > 1) std::printf(" .. %s", ridtext(rids.back()).c_str());
        std::printf("\n");
    }
    if (h.damagedblocks.empty() && h.unknownblocks.empty() && h.unreadable == 0 && o.lost.empty()) {
        std::printf("nothing known to be lost\n");
    }
}

int run(const Args &args) {
    const std::string &from = args.positional[0];
    const std::string &to = args.positional[1];
    long long spacing = 0;
    if (args.has("--spacing") && !parsenumber(args.value("--spacing"), 2, 32767, &spacing)) {
        return fail("salvage", kExitUsage, "--spacing wants a number from 2 to 32767");
    }
    if (to.size() > 63)
        return fail("salvage", kExitUsage, "a database path is at most 63 characters");
    Harvest h;
    std::string why;
    if (!harvest(from, spacing, &h, &why)) return fail("salvage", kExitFailed, "%s", why.c_str());
    CollectingReporter reporter;
    auto fs = createdatabase(to, static_cast<std::int16_t>(h.spacing), false, &reporter, &why);
    if (fs == nullptr) return fail("salvage", kExitFailed, "%s", why.c_str());
    Outcome outcome;
    if (!rebuild(h, fs.get(), reporter, &outcome, &why)) {
        fs.reset();
        std::remove(to.c_str());
        return fail("salvage", kExitFailed, "%s (%s not made)", why.c_str(), to.c_str());
    }
    report(h, outcome, to);
    return kExitOk;
}

}  // namespace

const Command &salvagecommand() {
    static const Command c{
        "salvage",
        "DAMAGED NEW [--spacing N]",
        "copy every readable record of a damaged file, with its rid, to a new file",
        "Reads every block of DAMAGED (read-only) on its own and makes NEW, which must not\n"
        "exist, from what it finds: each record of each data block whose records can be\n"
        "walked, under its own rid; the keys of every intact leaf block whose records survive;\n"
        "the settings of the control block when it is intact. Then it reports what was lost:\n"
        "data blocks whose records stop at damage, unreadable blocks, and rids that an xlate\n"
        "entry names but no block holds. --spacing N gives the xlate spacing when the control\n"
        "block is damaged (default: the control block's, else 20). Exit status 0 when NEW was\n"
        "made, 1 when it could not be.",
        {{"--spacing", true}},
        2,
        2,
        run};
    return c;
}

}  // namespace vorn::tool
