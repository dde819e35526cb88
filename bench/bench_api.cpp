// The client API on a temporary database, side by side with SQLite and LMDB (each at its best
// for the work, see yardstick.h): a record workload (add, random read, walk reading every
// record) and a key workload (insert, random find, fsnextkey walk), at several sizes, so that
// the growth of the cost with the file shows. The adds are timed up to the point where they
// are written: fsflush for vorn, the commit for the others. Prints nanoseconds per operation,
// the speed ratios (above 1: vorn is faster) and the file sizes.
//
//   bench_api [COUNT...]   (default 10000 100000 1000000; about 20 seconds in all)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "vornlink.h"
#include "yardstick.h"

namespace {

namespace fsys = std::filesystem;
using bench::Costs;

volatile std::uint64_t sink;  // keeps results alive

// The size of the temporary database file in the working directory.
std::uint64_t tempfilesize() {
    for (const auto &entry : fsys::directory_iterator(".")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("vt", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".tmp") == 0) {
            return bench::filesize(entry.path().string());
        }
    }
    return 0;
}

Costs vornrecords(const std::vector<std::string> &recs, const std::vector<std::uint32_t> &probes) {
    const long count = static_cast<long>(recs.size());
    const char inst = fsinit(nullptr);
    FS *fs = fsopentemp(inst);
    if (fs == nullptr) {
        std::fprintf(stderr, "fsopentemp failed\n");
        std::exit(1);
    }
    Costs c;
    std::vector<std::uint32_t> rids(recs.size());
    c.add = bench::nsperop(count, [&] {
        for (long i = 0; i < count; ++i) {
            const std::string &r = recs[static_cast<std::size_t>(i)];
            rids[static_cast<std::size_t>(i)] =
                fsadd(inst, fs, r.data(), static_cast<std::int16_t>(r.size()), 0x10);
        }
        fsflush(inst, fs);
    });
    c.bytes = tempfilesize();
    char buf[2048];
    c.find = bench::nsperop(static_cast<long>(probes.size()), [&] {
        for (const std::uint32_t p : probes) {
            const std::int16_t n = fsread(inst, fs, rids[p], buf);
            c.sum +=
                static_cast<std::uint64_t>(n) + (n > 0 ? static_cast<std::uint8_t>(buf[n - 1]) : 0);
        }
    });
    c.walk = bench::nsperop(count, [&] {
        // Each record is read on the way, as the other walks read each row's data.
        for (std::uint32_t rid = fsfirst(inst, fs, 0x10); rid != 0; rid = fsnext(inst, fs, rid)) {
            const std::int16_t n = fsread(inst, fs, rid, buf);
            c.sum += static_cast<std::uint64_t>(n) + static_cast<std::uint8_t>(buf[0]);
            ++c.walked;
        }
    });
    fsclosetemp(inst, fs);
    closefs(inst);
    return c;
}

Costs vornkeys(const std::vector<std::string> &keys, const std::vector<std::uint32_t> &probes) {
    const long count = static_cast<long>(keys.size());
    const char inst = fsinit(nullptr);
    FS *fs = fsopentemp(inst);
    if (fs == nullptr) std::exit(1);
    constexpr std::uint8_t fid = 0x18;  // an index that admits duplicate values, ordered by rid
    Costs c;
    c.add = bench::nsperop(count, [&] {
        for (long i = 0; i < count; ++i) {
            fsaddkey(inst, fs, fid, static_cast<std::uint32_t>(i + 1), bench::kKeyLen,
                     keys[static_cast<std::size_t>(i)].data());
        }
        fsflush(inst, fs);
    });
    c.bytes = tempfilesize();
    char buf[200];
    c.find = bench::nsperop(static_cast<long>(probes.size()), [&] {
        for (const std::uint32_t p : probes) {
            std::memcpy(buf, keys[p].data(), bench::kKeyLen);
            c.sum += fsfindkey(inst, fs, fid, bench::kKeyLen, buf);
        }
    });
    c.walk = bench::nsperop(count, [&] {
        for (std::uint32_t rid = fsfirstkey(inst, fs, fid, buf); rid != 0;
             rid = fsnextkey(inst, fs, fid, rid, bench::kKeyLen, buf)) {
            c.sum += rid;
            ++c.walked;
        }
    });
    fsclosetemp(inst, fs);
    closefs(inst);
    return c;
}

struct Row {
    const char *name;
    double Costs::*cost;
};

// other / vorn in time per operation: above 1 vorn is faster; "-" when not measured.
void ratio(double vorn, double other) {
    if (other > 0 && vorn > 0) {
        std::printf(" %9.2f", other / vorn);
    } else {
        std::printf(" %9s", "-");
    }
}

