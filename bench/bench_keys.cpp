// Key index throughput: 100,000 keys of 12 bytes inserted in random order into a temporary
// database file through the engine (library flavor), 100,000 random findkey lookups and a full
// nextkey walk; then the same on SQLite (a text column with an index, journal off, synchronous
// off, one transaction), with the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fsn/blocks.h"
#include "fsn/format.h"
#include "fsn/fsdata.h"
#include "fsn/keys.h"
#include "vorn/platform.h"

#ifdef VORN_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

constexpr int kKeys = 100000;
constexpr int kKeyLen = 12;
constexpr std::uint8_t kFid = 0x10;

using Clock = std::chrono::steady_clock;

struct Rates {
    double insert = 0, find = 0, walk = 0;
};

double persecond(int ops, Clock::time_point start) {
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return ops / s;
}

std::vector<std::string> makekeys() {
    std::mt19937 rng(42);
    std::vector<std::string> keys;
    keys.reserve(kKeys);
    for (int i = 0; i < kKeys; ++i) {
        // Unique: a random prefix and the index.
        char buf[kKeyLen + 1];
        std::snprintf(buf, sizeof buf, "%06x%06d", static_cast<unsigned>(rng() & 0xFFFFFF), i);
        keys.emplace_back(buf, kKeyLen);
    }
    std::shuffle(keys.begin(), keys.end(), rng);
    return keys;
}

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

bool runengine(const std::string &path, const std::vector<std::string> &keys, Rates *rates) {
    if (!newdatabase(path)) return false;
    auto fs = vorn::newfsdata(vorn::Flavor::Library, nullptr);
    // Through the block cache, as the server and the library open the files they write.
    fs->fsp = vorn::platform::withblockcache(
        vorn::platform::openfile(path.c_str(), vorn::platform::OpenMode::ReadWrite));
    if (!fs->fsp || vorn::readfscb(fs.get()) == 0) return false;
    auto start = Clock::now();
    for (int i = 0; i < kKeys; ++i) {
        const auto *k =
            vorn::bldkey(kFid, static_cast<std::uint32_t>(i + 1), kKeyLen, keys[i].data());
        if (vorn::addkey(fs.get(), kKeyLen + 1, k) != 1) return false;
    }
    if (vorn::flushbuffs(fs.get()) != 1) return false;
    rates->insert = persecond(kKeys, start);

    std::mt19937 rng(7);
    char out[vorn::kMaxKeyValue + 1];
    start = Clock::now();
    for (int i = 0; i < kKeys; ++i) {
        const int j = static_cast<int>(rng() % kKeys);
        const auto *k = vorn::bldkey(kFid, 0, kKeyLen, keys[j].data());
        if (vorn::findkey(fs.get(), kKeyLen + 1, k, out) != static_cast<std::uint32_t>(j + 1)) {
            return false;
        }
    }
    rates->find = persecond(kKeys, start);

    start = Clock::now();
    int walked = 0;
    std::uint32_t rid = vorn::firstkey(fs.get(), kFid, out);
    while (rid != 0) {
        ++walked;
        const auto *k = vorn::bldkey(kFid, rid, kKeyLen, out);
        rid = vorn::nextkey(fs.get(), kKeyLen + 1, k, out);
    }
    rates->walk = persecond(walked, start);
    std::printf("engine: %d keys in %lu blocks, walk saw %d\n", kKeys,
                static_cast<unsigned long>(fs->fscb.lb + 1), walked);
    return walked == kKeys;
}

#ifdef VORN_HAVE_SQLITE
bool exec(sqlite3 *db, const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool runsqlite(const std::string &path, const std::vector<std::string> &keys, Rates *rates) {
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    bool ok = exec(db, "PRAGMA journal_mode=OFF") && exec(db, "PRAGMA synchronous=OFF") &&
              exec(db, "CREATE TABLE t(k TEXT, r INTEGER)") && exec(db, "CREATE INDEX tk ON t(k)");
    sqlite3_stmt *ins = nullptr, *sel = nullptr, *walk = nullptr;
    ok = ok &&
         sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &ins, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "SELECT r FROM t WHERE k = ?", -1, &sel, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "SELECT k, r FROM t ORDER BY k", -1, &walk, nullptr) == SQLITE_OK;
    auto start = Clock::now();
    ok = ok && exec(db, "BEGIN");
    for (int i = 0; ok && i < kKeys; ++i) {
        sqlite3_bind_text(ins, 1, keys[i].data(), kKeyLen, SQLITE_STATIC);
        sqlite3_bind_int(ins, 2, i + 1);
        ok = sqlite3_step(ins) == SQLITE_DONE;
        sqlite3_reset(ins);
    }
    ok = ok && exec(db, "COMMIT");
    rates->insert = persecond(kKeys, start);

    std::mt19937 rng(7);
    start = Clock::now();
    for (int i = 0; ok && i < kKeys; ++i) {
        const int j = static_cast<int>(rng() % kKeys);
        sqlite3_bind_text(sel, 1, keys[j].data(), kKeyLen, SQLITE_STATIC);
        ok = sqlite3_step(sel) == SQLITE_ROW && sqlite3_column_int(sel, 0) == j + 1;
        sqlite3_reset(sel);
    }
    rates->find = persecond(kKeys, start);

    start = Clock::now();
    int walked = 0;
    while (ok && sqlite3_step(walk) == SQLITE_ROW) ++walked;
    rates->walk = persecond(walked, start);
    sqlite3_finalize(ins);
    sqlite3_finalize(sel);
    sqlite3_finalize(walk);
    sqlite3_close(db);
    return ok && walked == kKeys;
}
#endif

}  // namespace

int main() {
    namespace fsys = std::filesystem;
    const fsys::path dir =
        fsys::temp_directory_path() / ("vorn-bench-keys-" + std::to_string(std::random_device{}()));
    fsys::create_directories(dir);
    const auto keys = makekeys();
    Rates engine;
    const bool engineok = runengine((dir / "keys.db").string(), keys, &engine);
    std::printf("engine  insert %10.0f/s  findkey %10.0f/s  walk %10.0f/s%s\n", engine.insert,
                engine.find, engine.walk, engineok ? "" : "  (FAILED)");
#ifdef VORN_HAVE_SQLITE
    Rates lite;
    const bool liteok = runsqlite((dir / "keys.sqlite").string(), keys, &lite);
    std::printf("sqlite  insert %10.0f/s  select  %10.0f/s  walk %10.0f/s%s\n", lite.insert,
                lite.find, lite.walk, liteok ? "" : "  (FAILED)");
    std::printf("ratio   insert %10.2f    findkey %10.2f    walk %10.2f   (engine / sqlite)\n",
                engine.insert / lite.insert, engine.find / lite.find, engine.walk / lite.walk);
#else
    std::printf("sqlite: not built in\n");
#endif
    std::error_code ec;
    fsys::remove_all(dir, ec);
    return 0;
}
