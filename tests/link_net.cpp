// The client transport against a scripted peer on loopback: instances, framing, replies in
// pieces and at the size limits, broken connections and what the client log gains.
#include <array>

#include "link_peer.h"
#include "vorn/compress.h"

namespace vorn::test {
namespace {

using link::lserrno;

class LinkNet : public LinkTest {
  protected:
    // Connects an instance to the peer and opens a network database on it (server index 7).
    ::FS *opendb(ScriptedPeer &peer, char *instance) {
        *instance = fsinit(peer.address().c_str());
        EXPECT_GE(*instance, 0);
        peer.respond(
            [](const Request &req) { return answer(req, {}, [](FS &fs) { fs.fsdatanum = 7; }); });
        ::FS *fs = fsopen(*instance, "db.vrn", 0, 0);
        EXPECT_NE(fs, nullptr);
        peer.respond(nullptr);
        peer.clear();
        return fs;
    }
};

// A port on loopback where nothing listens.
std::uint16_t deadport() {
    platform::Socket s = platform::tcpsocket();
    std::uint32_t addr = 0;
    std::uint16_t unused = 0;
    platform::parseaddress("127.0.0.1", &addr, &unused);
    platform::tcpbind(s, addr, 0);
    const std::uint16_t port = platform::boundport(s);
    platform::closesocket(s);
    return port;
}

TEST_F(LinkNet, InstancesAreClaimedLowestFirstAndTheThirteenthIsRefused) {
    for (int n = 0; n < link::kInstances; ++n) EXPECT_EQ(fsinit(nullptr), n);
    EXPECT_EQ(fsinit(""), -1);
    EXPECT_EQ(closefs(5), 1);
    EXPECT_EQ(fsinit(""), 5);
    EXPECT_EQ(closefs(12), 0) << "no such instance";
    EXPECT_EQ(closefs(-1), 0);
    EXPECT_EQ(getnwloginname(0), nullptr);
    EXPECT_EQ(checkforshare(nullptr), 1);
    EXPECT_EQ(checkforshare("any"), 1);
}

TEST_F(LinkNet, ConnectionRefusedReturnsMinusFourLogsAndReleasesTheInstance) {
    const std::string address = "127.0.0.1:" + std::to_string(deadport());
    EXPECT_EQ(fsinit(address.c_str()), -4);
    EXPECT_EQ(clientlog(), "ERROR: netinit connect unsuccessful\r\n");
    EXPECT_EQ(link::instanceinuse[0], 0);
    EXPECT_EQ(link::vars[0], nullptr);
    EXPECT_EQ(fsinit(nullptr), 0) << "the failed instance was released";
}

TEST_F(LinkNet, TextThatIsNoAddressReturnsMinusFour) {
    for (const char *text : {"localhost", "127.0.0.1:99999", "127.0.0.1:", "1.2.3.256",
                             "255.255.255.255:2000-and-much-more-text"}) {
        EXPECT_EQ(fsinit(text), -4) << text;
    }
    EXPECT_EQ(fsinit(nullptr), 0);
}

TEST(DottedAddress, TheClassicFormsConvertAndAnythingElseIsRefused) {
    const auto dotted = [](const char *text) -> std::string {
        std::uint32_t addr = 0;
        if (!platform::parseipv4(text, &addr)) return "refused";
        const auto *b = reinterpret_cast<const unsigned char *>(&addr);  // network order
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) +
               "." + std::to_string(b[3]);
    };
    for (const char *text : {"127.0.0.1", "127.1", "0x7f.1", "0177.0.0.01", "2130706433"}) {
        EXPECT_EQ(dotted(text), "127.0.0.1") << text;
    }
    EXPECT_EQ(dotted("10.1.2"), "10.1.0.2");
    EXPECT_EQ(dotted("1.2.65535"), "1.2.255.255");
    EXPECT_EQ(dotted("00.0XFF.65535"), "0.255.255.255");
    for (const char *text : {"", "256.0.0.1", "1.2.3.256", "1.2.65536", "1.16777216", "4294967296",
                             "1.2.3.4.5", "1..2", "1.", ".1", "08", "0x", "0xg", "1.2.3.4 ",
                             " 1.2.3.4", "+1", "-1", "1.2.3.4x", "99999999999999999999"}) {
        EXPECT_EQ(dotted(text), "refused") << '"' << text << '"';
    }
    std::uint32_t addr = 0;
    std::uint16_t port = 0;
    EXPECT_TRUE(platform::parseaddress("127.1:2001", &addr, &port) && port == 2001);
    for (const char *text : {"127.1:", "127.1:0", "127.1:65536", "127.1:20x", "127.1:+5"}) {
        EXPECT_FALSE(platform::parseaddress(text, &addr, &port)) << text;
    }
}

TEST_F(LinkNet, ALocalOnlyInstanceFailsForwardedCallsAsABrokenConnection) {
    const char instance = fsinit(nullptr);
    ASSERT_EQ(instance, 0);
    EXPECT_EQ(fsopen(instance, "x", 0, 0), nullptr);
    EXPECT_EQ(clientlog(), "Connection terminated - numsnt -1 != size 23.\r\n");
    std::tm t{};
    EXPECT_EQ(fsgetlocaltime(instance, &t), 0);
    EXPECT_EQ(fsforceclose(instance, "x"), 0);
    ::FS *temp = fsopentemp(instance);
    ASSERT_NE(temp, nullptr) << "local databases work";
    fsclosetemp(instance, temp);
}

TEST_F(LinkNet, OpenSendsTheNameWithCallZeroSetAndKeepsTheServersIndex) {
    ScriptedPeer peer(
        [](const Request &req) { return answer(req, {}, [](FS &fs) { fs.fsdatanum = 42; }); });
    const char instance = fsinit(peer.address().c_str());
    ASSERT_EQ(instance, 0);
    ::FS *fs = fsopen(instance, "abcdefghijk", 1, 0);
    ASSERT_NE(fs, nullptr);
    const Request req = peer.last();
    EXPECT_EQ(req.size, 33u);
    EXPECT_EQ(req.call0, 1);
    EXPECT_EQ(req.call1, kOpOpen);
    EXPECT_EQ(+req.fs.len, 12);
    EXPECT_EQ(std::string(req.data.begin(), req.data.end()), std::string("abcdefghijk", 12));
    EXPECT_EQ(+fs->fsdatanum, 42);
    EXPECT_EQ(fs->isnetwork, 1);
    fsclose(instance, fs);
    EXPECT_EQ(peer.last().call1, kOpClose);
    EXPECT_EQ(peer.last().size, 21u);
    EXPECT_EQ(+peer.last().fs.fsdatanum, 42);
}

TEST_F(LinkNet, ANameTooLongToSendIsRefusedBeforeAnythingIsSent) {
    ScriptedPeer peer;
    char instance;
    opendb(peer, &instance);
    const std::string name(129, 'n');
    EXPECT_EQ(fsopen(instance, name.c_str(), 0, 0), nullptr);
    EXPECT_EQ(lserrno, 3);
    EXPECT_EQ(fsforceclose(instance, name.c_str()), 0);
    EXPECT_EQ(fsopen(instance, nullptr, 0, 0), nullptr);
    EXPECT_TRUE(peer.requests().empty());
    const std::string longest(128, 'n');
    EXPECT_NE(fsopen(instance, longest.c_str(), 0, 0), nullptr);
    EXPECT_EQ(+peer.last().fs.len, 129);
}

TEST_F(LinkNet, ServerFailuresSetTheLastErrorOnlyWithOriginL) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    peer.respond([](const Request &req) { return refuse(req, 0x00AB01D7); });
    EXPECT_EQ(fsadd(instance, fs, "abc", 3, 0x10), 0u);
    EXPECT_EQ(lserrno, 0x01D7) << "the low 16 bits";
    EXPECT_EQ(+fs->error, 0x00AB01D7) << "the block holds the reply";
    peer.respond([](const Request &req) {
        return answer(req, {}, [](FS &f) {
            f.errororigin = 'X';
            f.error = 471;
        });
    });
    EXPECT_EQ(fsadd(instance, fs, "abc", 3, 0x10), 0u);
    EXPECT_EQ(lserrno, 0);
    peer.respond(
        [](const Request &req) { return answer(req, {}, [](FS &f) { f.rid = 0x10000009; }); });
    EXPECT_EQ(fsadd(instance, fs, "abc", 3, 0x10), 0x10000009u);
    EXPECT_EQ(lserrno, 0);
}

