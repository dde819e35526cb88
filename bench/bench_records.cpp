// Record benchmark: stores 100,000 records of about 100 bytes (mildly compressible) in a
// temporary database file, reads them back in random order and walks them in identifier
// order, printing operations per second for each phase and the file's size; then runs the
// same workload on SQLite (one table with an integer primary key, journal off, synchronous
// off, one transaction) and prints the ratios.
//   bench_records [COUNT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fsn/blocks.h"
#include "fsn/format.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "vorn/compress.h"
#include "vorn/platform.h"

#ifdef VORN_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

using namespace vorn;
using Clock = std::chrono::steady_clock;

struct Rates {
    double add = 0, read = 0, walk = 0;
    std::uintmax_t bytes = 0;
};

double persecond(std::size_t ops, Clock::time_point start) {
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return s > 0 ? static_cast<double>(ops) / s : 0;
}

// About 100 bytes: a name-and-address-like text with a padded field, so that the encoder
// finds a few runs.
std::string makerecord(std::mt19937 &rng, std::size_t i) {
    static const char *const words[] = {"north", "harbour", "street", "mill",   "lane",
                                        "grove", "station", "market", "bridge", "field"};
    std::string s = "cust" + std::to_string(i) + ";";
    while (s.size() < 70) {
        s += words[rng() % 10];
        s += ' ';
    }
    s += std::string(12 + rng() % 8, ' ');
    s += std::to_string(rng() % 100000);
    s += std::string(6, '0');
    return s;
}

std::vector<std::string> makerecords(std::size_t count) {
    std::mt19937 rng(42);
    std::vector<std::string> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) out.push_back(makerecord(rng, i));
    return out;
}

std::vector<std::size_t> randomorder(std::size_t count) {
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    return order;
}

std::unique_ptr<FSDATA> createvorn(const std::string &path) {
    // Through the block cache, as the server and the library open the files they write.
    auto file = platform::withblockcache(platform::createfile(path.c_str()));
    if (file == nullptr) return nullptr;
    if (writenewfile(*file, ImageKind::Database, kDefaultXblkfreq, nullptr) != kNewFileBlocks) {
        return nullptr;
    }
    auto fs = newfsdata(Flavor::Library, nullptr);
    fs->fsp = std::move(file);
    if (readfscb(fs.get()) == 0) return nullptr;
    return fs;
}

bool runvorn(const std::vector<std::string> &records, const std::string &path, Rates *rates) {
    auto fs = createvorn(path);
    if (fs == nullptr) return false;
    std::vector<std::uint32_t> rids(records.size());
    std::uint8_t work[1024];
    char plain[1024];
    Fault fault;

    auto start = Clock::now();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const int n = compress(work, sizeof work, records[i].data(),
                               static_cast<std::int16_t>(records[i].size()));
        rids[i] = addrecord(fs.get(), work, static_cast<std::int16_t>(n), 0x10, &fault);
        if (rids[i] == 0) return false;
    }
    if (flushbuffs(fs.get()) == 0) return false;
    rates->add = persecond(records.size(), start);

    const auto order = randomorder(records.size());
    start = Clock::now();
    for (std::size_t i : order) {
        const int n = readrecord(fs.get(), rids[i], work, &fault);
        const int m = uncompress(plain, sizeof plain, work, static_cast<std::int16_t>(n));
        if (n == 0 || static_cast<std::size_t>(m) != records[i].size()) return false;
    }
    rates->read = persecond(records.size(), start);

    start = Clock::now();
    std::size_t walked = 0;
    for (std::uint32_t r = firstrecord(fs.get(), 0x10); r != 0; r = nextrid(fs.get(), r)) {
        const int n = readrecord(fs.get(), r, work, &fault);
        if (n == 0 || uncompress(plain, sizeof plain, work, static_cast<std::int16_t>(n)) < 0) {
            return false;
        }
        ++walked;
    }
    if (walked != records.size()) return false;
    rates->walk = persecond(records.size(), start);
    fs.reset();
    rates->bytes = std::filesystem::file_size(path);
    return true;
}

