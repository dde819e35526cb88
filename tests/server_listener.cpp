// The listener in process: a pause holds new connections while connected clients are served,
// and a stop ends every connection (closing its files) before it returns.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "server.h"
#include "server_harness.h"
#include "vorn/eventlog.h"
#include "vorn/socket.h"

namespace vorn::server {
namespace {

int highestfd() {
    int highest = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    return highest;
}

std::string readlog() {
    std::ifstream in("events.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Listener, PauseHoldsNewConnectionsAndStopEndsEveryConnection) {
    test::TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ASSERT_TRUE(test::makedatabasefile("a.db"));
    Server server;
    Listener &l = server.listener;
    ASSERT_TRUE(platform::openeventlog("VORNService", "events.log"));
    ListenConfig config;
    std::uint16_t ignored = 0;
    ASSERT_TRUE(platform::parseaddress("127.0.0.1", &config.addr, &ignored));
    config.port = 0;
    int result = -1;
    std::thread listener([&] { result = l.doRequests(config); });
    const std::uint16_t port = l.waitlistening();
    ASSERT_NE(port, 0);

    test::RawClient a(port);
    const test::Reply opened = a.open("a.db");
    ASSERT_EQ(opened.error, 0);
    const auto stored = test::storedform(test::samplerecord(1, 80));
    const test::Reply added =
        a.onfile(kOpAdd, opened.fsdatanum, 0x10, 0, stored.data(), stored.size());
    ASSERT_EQ(added.error, 0);

    l.pauserequests();
    l.pauserequests();  // twice is the same
    test::RawClient b(port);
    const auto request = test::RawClient::packet(kOpGetLocalTime, FS{});
    ASSERT_TRUE(b.sendbytes(request.data(), request.size()));
    EXPECT_TRUE(b.silent(300)) << "a new connection is served while paused";
    EXPECT_EQ(a.onfile(kOpGetBusinessDate, opened.fsdatanum).error, 0) << "a is served on";
    l.resumerequests();
    const test::Reply late = b.receive();
    EXPECT_TRUE(late.ok);
    EXPECT_EQ(late.len, 18);

    // An accept that fails for want of descriptors is reported and retried: the connection
    // is served once descriptors are free again.
    test::RawClient c;
    ASSERT_TRUE(c.makesocket());
    rlimit limits{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
    // Every descriptor number below the limit is taken: gaps are filled with spares.
    const int highest = highestfd();
    std::vector<int> spares;
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY)) {
        spares.push_back(fd);
        if (fd > highest) break;
    }
    rlimit tight = limits;
    tight.rlim_cur = static_cast<rlim_t>(spares.back());
    ::close(spares.back());
    spares.pop_back();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    ASSERT_TRUE(c.connectsocket(port));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limits), 0);
    for (int fd : spares) ::close(fd);
    const test::Reply retried = c.call(kOpGetLocalTime, FS{});
    EXPECT_TRUE(retried.ok) << "the listener gave up after a failed accept";
    EXPECT_NE(readlog().find("Unable to accept connection."), std::string::npos);

    l.stoprequests();
    listener.join();
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(a.closedbypeer());
    EXPECT_TRUE(b.closedbypeer());
    EXPECT_EQ(server.files.openslotcount(), 0) << "the connection's end closed its file";
    l.stoprequests();  // harmless the second time
    server.files.fscloseall();
    server.files.fscloseall();
    auto engine = test::openenginepath("a.db", Flavor::Library, nullptr, true);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(+engine->fscb.f[0].frid, added.rid);
    platform::closeeventlog();
    std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace vorn::server