TEST_F(LinkNet, AReplyInPiecesIsAssembledLikeAWholeOne) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    std::array<std::uint8_t, 300> record;
    for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i * 7);
    std::uint8_t stored[1024];
    const int slen = compress(stored, sizeof stored, record.data(), record.size());
    ASSERT_GT(slen, 0);
    for (bool inpieces : {false, true}) {
        peer.respond([&](const Request &req) {
            Reply r = answer(req, std::vector<std::uint8_t>(stored, stored + slen));
            if (inpieces) r.pieces = {7, 12, 100};
            return r;
        });
        std::array<std::uint8_t, 400> out{};
        EXPECT_EQ(fsread(instance, fs, 0x10000001, out.data()), 300) << inpieces;
        EXPECT_EQ(std::memcmp(out.data(), record.data(), record.size()), 0);
        EXPECT_EQ(out[300], 0) << "nothing past the record is written";
        EXPECT_EQ(+fs->len, slen);
    }
}

TEST_F(LinkNet, ReadRepliesUpToTheLargestStoredFormArriveWhole) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    // Incompressible records of 1005..1007 bytes: stored forms of 1006..1008 bytes.
    for (int len : {1004, 1005, 1006, 1007}) {
        std::vector<std::uint8_t> record(static_cast<std::size_t>(len));
        for (int i = 0; i < len; ++i) record[i] = static_cast<std::uint8_t>(i * 131 + i / 7);
        std::uint8_t stored[1024];
        const int slen = compress(stored, sizeof stored, record.data(), len);
        ASSERT_EQ(slen, len + 1);
        peer.respond([&](const Request &req) {
            return answer(req, std::vector<std::uint8_t>(stored, stored + slen));
        });
        std::vector<std::uint8_t> out(1100);
        EXPECT_EQ(fsread(instance, fs, 0x10000001, out.data()), len);
        EXPECT_EQ(std::memcmp(out.data(), record.data(), record.size()), 0);
    }
    EXPECT_EQ(clientlog(), "");
}

