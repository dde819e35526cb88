// The status interface: the replies built by processmessage, and a real vornserv answering
// over its status pipe: replies byte for byte, the packet counter, "exit", the audit log, cut
// requests and replies, and a fourth client while three are served.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_process.h"
#include "statuspipe.h"
#include "vorn/pipe.h"

namespace vorn::test {
namespace {

using server::kPipeBuffer;

constexpr int kWait = 10000;
constexpr int kQuiet = 300;

TEST(ProcessMessage, BuildsTheCannedRepliesAndCountsEveryRequest) {
    struct Case {
        const char *request;
        std::string reply;  // "#" stands for the counter after this request
    };
    const Case cases[] = {
        {"FILE ABC", "FILENAMEABC 3 4039 4"},
        {"FILE:X.VDB", "FILENAMEX.VDB 3 4039 4"},
        {"FILENAME", "FILENAMEAME 3 4039 4"},  // only four characters are compared
        {"FILE", "FILENAME 3 4039 4"},         // no name: nothing read past the request
        {"FILE ", "FILENAME 3 4039 4"},
        {"TOTAL", "FILES:10 PACKETS:# RETRIES:0"},
        {"TOTALLY", "FILES:10 PACKETS:# RETRIES:0"},
        {"TOTA", "BAD COMMAND DUMMY"},
        {"", "BAD COMMAND DUMMY"},
        {"EXIT", "BAD COMMAND DUMMY"},  // the conversation, not processmessage, ends on EXIT
    };
    server::StatusPipe status;
    for (const Case &c : cases) {
        char reply[kPipeBuffer];
        std::memset(reply, 'z', sizeof reply);
        status.processmessage(c.request, reply);
        std::string want = c.reply;
        const std::size_t mark = want.find('#');
        if (mark != std::string::npos) {
            want.replace(mark, 1, std::to_string(status.packets()));
        }
        EXPECT_EQ(std::string(reply), want) << c.request;
    }
}

TEST(ProcessMessage, CutsAFileReplyToItsBuffer) {
    const std::string request = "FILE " + std::string(kPipeBuffer - 6, 'N');  // 127 characters
    char reply[kPipeBuffer + 8];
    std::memset(reply, 'z', sizeof reply);
    server::StatusPipe().processmessage(request.c_str(), reply);
    EXPECT_EQ(std::string(reply), "FILENAME" + std::string(kPipeBuffer - 1 - 8, 'N'));
    for (std::size_t i = kPipeBuffer; i < sizeof reply; ++i) EXPECT_EQ(reply[i], 'z') << i;
}

// One client of the status pipe.
class PipeClient {
  public:
    explicit PipeClient(const std::string &name) : pipe_(platform::pipeconnect(name.c_str())) {}
    ~PipeClient() { platform::pipeclose(pipe_); }
    PipeClient(const PipeClient &) = delete;
    PipeClient &operator=(const PipeClient &) = delete;

    bool connected() const { return pipe_ != platform::kNoPipe; }
    bool send(const std::string &request) {
        return platform::pipewrite(pipe_, request.data(), request.size()) ==
               static_cast<long>(request.size());
    }
    // The next reply with its terminator, "" when none came within ms, "<end>" at the end.
    std::string reply(int ms = kWait) {
        if (!platform::pipewait(pipe_, ms)) return "";
        char buf[512];
        const long n = platform::piperead(pipe_, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "<end>";
    }
    std::string ask(const std::string &request) { return send(request) ? reply() : "<unsent>"; }

  private:
    platform::PipeHandle pipe_;
};

std::string withnul(const std::string &text) {
    return text + '\0';
}

std::string total(int packets) {
    return withnul("FILES:10 PACKETS:" + std::to_string(packets) + " RETRIES:0");
}

class StatusPipe : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    std::vector<std::string> auditlines() const {
        std::ifstream in(server.dir().file("vornaudt.log"), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::vector<std::string> lines;
        std::string text = all.str();
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = text.find("\r\n", at);
            if (end == std::string::npos) {
                lines.push_back("<unterminated>" + text.substr(at));
                break;
            }
            lines.push_back(text.substr(at, end - at));
            at = end + 2;
        }
        return lines;
    }
    // Asks as a new client. The server notices a client that left a moment later, so while
    // three still count as served a new one is ended (before or after it sends) and tries
    // again.
    std::string askasnewclient(const std::string &request) {
        std::string answer = "<end>";
        for (int attempt = 0; attempt < 500 && (answer == "<end>" || answer == "<unsent>");
             ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            PipeClient next(server.pipe());
            answer = next.ask(request);
        }
        return answer;
    }
    ServerProcess server;
};

TEST_F(StatusPipe, AnswersEachRequestByteForByteAndLogsIt) {
    PipeClient client(server.pipe());
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.ask("total"), total(1));
    EXPECT_EQ(client.ask("TOTAL"), total(2));
    EXPECT_EQ(client.ask("file abc"), withnul("FILENAMEABC 3 4039 4"));
    EXPECT_EQ(client.ask("FILENAME"), withnul("FILENAMEAME 3 4039 4"));
    EXPECT_EQ(client.ask("hello"), withnul("BAD COMMAND DUMMY"));
    EXPECT_EQ(client.ask(std::string(1, '\0')), withnul("BAD COMMAND DUMMY"));
    EXPECT_EQ(client.ask("Total please"), total(7));
    EXPECT_TRUE(client.send("exit"));
    EXPECT_EQ(client.reply(), "<end>");  // no reply, the conversation ends

