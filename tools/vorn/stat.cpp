// vorn stat FILE: how the blocks of a database file are used: blocks by kind, the fill of
// the data blocks, the key tree's depth and fan-out, and the free chains' repair counters.
// The file is opened read-only.
#include <cstdio>

#include "command.h"
#include "dbfile.h"
#include "scan.h"

namespace vorn::tool {
namespace {

void printblocks(const BlockCensus &c) {
    std::printf("blocks           %lu\n", static_cast<unsigned long>(c.blocks));
    std::printf("  control        %lu\n", static_cast<unsigned long>(c.control));
    std::printf("  xlate          %lu\n", static_cast<unsigned long>(c.xlate));
    std::printf("  data           %lu holding records, %lu empty\n",
                static_cast<unsigned long>(c.data), static_cast<unsigned long>(c.emptydata));
    std::printf("  key            %lu\n", static_cast<unsigned long>(c.key));
    if (c.other != 0 || c.unreadable != 0) {
        std::printf("  unrecognised   %lu, unreadable %lu\n", static_cast<unsigned long>(c.other),
                    static_cast<unsigned long>(c.unreadable));
    }
}

void printfill(const BlockCensus &c) {
    std::printf("\nrecords          %lu in data blocks, %llu bytes with their headers\n",
                static_cast<unsigned long>(c.records),
                static_cast<unsigned long long>(c.recordbytes));
    std::printf("data block fill  (blocks holding records)\n");
    for (std::size_t t = 0; t < c.fill.size(); ++t) {
        if (c.fill[t] == 0) continue;
        std::printf("  %3zu-%3zu%%       %lu\n", t * 10, t * 10 + 10,
                    static_cast<unsigned long>(c.fill[t]));
    }
}

void printtree(const TreeSurvey &t) {
    std::printf("\nkey tree         depth %d, %lu leaves, %lu inner blocks\n", t.depth,
                static_cast<unsigned long>(t.leaves), static_cast<unsigned long>(t.inner));
    if (t.leaves != 0) {
        std::printf("  keys per leaf  %.1f\n",
                    static_cast<double>(t.leafkeys) / static_cast<double>(t.leaves));
    }
    if (t.inner != 0) {
        std::printf("  fan-out        %.1f children per inner block\n",
                    static_cast<double>(t.children) / static_cast<double>(t.inner));
    }
    if (t.brokenlinks != 0) {
        std::printf("  broken links   %lu\n", static_cast<unsigned long>(t.brokenlinks));
    }
}

int run(const Args &args) {
    const std::string &path = args.positional[0];
    CollectingReporter reporter;
    std::string why;
    auto fs = openreadonly(path, &reporter, &why);
    if (fs == nullptr) return fail("stat", kExitUsage, "%s", why.c_str());
    const BlockCensus census = takecensus(fs.get());
    printblocks(census);
    printfill(census);
    printtree(surveytree(fs.get()));
    std::printf("\nfree chains      chain misses %u, blocks re-linked %u\n", fs->fscb.ce,
                fs->fscb.cefixes);
    return kExitOk;
}

}  // namespace

const Command &statcommand() {
    static const Command c{
        "stat",
        "FILE",
        "show how a database file's blocks are used",
        "Counts the blocks by kind, shows how full the data blocks are (by tenths), the key\n"
        "tree's depth, keys per leaf and fan-out, and the counters of chain misses and of\n"
        "blocks re-linked by record placement. The file is opened read-only.",
        {},
        1,
        1,
        run};
    return c;
}

}  // namespace vorn::tool