TEST_F(LinkNet, AReplyLongerThanTheCallCanTakeFailsButKeepsTheConnection) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    // 1009 and 1024 bytes are more than any stored record; 4 bytes more than an unlock has.
    for (std::size_t n : {1009u, 1024u}) {
        peer.respond(
            [n](const Request &req) { return answer(req, std::vector<std::uint8_t>(n, 0)); });
        std::vector<std::uint8_t> out(2048, 0xEE);
        const ::FS before = *fs;
        EXPECT_EQ(fsread(instance, fs, 0x10000001, out.data()), 0);
        EXPECT_EQ(out[0], 0xEE);
        EXPECT_EQ(+fs->rid, 0x10000001u) << "the request's fields stay";
        EXPECT_EQ(fs->isnetwork, before.isnetwork);
    }
    peer.respond([](const Request &req) { return answer(req, {1, 2, 3, 4}); });
    EXPECT_EQ(fsunlock(instance, fs), 0);
    peer.respond(nullptr);
    EXPECT_EQ(fsunlock(instance, fs), 1) << "the connection is still usable";
}

TEST_F(LinkNet, ReplyDataThatDoesNotUncompressFailsCleanly) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    // A run packet missing its byte, and a run that expands past 32767 bytes.
    std::vector<std::uint8_t> truncated = {0x05, 'a', 'b'};
    std::vector<std::uint8_t> huge;
    for (int i = 0; i < 300; ++i) huge.insert(huge.end(), {0x80, 'z'});
    for (const auto &stored : {truncated, huge, std::vector<std::uint8_t>{}}) {
        peer.respond([&](const Request &req) { return answer(req, stored); });
        std::vector<std::uint8_t> out(40000, 0xEE);
        EXPECT_EQ(fsread(instance, fs, 0x10000001, out.data()), 0);
        EXPECT_EQ(out[0], 0xEE);
    }
}

TEST_F(LinkNet, AReplyWithAnImpossibleLengthBreaksTheConnection) {
    for (std::int16_t len : {std::int16_t{1025}, std::int16_t{-1}}) {
        ScriptedPeer peer;
        char instance;
        ::FS *fs = opendb(peer, &instance);
        peer.respond(
            [len](const Request &req) { return answer(req, {}, [len](FS &f) { f.len = len; }); });
        std::vector<std::uint8_t> out(2048);
        EXPECT_EQ(fsread(instance, fs, 0x10000001, out.data()), 0);
        EXPECT_NE(clientlog().find("Connection terminated - reply len " + std::to_string(len) +
                                   " invalid.\r\n"),
                  std::string::npos);
        EXPECT_EQ(fsunlock(instance, fs), 0);
        EXPECT_EQ(link::vars[static_cast<int>(instance)]->destSocket, platform::kNoSocket);
        closefs(instance);
        std::filesystem::remove(clientlogfile());
    }
}

