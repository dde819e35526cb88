// vorn info FILE: what a database file holds, from its control block and one pass over its
// blocks and key tree. The file is opened read-only.
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "dbfile.h"
#include "fsn/blocks.h"
#include "fsn/format.h"
#include "scan.h"

namespace vorn::tool {
namespace {

const char *kKeyTypes[9] = {"bytes",  "int16",   "int32",   "ubytes", "uint16",
                            "uint32", "float32", "float64", "float80"};

std::string keytypename(int type) {
    return type >= 0 && type <= 8 ? kKeyTypes[type] : "undefined (" + std::to_string(type) + ")";
}

void printheader(const std::string &path, FSDATA *fs, std::int64_t length) {
    const FSCB &cb = fs->fscb;
    const std::uint32_t can =
        static_cast<std::uint16_t>(cb.cannumber[0]) |
        static_cast<std::uint32_t>(static_cast<std::uint16_t>(cb.cannumber[1])) << 16;
    std::printf("file          %s\n", path.c_str());
    std::printf("size          %lld bytes, %lu blocks (last block %lu)%s\n",
                static_cast<long long>(length), static_cast<unsigned long>(cb.lb + 1),
                static_cast<unsigned long>(cb.lb),
                length / kBlockSize == cb.lb + 1 ? "" : "  LENGTH DIFFERS FROM THE LAST BLOCK");
    std::printf("xlate spacing %lu\n", static_cast<unsigned long>(xblkfreqof(fs)));
    std::printf("free xlate    next index %lu\n", static_cast<unsigned long>(cb.ftc));
    std::printf("key root      block %lu\n", static_cast<unsigned long>(cb.rootkb));
    std::printf("changes       %lu   local opens %d\n", static_cast<unsigned long>(cb.fschanged),
                cb.numusers);
    std::printf("control       counter pair %08lx  business date %lu  app status %d  site %d\n",
                static_cast<unsigned long>(can), static_cast<unsigned long>(cb.businessdate),
                static_cast<signed char>(cb.appstat), cb.sitenumber);
}

void printsubfiles(FSDATA *fs) {
    std::printf("\nsub-files     first rid  last rid   records\n");
    bool any = false;
    for (unsigned n = 1; n <= kSubFiles; ++n) {
        const FDATA &f = fs->fscb.f[n - 1];
        const bool empty = f.frid == 0 || f.frid == kEmptyFrid;
        if (empty && f.lrid == 0) continue;
        any = true;
        std::printf("  %2u          %s   %s   %lu\n", n, ridtext(empty ? 0 : f.frid).c_str(),
                    ridtext(f.lrid).c_str(), static_cast<unsigned long>(countrecords(fs, n)));
    }
    if (!any) std::printf("  (no records)\n");
}

// An index is listed when it holds keys or its description differs from a new file's.
void printindexes(FSDATA *fs, const TreeSurvey &tree) {
    std::printf("\nkey indexes   fid  type      duplicates  keys\n");
    bool any = false;
    for (unsigned n = 1; n <= kSubFiles; ++n) {
        const FDATA &f = fs->fscb.f[n - 1];
        for (unsigned k = 0; k < 16; ++k) {
            const int fid = static_cast<int>(n << 4 | k);
            const auto it = tree.keysbyfid.find(fid);
            const std::uint64_t keys = it == tree.keysbyfid.end() ? 0 : it->second;
            const bool dup = (static_cast<std::uint16_t>(f.dupkeys) >> k) & 1;
            const bool usual = f.keytype[k] == 0 && dup == (k >= 8);
            if (keys == 0 && usual) continue;
            any = true;
            std::printf("  %2u.%-2u       %02x   %-9s %-11s %llu\n", n, k, fid,
                        keytypename(f.keytype[k]).c_str(), dup ? "yes" : "no",
                        static_cast<unsigned long long>(keys));
        }
    }
    if (!any) std::printf("  (no keys)\n");
    if (tree.brokenlinks != 0) {
        std::printf("  %lu link(s) of the key tree could not be followed\n",
                    static_cast<unsigned long>(tree.brokenlinks));
    }
}

void printchains(FSDATA *fs) {
    std::printf("\nfree chains   head       blocks\n");
    for (int i = 0; i < kFreeChains; ++i) {
        bool broken = false;
        const std::uint32_t n = chainlength(fs, i, &broken);
        std::printf("  %d           %-10lu %lu%s\n", i, static_cast<unsigned long>(fs->fscb.fc[i]),
                    static_cast<unsigned long>(n), broken ? "  (broken link)" : "");
    }
}

void printfill(const BlockCensus &c) {
    const std::uint32_t datablocks = c.data + c.emptydata;
    const double full =
        datablocks == 0 ? 0.0 : 100.0 * static_cast<double>(c.recordbytes) / (datablocks * 1014.0);
    const double usedfull =
        c.data == 0 ? 0.0 : 100.0 * static_cast<double>(c.recordbytes) / (c.data * 1014.0);
    std::printf("\ndata blocks   %lu (%lu empty), %.1f%% full (%.1f%% of those in use)\n",
                static_cast<unsigned long>(datablocks), static_cast<unsigned long>(c.emptydata),
                full, usedfull);
}

int run(const Args &args) {
    const std::string &path = args.positional[0];
    CollectingReporter reporter;
    std::string why;
    auto fs = openreadonly(path, &reporter, &why);
    if (fs == nullptr) return fail("info", kExitUsage, "%s", why.c_str());
    const std::int64_t length = fs->fsp->length();
    printheader(path, fs.get(), length);
    printsubfiles(fs.get());
    printindexes(fs.get(), surveytree(fs.get()));
    printchains(fs.get());
    printfill(takecensus(fs.get()));
    return kExitOk;
}

}  // namespace

const Command &infocommand() {
    static const Command c{
        "info",
        "FILE",
        "show a database file's header, sub-files, indexes and free chains",
        "Prints the control block's fields, each sub-file with its first and last rid and\n"
        "record count, each key index with its type, duplicate flag and key count (indexes\n"
        "without keys are listed when their type or duplicate flag differ from a new file's),\n"
        "the free chains, the file size and how full the data blocks are. The file is opened\n"
        "read-only.",
        {},
        1,
        1,
        run};
    return c;
}

}  // namespace vorn::tool
