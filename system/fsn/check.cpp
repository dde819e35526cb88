// The integrity checker. It reads every block once (the cache's copy when the block is
// resident, else the file's) without disturbing the cache, and checks:
//   - the control block: spacing, last block, chain heads, free xlate chain head, file length;
//   - the xlate blocks: every in-use entry names a data block that holds that rid, and the
//     free xlate chain runs through free entries only, without a cycle, to its proper end;
//   - every data block: header sane, records tiling it exactly, every record pointed back at
//     by an in-use xlate entry of its sub-file (stored forms that do not expand are noted);
//   - the free chains: acyclic, inside the file, through data blocks that say they are on
//     that chain, never through a block of the key tree, chain 0 only through empty blocks;
//   - each sub-file's frid and lrid enclose its identifiers in use.
#include "check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "blocks.h"
#include "journal.h"
#include "layout.h"
#include "placement.h"
#include "vorn/compress.h"

namespace vorn {
namespace {

constexpr std::size_t kMaxFindings = 200;
constexpr std::size_t kLargestRecord = 129 * kBlockRoom;  // what a stored form can expand to

enum class Kind : std::uint8_t { Unknown, Control, Xlate, Data, Key, Unreadable };

struct BlockInfo {
    Kind kind = Kind::Unknown;
    std::int8_t onchain = -1;  // the free chain the block was found on
    std::int16_t len = 0;
    std::int16_t fc = -1;
};

class Checker {
  public:
    explicit Checker(FSDATA *fs)
        : fs_(fs), cb_(fs->fscb), freq_(xblkfreqof(fs)), lb_(fs->fscb.lb), last_(lb_) {}

    std::vector<Finding> run() {
        if (!checkheader()) return finish();
        blocks_.assign(static_cast<std::size_t>(last_) + 2, BlockInfo{});
        blocks_[0].kind = Kind::Control;
        readxlate();
        checkftc();
        checkfreexlatechain();
        checkkeytreeblocks();
        checkdatablocks();
        checkchains();
        checkunchained();
        checkentries();
        checkbounds();
        return finish();
    }

  private:
    void add(Finding::Severity severity, const char *fmt, va_list args) {
        if (severity == Finding::Fault) ++faults_;
        if (findings_.size() >= kMaxFindings) {
            ++omitted_;
            return;
        }
        char text[256];
        std::vsnprintf(text, sizeof text, fmt, args);
        findings_.push_back({severity, text});
    }
    __attribute__((format(printf, 2, 3))) void fault(const char *fmt, ...) {
        va_list args;
        va_start(args, fmt);
        add(Finding::Fault, fmt, args);
        va_end(args);
    }
    __attribute__((format(printf, 2, 3))) void note(const char *fmt, ...) {
        va_list args;
        va_start(args, fmt);
        add(Finding::Note, fmt, args);
        va_end(args);
    }

    std::vector<Finding> finish() {
        if (omitted_ > 0) {
            findings_.push_back({faults_ > 0 ? Finding::Fault : Finding::Note,
                                 std::to_string(omitted_) + " further findings not listed"});
        }
        return std::move(findings_);
    }

    // The block's image as the engine sees it: the cache's copy, else the file's.
    bool image(std::uint32_t blk, DB *out) {
        for (int j = 0; j < fs_->nbuffs; ++j) {
            if (fs_->buff[j].blk == blk) {
                std::memcpy(out, &fs_->buff[j].dbuff, sizeof *out);
                return true;
            }
        }
        const std::uint64_t offset = static_cast<std::uint64_t>(blk) << kBlockShift;
        return fs_->fsp->readat(out, kBlockSize, offset) == static_cast<long>(kBlockSize);
    }

    bool resident(std::uint32_t blk) const {
        for (int j = 0; j < fs_->nbuffs; ++j) {
            if (fs_->buff[j].blk == blk) return true;
        }
        return false;
    }

    unsigned long ul(std::uint64_t v) const { return static_cast<unsigned long>(v); }

