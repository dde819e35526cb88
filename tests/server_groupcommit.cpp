// Group commit in durable mode, driven through dispatch on threads of their own: requests
// queued behind a commit share the next one; when its write fails, every request of that
// batch gets the error, the request before it keeps its success, the other file is served
// throughout, and nothing acknowledged is lost.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "dispatch.h"
#include "filetable.h"
#include "fsn/check.h"
#include "fsn/records.h"
#include "groupcommit.h"
#include "operation.h"
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

// A connection without a socket: requests go straight to dispatch.
struct Session {
    SlotMutexes mutexes = openslotmutexes();
    UserId user;
    explicit Session(UserId id) : user(id) {}
    ~Session() { fscloseallforuser(mutexes, user); }

    test::Reply call(std::uint8_t op, std::int16_t slot, std::uint8_t fid, std::uint32_t rid,
                     const void *data, std::size_t len) {
        std::vector<std::uint8_t> packet(kServerReceiveBuffer);
        FS fs{};
        fs.fsdatanum = slot;
        fs.isnetwork = 1;
        fs.fid = fid;
        fs.rid = rid;
        fs.len = static_cast<std::int16_t>(len);
        packet[0] = op == kOpOpen ? 1 : 0;
        packet[1] = op;
        std::memcpy(packet.data() + 2, &fs, sizeof fs);
        if (len != 0) std::memcpy(packet.data() + kRequestHeader, data, len);
        const std::size_t size = dispatch(mutexes, user, packet.data());
        test::Reply reply;
        reply.ok = size >= kReplyHeader;
        std::memcpy(&reply.fs, packet.data() + 2, kReplyHeader);
        reply.copyfields();
        reply.data.assign(packet.begin() + 2 + kReplyHeader, packet.begin() + 2 + size);
        return reply;
    }
    std::int16_t open(const std::string &name) {
        const test::Reply r = call(kOpOpen, 0, 0, 0, name.c_str(), name.size() + 1);
        EXPECT_EQ(r.error, 0) << name;
        return r.fsdatanum;
    }
    test::Reply add(std::int16_t slot, const std::vector<std::uint8_t> &stored) {
        return call(kOpAdd, slot, 0x10, 0, stored.data(), stored.size());
    }
};

class GroupCommitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        vorninit(0, nullptr);
        durablewrites = true;
        faultydata = std::make_shared<test::MemFileData>();
        faultydata->bytes = test::newdatabasebytes(5);
        wrapdatabasefile = wrapgated;
        ASSERT_TRUE(test::makedatabasefile("healthy.db"));
        ASSERT_TRUE(test::makedatabasefile("faulty.db"));  // its journal lives on disk
    }
    void TearDown() override {
        fscloseall();
        durablewrites = false;
        wrapdatabasefile = nullptr;
        std::filesystem::current_path(previous);
    }

    test::TempDir dir;
    std::filesystem::path previous;
};

TEST_F(GroupCommitTest, AFailedBatchFailsEveryRequestInItAndLosesNothingAcknowledged) {
    constexpr int kQueued = 3;
    Session first(1), other(2);
    const std::int16_t faulty = first.open("faulty.db");
    const std::int16_t healthy = other.open("healthy.db");
    std::vector<std::unique_ptr<Session>> queued;
    for (int i = 0; i < kQueued; ++i) {
        queued.push_back(std::make_unique<Session>(10 + i));
        EXPECT_EQ(queued.back()->open("faulty.db"), faulty);
    }
    const auto record = [](int n) { return test::storedform(test::samplerecord(n, 80 + n)); };

    // The first add commits alone and stops at the gate, holding the slot mutex.
    gate.shut = true;
    test::Reply firstreply;
    std::thread leader([&] { firstreply = first.add(faulty, record(0)); });
    gate.awaitsync();
    // The other file is served meanwhile.
    const test::Reply h = other.add(healthy, record(1));
    EXPECT_EQ(h.error, 0);
    // Three adds queue for the slot mutex; they will make up the next batch, whose first
    // write fails.
    std::vector<test::Reply> replies(kQueued);
    std::vector<std::thread> threads;
    for (int i = 0; i < kQueued; ++i) {
        threads.emplace_back([&, i] { replies[i] = queued[i]->add(faulty, record(10 + i)); });
    }
    while (arrivingat(faulty) < kQueued) std::this_thread::yield();
    faultydata->failwriteat = faultydata->writes;
    const std::vector<std::uint8_t> before = faultydata->bytes;  // with the first add in it
    gate.open();
    leader.join();
    for (auto &t : threads) t.join();

    EXPECT_EQ(firstreply.error, 0);
    ASSERT_NE(firstreply.rid, 0u);
    for (const test::Reply &r : replies) {
        EXPECT_EQ(r.error, kErrBlockWrite);
        EXPECT_EQ(r.errororigin, 'L');
    }
    // The batch left no trace; the first add is there, and the file takes new adds.
    EXPECT_EQ(faultydata->bytes, before);
    const test::Reply again = queued[0]->add(faulty, record(20));
    EXPECT_EQ(again.error, 0);
    const test::Reply read = first.call(kOpRead, faulty, 0, firstreply.rid, nullptr, 0);
    EXPECT_EQ(read.error, 0);
    EXPECT_EQ(read.data, record(0));

    first.call(kOpClose, faulty, 0, 0, nullptr, 0);
    for (auto &s : queued) s->call(kOpClose, faulty, 0, 0, nullptr, 0);
    auto f = test::openengine(std::make_unique<test::MemFile>(faultydata), Flavor::Library, nullptr,
                              true);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(hasfaults(checkfile(f.get()))) << describe(checkfile(f.get()));
    for (const auto &[rid, stored] :
         {std::pair{firstreply.rid, record(0)}, std::pair{again.rid, record(20)}}) {
        std::vector<std::uint8_t> back(kBlockSize);
        Fault fault;
        const std::int16_t len = readrecord(f.get(), rid, back.data(), &fault);
        back.resize(len > 0 ? static_cast<std::size_t>(len) : 0);
        EXPECT_EQ(back, stored);
    }
}