TEST_F(LinkNet, APeerClosingMidReplyBreaksTheInstanceForGood) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    peer.respond([](const Request &req) {
        Reply r = answer(req, {}, [](FS &f) { f.rid = 99; });
        r.bytes.resize(10);
        r.closeafter = true;
        return r;
    });
    fs->rid = 5;
    EXPECT_EQ(fsgetbusinessdate(instance, fs), 0u);
    EXPECT_EQ(+fs->rid, 5u) << "a failed exchange leaves the block as it was";
    EXPECT_EQ(clientlog(), "Connection terminated - numrcv == 0 or SOCKET ERROR.\r\n");
    // The socket layer this instance started was stopped once, and only once.
    EXPECT_FALSE(link::vars[static_cast<int>(instance)]->started);
    std::filesystem::remove(clientlogfile());
    EXPECT_EQ(fsunlock(instance, fs), 0);
    EXPECT_EQ(fsadd(instance, fs, "abcd", 4, 0x10), 0u);
    EXPECT_EQ(clientlog(),
              "Connection terminated - numsnt -1 != size 21.\r\n"
              "Connection terminated - numsnt -1 != size 26.\r\n");
    EXPECT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(closefs(instance), 1);
    EXPECT_EQ(link::vars[static_cast<int>(instance)], nullptr);
}

TEST_F(LinkNet, ABrokenInstanceLeavesTheOthersWorking) {
    ScriptedPeer first, second;
    char a, b;
    ::FS *fa = opendb(first, &a);
    ::FS *fb = opendb(second, &b);
    first.respond([](const Request &) { return Reply{{}, {}, true}; });
    EXPECT_EQ(fsunlock(a, fa), 0);
    EXPECT_EQ(fsunlock(b, fb), 1);
    EXPECT_EQ(closefs(a), 1);
    EXPECT_EQ(fsunlock(b, fb), 1);
}

TEST_F(LinkNet, ExclusiveLockAsksAgainWhileAnotherUserHoldsTheFile) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    int refusals = 0;
    peer.respond([&](const Request &req) {
        if (refusals < 3) return refuse(req, refusals++ == 1 ? kErrLockedAlt : kErrLocked);
        return answer(req);
    });
    fs->rid = 0x77;
    EXPECT_EQ(fsexclusivelock(instance, fs, 1), 1);
    EXPECT_EQ(lserrno, 0);
    const auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), 4u);
    for (const Request &req : reqs) {
        EXPECT_EQ(req.call1, kOpExclusiveLock);
        EXPECT_EQ(+req.fs.len, 2);
        EXPECT_EQ(+req.fs.rid, 0u);
        EXPECT_EQ(req.data, (std::vector<std::uint8_t>{1, 0}));
    }
    peer.clear();
    peer.respond([](const Request &req) { return refuse(req, kErrLockTable); });
    EXPECT_EQ(fsexclusivelock(instance, fs, 0), 0);
    EXPECT_EQ(lserrno, kErrLockTable);
    EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(LinkNet, ExclusiveLockStopsWhenTheConnectionBreaks) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    int calls = 0;
    peer.respond([&](const Request &req) {
        if (++calls == 2) return Reply{{}, {}, true};
        return refuse(req, kErrLocked);
    });
    EXPECT_EQ(fsexclusivelock(instance, fs, 0), 0);
    EXPECT_EQ(calls, 2);
}

TEST_F(LinkNet, UnlockRidRefusedForAnotherUsersLockLeavesNoLastError) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    peer.respond([](const Request &req) { return refuse(req, kErrLocked); });
    EXPECT_EQ(fsunlockrid(instance, fs, 0x10000001), 0);
    EXPECT_EQ(lserrno, 0);
    EXPECT_EQ(fsforceunlockrid(instance, fs, 0x10000001), 0);
    EXPECT_EQ(lserrno, 0);
    peer.respond([](const Request &req) { return refuse(req, kErrBadIndex); });
    EXPECT_EQ(fsunlockrid(instance, fs, 0x10000001), 0);
    EXPECT_EQ(lserrno, kErrBadIndex);
}

TEST_F(LinkNet, GetAppStatReportsTheFlagOrTheServersCode) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    peer.respond(
        [](const Request &req) { return answer(req, {}, [](FS &f) { f.rid = 0xFFFFFFFF; }); });
    EXPECT_EQ(fsgetappstat(instance, fs), 1);
    peer.respond(nullptr);
    EXPECT_EQ(fsgetappstat(instance, fs), 0);
    peer.respond([](const Request &req) { return refuse(req, kErrBadIndex); });
    EXPECT_EQ(fsgetappstat(instance, fs), kErrBadIndex);
}