    bool checkheader() {
        bool usable = true;
        bool banner = false;
        for (char c : cb_.copyright) banner = banner || c != 0;
        if (!banner) {
            note("the control block carries no banner (a server's temporary file)");
        } else if (std::memcmp(cb_.copyright + kSignatureOffset, kSignature, sizeof kSignature) !=
                   0) {
            fault("the control block lacks the signature at bytes 21..28");
        }
        if (cb_.xblkfreq < 2) {
            fault("xlate block spacing %d is below 2", cb_.xblkfreq);
            usable = false;
        }
        if (lb_ < 2 || lb_ > kMaxBlock) {
            fault("last block %lu is outside 2..%lu", ul(lb_), ul(kMaxBlock));
            usable = false;
        }
        if (!usable) return false;
        checklength();
        for (int i = 0; i < kFreeChains; ++i) {
            if (cb_.fc[i] > lb_ + 1) {
                fault("free chain %d starts at block %lu, beyond the last block %lu", i,
                      ul(cb_.fc[i]), ul(lb_));
            }
        }
        return true;
    }

    void checklength() {
        const std::int64_t length = fs_->fsp->length();
        if (length < 0) {
            fault("the file's length cannot be read");
            return;
        }
        const std::uint64_t whole = static_cast<std::uint64_t>(length) / kBlockSize;
        if (length % kBlockSize != 0) {
            note("the file has %lu bytes past its last whole block",
                 ul(static_cast<std::uint64_t>(length) % kBlockSize));
        }
        if (whole > static_cast<std::uint64_t>(lb_) + 1) {
            fault("the file holds %lu blocks but its last block is %lu", ul(whole), ul(lb_));
        }
        if (whole >= static_cast<std::uint64_t>(lb_) + 1) return;
        // Blocks appended in the cache and not yet written are resident; others are missing,
        // and the scan stops at the last block there is.
        std::uint64_t present = 0;
        std::uint32_t highest = whole > 0 ? static_cast<std::uint32_t>(whole - 1) : 0;
        for (int j = 0; j < fs_->nbuffs; ++j) {
            const std::uint32_t blk = fs_->buff[j].blk;
            if (blk == kNoBlock || blk > lb_ || blk < whole) continue;
            ++present;
            if (blk > highest) highest = blk;
        }
        if (present < lb_ + 1 - whole) {
            fault("the file ends after %lu blocks but its last block is %lu", ul(whole), ul(lb_));
            last_ = highest;
        }
    }

    void readxlate() {
        // Xlate blocks k with k * freq + 1 <= the last block scanned.
        const std::uint32_t count = last_ >= 1 ? (last_ - 1) / freq_ + 1 : 0;
        xlate_.assign(static_cast<std::size_t>(count) * kXlateEntries, 0);
        xknown_.assign(count, false);
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t blk = k * freq_ + 1;
            blocks_[blk].kind = Kind::Xlate;
            XBLOCK xb;
            if (!image(blk, reinterpret_cast<DB *>(&xb))) {
                fault("xlate block %lu (block %lu) cannot be read", ul(k), ul(blk));
                blocks_[blk].kind = Kind::Unreadable;
                continue;
            }
            std::memcpy(&xlate_[static_cast<std::size_t>(k) * kXlateEntries], xb.xlate,
                        sizeof xb.xlate);
            xknown_[k] = true;
        }
    }

    bool known(std::uint32_t x) const { return xknown_[x / kXlateEntries]; }

    void checkftc() {
        const std::uint32_t ftc = cb_.ftc;
        if (ftc > kMaxXlateIndex) {
            fault("the free xlate chain starts at %lx, beyond the identifier space", ul(ftc));
            return;
        }
        // The head may name the first entry of the xlate block that is made next.
        if (ftc > xlate_.size()) {
            fault("the free xlate chain starts at index %lu, beyond the xlate blocks", ul(ftc));
        }
    }

