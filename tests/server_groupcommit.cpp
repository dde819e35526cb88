// Group commit in durable mode, driven through dispatch on threads of their own: requests
// queued behind a commit share the next one; when its write fails, every request of that
// batch gets the error, the request before it keeps its success, the other file is served
// throughout, and nothing acknowledged is lost.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "dispatch_session.h"
#include "fsn/check.h"
#include "fsn/records.h"
#include "groupcommit.h"
#include "operation.h"
#include "server.h"
#include "server_harness.h"

namespace vorn::server {
namespace {

// The faulty file's sync can be held shut: the commit in progress then waits there, with
// its blocks written and the slot mutex held, until the test opens it.
struct Gate {
    std::mutex m;
    std::condition_variable changed;
    bool shut = false;
    bool waiting = false;  // a sync waits at the gate

    void pass() {
        std::unique_lock lock(m);
        waiting = shut;
        changed.notify_all();
        changed.wait(lock, [this] { return !shut; });
        waiting = false;
    }
    void awaitsync() {
        std::unique_lock lock(m);
        changed.wait(lock, [this] { return waiting; });
    }
    void open() {
        std::lock_guard lock(m);
        shut = false;
        changed.notify_all();
    }
};

std::shared_ptr<test::MemFileData> faultydata;
Gate gate;

class GatedFile final : public platform::BlockFile {
  public:
    explicit GatedFile(std::shared_ptr<test::MemFileData> data) : file_(std::move(data)) {}
    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        return file_.readat(buf, n, offset);
    }
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override {
        return file_.writeat(buf, n, offset);
    }
    std::int64_t length() override { return file_.length(); }
    bool truncate(std::uint64_t length) override { return file_.truncate(length); }
    bool sync() override {
        gate.pass();
        return file_.sync();
    }

  private:
    test::MemFile file_;
};

std::unique_ptr<platform::BlockFile> wrapgated(std::unique_ptr<platform::BlockFile> file,
                                               const char *name) {
    if (std::strcmp(name, "faulty.db") != 0) return file;
    return std::make_unique<GatedFile>(faultydata);
}

// A dispatch session that adds records and opens by slot number.
struct Session : test::DispatchSession {
    using DispatchSession::DispatchSession;
    std::int16_t open(const std::string &name) {
        const test::Reply r = DispatchSession::open(name);
        EXPECT_EQ(r.error, 0) << name;
        return r.fsdatanum;
    }
    test::Reply add(std::int16_t slot, const std::vector<std::uint8_t> &stored) {
        return call(kOpAdd, slot, 0x10, 0, stored.data(), stored.size());
    }
};

std::vector<std::uint8_t> record(int n) {
    return test::storedform(test::samplerecord(n, 80 + n));
}

// The record at `rid` in the faulty file as the engine reads it.
std::vector<std::uint8_t> readback(FSDATA *f, std::uint32_t rid) {
    std::vector<std::uint8_t> back(kBlockSize);
    Fault fault;
    const std::int16_t len = readrecord(f, rid, back.data(), &fault);
    back.resize(len > 0 ? static_cast<std::size_t>(len) : 0);
    return back;
}

// Durable mode, with "faulty.db" behind the gate.
ServerConfig durableconfig() {
    ServerConfig config;
    config.files.durablewrites = true;
    config.files.wrapdatabasefile = wrapgated;
    return config;
}

class GroupCommitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        faultydata = std::make_shared<test::MemFileData>();
        faultydata->bytes = test::newdatabasebytes(5);
        ASSERT_TRUE(test::makedatabasefile("healthy.db"));
        ASSERT_TRUE(test::makedatabasefile("faulty.db"));  // its journal lives on disk
        slot = first.open("faulty.db");
        for (int i = 0; i < kQueued; ++i) {
            queued.push_back(std::make_unique<Session>(server.files, 10 + i));
            EXPECT_EQ(queued.back()->open("faulty.db"), slot);
        }
    }
    void TearDown() override {
        first.call(kOpClose, slot, 0, 0, nullptr, 0);
        queued.clear();
        server.files.fscloseall();
        std::filesystem::current_path(previous);
    }

    // The first session's add of record(0) commits alone and stops at the gate, holding the
    // slot mutex; `whilestopped` runs then. Queued session i then sends `request(i)`, which
    // waits for the slot mutex; once all have arrived, `beforeopening` runs and the gate
    // opens. The replies in firstreply and replies.
    void queuebehindacommit(const std::function<void()> &whilestopped,
                            const std::function<test::Reply(int)> &request,
                            const std::function<void()> &beforeopening) {
        gate.shut = true;
        std::thread leader([&] { firstreply = first.add(slot, record(0)); });
        gate.awaitsync();
        whilestopped();
        replies.assign(kQueued, test::Reply{});
        std::vector<std::thread> threads;
        for (int i = 0; i < kQueued; ++i) threads.emplace_back([&, i] { replies[i] = request(i); });
        while (arrivingat(server.files, slot) < kQueued) std::this_thread::yield();
        beforeopening();
        gate.open();
        leader.join();
        for (auto &t : threads) t.join();
        EXPECT_EQ(firstreply.error, 0);
        EXPECT_NE(firstreply.rid, 0u);
    }
    test::Reply queuedadd(int i) { return queued[i]->add(slot, record(10 + i)); }
    std::unique_ptr<FSDATA> faultyengine() {
        auto f = test::openengine(std::make_unique<test::MemFile>(faultydata), Flavor::Library,
                                  nullptr, true);
        if (f != nullptr) {
            EXPECT_FALSE(hasfaults(checkfile(f.get()))) << describe(checkfile(f.get()));
        }
        return f;
    }

    static constexpr int kQueued = 3;
    test::TempDir dir;
    std::filesystem::path previous;
    Server server{durableconfig()};
    Session first{server.files, 1};
    std::vector<std::unique_ptr<Session>> queued;
    std::int16_t slot = -1;
    test::Reply firstreply;
    std::vector<test::Reply> replies;
};