#ifdef VORN_HAVE_SQLITE
bool runsqlite(const std::vector<std::string> &records, const std::string &path, Rates *rates) {
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    auto exec = [db](const char *sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    bool ok = exec("PRAGMA journal_mode=OFF") && exec("PRAGMA synchronous=OFF") &&
              exec("CREATE TABLE rec (id INTEGER PRIMARY KEY, data BLOB)");
    sqlite3_stmt *insert = nullptr, *select = nullptr, *scan = nullptr;
    ok = ok &&
         sqlite3_prepare_v2(db, "INSERT INTO rec (id, data) VALUES (?, ?)", -1, &insert, nullptr) ==
             SQLITE_OK &&
         sqlite3_prepare_v2(db, "SELECT data FROM rec WHERE id = ?", -1, &select, nullptr) ==
             SQLITE_OK &&
         sqlite3_prepare_v2(db, "SELECT id, data FROM rec ORDER BY id", -1, &scan, nullptr) ==
             SQLITE_OK;

    auto start = Clock::now();
    ok = ok && exec("BEGIN");
    for (std::size_t i = 0; ok && i < records.size(); ++i) {
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(i + 1));
        sqlite3_bind_blob(insert, 2, records[i].data(), static_cast<int>(records[i].size()),
                          SQLITE_STATIC);
        ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
    }
    ok = ok && exec("COMMIT");
    rates->add = persecond(records.size(), start);

    const auto order = randomorder(records.size());
    start = Clock::now();
    for (std::size_t j = 0; ok && j < order.size(); ++j) {
        const std::size_t i = order[j];
        sqlite3_bind_int64(select, 1, static_cast<sqlite3_int64>(i + 1));
        ok = sqlite3_step(select) == SQLITE_ROW &&
             static_cast<std::size_t>(sqlite3_column_bytes(select, 0)) == records[i].size();
        sqlite3_reset(select);
    }
    rates->read = persecond(records.size(), start);

    start = Clock::now();
    std::size_t walked = 0;
    while (ok && sqlite3_step(scan) == SQLITE_ROW) {
        ok = sqlite3_column_blob(scan, 1) != nullptr;
        ++walked;
    }
    ok = ok && walked == records.size();
    rates->walk = persecond(records.size(), start);

    sqlite3_finalize(insert);
    sqlite3_finalize(select);
    sqlite3_finalize(scan);
    sqlite3_close(db);
    rates->bytes = std::filesystem::file_size(path);
    return ok;
}
#endif

void print(const char *name, const Rates &r) {
    std::printf("%-8s add %10.0f/s   random read %10.0f/s   walk %10.0f/s   file %8.1f KiB\n", name,
                r.add, r.read, r.walk, static_cast<double>(r.bytes) / 1024.0);
}

}  // namespace

int main(int argc, char **argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    const auto records = makerecords(count);
    std::size_t total = 0;
    for (const auto &r : records) total += r.size();
    std::printf("%zu records, %.1f bytes on average\n", count,
                static_cast<double>(total) / static_cast<double>(count));

    const auto dir = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(std::random_device{}());
    const std::string vornpath = (dir / ("bench-" + tag + ".vdb")).string();
    Rates vorn;
    const bool vornok = runvorn(records, vornpath, &vorn);
    std::filesystem::remove(vornpath);
    if (!vornok) {
        std::fprintf(stderr, "vorn workload failed\n");
        return 1;
    }
    print("vorn", vorn);
#ifdef VORN_HAVE_SQLITE
    const std::string sqlpath = (dir / ("bench-" + tag + ".sqlite")).string();
    Rates sql;
    const bool sqlok = runsqlite(records, sqlpath, &sql);
    std::filesystem::remove(sqlpath);
    if (!sqlok) {
        std::fprintf(stderr, "SQLite workload failed\n");
        return 1;
    }
    print("sqlite", sql);
    std::printf("vorn/sqlite: add %.2fx   random read %.2fx   walk %.2fx   file size %.2fx\n",
                vorn.add / sql.add, vorn.read / sql.read, vorn.walk / sql.walk,
                static_cast<double>(vorn.bytes) / static_cast<double>(sql.bytes));
#else
    std::printf("(built without SQLite: no comparison)\n");
#endif
    return 0;
}