    void checkfreexlatechain() {
        freechain_.assign(xlate_.size(), false);
        std::uint32_t x = cb_.ftc;
        for (std::size_t steps = 0; steps <= xlate_.size(); ++steps) {
            if (x == xlate_.size()) return;  // the first entry of the next xlate block
            if (x > xlate_.size()) {
                if (x != cb_.ftc) {
                    fault("the free xlate chain leaves the xlate blocks at index %lu", ul(x));
                }
                return;
            }
            if (!known(x)) return;
            if (freechain_[x]) {
                fault("the free xlate chain runs in a cycle through index %lu", ul(x));
                return;
            }
            if (subfileof(xlate_[x]) != 0) {
                fault("the free xlate chain runs into index %lu, which is in use", ul(x));
                return;
            }
            freechain_[x] = true;
            x = xlate_[x];
        }
    }

    void checkkeytreeblocks() {
        for (std::uint32_t blk : checkkeytree(fs_, findings_)) {
            if (!isdatablockno(fs_, blk)) {
                fault("the key tree names block %lu, which cannot be a key block", ul(blk));
                continue;
            }
            if (blk > last_) continue;  // missing from the file, reported already
            if (blocks_[blk].kind == Kind::Key) {
                fault("the key tree reaches block %lu twice", ul(blk));
            }
            blocks_[blk].kind = Kind::Key;
        }
    }

    void checkdatablocks() {
        found_.assign(xlate_.size(), false);
        for (std::uint32_t blk = 2; blk <= last_; ++blk) {
            if (isxlateblockno(fs_, blk) || blocks_[blk].kind == Kind::Key) continue;
            DB db;
            if (!image(blk, &db)) {
                fault("block %lu cannot be read", ul(blk));
                blocks_[blk].kind = Kind::Unreadable;
                continue;
            }
            checkdatablock(blk, db);
        }
    }

    void checkdatablock(std::uint32_t blk, DB &db) {
        BlockInfo &info = blocks_[blk];
        if (db.type == 1) {
            note("block %lu is a key block outside the key tree (its space is not reused)",
                 ul(blk));
            info.kind = Kind::Key;
            return;
        }
        info.kind = Kind::Data;
        if (db.type != 0) fault("block %lu has block type %d", ul(blk), db.type);
        if (db.len < kDbHeader || db.len > static_cast<int>(kBlockSize)) {
            fault("block %lu has length %d, outside 10..1024", ul(blk), db.len);
            info.kind = Kind::Unreadable;
            return;
        }
        if (db.fc < -1 || db.fc >= kFreeChains) {
            fault("block %lu names free chain %d", ul(blk), db.fc);
        }
        info.len = db.len;
        info.fc = db.fc;
        RecordCursor cursor(db);
        while (const RECORD *r = cursor.next()) checkrecord(blk, r);
        if (cursor.damaged()) {
            fault("block %lu: the records do not tile the block (at offset %d of length %d)",
                  ul(blk), cursor.offset(), db.len);
        }
    }

    void checkrecord(std::uint32_t blk, const RECORD *r) {
        const std::uint32_t rid = recordrid(r);
        const std::uint32_t x = xindexof(rid);
        if (subfileof(rid) == 0) {
            fault("block %lu holds a record with rid %lx, which names no sub-file", ul(blk),
                  ul(rid));
        } else if (x >= xlate_.size()) {
            fault("block %lu holds rid %lx, beyond the xlate blocks", ul(blk), ul(rid));
        } else if (known(x)) {
            const std::uint32_t entry = xlate_[x];
            if (subfileof(entry) != subfileof(rid) || (entry & kMaxXlateIndex) != blk) {
                fault("block %lu holds rid %lx, but its xlate entry %lx does not point back",
                      ul(blk), ul(rid), ul(entry));
            } else if (found_[x]) {
                fault("block %lu holds rid %lx a second time", ul(blk), ul(rid));
            } else {
                found_[x] = true;
            }
        }
        const std::int16_t len = recordlen(r);
        if (scratch_.empty()) scratch_.resize(kLargestRecord);
        // The engine stores what it is given; a body that does not expand is the record's
        // content, not a fault of the file's structure.
        if (uncompress(scratch_.data(), scratch_.size(), r->rec, len) < 0) {
            note("block %lu: the stored form of rid %lx (%d bytes) does not expand", ul(blk),
                 ul(rid), len);
        }
    }