void cost(double ns) {
    if (ns > 0) {
        std::printf(" %10.1f", ns);
    } else {
        std::printf(" %10s", "-");
    }
}

void printsize(long count, const char *what, const Costs &v, const Costs &s, const Costs &l) {
    std::printf("%9ld %-21s %10llu %10llu %10llu", count, what,
                static_cast<unsigned long long>(v.bytes), static_cast<unsigned long long>(s.bytes),
                static_cast<unsigned long long>(l.bytes));
    if (s.bytes > 0) {
        std::printf(" %9.2f\n", static_cast<double>(v.bytes) / static_cast<double>(s.bytes));
    } else {
        std::printf(" %9s\n", "-");
    }
}

// Costs of one workload at one size: vorn, SQLite, LMDB (zeros where not built in).
struct Measured {
    long count;
    Costs vr, sr, lr;  // records
    Costs vk, sk, lk;  // keys
};

Measured measure(long count) {
    std::mt19937 rng(12345);
    Measured m{count, {}, {}, {}, {}, {}, {}};
    const auto recs = bench::makerecords(count, rng);
    const auto keys = bench::makekeys(count, rng);
    const auto probes = bench::makeprobes(count, rng);
    m.vr = vornrecords(recs, probes);
    m.vk = vornkeys(keys, probes);
#ifdef VORN_HAVE_SQLITE
    m.sr = bench::sqliterecords("records.sqlite", recs, probes);
    m.sk = bench::sqlitekeys("keys.sqlite", keys, probes);
#endif
#ifdef VORN_HAVE_LMDB
    m.lr = bench::lmdbrecords("records.mdb", recs, probes);
    m.lk = bench::lmdbkeys("keys.mdb", keys, probes);
#endif
    for (const Costs *c : {&m.vr, &m.sr, &m.lr, &m.vk, &m.sk, &m.lk}) {
        if (c->walked != 0 && c->walked != count) {
            std::fprintf(stderr, "a walk saw %ld of %ld entries\n", c->walked, count);
        }
        sink = sink + c->sum;
    }
    return m;
}

void print(const std::vector<Measured> &all) {
    static const Row rows[] = {
        {"records: add", &Costs::add},       {"records: random read", &Costs::find},
        {"records: walk", &Costs::walk},     {"keys: insert", &Costs::add},
        {"keys: random find", &Costs::find}, {"keys: nextkey walk", &Costs::walk}};
    std::printf("%9s %-21s %10s %10s %10s %9s %9s\n", "count", "workload", "vorn ns", "sqlite ns",
                "lmdb ns", "x sqlite", "x lmdb");
    for (const Measured &m : all) {
        for (int r = 0; r < 6; ++r) {
            const bool keys = r >= 3;
            const Costs &v = keys ? m.vk : m.vr, &s = keys ? m.sk : m.sr, &l = keys ? m.lk : m.lr;
            const double Costs::*field = rows[r].cost;
            std::printf("%9ld %-21s", m.count, rows[r].name);
            cost(v.*field);
            cost(s.*field);
            cost(l.*field);
            ratio(v.*field, s.*field);
            ratio(v.*field, l.*field);
            std::printf("\n");
        }
    }
    std::printf(
        "ns = nanoseconds per operation; x = other's time / vorn's (above 1: vorn is faster)\n\n");
    std::printf("%9s %-21s %10s %10s %10s %9s\n", "count", "file bytes", "vorn", "sqlite", "lmdb",
                "vorn/sql");
    for (const Measured &m : all) {
        printsize(m.count, "records", m.vr, m.sr, m.lr);
        printsize(m.count, "keys", m.vk, m.sk, m.lk);
    }
    std::printf("lmdb: pages in use (its write map makes the file as long as the map)\n");
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<long> counts;
    for (int i = 1; i < argc; ++i) {
        const long n = std::strtol(argv[i], nullptr, 10);
        if (n <= 0) return 2;
        counts.push_back(n);
    }
    if (counts.empty()) {
        counts = {10000, 100000, 1000000};
    }
    // The temporary databases and the other files go to a directory of their own.
    const fsys::path dir =
        fsys::temp_directory_path() / ("vorn-bench-api-" + std::to_string(std::random_device{}()));
    fsys::create_directories(dir);
    const fsys::path previous = fsys::current_path();
    fsys::current_path(dir);
    std::vector<Measured> all;
    for (const long n : counts) all.push_back(measure(n));
    fsys::current_path(previous);
    std::error_code ec;
    fsys::remove_all(dir, ec);
    std::printf("records of 90..110 bytes, random 12-byte keys; temporary vorn database\n");
    print(all);
    return 0;
}
