// The client API on a temporary database, side by side with SQLite (journal off, synchronous
// off, the adds in one transaction and the reads and walks in another; default page cache):
// a record workload (add, random read, walk) and a key workload (insert, random find,
// ordered walk). The adds are timed up to the point where they are written: fsflush for the
// temporary database, COMMIT for SQLite. Prints operations per second and the ratios.
//
//   bench_api [count]      (default 100000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vornlink.h"

#ifdef VORN_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    const char *name;
    double vorn = 0;    // ops/s
    double sqlite = 0;  // ops/s, 0 when not measured
};

template <typename F>
double opspersecond(long count, F &&work) {
    const auto start = Clock::now();
    work();
    const std::chrono::duration<double> took = Clock::now() - start;
    return took.count() > 0 ? static_cast<double>(count) / took.count() : 0;
}

// Records of about 100 bytes: a text part that compresses a little and a number part.
std::vector<std::string> makerecords(long count, std::mt19937 &rng) {
    static const char *words[] = {"order", "customer", "invoice", "street", "amount", "paid",
                                  "open",  "closed",   "north",   "south",  "    ",   "0000"};
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        std::string r;
        while (r.size() < 100) {
            r += words[rng() % 12];
            r += std::to_string(rng() % 100000);
            r += ';';
        }
        r.resize(90 + rng() % 21);
        out.push_back(r);
    }
    return out;
}

std::vector<std::string> makekeys(long count, std::mt19937 &rng) {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        std::string k(12, ' ');
        for (char &c : k) c = static_cast<char>('A' + rng() % 26);
        out.push_back(k);
    }
    return out;
}

volatile std::uint64_t sink;  // keeps results alive

void vornrecords(long count, const std::vector<std::string> &recs, std::mt19937 &rng, Result *add,
                 Result *read, Result *walk) {
    const char inst = fsinit(nullptr);
    FS *fs = fsopentemp(inst);
    if (fs == nullptr) {
        std::fprintf(stderr, "fsopentemp failed\n");
        std::exit(1);
    }
    std::vector<std::uint32_t> rids(static_cast<std::size_t>(count));
    add->vorn = opspersecond(count, [&] {
        for (long i = 0; i < count; ++i) {
            const std::string &r = recs[static_cast<std::size_t>(i)];
            rids[static_cast<std::size_t>(i)] =
                fsadd(inst, fs, r.data(), static_cast<std::int16_t>(r.size()), 0x10);
        }
        fsflush(inst, fs);
    });
    char buf[2048];
    std::uint64_t total = 0;
    read->vorn = opspersecond(count, [&] {
        for (long i = 0; i < count; ++i) total += fsread(inst, fs, rids[rng() % rids.size()], buf);
    });
    long walked = 0;
    walk->vorn = opspersecond(count, [&] {
        // Each record is read on the way, as the SQLite walk reads each row's data.
        for (std::uint32_t rid = fsfirst(inst, fs, 0x10); rid != 0; rid = fsnext(inst, fs, rid)) {
            total += fsread(inst, fs, rid, buf);
            ++walked;
        }
    });
    if (walked != count) std::fprintf(stderr, "walked %ld of %ld records\n", walked, count);
    if (total < static_cast<std::uint64_t>(count) * 180) std::fprintf(stderr, "reads failed\n");
    sink = total;
    fsclosetemp(inst, fs);
    closefs(inst);
}

void vornkeys(long count, const std::vector<std::string> &keys, std::mt19937 &rng, Result *add,
              Result *find, Result *walk) {
    const char inst = fsinit(nullptr);
    FS *fs = fsopentemp(inst);
    if (fs == nullptr) std::exit(1);
    constexpr std::uint8_t fid = 0x18;  // an index that admits duplicate values
    add->vorn = opspersecond(count, [&] {
        for (long i = 0; i < count; ++i) {
            fsaddkey(inst, fs, fid, static_cast<std::uint32_t>(i + 1), 12,
                     keys[static_cast<std::size_t>(i)].data());
        }
        fsflush(inst, fs);
    });
    char buf[200];
    std::uint64_t total = 0;
    find->vorn = opspersecond(count, [&] {
        for (long i = 0; i < count; ++i) {
            std::memcpy(buf, keys[rng() % keys.size()].data(), 12);
            total += fsfindkey(inst, fs, fid, 12, buf);
        }
    });
    long walked = 0;
    walk->vorn = opspersecond(count, [&] {
        for (std::uint32_t rid = fsfirstkey(inst, fs, fid, buf); rid != 0;
             rid = fsnextkey(inst, fs, fid, rid, 12, buf)) {
            ++walked;
        }
    });
    if (walked != count) std::fprintf(stderr, "walked %ld of %ld keys\n", walked, count);
    sink = total;
    fsclosetemp(inst, fs);
    closefs(inst);
}

#ifdef VORN_HAVE_SQLITE
constexpr char kSqliteFile[] = "bench_api.sqlite";

sqlite3 *opensqlite() {
    std::remove(kSqliteFile);
    sqlite3 *db = nullptr;
    if (sqlite3_open(kSqliteFile, &db) != SQLITE_OK) std::exit(1);
    sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
    return db;
}

void closesqlite(sqlite3 *db) {
    sqlite3_close(db);
    std::remove(kSqliteFile);
}

sqlite3_stmt *prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, sqlite3_errmsg(db));
        std::exit(1);
    }
    return st;
}