TEST_F(GroupCommitTest, AFailedBatchFailsEveryRequestInItAndLosesNothingAcknowledged) {
    Session other(server.files, 2);
    const std::int16_t healthy = other.open("healthy.db");
    std::vector<std::uint8_t> before;
    queuebehindacommit(
        [&] { EXPECT_EQ(other.add(healthy, record(1)).error, 0); },  // other files are served
        [&](int i) { return queuedadd(i); },
        [&] {
            // The queued adds make up the next batch, whose first write fails.
            faultydata->failwriteat = faultydata->writes;
            before = faultydata->bytes;  // with the first add in it
        });
    for (const test::Reply &r : replies) {
        EXPECT_EQ(r.error, kErrBlockWrite);
        EXPECT_EQ(r.errororigin, 'L');
    }
    // The batch left no trace; the first add is there, and the file takes new adds.
    EXPECT_EQ(faultydata->bytes, before);
    const test::Reply again = queued[0]->add(slot, record(20));
    EXPECT_EQ(again.error, 0);
    EXPECT_EQ(first.call(kOpRead, slot, 0, firstreply.rid, nullptr, 0).data, record(0));
    first.call(kOpClose, slot, 0, 0, nullptr, 0);
    queued.clear();
    auto f = faultyengine();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(readback(f.get(), firstreply.rid), record(0));
    EXPECT_EQ(readback(f.get(), again.rid), record(20));
}

TEST_F(GroupCommitTest, RequestsQueuedBehindACommitShareTheNextCommit) {
    long syncs = 0;
    // Two adds and a search for the first add's record queue up.
    queuebehindacommit([&] { syncs = faultydata->syncs; },
                       [&](int i) {
                           return i == kQueued - 1
                                      ? queued[i]->call(kOpFirst, slot, 0x10, 0, nullptr, 0)
                                      : queuedadd(i);
                       },
                       [] {});
    for (const test::Reply &r : replies) EXPECT_EQ(r.error, 0);
    EXPECT_EQ(replies[kQueued - 1].rid, firstreply.rid);
    // The first commit's sync, then one for the whole batch of the queued adds.
    EXPECT_EQ(faultydata->syncs - syncs, 2);
    // A read with nothing held answers without a commit.
    EXPECT_EQ(first.call(kOpRead, slot, 0, replies[0].rid, nullptr, 0).data, record(10));
    EXPECT_EQ(faultydata->syncs - syncs, 2);
}

// A forced close that reaches the file while a batch waits writes the batch first: each
// queued add is acknowledged and in the file, or finds the file closed (480), whichever of
// the close and the batch's own commit comes first.
TEST_F(GroupCommitTest, AForcedCloseWritesTheWaitingBatchFirst) {
    Session closer(server.files, 2);
    test::Reply closed;
    std::thread forced;
    queuebehindacommit([] {}, [&](int i) { return queuedadd(i); },
                       [&] {
                           forced = std::thread([&] {
                               const char name[] = "FAULTY.DB";
                               closed = closer.call(kOpForceClose, 0, 0, 0, name, sizeof name);
                           });
                       });
    forced.join();
    EXPECT_EQ(closed.error, 0);
    auto f = faultyengine();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(readback(f.get(), firstreply.rid), record(0));
    for (int i = 0; i < kQueued; ++i) {
        if (replies[i].error == 0) {
            EXPECT_EQ(readback(f.get(), replies[i].rid), record(10 + i)) << i;
        } else {
            EXPECT_EQ(replies[i].error, kErrBadIndex) << i;
        }
    }
}

}  // namespace
}  // namespace vorn::server
