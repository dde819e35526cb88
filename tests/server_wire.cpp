// The server's TCP face with hand-built packets: framing, reply sizes, requests that get no
// reply, and hostile input. After each hostile request the server still serves another
// connection and the database file passes the integrity checker.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "server_harness.h"

namespace vorn::test {
namespace {

class Wire : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(makedatabasefile(dir.file("data.db")));
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(client.connect(server.port()));
        const Reply opened = client.open("data.db");
        ASSERT_TRUE(opened.ok);
        ASSERT_EQ(opened.error, 0);
        slot = opened.fsdatanum;
    }

    // Adds a record through `c` and returns its rid.
    std::uint32_t add(RawClient &c, unsigned seed, std::size_t len = 40) {
        const auto stored = storedform(samplerecord(seed, len));
        const Reply r = c.onfile(kOpAdd, slot, 0x10, 0, stored.data(), stored.size());
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.error, 0);
        return r.rid;
    }

    // Another connection is served and the file on disk passes the checker.
    void expecthealthy() {
        RawClient other(server.port());
        const Reply opened = other.open("data.db");
        ASSERT_TRUE(opened.ok) << "another connection is not served";
        EXPECT_EQ(opened.error, 0);
        EXPECT_NE(add(other, 9), 0u);
        std::string why;
        EXPECT_TRUE(passescheck(dir.file("data.db"), &why)) << why;
    }

    TempDir dir;
    ServerProcess server{dir.path()};
    RawClient client;
    std::int16_t slot = -1;
};

TEST_F(Wire, ARequestWithoutDataIsAnsweredWithExactlyTheBlock) {
    FS fs{};
    fs.fsdatanum = slot;
    fs.rid = 0xA1B2C3D4;
    fs.sequence = 7;
    fs.totalpackets = 9;
    fs.socket = 0x1234;
    fs.error = 12345;  // not interpreted: the server clears it
    const auto bytes = RawClient::packet(kOpGetBusinessDate, fs);
    ASSERT_EQ(bytes.size(), 21u);
    ASSERT_TRUE(client.sendbytes(bytes.data(), bytes.size()));
    const Reply r = client.receive();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.data.size(), 0u);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.rid, 0u);  // the business date of a new file
    EXPECT_EQ(r.sequence, 7);
    EXPECT_EQ(r.totalpackets, 9);
    EXPECT_EQ(r.socket, 0x1234);
    EXPECT_EQ(r.fsdatanum, slot);
    EXPECT_TRUE(client.silent(100)) << "more than 19 bytes came back";
}

TEST_F(Wire, LocalTimeComesBackAsEighteenBytesWithoutAFile) {
    FS fs{};
    fs.fsdatanum = 1234;  // ignored
    std::uint8_t zeros[18] = {};
    const Reply r = client.call(kOpGetLocalTime, fs, zeros, sizeof zeros);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.len, 18);
    ASSERT_EQ(r.data.size(), 18u);
    DOSTM t;
    std::memcpy(&t, r.data.data(), sizeof t);
    EXPECT_GE(t.tm_year, 120);
    EXPECT_LE(t.tm_mon, 11);
    EXPECT_GE(t.tm_mday, 1);
    EXPECT_LE(t.tm_hour, 23);
}

TEST_F(Wire, ARequestDeliveredOneByteAtATimeIsServedLikeAWholeOne) {
    const auto stored = storedform(samplerecord(3, 60));
    FS fs{};
    fs.fsdatanum = slot;
    fs.fid = 0x10;
    const auto bytes = RawClient::packet(kOpAdd, fs, stored.data(), stored.size());
    for (std::uint8_t b : bytes) {
        ASSERT_TRUE(client.sendbytes(&b, 1));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const Reply added = client.receive();
    ASSERT_TRUE(added.ok);
    ASSERT_EQ(added.error, 0);
    const Reply read = client.onfile(kOpRead, slot, 0, added.rid);
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.data, stored);
}

