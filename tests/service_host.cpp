// The service host through a real vornserv: the start sequence and its reports, pause,
// continue, interrogate and stop by signal, the files written at stop, and the start-up
// failures. The notifications that the server sends to NOTIFY_SOCKET tell each state change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service_process.h"
#include "support/enginefile.h"
#include "vorn/fs.h"
#include "vorn/wire.h"

namespace vorn::test {
namespace {

constexpr int kWait = 10000;  // ms for anything that must happen
constexpr int kQuiet = 300;   // ms in which something that must not happen doesn't

std::uint32_t fschangedof(const std::string &path) {
    FSCB cb{};
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char *>(&cb), sizeof cb);
    return in ? cb.fschanged : 0xFFFFFFFF;
}

// Opens `name` on the connection and expects a successful reply.
void openok(WireClient &client, const std::string &name) {
    ASSERT_TRUE(client.sendopen(name));
    RECVPACKET reply{};
    ASSERT_TRUE(client.receive(&reply, kWait));
    EXPECT_EQ(static_cast<int>(reply.fsinfo.error), 0);
    EXPECT_EQ(static_cast<int>(reply.fsinfo.isnetwork), 1);
}

class ServiceHost : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(makedatabasefile(server.dir().file("one.vdb")));
        ASSERT_TRUE(makedatabasefile(server.dir().file("two.vdb")));
        ASSERT_TRUE(server.start()) << server.child().output(100);
    }
    std::string db(const char *name) const { return server.dir().file(name); }
    // Signals the server and expects the notifications that follow, in order and alone.
    void expectreports(int sig, const std::vector<std::string> &statuses) {
        server.child().signal(sig);
        for (const std::string &status : statuses) {
            const std::string message = server.notify().next(kWait);
            EXPECT_NE(message.find("STATUS=" + status), std::string::npos)
                << "wanted " << status << ", got " << message;
        }
        EXPECT_EQ(server.notify().next(kQuiet), "") << "after signal " << sig;
    }
    ServerProcess server;
};

TEST(ServiceStart, ReportsStartPendingTwiceThenRunning) {
    ServerProcess server;
    ASSERT_TRUE(server.notify().bound());
    ASSERT_TRUE(server.child().start(
        VORNSERV_PATH,
        {"--listen", "127.0.0.1:0", "--pipe", server.pipe(), "--event-log", server.eventlog()},
        server.dir().path(), {"NOTIFY_SOCKET=" + server.notify().path()}));
    EXPECT_EQ(server.notify().next(kWait),
              "STATUS=Start pending, check point 1\nEXTEND_TIMEOUT_USEC=5000000");
    EXPECT_EQ(server.notify().next(kWait),
              "STATUS=Start pending, check point 2\nEXTEND_TIMEOUT_USEC=1000000");
    EXPECT_EQ(server.notify().next(kWait), "READY=1\nSTATUS=Running");
    // The listener was started before "running", the status interface after.
    EXPECT_NE(server.child().waitline("vornserv listening on 127.0.0.1:", kWait), "");
    // The host's own events: category 1, information 0x40000100, error 0xC0000102.
    EXPECT_TRUE(
        server.eventlogged("information category 1 id 0x40000100: Service started successfully."));
    server.child().signal(SIGTERM);
    EXPECT_EQ(server.child().wait(kWait), 0);
    EXPECT_TRUE(server.eventlogged("information category 1 id 0x40000100: Stop Service", 0));
}

TEST_F(ServiceHost, PauseHoldsNewConnectionsAndServesConnectedOnes) {
    WireClient connected;
    ASSERT_TRUE(connected.connect(server.port()));
    openok(connected, db("one.vdb"));
    expectreports(SIGUSR1, {"Pause pending, check point 1", "Paused"});
    openok(connected, db("two.vdb"));  // served on while paused

    WireClient newcomer;
    ASSERT_TRUE(newcomer.connect(server.port()));  // waits in the backlog
    ASSERT_TRUE(newcomer.sendopen(db("one.vdb")));
    RECVPACKET reply{};
    EXPECT_FALSE(newcomer.receive(&reply, kQuiet));
    expectreports(SIGUSR2, {"Continue pending, check point 1", "Running"});
    ASSERT_TRUE(newcomer.receive(&reply, kWait));
    EXPECT_EQ(static_cast<int>(reply.fsinfo.error), 0);
}

TEST_F(ServiceHost, SecondPauseReportsPausedAndOneContinueResumes) {
    expectreports(SIGUSR1, {"Pause pending, check point 1", "Paused"});
    expectreports(SIGUSR1, {"Paused"});
    expectreports(SIGUSR2, {"Continue pending, check point 1", "Running"});
    WireClient client;
    ASSERT_TRUE(client.connect(server.port()));
    openok(client, db("one.vdb"));
}

TEST_F(ServiceHost, ContinueWhileRunningChangesNothing) {
    expectreports(SIGUSR2, {"Running"});
    WireClient client;
    ASSERT_TRUE(client.connect(server.port()));
    openok(client, db("one.vdb"));
}

TEST_F(ServiceHost, InterrogateReportsTheStateAndKeepsRunning) {
    expectreports(SIGHUP, {"Running"});
    expectreports(SIGUSR1, {"Pause pending, check point 1", "Paused"});
    expectreports(SIGHUP, {"Paused"});
    expectreports(SIGUSR2, {"Continue pending, check point 1", "Running"});
    WireClient client;
    ASSERT_TRUE(client.connect(server.port()));
    openok(client, db("one.vdb"));
}

