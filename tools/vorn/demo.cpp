// vorn demo [FILE]: a short tour of the storage engine. It creates a database file (default
// demo.vdb; an existing file of that name is replaced), stores a few records in two
// sub-files, reads them back, rewrites and deletes one, walks each sub-file in both
// directions, closes and reopens the file and checks it. scripts/run.sh serves the result.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "command.h"
#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/format.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "vorn/compress.h"

namespace vorn::tool {
namespace {

// Prints the engine's own failure reports as they happen.
class PrintingReporter final : public Reporter {
  public:
    void failure(std::int16_t code, const char *clienttext, const char *) override {
        std::printf("  engine error %d%s%s\n", code, clienttext != nullptr ? ": " : "",
                    clienttext != nullptr ? clienttext : "");
    }
};

PrintingReporter reporter;

bool makedemofile(const char *path) {
    auto file = platform::createfile(path);
    if (file == nullptr) return false;
    return writenewfile(*file, ImageKind::Database, kDefaultXblkfreq, nullptr) == kNewFileBlocks;
}

std::unique_ptr<FSDATA> opendemofile(const char *path) {
    auto file = platform::openfile(path, platform::OpenMode::ReadWrite);
    if (file == nullptr) return nullptr;
    const std::int64_t length = file->length();
    auto fs = newfsdata(Flavor::Library, &reporter);
    fs->fsp = std::move(file);
    if (readfscb(fs.get()) == 0 || !hassignature(fs->fscb)) return nullptr;
    if (const int bad = integritycheck(fs->fscb, length); bad != 0) {
        std::printf("  integrity check failed with %d\n", bad);
        return nullptr;
    }
    return fs;
}

std::uint32_t store(FSDATA *fs, const std::string &text, std::uint8_t fid) {
    std::uint8_t work[1024];
    const int n = compress(work, sizeof work, text.data(), static_cast<std::int16_t>(text.size()));
    Fault fault;
    const std::uint32_t rid = addrecord(fs, work, static_cast<std::int16_t>(n), fid, &fault);
    if (rid == 0) {
        std::printf("  add failed: error %d\n", fault.code);
        return 0;
    }
    std::printf("  added %3zu bytes (stored as %3d) to sub-file %d: rid %08lx\n", text.size(), n,
                fid >> 4, static_cast<unsigned long>(rid));
    return rid;
}

std::string fetch(FSDATA *fs, std::uint32_t rid) {
    std::uint8_t stored[kMaxStoredRecord];
    Fault fault;
    const int n = readrecord(fs, rid, stored, &fault);
    if (n == 0) return "<error " + std::to_string(fault.code) + ">";
    char out[1024];
    const int m = uncompress(out, sizeof out, stored, static_cast<std::int16_t>(n));
    return m < 0 ? "<malformed>" : std::string(out, static_cast<std::size_t>(m));
}

void walk(FSDATA *fs, std::uint8_t fid) {
    std::printf("  sub-file %d forward: ", fid >> 4);
    for (std::uint32_t r = firstrecord(fs, fid); r != 0; r = nextrid(fs, r)) {
        std::printf("%08lx ", static_cast<unsigned long>(r));
    }
    std::printf("\n  sub-file %d backward:", fid >> 4);
    for (std::uint32_t r = lastrecord(fs, fid); r != 0; r = prevrid(fs, r)) {
        std::printf(" %08lx", static_cast<unsigned long>(r));
    }
    std::printf("\n");
}

std::string shorten(const std::string &s) {
    return s.size() <= 48 ? s : s.substr(0, 45) + "...";
}

int tour(const char *path) {
    std::printf("creating %s\n", path);
    if (!makedemofile(path)) {
        std::printf("  cannot create %s\n", path);
        return 1;
    }
    auto fs = opendemofile(path);
    if (fs == nullptr) return 1;

    std::printf("storing records\n");
    const std::uint32_t a = store(fs.get(), "Ada Lovelace, 10 Marylebone Road, London", 0x10);
    const std::uint32_t b = store(fs.get(), "Alan Turing, Sherborne, Dorset", 0x10);
    const std::uint32_t c = store(fs.get(), std::string(300, '*') + " a padded banner", 0x20);
    const std::uint32_t d = store(fs.get(), "Grace Hopper, Arlington, Virginia", 0x10);
    if (a == 0 || b == 0 || c == 0 || d == 0) return 1;

    std::printf("reading them back\n");
    for (std::uint32_t rid : {a, b, c, d}) {
        std::printf("  %08lx: %s\n", static_cast<unsigned long>(rid),
                    shorten(fetch(fs.get(), rid)).c_str());
    }

    std::printf("rewriting %08lx longer and deleting %08lx\n", static_cast<unsigned long>(b),
                static_cast<unsigned long>(a));
    std::uint8_t work[1024];
    const std::string longer = "Alan Turing, Sherborne, Dorset; later Wilmslow, Cheshire";
    const int n =
        compress(work, sizeof work, longer.data(), static_cast<std::int16_t>(longer.size()));
    Fault fault;
    bool moved = false;
    if (rewriterecord(fs.get(), b, work, static_cast<std::int16_t>(n), &fault, &moved) == 0 ||
        deleterecord(fs.get(), a, &fault) == 0) {
        std::printf("  failed: error %d\n", fault.code);
        return 1;
    }
    std::printf("  %08lx now: %s (%s)\n", static_cast<unsigned long>(b), fetch(fs.get(), b).c_str(),
                moved ? "moved to another block" : "in its block");

    std::printf("walking\n");
    walk(fs.get(), 0x10);
    walk(fs.get(), 0x20);

    std::printf("closing and reopening\n");
    if (flushbuffs(fs.get()) == 0) return 1;
    fs.reset();
    fs = opendemofile(path);
    if (fs == nullptr) return 1;
    std::printf("  %08lx: %s\n", static_cast<unsigned long>(d), fetch(fs.get(), d).c_str());
    std::printf("  file has %lu blocks\n", static_cast<unsigned long>(fs->fscb.lb + 1));

    std::printf("checking %s\n", path);
    const auto findings = checkfile(fs.get());
    std::fputs(describe(findings).c_str(), stdout);
    const bool faulty = hasfaults(findings);
    std::printf("  %s\n", faulty ? "FAULTS FOUND" : "the file is sound");
    return faulty ? 1 : 0;
}

int run(const Args &args) {
    return tour(args.positional.empty() ? "demo.vdb" : args.positional[0].c_str());
}

}  // namespace

const Command &democommand() {
    static const Command c{
        "demo",
        "[FILE]",
        "make the demo database and tour the engine",
        "Creates FILE (default demo.vdb, replacing a file of that name), stores, reads,\n"
        "rewrites, deletes and walks a few records in sub-files 1 and 2, reopens the file and\n"
        "checks it, printing each step. scripts/run.sh serves the file it makes.",
        {},
        0,
        1,
        run};
    return c;
}

}  // namespace vorn::tool