TEST_F(Wire, TwoRequestsSentTogetherGetTwoReplies) {
    FS fs{};
    fs.fsdatanum = slot;
    fs.rid = 77;
    auto bytes = RawClient::packet(kOpStoreBusinessDate, fs);
    const auto second = RawClient::packet(kOpGetBusinessDate, fs);
    bytes.insert(bytes.end(), second.begin(), second.end());
    ASSERT_TRUE(client.sendbytes(bytes.data(), bytes.size()));
    const Reply stored = client.receive();
    const Reply got = client.receive();
    ASSERT_TRUE(stored.ok && got.ok);
    EXPECT_EQ(got.rid, 77u);
}

TEST_F(Wire, RequestsThatNameNoOperationGetNoReplyAndTheConnectionStays) {
    FS fs{};
    fs.fsdatanum = slot;
    for (int op : {0, 1, 15, 32, 41, 48, 56, 64, 67, 80, 82, 200, 255}) {
        const auto bytes = RawClient::packet(static_cast<std::uint8_t>(op), fs);
        ASSERT_TRUE(client.sendbytes(bytes.data(), bytes.size()));
        EXPECT_TRUE(client.silent(100)) << "opcode " << op;
    }
    for (std::uint8_t call0 : {2, 3, 255}) {
        const auto bytes = RawClient::packet(kOpGetBusinessDate, fs, nullptr, 0, call0);
        ASSERT_TRUE(client.sendbytes(bytes.data(), bytes.size()));
        EXPECT_TRUE(client.silent(100)) << "call[0] " << int{call0};
    }
    const Reply r = client.onfile(kOpGetBusinessDate, slot);
    ASSERT_TRUE(r.ok) << "the next well-formed request must be answered";
    EXPECT_EQ(r.error, 0);
}

TEST_F(Wire, AHeaderLengthOutsideThePacketClosesTheConnection) {
    for (std::int16_t len :
         {std::int16_t{-1}, std::int16_t{-32768}, std::int16_t{1025}, std::int16_t{32767}}) {
        RawClient c(server.port());
        FS fs{};
        fs.fsdatanum = slot;
        auto bytes = RawClient::packet(kOpRead, fs);
        std::memcpy(bytes.data() + 2 + offsetof(FS, len), &len, sizeof len);
        ASSERT_TRUE(c.sendbytes(bytes.data(), bytes.size()));
        EXPECT_TRUE(c.closedbypeer()) << "len " << len;
    }
    expecthealthy();
}

TEST_F(Wire, GarbageAndTruncatedPacketsHarmNeitherTheServerNorTheFile) {
    std::mt19937 random(42);
    for (int round = 0; round < 20; ++round) {
        RawClient c(server.port());
        std::vector<std::uint8_t> junk(1 + random() % 3000);
        for (auto &b : junk) b = static_cast<std::uint8_t>(random());
        junk[0] = static_cast<std::uint8_t>(random() % 2);  // mostly well-formed call bytes
        junk[1] = static_cast<std::uint8_t>(16 + random() % 66);
        c.sendbytes(junk.data(), junk.size());
        // Whatever comes back, the connection is closed abruptly half way through. The pause
        // keeps the listen queue (5 deep) from overflowing, which would only slow the test.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        RawClient c(server.port());
        FS fs{};
        fs.fsdatanum = slot;
        fs.fid = 0x10;
        const auto stored = storedform(samplerecord(1, 200));
        const auto bytes = RawClient::packet(kOpAdd, fs, stored.data(), stored.size());
        c.sendbytes(bytes.data(), bytes.size() / 2);  // truncated, then closed
    }
    expecthealthy();
}

struct BadField {
    const char *what;
    std::uint8_t op;
    std::int16_t slotdelta;  // added to the valid slot; 1000 means "use slot 100", -1000 "-1"
    std::uint8_t fid;
    std::uint32_t rid;
    int len;  // data bytes sent (content: zeros or a stored record)
    std::int32_t code;
    const char *message;  // expected in the event log ("" for none)
};

