// The listener's start-up failures, in process: a port that is taken ends the listener with
// a report, and a stop that comes before the listener is up ends it at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "server.h"
#include "server_harness.h"
#include "vorn/eventlog.h"
#include "vorn/socket.h"

namespace vorn::server {
namespace {

// Runs doRequests on a thread; its result, or -1 when it did not return within 10 seconds.
int runlistener(Server &server, const ListenConfig &config, std::uint16_t *port) {
    auto result = std::make_shared<std::atomic<int>>(-2);
    Listener &l = server.listener;
    std::thread listener([&l, config, result] { *result = l.doRequests(config); });
    *port = l.waitlistening();
    for (int waited = 0; waited < 1000 && *result == -2; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (*result == -2) {
        listener.detach();  // hung: the test fails, the process goes on
        return -1;
    }
    listener.join();
    return *result;
}

TEST(ListenFailures, ATakenPortAndAnEarlyStopEndTheListener) {
    test::TempDir dir;
    const std::string log = dir.file("events.log");
    ASSERT_TRUE(platform::openeventlog("VORNService", log.c_str()));
    Server server;
    ListenConfig config;
    std::uint16_t ignored = 0;
    ASSERT_TRUE(platform::parseaddress("127.0.0.1", &config.addr, &ignored));

    // Another socket already listens on the port.
    const platform::Socket taken = platform::tcpsocket();
    ASSERT_TRUE(platform::tcpbind(taken, config.addr, 0));
    ASSERT_TRUE(platform::tcplisten(taken, 1));
    config.port = platform::boundport(taken);
    std::uint16_t port = 1;
    EXPECT_EQ(runlistener(server, config, &port), 1);
    EXPECT_EQ(port, 0) << "waitlistening reports the failure";
    platform::closesocket(taken);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("bind unsuccessful."), std::string::npos);

    server.listener.stoprequests();
    config.port = 0;
    EXPECT_EQ(runlistener(server, config, &port), 1) << "a stop before the start must end it";
    EXPECT_EQ(port, 0);
    platform::closeeventlog();
}

}  // namespace
}  // namespace vorn::server