    void checkchains() {
        for (int i = 0; i < kFreeChains; ++i) {
            std::uint32_t blk = cb_.fc[i];
            for (std::uint64_t steps = 0; blk != 0; ++steps) {
                if (!checkchainblock(i, blk, steps == 0)) break;
                DB db;
                if (!image(blk, &db)) break;
                blk = db.nbic;
            }
        }
    }

    // Checks one block met on chain i; false ends the chain's walk.
    bool checkchainblock(int i, std::uint32_t blk, bool head) {
        if (head && blk == lb_ + 1 && !isxlateblockno(fs_, blk)) {
            note("free chain %d starts at block %lu, which is appended next", i, ul(blk));
            return false;
        }
        if (!isdatablockno(fs_, blk)) {
            fault("free chain %d reaches block %lu, which is no data block", i, ul(blk));
            return false;
        }
        if (blk > last_) return false;  // missing from the file, reported already
        BlockInfo &info = blocks_[blk];
        if (info.kind == Kind::Key) {
            fault("block %lu is both a key block and on free chain %d", ul(blk), i);
            return false;
        }
        if (info.onchain != -1) {
            fault("free chain %d meets block %lu, already met on free chain %d", i, ul(blk),
                  info.onchain);
            return false;
        }
        info.onchain = static_cast<std::int8_t>(i);
        if (info.kind != Kind::Data) return false;
        if (info.fc != i) {
            fault("block %lu is on free chain %d but names chain %d", ul(blk), i, info.fc);
        }
        const auto free = static_cast<std::int16_t>(kBlockSize - info.len);
        if (i == 0 && info.len != kDbHeader) {
            fault("block %lu on free chain 0 holds records (a new key block would overwrite them)",
                  ul(blk));
        } else if (whatchain(free) != i) {
            note("block %lu on free chain %d has %d free bytes (chain %d's class)", ul(blk), i,
                 free, whatchain(free));
        }
        return true;
    }

    void checkunchained() {
        for (std::uint32_t blk = 2; blk <= last_; ++blk) {
            const BlockInfo &info = blocks_[blk];
            if (info.kind != Kind::Data || info.onchain != -1) continue;
            const auto free = static_cast<std::int16_t>(kBlockSize - info.len);
            if (info.fc == 0 && info.len == kDbHeader) {
                note("block %lu is empty and on no free chain (its space is not reused)", ul(blk));
            } else if (info.fc >= 0 && info.fc < kFreeChains) {
                fault("block %lu names free chain %d but is not on it", ul(blk), info.fc);
            } else if (whatchain(free) != -1) {
                note("block %lu has %d free bytes but is on no free chain", ul(blk), free);
            }
        }
    }

    void checkentries() {
        std::size_t lost = 0;
        for (std::uint32_t x = 0; x < xlate_.size(); ++x) {
            if (!known(x)) continue;
            const std::uint32_t entry = xlate_[x];
            if (subfileof(entry) == 0) {
                if (!freechain_[x]) ++lost;
                continue;
            }
            if (found_[x]) continue;
            const std::uint32_t rid = (entry & 0xF0000000u) | x;
            const std::uint32_t blk = entry & kMaxXlateIndex;
            if (blk > last_ || blocks_[blk].kind != Kind::Data) {
                fault("rid %lx: its xlate entry names block %lu, which is no data block", ul(rid),
                      ul(blk));
            } else {
                fault("rid %lx: its xlate entry names block %lu, which does not hold it", ul(rid),
                      ul(blk));
            }
        }
        if (lost > 0) {
            note("%lu free xlate entries are not on the free xlate chain (never reused)", ul(lost));
        }
    }