TEST_F(Wire, EveryOutOfRangeFieldIsRefusedWithTheHandlersCode) {
    const std::uint32_t rid = add(client, 1);
    const BadField cases[] = {
        {"index 100", kOpAdd, 1000, 0x10, 0, 20, kErrBadIndex, "fsadd - invalid index."},
        {"index -1", kOpRead, -1000, 0, rid, 0, kErrBadIndex, "fsread - invalid index."},
        {"free slot", kOpFirst, 1, 0x10, 0, 0, kErrBadIndex, "fsfirst - invalid index."},
        {"lock index", kOpLock, 1000, 0, 0, 4, kErrBadIndex, "fslock - invalid index."},
        {"unlockrid index", kOpUnlockRid, 1000, 0, 0, 4, kErrBadIndex, "fsunlock - invalid index."},
        {"cannumber index", kOpGetCanNumber, 1000, 0, 0, 2, kErrBadIndex,
         "fsgetcannumber - invalid index."},
        {"close index", kOpClose, 1000, 0, 0, 0, kErrBadIndex, "fsclose - invalid file index."},
        {"closetemp index", kOpCloseTemp, -1000, 0, 0, 0, kErrBadIndex,
         "fsclosetemp - invalid index."},
        {"add sub-file 0", kOpAdd, 0, 0x05, 0, 20, kErrBadIndex, "fsadd - invalid sub-file"},
        {"first sub-file 0", kOpFirst, 0, 0x00, 0, 0, kErrBadIndex, "fsfirst - invalid sub-file"},
        {"addkey sub-file 0", kOpAddKey, 0, 0x0F, rid, 3, kErrBadIndex,
         "fsaddkey - invalid sub-file"},
        {"findkey sub-file 0", kOpFindKey, 0, 0x00, 0, 3, kErrBadIndex,
         "fsfindkey - invalid sub-file"},
        {"read rid sub-file 0", kOpRead, 0, 0, rid & 0x0FFFFFFF, 0, kErrRidNoBlock,
         "fsread - invalid rid"},
        {"delete rid sub-file 0", kOpDelete, 0, 0, 1, 0, kErrRidNoBlock, "fsdelete - invalid rid"},
        {"write rid sub-file 0", kOpWrite, 0, 0, 5, 20, kErrRidNoBlock, "fswrite - invalid rid"},
        {"next rid sub-file 0", kOpNext, 0, 0, 5, 0, kErrRidNoBlock, "fsnext - invalid rid"},
        {"add empty record", kOpAdd, 0, 0x10, 0, 0, kErrAddToBlock,
         "fsadd - invalid record length"},
        {"add record too long", kOpAdd, 0, 0x10, 0, 1009, kErrAddToBlock,
         "fsadd - invalid record length 1009"},
        {"write record too long", kOpWrite, 0, 0, rid, 1024, kErrAddToBlock,
         "fswrite - invalid record length"},
        {"key too long", kOpAddKey, 0, 0x10, rid, 196, kErrKey, ""},
        {"search key too long", kOpFindKey, 0, 0x10, 0, 500, kErrKey,
         "fsfindkey - invalid key length"},
        {"exclusive without allowreads", kOpExclusiveLock, 0, 0, 0, 1, kErrBadIndex,
         "fsexclusivelock - invalid request length 1"},
        {"unlockrid without rid", kOpUnlockRid, 0, 0, 0, 3, kErrBadIndex,
         "fsunlockrid - invalid request length 3"},
        {"islocked without rid", kOpIsLocked, 0, 0, 0, 0, kErrBadIndex,
         "fsislocked - invalid request length 0"},
        {"cannumber without increment", kOpGetCanNumber, 0, 0, 0, 0, kErrBadIndex,
         "fsgetcannumber - invalid request length 0"},
        {"rid out of the file", kOpRead, 0, 0, 0x10FFFFFF, 0, kErrRidNoBlock, ""},
        {"delete rid never used", kOpDelete, 0, 0, 0x100000F0, 0, kErrRidNoBlock, ""},
    };
    std::vector<std::uint8_t> data(1100, 0);
    for (const BadField &c : cases) {
        std::int16_t s = static_cast<std::int16_t>(slot + c.slotdelta);
        if (c.slotdelta == 1000) s = 100;
        if (c.slotdelta == -1000) s = -1;
        const Reply r =
            client.onfile(c.op, s, c.fid, c.rid, data.data(), static_cast<std::size_t>(c.len));
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(r.errororigin, 'L') << c.what;
        if (c.message[0] != '\0') {
            EXPECT_EQ(r.error, c.code) << c.what;
        } else {
            EXPECT_NE(r.error, 0) << c.what;
        }
        EXPECT_EQ(r.len, 0) << c.what;
        EXPECT_EQ(r.data.size(), 0u) << c.what;
    }
    const std::string log = server.eventlog();
    // One line per report: its type, category and identifier, then "%c - %ld\r\n%s" filled
    // in, with the line breaks flattened.
    EXPECT_NE(log.find(" error category 0 id 0xC0000102: L - 480 fsadd - invalid index.\n"),
              std::string::npos)
        << log;
    for (const BadField &c : cases) {
        EXPECT_NE(log.find(c.message), std::string::npos) << c.what << ": " << c.message;
    }
    EXPECT_EQ(log.find("fsaddkey - invalid key length"), std::string::npos)
        << "a key that can't be added is an answer";
    // The record added before is intact.
    const Reply read = client.onfile(kOpRead, slot, 0, rid);
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.data, storedform(samplerecord(1, 40)));
    expecthealthy();
}

