// The yardsticks the benchmarks measure vorn against, each at its best for the work:
//
// SQLite: journal off, synchronous off, every statement prepared once and only rebound, the
// inserts in one transaction and the lookups and the walk in one read transaction. Records
// live in a rowid table (the rowid is the record's identifier); keys live in a table whose
// primary key is (key, rid) without a rowid: one B-tree that is the covering index on
// (key, rid), the structure SQLite itself uses for such an index.
//
// LMDB: no sync, write map, one write transaction for the inserts and one read transaction
// for the lookups and the walk. Records are stored under their 4-byte identifier (integer
// keys, appended in order); keys as the key bytes followed by the rid in big-endian order,
// so that equal values sort by rid, with no data.
//
// Each workload reports nanoseconds per operation for the inserts (up to the commit), the
// lookups (the given probe order) and a walk of every entry in order reading what it holds,
// and the bytes the file holds afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#ifdef VORN_HAVE_SQLITE
#include <sqlite3.h>
#endif
#ifdef VORN_HAVE_LMDB
#include <lmdb.h>
#endif

namespace bench {

using Clock = std::chrono::steady_clock;

struct Costs {
    double add = 0, find = 0, walk = 0;  // nanoseconds per operation; 0: not measured
    std::uint64_t bytes = 0;             // file size afterwards
    std::uint64_t sum = 0;               // what the lookups and the walk saw (keeps them honest)
    long walked = 0;
};

template <typename F>
double nsperop(long count, F &&work) {
    const auto start = Clock::now();
    work();
    const std::chrono::duration<double, std::nano> took = Clock::now() - start;
    return count > 0 ? took.count() / static_cast<double>(count) : 0;
}

inline std::uint64_t filesize(const std::string &path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(n);
}

// Records of 90..110 bytes: words and numbers that compress a little.
inline std::vector<std::string> makerecords(long count, std::mt19937 &rng) {
    static const char *words[] = {"order", "customer", "invoice", "street", "amount", "paid",
                                  "open",  "closed",   "north",   "south",  "    ",   "0000"};
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        std::string r;
        while (r.size() < 110) {
            r += words[rng() % 12];
            r += std::to_string(rng() % 100000);
            r += ';';
        }
        r.resize(90 + rng() % 21);
        out.push_back(r);
    }
    return out;
}

inline constexpr int kKeyLen = 12;

// Random 12-byte keys of capital letters, in insertion order.
inline std::vector<std::string> makekeys(long count, std::mt19937 &rng) {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        std::string k(kKeyLen, ' ');
        for (char &c : k) c = static_cast<char>('A' + rng() % 26);
        out.push_back(k);
    }
    return out;
}

// Random positions 0..count-1, the order of the lookups.
inline std::vector<std::uint32_t> makeprobes(long count, std::mt19937 &rng) {
    std::vector<std::uint32_t> out(static_cast<std::size_t>(count));
    for (auto &p : out) p = static_cast<std::uint32_t>(rng() % static_cast<std::uint32_t>(count));
    return out;
}

#ifdef VORN_HAVE_SQLITE
namespace detail {

inline void sqlexec(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s: %s\n", sql, err != nullptr ? err : "?");
        std::exit(1);
    }
}

inline sqlite3_stmt *prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s: %s\n", sql, sqlite3_errmsg(db));
        std::exit(1);
    }
    return st;
}

inline sqlite3 *opensqlite(const std::string &path) {
    std::filesystem::remove(path);
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::exit(1);
    sqlexec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    return db;
}

// One SQLite workload: count inserts (bindrow(ins, i)) in one transaction, then the lookups
// (bindprobe(sel, p)) and a walk of every row in one read transaction; take(st) is what a
// lookup or walk row yields.
template <typename BindRow, typename BindProbe, typename Take>
Costs runsqlite(const std::string &path, const char *const sql[4], long count,
                const std::vector<std::uint32_t> &probes, BindRow bindrow, BindProbe bindprobe,
                Take take) {
    Costs c;
    sqlite3 *db = opensqlite(path);
    sqlexec(db, sql[0]);
    sqlite3_stmt *ins = prepare(db, sql[1]);
    sqlite3_stmt *sel = prepare(db, sql[2]);
    sqlite3_stmt *all = prepare(db, sql[3]);
    c.add = nsperop(count, [&] {
        sqlexec(db, "BEGIN");
        for (long i = 0; i < count; ++i) {
            bindrow(ins, i);
            if (sqlite3_step(ins) != SQLITE_DONE) std::fprintf(stderr, "sqlite insert failed\n");
            sqlite3_reset(ins);
        }
        sqlexec(db, "COMMIT");
    });
    sqlexec(db, "BEGIN");
    c.find = nsperop(static_cast<long>(probes.size()), [&] {
        for (const std::uint32_t p : probes) {
            bindprobe(sel, p);
            if (sqlite3_step(sel) == SQLITE_ROW) c.sum += take(sel);
            sqlite3_reset(sel);
        }
    });
    c.walk = nsperop(count, [&] {
        while (sqlite3_step(all) == SQLITE_ROW) {
            c.sum += take(all);
            ++c.walked;
        }
    });
    sqlexec(db, "COMMIT");
    sqlite3_finalize(ins);
    sqlite3_finalize(sel);
    sqlite3_finalize(all);
    sqlite3_close(db);
    c.bytes = filesize(path);
    std::filesystem::remove(path);
    return c;
}

}  // namespace detail