TEST_F(GroupCommitTest, RequestsQueuedBehindACommitShareTheNextCommit) {
    constexpr int kQueued = 4;
    Session first(1);
    const std::int16_t faulty = first.open("faulty.db");
    std::vector<std::unique_ptr<Session>> queued;
    for (int i = 0; i < kQueued; ++i) {
        queued.push_back(std::make_unique<Session>(10 + i));
        queued.back()->open("faulty.db");
    }
    const auto record = [](int n) { return test::storedform(test::samplerecord(n, 90 + n)); };
    gate.shut = true;
    test::Reply firstreply;
    std::thread leader([&] { firstreply = first.add(faulty, record(0)); });
    gate.awaitsync();
    const long syncs = faultydata->syncs;
    // Three adds and a read of the first add's record queue up.
    std::vector<test::Reply> replies(kQueued);
    std::vector<std::thread> threads;
    for (int i = 0; i < kQueued; ++i) {
        threads.emplace_back([&, i] {
            Session &s = *queued[i];
            replies[i] = i == kQueued - 1 ? s.call(kOpFirst, faulty, 0x10, 0, nullptr, 0)
                                          : s.add(faulty, record(10 + i));
        });
    }
    while (arrivingat(faulty) < kQueued) std::this_thread::yield();
    gate.open();
    leader.join();
    for (auto &t : threads) t.join();
    for (const test::Reply &r : replies) EXPECT_EQ(r.error, 0);
    EXPECT_EQ(replies[kQueued - 1].rid, firstreply.rid);
    // The first commit's sync, then one for the whole batch of the queued adds.
    EXPECT_EQ(faultydata->syncs - syncs, 2);
    // A read with nothing held answers without a commit.
    const test::Reply read = first.call(kOpRead, faulty, 0, replies[0].rid, nullptr, 0);
    EXPECT_EQ(read.data, record(10));
    EXPECT_EQ(faultydata->syncs - syncs, 2);
}

// A forced close that reaches the file while a batch waits writes the batch first: each
// queued add is acknowledged and in the file, or finds the file closed (480), whichever of
// the close and the batch's own commit comes first.
TEST_F(GroupCommitTest, AForcedCloseWritesTheWaitingBatchFirst) {
    constexpr int kQueued = 3;
    Session first(1), closer(2);
    const std::int16_t faulty = first.open("faulty.db");
    std::vector<std::unique_ptr<Session>> queued;
    for (int i = 0; i < kQueued; ++i) {
        queued.push_back(std::make_unique<Session>(10 + i));
        queued.back()->open("faulty.db");
    }
    const auto record = [](int n) { return test::storedform(test::samplerecord(n, 70 + n)); };
    gate.shut = true;
    test::Reply firstreply;
    std::thread leader([&] { firstreply = first.add(faulty, record(0)); });
    gate.awaitsync();
    std::vector<test::Reply> replies(kQueued);
    std::vector<std::thread> threads;
    for (int i = 0; i < kQueued; ++i) {
        threads.emplace_back([&, i] { replies[i] = queued[i]->add(faulty, record(10 + i)); });
    }
    while (arrivingat(faulty) < kQueued) std::this_thread::yield();
    test::Reply closed;
    std::thread forced([&] {
        const char name[] = "FAULTY.DB";
        closed = closer.call(kOpForceClose, 0, 0, 0, name, sizeof name);
    });
    gate.open();
    leader.join();
    forced.join();
    for (auto &t : threads) t.join();
    EXPECT_EQ(firstreply.error, 0);
    EXPECT_EQ(closed.error, 0);
    auto f = test::openengine(std::make_unique<test::MemFile>(faultydata), Flavor::Library, nullptr,
                              true);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(hasfaults(checkfile(f.get()))) << describe(checkfile(f.get()));
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> acked = {
        {firstreply.rid, record(0)}};
    for (int i = 0; i < kQueued; ++i) {
        if (replies[i].error == 0) {
            acked.emplace_back(replies[i].rid, record(10 + i));
        } else {
            EXPECT_EQ(replies[i].error, kErrBadIndex);
        }
    }
    for (const auto &[rid, stored] : acked) {
        std::vector<std::uint8_t> back(kBlockSize);
        Fault fault;
        const std::int16_t len = readrecord(f.get(), rid, back.data(), &fault);
        back.resize(len > 0 ? static_cast<std::size_t>(len) : 0);
        EXPECT_EQ(back, stored) << "rid " << rid;
    }
}

}  // namespace
}  // namespace vorn::server
