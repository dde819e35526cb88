// Key index throughput through the engine itself (library flavor, no API frame): 100,000
// random 12-byte keys inserted into a database file, 100,000 random findkey lookups and a full
// nextkey walk (bench_keys [COUNT]); then the same work on SQLite and LMDB as bench_api measures
// them (yardstick.h), with the ratios.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fsn/blocks.h"
#include "fsn/format.h"
#include "fsn/fsdata.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "vorn/platform.h"
#include "yardstick.h"

namespace {

constexpr std::uint8_t kFid = 0x18;  // duplicates allowed, ordered by rid, as in bench_api
constexpr int kKeyLen = bench::kKeyLen;

bool newdatabase(const std::string &path) {
    auto file = vorn::platform::createfile(path.c_str());
    if (!file) return false;
    std::vector<std::uint8_t> image(3 * vorn::kBlockSize);
    vorn::newcontrolblock(reinterpret_cast<vorn::FSCB *>(image.data()), vorn::ImageKind::Database,
                          vorn::kDefaultXblkfreq, nullptr);
    vorn::newxlateblock(reinterpret_cast<vorn::XBLOCK *>(image.data() + vorn::kBlockSize), 0);
    vorn::newdatablock(reinterpret_cast<vorn::DB *>(image.data() + 2 * vorn::kBlockSize));
    return file->writeat(image.data(), image.size(), 0) == static_cast<long>(image.size());
}

bool runengine(const std::string &path, const std::vector<std::string> &keys,
               const std::vector<std::uint32_t> &probes, bench::Costs *c) {
    if (!newdatabase(path)) return false;
    auto fs = vorn::newfsdata(vorn::Flavor::Library, nullptr);
    // Through the block cache, as the server and the library open the files they write.
    fs->fsp = vorn::platform::withblockcache(
        vorn::platform::openfile(path.c_str(), vorn::platform::OpenMode::ReadWrite));
    if (!fs->fsp || vorn::readfscb(fs.get()) == 0) return false;
    const long count = static_cast<long>(keys.size());
    bool ok = true;
    c->add = bench::nsperop(count, [&] {
        for (long i = 0; ok && i < count; ++i) {
            const auto *k = vorn::bldkey(kFid, static_cast<std::uint32_t>(i + 1), kKeyLen,
                                         keys[static_cast<std::size_t>(i)].data());
            ok = vorn::addkey(fs.get(), kKeyLen + 1, k) == 1;
        }
        ok = ok && vorn::flushbuffs(fs.get()) == 1;
    });
    c->bytes = bench::filesize(path);
    char out[vorn::kMaxKeyValue + 1];
    c->find = bench::nsperop(static_cast<long>(probes.size()), [&] {
        for (const std::uint32_t p : probes) {
            const auto *k = vorn::bldkey(kFid, 0, kKeyLen, keys[p].data());
            c->sum += vorn::findkey(fs.get(), kKeyLen + 1, k, out);
        }
    });
    c->walk = bench::nsperop(count, [&] {
        std::uint32_t rid = vorn::firstkey(fs.get(), kFid, out);
        while (rid != 0) {
            ++c->walked;
            const auto *k = vorn::bldkey(kFid, rid, kKeyLen, out);
            rid = vorn::nextkey(fs.get(), kKeyLen + 1, k, out);
        }
    });
    return ok && c->walked == count;
}

void row(const char *name, const bench::Costs &c, const bench::Costs &engine) {
    if (c.add == 0) {
        std::printf("%-8s not built in\n", name);
        return;
    }
    std::printf("%-8s %10.1f %10.1f %10.1f %12llu", name, c.add, c.find, c.walk,
                static_cast<unsigned long long>(c.bytes));
    if (&c != &engine) {
        std::printf("   x %.2f %.2f %.2f", c.add / engine.add, c.find / engine.find,
                    c.walk / engine.walk);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    namespace fsys = std::filesystem;
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    if (count <= 0) return 2;
    const fsys::path dir =
        fsys::temp_directory_path() / ("vorn-bench-keys-" + std::to_string(std::random_device{}()));
    fsys::create_directories(dir);
    std::mt19937 rng(12345);
    const auto keys = bench::makekeys(count, rng);
    const auto probes = bench::makeprobes(count, rng);
    bench::Costs engine, lite, lmdb;
    const bool engineok = runengine((dir / "keys.db").string(), keys, probes, &engine);
#ifdef VORN_HAVE_SQLITE
    lite = bench::sqlitekeys((dir / "keys.sqlite").string(), keys, probes);
#endif
#ifdef VORN_HAVE_LMDB
    lmdb = bench::lmdbkeys((dir / "keys.mdb").string(), keys, probes);
#endif
    std::printf("%ld random 12-byte keys; ns per operation; x = other's time / the engine's\n",
                count);
    std::printf("%-8s %10s %10s %10s %12s\n", "", "insert", "findkey", "nextkey", "file bytes");
    row(engineok ? "engine" : "FAILED", engine, engine);
    row("sqlite", lite, engine);
    row("lmdb", lmdb, engine);
    std::error_code ec;
    fsys::remove_all(dir, ec);
    return 0;
}