inline Costs sqliterecords(const std::string &path, const std::vector<std::string> &recs,
                           const std::vector<std::uint32_t> &probes) {
    static const char *const sql[4] = {
        "CREATE TABLE recs(id INTEGER PRIMARY KEY, data BLOB)", "INSERT INTO recs(data) VALUES(?)",
        "SELECT data FROM recs WHERE id = ?", "SELECT data FROM recs ORDER BY id"};
    return detail::runsqlite(
        path, sql, static_cast<long>(recs.size()), probes,
        [&](sqlite3_stmt *st, long i) {
            const std::string &r = recs[static_cast<std::size_t>(i)];
            sqlite3_bind_blob(st, 1, r.data(), static_cast<int>(r.size()), SQLITE_STATIC);
        },
        [](sqlite3_stmt *st, std::uint32_t p) { sqlite3_bind_int64(st, 1, p + 1); },
        [](sqlite3_stmt *st) {
            // The bytes are looked at, as a caller of fsread gets them in its buffer.
            const auto *b = static_cast<const std::uint8_t *>(sqlite3_column_blob(st, 0));
            const int n = sqlite3_column_bytes(st, 0);
            return static_cast<std::uint64_t>(n) + (n > 0 ? b[n - 1] : 0);
        });
}

inline Costs sqlitekeys(const std::string &path, const std::vector<std::string> &keys,
                        const std::vector<std::uint32_t> &probes) {
    static const char *const sql[4] = {
        "CREATE TABLE keys(k BLOB, rid INTEGER, PRIMARY KEY(k, rid)) WITHOUT ROWID",
        "INSERT INTO keys(k, rid) VALUES(?, ?)", "SELECT rid FROM keys WHERE k = ? LIMIT 1",
        "SELECT k, rid FROM keys ORDER BY k, rid"};
    return detail::runsqlite(
        path, sql, static_cast<long>(keys.size()), probes,
        [&](sqlite3_stmt *st, long i) {
            sqlite3_bind_blob(st, 1, keys[static_cast<std::size_t>(i)].data(), kKeyLen,
                              SQLITE_STATIC);
            sqlite3_bind_int64(st, 2, i + 1);
        },
        [&](sqlite3_stmt *st, std::uint32_t p) {
            sqlite3_bind_blob(st, 1, keys[p].data(), kKeyLen, SQLITE_STATIC);
        },
        [](sqlite3_stmt *st) {
            const int last = sqlite3_column_count(st) - 1;
            return static_cast<std::uint64_t>(sqlite3_column_int64(st, last));
        });
}
#endif

#ifdef VORN_HAVE_LMDB
namespace detail {

inline void mdbcheck(int rc, const char *what) {
    if (rc != MDB_SUCCESS) {
        std::fprintf(stderr, "lmdb: %s: %s\n", what, mdb_strerror(rc));
        std::exit(1);
    }
}

struct Lmdb {
    MDB_env *env = nullptr;
    MDB_dbi dbi = 0;
    std::string path;

    Lmdb(const std::string &file, long count, unsigned dbflags) : path(file) {
        std::filesystem::remove(path);
        std::filesystem::remove(path + "-lock");
        mdbcheck(mdb_env_create(&env), "env_create");
        // Room for the largest run with plenty to spare; the map is only address space.
        const std::size_t map = static_cast<std::size_t>(count) * 1024 + (64u << 20);
        mdbcheck(mdb_env_set_mapsize(env, map), "set_mapsize");
        mdbcheck(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC | MDB_WRITEMAP, 0644),
                 "env_open");
        MDB_txn *txn = nullptr;
        mdbcheck(mdb_txn_begin(env, nullptr, 0, &txn), "txn_begin");
        mdbcheck(mdb_dbi_open(txn, nullptr, dbflags, &dbi), "dbi_open");
        mdbcheck(mdb_txn_commit(txn), "commit");
    }
    // Pages in use: the write map makes the file as long as the map, so its length says
    // nothing about the data.
    std::uint64_t usedbytes() const {
        MDB_envinfo info;
        MDB_stat st;
        mdb_env_info(env, &info);
        mdb_env_stat(env, &st);
        return static_cast<std::uint64_t>(info.me_last_pgno + 1) * st.ms_psize;
    }
    ~Lmdb() {
        mdb_env_close(env);
        std::filesystem::remove(path);
        std::filesystem::remove(path + "-lock");
    }
};