TEST_F(Wire, KeySearchesAnswerWithTheEntryFoundAndItsValue) {
    const std::uint32_t r1 = add(client, 1), r2 = add(client, 2), r3 = add(client, 3);
    for (auto [value, rid] : {std::pair{"A", r1}, std::pair{"B", r2}, std::pair{"C", r3}}) {
        const Reply r = client.onfile(kOpAddKey, slot, 0x12, rid, value, 1);
        ASSERT_EQ(r.error, 0);
        ASSERT_EQ(r.len, 0);
    }
    const auto search = [&](std::uint8_t op, std::uint32_t rid, const std::string &value) {
        return client.onfile(op, slot, 0x12, rid, value.data(), value.size());
    };
    struct Case {
        std::uint8_t op;
        std::uint32_t rid;
        std::string value;
        std::uint32_t want;
        std::string found;
    };
    const Case cases[] = {
        {kOpFirstKey, 0, "", r1, "A"},  {kOpFindKey, 0, "B", r2, "B"},
        {kOpLastKey, 0, "C", r2, "B"},  {kOpLastKey, 0, "D", r3, "C"},
        {kOpNextKey, r1, "A", r2, "B"}, {kOpPrevKey, r2, "B", r1, "A"},
        {kOpNextKey, r3, "C", 0, ""},
    };
    for (const Case &c : cases) {
        const Reply r = search(c.op, c.rid, c.value);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.error, 0) << int{c.op} << " " << c.value;
        EXPECT_EQ(r.rid, c.want) << int{c.op} << " " << c.value;
        EXPECT_EQ(std::string(r.data.begin(), r.data.end()), c.found) << int{c.op};
        EXPECT_EQ(r.len, static_cast<std::int16_t>(c.found.size()));
    }
    // A duplicate where the index admits none is refused with 484, and not logged.
    const Reply dup = client.onfile(kOpAddKey, slot, 0x12, r3, "A", 1);
    EXPECT_EQ(dup.error, kErrKey);
    EXPECT_EQ(server.eventlog().find("L - 484"), std::string::npos);
    const Reply gone = client.onfile(kOpDeleteKey, slot, 0x12, r3, "Z", 1);
    EXPECT_EQ(gone.error, kErrKey);
    EXPECT_NE(server.eventlog().find("fsdeletekey - error deleting key."), std::string::npos);
}

