// vorn dump FILE [--subfile N] [--keys]: the file's contents as JSON Lines (docs/DUMP.md) on
// standard output: a header line with the file's settings and control values, a line for
// each sub-file whose descriptor differs from a new file's, one line per record in rid
// order, and with --keys one line per key in index order. The file is opened read-only.
#include <cstdio>
#include <cstring>

#include "command.h"
#include "dbfile.h"
#include "fsn/blocks.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "jsonl.h"
#include "progress.h"
#include "scan.h"
#include "vorn/compress.h"

namespace vorn::tool {
namespace {

bool defaultsubfile(const FDATA &f) {
    static const char zeros[sizeof f.name] = {};
    if (f.rlen != 0 || std::memcmp(f.name, zeros, sizeof zeros) != 0) return false;
    if (static_cast<std::uint16_t>(f.dupkeys) != 0xFF00) return false;
    for (int k = 0; k < 16; ++k) {
        if (f.keytype[k] != 0) return false;
    }
    return true;
}

void putheader(FSDATA *fs) {
    const FSCB &cb = fs->fscb;
    JsonWriter w;
    w.str("vorn", "dump").num("version", kDumpVersion).num("spacing", xblkfreqof(fs));
    w.num("counter", static_cast<std::uint16_t>(cb.cannumber[0]) |
                         static_cast<long long>(static_cast<std::uint16_t>(cb.cannumber[1])) << 16);
    w.num("businessdate", cb.businessdate).num("appstat", static_cast<std::uint8_t>(cb.appstat));
    w.num("sitenumber", cb.sitenumber);
    std::fputs(w.line().c_str(), stdout);
    for (unsigned n = 1; n <= kSubFiles; ++n) {
        const FDATA &f = cb.f[n - 1];
        if (defaultsubfile(f)) continue;
        std::vector<long long> types(f.keytype, f.keytype + 16);
        JsonWriter s;
        s.num("subfile", n)
            .arr("keytype", types)
            .num("dupkeys", static_cast<std::uint16_t>(f.dupkeys));
        s.num("rlen", f.rlen).str("name", tohex(f.name, sizeof f.name));
        std::fputs(s.line().c_str(), stdout);
    }
}

// The records of sub-file n; false (with the reason printed) when one cannot be read.
bool putrecords(FSDATA *fs, unsigned n, Progress &progress, std::uint64_t *count) {
    std::uint8_t stored[kMaxStoredRecord];
    // A run-length packet of 2 stored bytes expands to up to 129 bytes.
    static char plain[kMaxStoredRecord / 2 * 129 + 129];
    for (std::uint32_t rid = firstrecord(fs, static_cast<std::uint8_t>(n << 4)); rid != 0;
         rid = nextrid(fs, rid)) {
        Fault fault;
        const int len = readrecord(fs, rid, stored, &fault);
        if (len == 0) {
            fail("dump", kExitFailed,
                 "record %s cannot be read (%s); vorn salvage recovers "
                 "what is left",
                 ridtext(rid).c_str(), faulttext(fault).c_str());
            return false;
        }
        JsonWriter w;
        w.str("rid", ridtext(rid));
        const int plainlen =
            uncompress(plain, sizeof plain, stored, static_cast<std::int16_t>(len));
        if (plainlen >= 0) {
            w.str("data", tohex(plain, static_cast<std::size_t>(plainlen)));
        } else {
            w.str("stored", tohex(stored, static_cast<std::size_t>(len)));
        }
        std::fputs(w.line().c_str(), stdout);
        progress.update(++*count);
    }
    return true;
}

// The keys of every index of sub-file n, in index order; the number written by fid.
void putkeys(FSDATA *fs, unsigned n, std::map<int, std::uint64_t> *written) {
    for (unsigned k = 0; k < 16; ++k) {
        const auto fid = static_cast<std::uint8_t>(n << 4 | k);
        if (fs->fscb.f[n - 1].keytype[k] < 0 || fs->fscb.f[n - 1].keytype[k] > 8) continue;
        std::uint8_t value[kMaxKeyValue];
        std::int16_t len = 0;
        for (std::uint32_t rid = firstkey(fs, fid, value, &len); rid != 0;) {
            JsonWriter w;
            char fidtext[4];
            std::snprintf(fidtext, sizeof fidtext, "%02x", fid);
            w.str("key", fidtext).str("value", tohex(value, static_cast<std::size_t>(len)));
            w.str("rid", ridtext(rid));
            std::fputs(w.line().c_str(), stdout);
            ++(*written)[fid];
            const std::uint8_t *key = bldkey(fid, rid, len, value);
            rid = nextkey(fs, static_cast<std::int16_t>(len + 1), key, value, &len);
        }
    }
}

int run(const Args &args) {
    const std::string &path = args.positional[0];
    long long only = 0;
    if (args.has("--subfile") && !parsenumber(args.value("--subfile"), 1, kSubFiles, &only)) {
        return fail("dump", kExitUsage, "--subfile wants a sub-file number from 1 to 15");
    }
    CollectingReporter reporter;
    std::string why;
    auto fs = openreadonly(path, &reporter, &why);
    if (fs == nullptr) return fail("dump", kExitUsage, "%s", why.c_str());
    putheader(fs.get());
    Progress progress("dump", "records");
    std::uint64_t count = 0;
    for (unsigned n = 1; n <= kSubFiles; ++n) {
        if (only != 0 && n != static_cast<unsigned>(only)) continue;
        if (!putrecords(fs.get(), n, progress, &count)) return kExitFailed;
    }
    // Records the walks cannot reach (an xlate entry lost to damage) would be left out
    // silently; a whole dump counts the records in the data blocks to say so.
    if (only == 0) {
        const std::uint32_t held = takecensus(fs.get()).records;
        if (held != count) {
            return fail("dump", kExitFailed,
                        "the data blocks hold %lu records but %llu could be reached; vorn check "
                        "tells why and vorn salvage recovers them",
                        static_cast<unsigned long>(held), static_cast<unsigned long long>(count));
        }
    }
    if (args.has("--keys")) {
        std::map<int, std::uint64_t> written;
        for (unsigned n = 1; n <= kSubFiles; ++n) {
            if (only == 0 || n == static_cast<unsigned>(only)) putkeys(fs.get(), n, &written);
        }
        // Keys the lookups cannot reach (an index with an undefined type, a damaged tree)
        // would be lost silently; say so.
        for (const auto &[fid, keys] : surveytree(fs.get()).keysbyfid) {
            if (only != 0 && (fid >> 4) != only) continue;
            if (written[fid] != keys) {
                fail("dump", kExitFailed, "index %02x holds %llu keys but %llu could be dumped",
                     fid, static_cast<unsigned long long>(keys),
                     static_cast<unsigned long long>(written[fid]));
                return kExitFailed;
            }
        }
    }
    if (std::fflush(stdout) != 0) return fail("dump", kExitFailed, "cannot write the output");
    return kExitOk;
}

}  // namespace

const Command &dumpcommand() {
    static const Command c{
        "dump",
        "FILE [--subfile N] [--keys]",
        "write a database file's contents as JSON Lines",
        "Writes the file's settings, every record (rid and bytes in hexadecimal) and with\n"
        "--keys every key to standard output, one JSON object per line (docs/DUMP.md).\n"
        "--subfile N limits the records and keys to sub-file N. vorn load makes a file with\n"
        "the same contents and the same rids from it. The file is opened read-only.",
        {{"--subfile", true}, {"--keys", false}},
        1,
        1,
        run};
    return c;
}

}  // namespace vorn::tool