// The SQL of one SQLite workload.
struct SqliteWorkload {
    const char *create;
    const char *insert;
    const char *lookup;
    const char *walk;  // every row in order; column 1 is read
};

// Times one SQLite workload: `count` inserts in one transaction (bindrow(ins, i) binds row i),
// then `count` lookups (bindlookup(sel) binds a random one) and a walk of every row, both in
// one read transaction. take(st, column) reads the value a lookup or walk step yields.
template <typename BindRow, typename BindLookup, typename Take>
void timesqlite(const SqliteWorkload &w, long count, BindRow bindrow, BindLookup bindlookup,
                Take take, Result *add, Result *find, Result *walk) {
    sqlite3 *db = opensqlite();
    sqlite3_exec(db, w.create, nullptr, nullptr, nullptr);
    sqlite3_stmt *ins = prepare(db, w.insert);
    add->sqlite = opspersecond(count, [&] {
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (long i = 0; i < count; ++i) {
            bindrow(ins, i);
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    });
    sqlite3_stmt *sel = prepare(db, w.lookup);
    std::uint64_t total = 0;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    find->sqlite = opspersecond(count, [&] {
        for (long i = 0; i < count; ++i) {
            bindlookup(sel);
            if (sqlite3_step(sel) == SQLITE_ROW) total += take(sel, 0);
            sqlite3_reset(sel);
        }
    });
    sqlite3_stmt *all = prepare(db, w.walk);
    walk->sqlite = opspersecond(count, [&] {
        while (sqlite3_step(all) == SQLITE_ROW) total += take(all, 1);
    });
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sink = total;
    sqlite3_finalize(ins);
    sqlite3_finalize(sel);
    sqlite3_finalize(all);
    closesqlite(db);
}

void sqliterecords(long count, const std::vector<std::string> &recs, std::mt19937 &rng, Result *add,
                   Result *read, Result *walk) {
    const SqliteWorkload w = {
        "CREATE TABLE recs(id INTEGER PRIMARY KEY, data BLOB)", "INSERT INTO recs(data) VALUES(?)",
        "SELECT data FROM recs WHERE id = ?", "SELECT id, data FROM recs ORDER BY id"};
    timesqlite(
        w, count,
        [&](sqlite3_stmt *ins, long i) {
            const std::string &r = recs[static_cast<std::size_t>(i)];
            sqlite3_bind_blob(ins, 1, r.data(), static_cast<int>(r.size()), SQLITE_STATIC);
        },
        [&](sqlite3_stmt *sel) {
            sqlite3_bind_int64(sel, 1, static_cast<sqlite3_int64>(rng() % recs.size() + 1));
        },
        [](sqlite3_stmt *st, int column) {
            return static_cast<std::uint64_t>(sqlite3_column_bytes(st, column));
        },
        add, read, walk);
}

void sqlitekeys(long count, const std::vector<std::string> &keys, std::mt19937 &rng, Result *add,
                Result *find, Result *walk) {
    const SqliteWorkload w = {
        "CREATE TABLE keys(k BLOB, rid INTEGER); CREATE INDEX keysk ON keys(k, rid)",
        "INSERT INTO keys(k, rid) VALUES(?, ?)",
        "SELECT rid FROM keys WHERE k = ? ORDER BY rid LIMIT 1",
        "SELECT k, rid FROM keys ORDER BY k, rid"};
    timesqlite(
        w, count,
        [&](sqlite3_stmt *ins, long i) {
            sqlite3_bind_blob(ins, 1, keys[static_cast<std::size_t>(i)].data(), 12, SQLITE_STATIC);
            sqlite3_bind_int64(ins, 2, i + 1);
        },
        [&](sqlite3_stmt *sel) {
            sqlite3_bind_blob(sel, 1, keys[rng() % keys.size()].data(), 12, SQLITE_STATIC);
        },
        [](sqlite3_stmt *st, int column) {
            return static_cast<std::uint64_t>(sqlite3_column_int64(st, column));
        },
        add, find, walk);
}
#endif

void print(const std::vector<Result> &results) {
    std::printf("%-22s %14s %14s %8s\n", "workload", "vorn ops/s", "sqlite ops/s", "ratio");
    for (const Result &r : results) {
        if (r.sqlite > 0) {
            std::printf("%-22s %14.0f %14.0f %8.2f\n", r.name, r.vorn, r.sqlite, r.vorn / r.sqlite);
        } else {
            std::printf("%-22s %14.0f %14s %8s\n", r.name, r.vorn, "-", "-");
        }
    }
    std::printf("ratio = vorn / sqlite (above 1: vorn is faster)\n");
}

}  // namespace

int main(int argc, char **argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    if (count <= 0) return 2;
    std::mt19937 rng(12345);
    const auto recs = makerecords(count, rng);
    const auto keys = makekeys(count, rng);
    std::vector<Result> results = {{"records: add"},      {"records: random read"},
                                   {"records: walk"},     {"keys: insert"},
                                   {"keys: random find"}, {"keys: nextkey walk"}};
    vornrecords(count, recs, rng, &results[0], &results[1], &results[2]);
    vornkeys(count, keys, rng, &results[3], &results[4], &results[5]);
#ifdef VORN_HAVE_SQLITE
    sqliterecords(count, recs, rng, &results[0], &results[1], &results[2]);
    sqlitekeys(count, keys, rng, &results[3], &results[4], &results[5]);
#endif
    std::printf("%ld records of 90..110 bytes, %ld random 12-byte keys, temporary database\n",
                count, count);
    print(results);
    return 0;
}