TEST_F(LinkNet, LocalTimeWidensEveryFieldWithItsSign) {
    ScriptedPeer peer;
    const char instance = fsinit(peer.address().c_str());
    ASSERT_GE(instance, 0);
    const DOSTM t{59, 30, 23, 31, 11, 126, 6, 364, -1};
    peer.respond([&](const Request &req) {
        std::vector<std::uint8_t> data(sizeof t);
        std::memcpy(data.data(), &t, sizeof t);
        return answer(req, data);
    });
    std::tm out{};
    ASSERT_EQ(fsgetlocaltime(instance, &out), 1);
    EXPECT_EQ(out.tm_sec, 59);
    EXPECT_EQ(out.tm_min, 30);
    EXPECT_EQ(out.tm_hour, 23);
    EXPECT_EQ(out.tm_mday, 31);
    EXPECT_EQ(out.tm_mon, 11);
    EXPECT_EQ(out.tm_year, 126);
    EXPECT_EQ(out.tm_wday, 6);
    EXPECT_EQ(out.tm_yday, 364);
    EXPECT_EQ(out.tm_isdst, -1);
    const Request req = peer.last();
    EXPECT_EQ(req.call0, 0);
    EXPECT_EQ(req.call1, kOpGetLocalTime);
    EXPECT_EQ(req.size, 39u);
    FS expected{};
    expected.len = 18;
    EXPECT_EQ(std::memcmp(&req.fs, &expected, sizeof expected), 0);
    EXPECT_EQ(req.data, std::vector<std::uint8_t>(18, 0));
    // A reply without the whole time record fails.
    peer.respond([](const Request &r) { return answer(r, std::vector<std::uint8_t>(10, 1)); });
    EXPECT_EQ(fsgetlocaltime(instance, &out), 0);
    EXPECT_EQ(fsgetlocaltime(instance, nullptr), 0);
}

TEST_F(LinkNet, LockSendsAtMostTwentyOneRids) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    std::vector<std::uint32_t> rids;
    for (std::uint32_t i = 1; i <= 25; ++i) rids.push_back(0x10000000 + i);
    rids.push_back(0);
    EXPECT_EQ(fslock(instance, fs, rids.data()), 1);
    Request req = peer.last();
    EXPECT_EQ(+req.fs.len, 84);
    ASSERT_EQ(req.data.size(), 84u);
    EXPECT_EQ(std::memcmp(req.data.data(), rids.data(), 84), 0);
    rids[3] = 0;
    EXPECT_EQ(fslock(instance, fs, rids.data()), 1);
    EXPECT_EQ(+peer.last().fs.len, 12);
    EXPECT_EQ(fslock(instance, fs, nullptr), 1);
    EXPECT_EQ(+peer.last().fs.len, 0);
    EXPECT_EQ(peer.last().size, 21u);
}

TEST_F(LinkNet, FlushOfANetworkDatabaseSendsNothing) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    EXPECT_EQ(fsflush(instance, fs), 1);
    EXPECT_TRUE(peer.requests().empty());
}

TEST_F(LinkNet, AReplyCannotTurnANetworkBlockIntoALocalOne) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    ::FS *temp = fsopentemp(instance);
    ASSERT_NE(temp, nullptr);
    peer.respond([&](const Request &req) {
        return answer(req, {}, [&](FS &f) {
            f.isnetwork = 0;
            f.fsdatanum = temp->fsdatanum;
        });
    });
    EXPECT_EQ(fsunlock(instance, fs), 1);
    EXPECT_EQ(fs->isnetwork, 1);
    fsclosetemp(instance, temp);
}

TEST_F(LinkNet, ACopyOfTheBlockWorksAndClosesTheDatabase) {
    ScriptedPeer peer;
    char instance;
    ::FS *fs = opendb(peer, &instance);
    ::FS copy = *fs;
    peer.respond(
        [](const Request &req) { return answer(req, {}, [](FS &f) { f.rid = 0x20000001; }); });
    EXPECT_EQ(fsfirst(instance, &copy, 0x20), 0x20000001u);
    EXPECT_EQ(+peer.last().fs.fsdatanum, 7);
    fsclose(instance, &copy);
    EXPECT_EQ(peer.last().call1, kOpClose);
    fsclose(instance, fs);
}

}  // namespace
}  // namespace vorn::test