TEST_F(Wire, ControlValuesAnswerInTheRidAndReachTheFileAtOnce) {
    const std::int16_t increment = 1;
    FS fs{};
    fs.fsdatanum = slot;
    fs.rid = 0xFFFF0000u + 30000;
    ASSERT_EQ(client.call(kOpStoreCanNumber, fs).error, 0);
    const Reply rolled = client.onfile(kOpGetCanNumber, slot, 0, 0, &increment, 2);
    EXPECT_EQ(rolled.rid, 0u) << "high 0xFFFF, low 30000 rolls over to 0, 0";
    const Reply counted = client.onfile(kOpGetCanNumber, slot, 0, 0, &increment, 2);
    EXPECT_EQ(counted.rid, 1u);
    fs.rid = 5;
    ASSERT_EQ(client.call(kOpSetAppStat, fs).error, 0);
    EXPECT_EQ(client.onfile(kOpGetAppStat, slot).rid, 0xFFFFFFFFu);
    // The increment without rollover and the status flag are written through too.
    auto engine = openenginepath(dir.file("data.db"), Flavor::Library, nullptr, true);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(+engine->fscb.cannumber[0], 1);
    EXPECT_EQ(+engine->fscb.cannumber[1], 0);
    EXPECT_EQ(+engine->fscb.appstat, 1);
    fs.rid = 0;
    ASSERT_EQ(client.call(kOpSetAppStat, fs).error, 0);
    EXPECT_EQ(client.onfile(kOpGetAppStat, slot).rid, 0u);
}

TEST_F(Wire, ClosingAnOrdinaryFileAsTemporaryIsRefusedAndDeletesNothing) {
    // The header of a file names the path of its last local open; it must not be deleted.
    ASSERT_TRUE(makedatabasefile(dir.file("victim.db")));
    const Reply r = client.onfile(kOpCloseTemp, slot);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.error, kErrBadIndex);
    EXPECT_FALSE(readwholefile(dir.file("data.db")).empty());
    EXPECT_FALSE(readwholefile(dir.file("victim.db")).empty());
    EXPECT_EQ(client.onfile(kOpGetBusinessDate, slot).error, 0) << "the file stays open";
}

TEST_F(Wire, TemporaryDatabasesAreCreatedAndDeletedInTheWorkingDirectory) {
    const Reply opened = client.onfile(kOpOpenTemp, 0);
    ASSERT_TRUE(opened.ok);
    ASSERT_EQ(opened.error, 0);
    EXPECT_EQ(opened.isnetwork, 1);
    const std::int16_t temp = opened.fsdatanum;
    EXPECT_NE(temp, slot);
    const auto stored = storedform(samplerecord(5, 100));
    const Reply added = client.onfile(kOpAdd, temp, 0x20, 0, stored.data(), stored.size());
    ASSERT_EQ(added.error, 0);
    EXPECT_EQ(added.rid >> 24, 0x20u);
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= 12 && name.find(".tmp") != std::string::npos) ++files;
    }
    EXPECT_EQ(files, 1);
    // Opening the temporary file by its name never gives it a second slot: it has no banner.
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.find(".tmp") == std::string::npos) continue;
        const Reply again = client.open(name);
        EXPECT_EQ(again.error, kErrBadHeader) << name;
    }
    const Reply closed = client.onfile(kOpCloseTemp, temp);
    EXPECT_EQ(closed.error, 0);
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    }
}

TEST_F(Wire, StopWritesEveryOpenFileAndExitsWithZero) {
    const std::uint32_t rid = add(client, 4, 300);
    EXPECT_EQ(server.stop(), 0);
    auto engine = openenginepath(dir.file("data.db"), Flavor::Library, nullptr, true);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(+engine->fscb.f[0].frid, rid);
    std::string why;
    EXPECT_TRUE(passescheck(dir.file("data.db"), &why)) << why;
}

}  // namespace
}  // namespace vorn::test