TEST_F(ServiceHost, StopWritesEveryOpenFileAndExitsZero) {
    const std::uint32_t before1 = fschangedof(db("one.vdb"));
    const std::uint32_t before2 = fschangedof(db("two.vdb"));
    WireClient first, second;
    ASSERT_TRUE(first.connect(server.port()));
    ASSERT_TRUE(second.connect(server.port()));
    openok(first, db("one.vdb"));
    openok(first, db("two.vdb"));
    openok(second, db("one.vdb"));
    // An open marks the header changed; only a close writes it.
    EXPECT_EQ(fschangedof(db("one.vdb")), before1);

    server.child().signal(SIGTERM);
    const std::string pending = server.notify().next(kWait);
    EXPECT_NE(pending.find("STOPPING=1"), std::string::npos) << pending;
    EXPECT_NE(pending.find("STATUS=Stop pending, check point 1"), std::string::npos) << pending;
    EXPECT_EQ(server.notify().next(kWait), "STATUS=Stopped");
    EXPECT_EQ(server.child().wait(kWait), 0);
    EXPECT_EQ(fschangedof(db("one.vdb")), before1 + 1);
    EXPECT_EQ(fschangedof(db("two.vdb")), before2 + 1);
    EXPECT_TRUE(first.closedbypeer(kWait));
    EXPECT_TRUE(server.eventlogged("Stop Service"));
}

TEST_F(ServiceHost, StopWhileClientsAreBusyEndsThemBeforeClosingTheFiles) {
    constexpr int kClients = 4;
    const std::uint32_t before = fschangedof(db("one.vdb"));
    std::atomic<int> answered{0};
    std::atomic<int> users{0};  // clients whose open was answered: all of them share the file
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            WireClient client;
            if (!client.connect(server.port())) return;
            RECVPACKET reply{};
            bool first = true;
            // Requests on the shared file until the stop ends the connection.
            while (client.sendopen(db("one.vdb")) && client.receive(&reply, kWait)) {
                answered += reply.fsinfo.error == 0 ? 1 : 0;
                if (std::exchange(first, false)) ++users;
            }
        });
    }
    // Stop only once every client has the file open, so the file is opened exactly once.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWait);
    while ((answered < 50 || users < kClients) && remainingms(deadline) > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(users, kClients);
    EXPECT_GE(answered, 50);
    server.child().signal(SIGTERM);
    EXPECT_EQ(server.child().wait(kWait), 0);
    for (std::thread &t : clients) t.join();
    EXPECT_EQ(fschangedof(db("one.vdb")), before + 1);
}

TEST_F(ServiceHost, InterruptStopsWhilePausedAndLaterStopsAreIgnored) {
    WireClient client;
    ASSERT_TRUE(client.connect(server.port()));
    openok(client, db("one.vdb"));
    const std::uint32_t before = fschangedof(db("one.vdb"));
    expectreports(SIGUSR1, {"Pause pending, check point 1", "Paused"});
    server.child().signal(SIGINT);
    server.child().signal(SIGTERM);  // a stop is pending: not delivered again
    EXPECT_EQ(server.child().wait(kWait), 0);
    EXPECT_EQ(fschangedof(db("one.vdb")), before + 1);
    std::ifstream log(server.eventlog());
    std::string line;
    int stops = 0;
    while (std::getline(log, line)) stops += line.find("Stop Service") != std::string::npos;
    EXPECT_EQ(stops, 1);
}

TEST(ServiceFailure, ListenerThatCannotBindStopsTheServiceWithAnError) {
    ServerProcess first;
    ASSERT_TRUE(first.start());
    ServerProcess second;
    const std::string taken = "127.0.0.1:" + std::to_string(first.port());
    ASSERT_TRUE(second.child().start(
        VORNSERV_PATH,
        {"--listen", taken, "--pipe", second.pipe(), "--event-log", second.eventlog()},
        second.dir().path(), {"NOTIFY_SOCKET=" + second.notify().path()}));
    EXPECT_NE(second.child().wait(kWait), 0);
    EXPECT_TRUE(second.eventlogged("error category 1 id 0xC0000102: Listener not started", 0));
    EXPECT_TRUE(second.eventlogged("Service status: Stopped, exit code 1", 0));
}

TEST(ServiceFailure, StatusPipeTakenEndsOnlyTheStatusInterface) {
    ServerProcess first;
    ASSERT_TRUE(first.start());
    ServerProcess second;
    ASSERT_TRUE(second.start(
        {"--listen", "127.0.0.1:0", "--pipe", first.pipe(), "--event-log", second.eventlog()}));
    EXPECT_TRUE(second.eventlogged("error category 1 id 0xC0000102: Error Creating Named Pipe."))
        << "pipe " << first.pipe() << ", second log:\n"
        << std::ifstream(second.eventlog()).rdbuf() << "first log:\n"
        << std::ifstream(first.eventlog()).rdbuf();
    ASSERT_TRUE(makedatabasefile(second.dir().file("one.vdb")));
    WireClient client;
    ASSERT_TRUE(client.connect(second.port()));
    openok(client, second.dir().file("one.vdb"));
}

TEST(ServiceFailure, EventLogThatCannotBeOpenedIsAFatalError) {
    TempDir dir;
    const RunResult run = runprogram(
        VORNSERV_PATH, {"--listen", "127.0.0.1:0", "--event-log", dir.file("missing/events.log")});
    EXPECT_EQ(run.out, "In RegisterEventSource\nError number: 2\n");
    EXPECT_EQ(run.status, 2);
}

}  // namespace
}  // namespace vorn::test