    void checkbounds() {
        for (unsigned n = 1; n <= kSubFiles; ++n) {
            std::uint32_t lo = 0, hi = 0;
            for (std::uint32_t x = 0; x < xlate_.size(); ++x) {
                if (!known(x) || subfileof(xlate_[x]) != n) continue;
                const std::uint32_t rid = (n << 28) | x;
                if (lo == 0) lo = rid;
                hi = rid;
            }
            checksubfile(n, lo, hi);
        }
    }

    void checksubfile(unsigned n, std::uint32_t lo, std::uint32_t hi) {
        const FDATA &f = cb_.f[n - 1];
        const bool empty = f.frid == 0 || f.frid == kEmptyFrid;
        if (lo == 0) {
            if (!empty || f.lrid != 0) {
                note("sub-file %u holds no record but frid %lx, lrid %lx", n, ul(f.frid),
                     ul(f.lrid));
            }
            return;
        }
        if (empty || lo < f.frid || hi > f.lrid) {
            fault("sub-file %u: rids %lx..%lx in use lie outside frid %lx, lrid %lx", n, ul(lo),
                  ul(hi), ul(f.frid), ul(f.lrid));
        } else if (lo != f.frid || hi != f.lrid) {
            note("sub-file %u: frid %lx, lrid %lx are looser than the rids in use %lx..%lx", n,
                 ul(f.frid), ul(f.lrid), ul(lo), ul(hi));
        }
    }

    FSDATA *fs_;
    const FSCB &cb_;
    const std::uint32_t freq_;
    const std::uint32_t lb_;
    std::uint32_t last_;  // the last block scanned: lb, or less when the file is short
    std::vector<Finding> findings_;
    std::size_t omitted_ = 0;
    std::size_t faults_ = 0;
    std::vector<BlockInfo> blocks_;
    std::vector<std::uint32_t> xlate_;  // every entry of every xlate block
    std::vector<bool> xknown_;          // per xlate block: it could be read
    std::vector<bool> freechain_;       // per xlate index: on the free xlate chain
    std::vector<bool> found_;           // per xlate index: its record was found
    std::vector<std::uint8_t> scratch_;
};

}  // namespace

std::vector<Finding> checkfile(FSDATA *fsdata) {
    return Checker(fsdata).run();
}

std::unique_ptr<FSDATA> openforcheck(const char *path, std::string *why, std::string *note) {
    auto file = openrecovered(path, note);
    if (file == nullptr) {
        if (why != nullptr) *why = std::string("cannot open ") + path;
        return nullptr;
    }
    if (file->length() < static_cast<std::int64_t>(kBlockSize)) {
        if (why != nullptr) *why = std::string(path) + " is too short to hold a control block";
        return nullptr;
    }
    auto fsdata = newfsdata(Flavor::Library, nullptr);
    fsdata->fsp = std::move(file);
    fsdata->readonly = 1;
    if (readfscb(fsdata.get()) == 0) {
        if (why != nullptr) {
            *why = std::string("the control block of ") + path +
                   " cannot be read or is damaged (spacing or last block out of range)";
        }
        return nullptr;
    }
    return fsdata;
}

std::vector<Finding> checkpath(const char *path) {
    std::string why;
    auto fsdata = openforcheck(path, &why, nullptr);
    if (fsdata == nullptr) return {{Finding::Fault, why}};
    return checkfile(fsdata.get());
}

bool hasfaults(const std::vector<Finding> &findings) {
    for (const Finding &f : findings) {
        if (f.severity == Finding::Fault) return true;
    }
    return false;
}

std::string describe(const std::vector<Finding> &findings) {
    std::string out;
    for (const Finding &f : findings) {
        out += f.severity == Finding::Fault ? "fault: " : "note: ";
        out += f.text;
        out += '\n';
    }
    return out;
}

}  // namespace vorn
