// I/O faults in the server's files: at every point along a workload, one database file fails
// a read, fails a write, cuts a write short, or fails several writes in a row (so that the
// rollback itself fails and must be retried). The client gets an error, the server goes on
// serving its other file, nothing acknowledged is lost, and the faulty file passes the
// integrity checker afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "dispatch_session.h"
#include "fsn/check.h"
#include "fsn/journal.h"
#include "fsn/records.h"
#include "server.h"
#include "server_harness.h"

namespace vorn::server {
namespace {

// The file the server gets for "faulty.db": its bytes in memory, with the faults the test
// sets up.
std::shared_ptr<test::MemFileData> faultydata;

std::unique_ptr<platform::BlockFile> wrapfaulty(std::unique_ptr<platform::BlockFile> file,
                                                const char *name) {
    if (std::strcmp(name, "faulty.db") != 0) return file;
    return std::make_unique<test::MemFile>(faultydata);
}

using Session = test::DispatchSession;

enum class Fault { Read, Write, ShortWrite, WriteRun };

struct Outcome {
    int refused = 0;             // requests on the faulty file answered with an error
    long reads = 0, writes = 0;  // calls the workload made on the faulty file
    long lost = 0;
    bool sound = false;
    std::string findings;
};

constexpr int kSteps = 40;

// Runs the workload with the fault at call number `at`.
Outcome runwith(Fault fault, long at) {
    Outcome out;
    faultydata = std::make_shared<test::MemFileData>();
    faultydata->bytes = test::newdatabasebytes(5);
    switch (fault) {
        case Fault::Read:
            faultydata->failreadat = at;
            break;
        case Fault::ShortWrite:
            faultydata->shortwrite = true;
            [[fallthrough]];
        case Fault::Write:
            faultydata->failwriteat = at;
            break;
        case Fault::WriteRun:
            faultydata->failwriteat = at;
            faultydata->failcount = 3;
            break;
    }
    // A server whose "faulty.db" is the file above.
    ServerConfig config;
    config.files.wrapdatabasefile = wrapfaulty;
    Server server(config);
    Session s(server.files);
    test::Reply faulty = s.open("faulty.db");
    if (faulty.error != 0) {
        ++out.refused;
        faulty = s.open("faulty.db");  // the fault was at the open; a second open succeeds
    }
    const test::Reply healthy = s.open("healthy.db");
    EXPECT_EQ(faulty.error, 0);
    EXPECT_EQ(healthy.error, 0);
    std::map<std::uint32_t, std::vector<std::uint8_t>> records;
    std::map<std::string, std::uint32_t> keys;
    for (int step = 0; step < kSteps; ++step) {
        const auto stored = test::storedform(test::samplerecord(step, 50 + step * 23 % 600));
        const test::Reply r =
            s.call(kOpAdd, faulty.fsdatanum, 0x10, 0, stored.data(), stored.size());
        if (r.error == 0 && r.rid != 0) {
            records[r.rid] = stored;
            std::string key = "key" + std::to_string(step * 7919 % 1000);
            key.append(static_cast<std::size_t>(step * 37 % 150), 'k');
            const test::Reply k =
                s.call(kOpAddKey, faulty.fsdatanum, 0x11, r.rid, key.data(), key.size());
            if (k.error == 0) {
                keys[key] = r.rid;
            } else {
                ++out.refused;
            }
        } else {
            ++out.refused;
            EXPECT_EQ(r.errororigin, 'L');
        }
        // The other file is served throughout.
        const test::Reply h =
            s.call(kOpAdd, healthy.fsdatanum, 0x10, 0, stored.data(), stored.size());
        EXPECT_EQ(h.error, 0);
        EXPECT_NE(h.rid, 0u);
    }
    // The workload is over: no fault from here on. Everything acknowledged reads back,
    // through the server and then from the file.
    out.reads = faultydata->reads;
    out.writes = faultydata->writes;
    faultydata->failreadat = -1;
    faultydata->failwriteat = -1;
    for (const auto &[rid, stored] : records) {
        const test::Reply r = s.call(kOpRead, faulty.fsdatanum, 0, rid, nullptr, 0);
        if (r.error != 0 || r.data != stored) ++out.lost;
    }
    for (const auto &[value, rid] : keys) {
        const test::Reply r =
            s.call(kOpFindKey, faulty.fsdatanum, 0x11, 0, value.data(), value.size());
        if (r.error != 0 || r.rid != rid) ++out.lost;
    }
    s.call(kOpClose, faulty.fsdatanum, 0, 0, nullptr, 0);
    auto f = test::openengine(std::make_unique<test::MemFile>(faultydata), Flavor::Library, nullptr,
                              true);
    if (f == nullptr) return out;
    const auto findings = checkfile(f.get());
    out.sound = !hasfaults(findings);
    out.findings = describe(findings);
    for (const auto &[rid, stored] : records) {
        std::vector<std::uint8_t> back(kBlockSize);
        vorn::Fault engine;
        const std::int16_t len = readrecord(f.get(), rid, back.data(), &engine);
        back.resize(len > 0 ? static_cast<std::size_t>(len) : 0);
        if (back != stored) ++out.lost;
    }
    return out;
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        ASSERT_TRUE(test::makedatabasefile("healthy.db"));
        ASSERT_TRUE(test::makedatabasefile("faulty.db"));  // its journal lives on disk
    }
    void TearDown() override { std::filesystem::current_path(previous); }

    test::TempDir dir;
    std::filesystem::path previous;
};

TEST_F(Faults, EveryFaultPointGivesAnErrorAndLosesNothing) {
    // How many reads and writes the workload makes on the faulty file without faults.
    const Outcome clean = runwith(Fault::Write, -1);
    EXPECT_EQ(clean.refused, 0);
    const long reads = clean.reads, writes = clean.writes;
    ASSERT_GT(writes, kSteps);
    struct Mode {
        const char *name;
        Fault fault;
        long calls;
    };
    const Mode modes[] = {{"failed read", Fault::Read, reads},
                          {"failed write", Fault::Write, writes},
                          {"short write", Fault::ShortWrite, writes},
                          {"three failed writes", Fault::WriteRun, writes}};
    for (const Mode &mode : modes) {
        int points = 0, refused = 0;
        for (long at = 0; at < mode.calls; ++at) {
            const Outcome out = runwith(mode.fault, at);
            ++points;
            refused += out.refused > 0 ? 1 : 0;
            EXPECT_EQ(out.lost, 0) << mode.name << " at call " << at;
            EXPECT_TRUE(out.sound) << mode.name << " at call " << at << "\n" << out.findings;
            if (HasFailure()) return;
        }
        std::printf("%s: %d fault points, %d answered with an error, none lost, file sound\n",
                    mode.name, points, refused);
        EXPECT_EQ(refused, points) << mode.name;  // every fault reached a client as an error
    }
}

}  // namespace
}  // namespace vorn::server
