// A bounded load: 16 connections, each doing mixed operations on one shared file and its own
// private file, with the server in its default mode and in durable mode. Afterwards every
// acknowledged record and key is in the files, read back through the engine, and every file
// passes the integrity checker.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/records.h"
#include "server_harness.h"

namespace vorn::test {
namespace {

constexpr int kClients = 16;
constexpr int kOperations = 2000;

// What one client saw acknowledged, per file.
struct Acknowledged {
    std::map<std::uint32_t, std::vector<std::uint8_t>> records;  // rid -> stored form
    std::map<std::string, std::uint32_t> keys;                   // value -> rid (fid 0x18)
    int failures = 0;
};

void runclient(std::uint16_t port, int id, int operations, Acknowledged *shared,
               Acknowledged *own) {
    RawClient c(port);
    const Reply s = c.open("shared.db");
    const Reply p = c.open("private" + std::to_string(id) + ".db");
    if (!s.ok || !p.ok || s.error != 0 || p.error != 0) {
        ++own->failures;
        return;
    }
    std::mt19937 random(static_cast<unsigned>(id) * 7919u);
    for (int op = 0; op < operations; ++op) {
        const bool onshared = random() % 2 == 0;
        const std::int16_t slot = onshared ? s.fsdatanum : p.fsdatanum;
        Acknowledged *ack = onshared ? shared : own;
        const int what = static_cast<int>(random() % 8);
        if (what < 3 || ack->records.empty()) {
            const auto stored = storedform(samplerecord(random(), 1 + random() % 400));
            const Reply r = c.onfile(kOpAdd, slot, 0x10, 0, stored.data(), stored.size());
            if (!r.ok || r.error != 0 || r.rid == 0) {
                ++own->failures;
                continue;
            }
            ack->records[r.rid] = stored;
            continue;
        }
        auto it = ack->records.begin();
        std::advance(it, static_cast<long>(random() % ack->records.size()));
        if (what == 3) {
            const auto stored = storedform(samplerecord(random(), 1 + random() % 700));
            const Reply r = c.onfile(kOpWrite, slot, 0, it->first, stored.data(), stored.size());
            if (r.ok && r.error == 0) {
                it->second = stored;
            } else {
                ++own->failures;
            }
        } else if (what == 4) {
            const Reply r = c.onfile(kOpDelete, slot, 0, it->first);
            if (r.ok && r.error == 0) {
                ack->records.erase(it);
            } else {
                ++own->failures;
            }
        } else if (what == 5) {
            const Reply r = c.onfile(kOpRead, slot, 0, it->first);
            if (!r.ok || r.error != 0 || r.data != it->second) ++own->failures;
        } else if (what == 6) {
            // Each client's key values are its own, so no two clients race for one value.
            const std::string value = "c" + std::to_string(id) + "-" + std::to_string(op);
            const Reply r = c.onfile(kOpAddKey, slot, 0x18, it->first, value.data(), value.size());
            if (r.ok && r.error == 0) {
                ack->keys[value] = it->first;
            } else {
                ++own->failures;
            }
        } else {
            const std::uint32_t rid = random();
            const Reply l = c.lock(slot, {rid});
            const Reply u = c.withrid(kOpUnlockRid, slot, rid);
            if (!l.ok || !u.ok || u.error != 0) ++own->failures;
        }
    }
    c.onfile(kOpClose, s.fsdatanum);
    c.onfile(kOpClose, p.fsdatanum);
}

// Every acknowledged record and key is in the file, which passes the checker.
void verify(const std::string &path, const Acknowledged &ack) {
    std::string why;
    EXPECT_TRUE(passescheck(path, &why)) << path << ": " << why;
    auto engine = openenginepath(path, Flavor::Library, nullptr, true);
    ASSERT_NE(engine, nullptr) << path;
    std::uint8_t stored[kMaxStoredRecord];
    for (const auto &[rid, expected] : ack.records) {
        Fault fault;
        const std::int16_t n = readrecord(engine.get(), rid, stored, &fault);
        ASSERT_EQ(std::vector<std::uint8_t>(stored, stored + (n > 0 ? n : 0)), expected)
            << path << " rid " << std::hex << rid;
    }
    for (const auto &[value, rid] : ack.keys) {
        std::uint8_t found[kKeyBuffer];
        const std::uint8_t *key =
            bldkey(0x18, 0, static_cast<std::int16_t>(value.size()), value.data());
        const std::uint32_t got =
            findkey(engine.get(), static_cast<std::int16_t>(value.size() + 1), key, found);
        EXPECT_EQ(got, rid) << path << " key " << value;
    }
}

void runload(const std::vector<std::string> &options, int operations) {
    TempDir dir;
    ASSERT_TRUE(makedatabasefile(dir.file("shared.db")));
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(makedatabasefile(dir.file("private" + std::to_string(i) + ".db")));
    }
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.start(options));
    std::vector<Acknowledged> shared(kClients), own(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back(runclient, server.port(), i, operations, &shared[i], &own[i]);
    }
    for (auto &t : threads) t.join();
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(own[i].failures, 0) << "client " << i;
    // Every change is on disk before the server stops: check while it still runs.
    Acknowledged all;
    for (const Acknowledged &a : shared) {
        all.records.insert(a.records.begin(), a.records.end());
        all.keys.insert(a.keys.begin(), a.keys.end());
    }
    verify(dir.file("shared.db"), all);
    for (int i = 0; i < kClients; ++i)
        verify(dir.file("private" + std::to_string(i) + ".db"), own[i]);
    EXPECT_EQ(server.stop(), 0);
}

TEST(Load, SixteenConnectionsKeepEveryAcknowledgedChange) {
    runload({}, kOperations);
}

// In durable mode the connections' changes to the shared file go out in shared commits.
TEST(Load, SixteenConnectionsKeepEveryAcknowledgedChangeInDurableMode) {
    runload({"--sync"}, kOperations / 4);
}

TEST(Load, TheMessagesOfConcurrentFailuresNeverMix) {
    TempDir dir;
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.start());
    // Each thread fails in its own way, many times over, at the same time as the others.
    struct Failure {
        std::uint8_t op;
        std::int16_t slot;
        const char *line;  // the code and message that belong together
    };
    const Failure failures[] = {
        {kOpRead, 100, "L - 480 fsread - invalid index."},
        {kOpGetCanNumber, -5, "L - 480 fsgetcannumber - invalid index."},
        {kOpClose, 300, "L - 480 fsclose - invalid file index."},
        {kOpOpen, 0, "L - 7 fsopen - opening file missing.db."},
    };
    std::vector<std::thread> threads;
    for (const Failure &f : failures) {
        threads.emplace_back([&server, f] {
            RawClient c(server.port());
            for (int i = 0; i < 150; ++i) {
                const Reply r = f.op == kOpOpen ? c.open("missing.db") : c.onfile(f.op, f.slot);
                EXPECT_NE(r.error, 0);
            }
        });
    }
    for (auto &t : threads) t.join();
    std::istringstream log(server.eventlog());
    std::string line;
    int seen = 0;
    while (std::getline(log, line)) {
        if (line.find(": L - ") == std::string::npos) continue;
        ++seen;
        bool known = false;
        for (const Failure &f : failures) known = known || line.ends_with(f.line);
        EXPECT_TRUE(known) << line;
    }
    EXPECT_EQ(seen, 4 * 150);
}

}  // namespace
}  // namespace vorn::test