// Inserts (put(txn, i)), lookups (get(txn, p) returns what it saw) and a cursor walk.
template <typename Put, typename Get>
Costs runlmdb(Lmdb &db, long count, const std::vector<std::uint32_t> &probes, Put put, Get get) {
    Costs c;
    c.add = nsperop(count, [&] {
        MDB_txn *txn = nullptr;
        mdbcheck(mdb_txn_begin(db.env, nullptr, 0, &txn), "txn_begin");
        for (long i = 0; i < count; ++i) put(txn, i);
        mdbcheck(mdb_txn_commit(txn), "commit");
    });
    MDB_txn *txn = nullptr;
    mdbcheck(mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn), "txn_begin");
    c.find = nsperop(static_cast<long>(probes.size()), [&] {
        for (const std::uint32_t p : probes) c.sum += get(txn, p);
    });
    c.walk = nsperop(count, [&] {
        MDB_cursor *cur = nullptr;
        mdbcheck(mdb_cursor_open(txn, db.dbi, &cur), "cursor_open");
        MDB_val k, v;
        for (int op = MDB_FIRST; mdb_cursor_get(cur, &k, &v, static_cast<MDB_cursor_op>(op)) == 0;
             op = MDB_NEXT) {
            const auto *bytes =
                static_cast<const std::uint8_t *>(v.mv_size > 0 ? v.mv_data : k.mv_data);
            c.sum += v.mv_size + bytes[0];
            ++c.walked;
        }
        mdb_cursor_close(cur);
    });
    mdb_txn_abort(txn);
    c.bytes = db.usedbytes();
    return c;
}

}  // namespace detail

inline Costs lmdbrecords(const std::string &path, const std::vector<std::string> &recs,
                         const std::vector<std::uint32_t> &probes) {
    const long count = static_cast<long>(recs.size());
    detail::Lmdb db(path, count, MDB_INTEGERKEY);
    return detail::runlmdb(
        db, count, probes,
        [&](MDB_txn *txn, long i) {
            std::uint32_t id = static_cast<std::uint32_t>(i + 1);
            const std::string &r = recs[static_cast<std::size_t>(i)];
            MDB_val k{sizeof id, &id}, v{r.size(), const_cast<char *>(r.data())};
            detail::mdbcheck(mdb_put(txn, db.dbi, &k, &v, MDB_APPEND), "put");
        },
        [&](MDB_txn *txn, std::uint32_t p) -> std::uint64_t {
            std::uint32_t id = p + 1;
            MDB_val k{sizeof id, &id}, v;
            if (mdb_get(txn, db.dbi, &k, &v) != 0) return 0;
            return v.mv_size + static_cast<const std::uint8_t *>(v.mv_data)[v.mv_size - 1];
        });
}

inline Costs lmdbkeys(const std::string &path, const std::vector<std::string> &keys,
                      const std::vector<std::uint32_t> &probes) {
    const long count = static_cast<long>(keys.size());
    detail::Lmdb db(path, count, 0);
    MDB_cursor *cur = nullptr;
    const Costs c = detail::runlmdb(
        db, count, probes,
        [&](MDB_txn *txn, long i) {
            std::uint8_t kb[kKeyLen + 4];
            std::memcpy(kb, keys[static_cast<std::size_t>(i)].data(), kKeyLen);
            const auto rid = static_cast<std::uint32_t>(i + 1);
            for (int b = 0; b < 4; ++b)
                kb[kKeyLen + b] = static_cast<std::uint8_t>(rid >> (24 - 8 * b));
            MDB_val k{sizeof kb, kb}, v{0, nullptr};
            detail::mdbcheck(mdb_put(txn, db.dbi, &k, &v, 0), "put");
        },
        [&](MDB_txn *txn, std::uint32_t p) -> std::uint64_t {
            // The first key of the value: a range search from the value alone, on one cursor
            // kept for all lookups.
            if (cur == nullptr) detail::mdbcheck(mdb_cursor_open(txn, db.dbi, &cur), "cursor");
            MDB_val k{kKeyLen, const_cast<char *>(keys[p].data())}, v;
            std::uint64_t rid = 0;
            if (mdb_cursor_get(cur, &k, &v, MDB_SET_RANGE) == 0 && k.mv_size == kKeyLen + 4 &&
                std::memcmp(k.mv_data, keys[p].data(), kKeyLen) == 0) {
                const auto *b = static_cast<const std::uint8_t *>(k.mv_data) + kKeyLen;
                rid = (std::uint64_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
            }
            return rid;
        });
    if (cur != nullptr) mdb_cursor_close(cur);
    return c;
}
#endif

}  // namespace bench