    const std::vector<std::string> want = {
        "Length=5 - msg=TOTAL",         "Length=5 - msg=TOTAL", "Length=8 - msg=FILE ABC",
        "Length=8 - msg=FILENAME",      "Length=5 - msg=HELLO", "Length=1 - msg=",
        "Length=12 - msg=TOTAL PLEASE",
    };
    EXPECT_EQ(auditlines(), want);

    // "exit" was not counted.
    PipeClient next(server.pipe());
    EXPECT_EQ(next.ask("total"), total(8));
}

TEST_F(StatusPipe, CutsAnOverlongRequestAndItsReplyToTheBuffers) {
    PipeClient client(server.pipe());
    const std::string request = "file " + std::string(195, 'n');
    EXPECT_EQ(client.ask(request), withnul("FILENAME" + std::string(119, 'N')));
    // The rest of the long message is not taken for a request of its own.
    EXPECT_EQ(client.ask("total"), total(2));
    const std::vector<std::string> lines = auditlines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Length=128 - msg=FILE " + std::string(122, 'N'));
}

TEST_F(StatusPipe, AFourthClientIsEndedAtOnceWhileThreeAreServed) {
    std::vector<std::unique_ptr<PipeClient>> served;
    for (int i = 0; i < 3; ++i) {
        served.push_back(std::make_unique<PipeClient>(server.pipe()));
        ASSERT_EQ(served.back()->ask("total"), total(i + 1));
    }
    {
        PipeClient fourth(server.pipe());
        // It reads the end of the pipe without sending anything: no wait for a time-out.
        EXPECT_EQ(fourth.reply(), "<end>");
    }
    EXPECT_EQ(served[0]->ask("total"), total(4)) << "the three are served on";
    // Once one of them has left, a new client is served. The server notices the leaving
    // client a moment later, so a client that comes first is ended and tries again.
    served[1].reset();
    EXPECT_EQ(askasnewclient("total"), total(5));
    EXPECT_EQ(served[2]->ask("total"), total(6));
}

TEST_F(StatusPipe, ConcurrentClientsKeepTheCounterAndTheLogLinesWhole) {
    constexpr int kClients = 3;
    constexpr int kRequests = 25;
    std::vector<std::thread> threads;
    std::vector<int> bad(kClients, 0);
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            PipeClient client(server.pipe());
            for (int r = 0; r < kRequests; ++r) {
                const std::string reply = client.ask("file client" + std::to_string(c));
                bad[c] += reply != withnul("FILENAMECLIENT" + std::to_string(c) + " 3 4039 4");
            }
        });
    }
    for (std::thread &t : threads) t.join();
    for (int c = 0; c < kClients; ++c) EXPECT_EQ(bad[c], 0) << c;
    // The clients have left, but the server may not have noticed yet.
    EXPECT_EQ(askasnewclient("total"), total(kClients * kRequests + 1));
    const std::vector<std::string> lines = auditlines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kClients * kRequests + 1));
    for (const std::string &line : lines) {
        EXPECT_TRUE(line.rfind("Length=12 - msg=FILE CLIENT", 0) == 0 ||
                    line == "Length=5 - msg=TOTAL")
            << line;
    }
}

TEST_F(StatusPipe, StopEndsConnectedClients) {
    PipeClient client(server.pipe());
    EXPECT_EQ(client.ask("total"), total(1));
    server.child().signal(SIGTERM);
    EXPECT_EQ(client.reply(), "<end>");
    EXPECT_EQ(server.child().wait(kWait), 0);
}

}  // namespace
}  // namespace vorn::test
