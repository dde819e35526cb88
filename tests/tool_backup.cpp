// vorn backup against a real vornserv while a client keeps adding records: every copy passes
// the checker and holds exactly the records of one moment of the file (the first k records
// the client added, none half-written), at least those acknowledged before the backup began.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fsn/check.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "server_harness.h"
#include "vornlink.h"

namespace vorn {
namespace {

const std::string kVorn = std::string(TOOLS_DIR) + "/vorn";

std::string recordtext(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "record %06d of the writer", i);
    return text;
}

// Adds records 0, 1, 2, ... through the server until told to stop, retrying each add that
// is refused while the backup holds the file.
class Writer {
  public:
    explicit Writer(const std::string &address) : address_(address) {}
    void run() {
        const char in = fsinit(address_.c_str());
        ::FS *fs = in >= 0 ? fsopen(in, "live.vdb", 0, 0) : nullptr;
        if (fs == nullptr) {
            failed = true;
            return;
        }
        for (int i = 0; !stop.load(); ++i) {
            const std::string text = recordtext(i);
            while (fsadd(in, fs, text.data(), static_cast<std::int16_t>(text.size()), 0x10) == 0) {
                if (stop.load()) break;
                std::this_thread::yield();
            }
            added.store(i + 1);
            fsgetcannumber(in, fs, 1);  // the counter follows the adds, one step behind
        }
        fsclose(in, fs);
        closefs(in);
    }
    std::atomic<int> added{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};

  private:
    std::string address_;
};

// The records of sub-file 1 of a copy, which must be record 0, 1, ... in rid order, and
// the counter, which the writer advances after each add: k or k - 1 for k records.
int prefixlength(const std::string &path) {
    test::RecordingReporter reporter;
    auto fs = test::openenginepath(path, Flavor::Library, &reporter, true);
    if (fs == nullptr) return -1;
    int n = 0;
    std::uint8_t stored[kMaxStoredRecord];
    char plain[2048];
    for (std::uint32_t rid = firstrecord(fs.get(), 0x10); rid != 0; rid = nextrid(fs.get(), rid)) {
        Fault fault;
        const int len = readrecord(fs.get(), rid, stored, &fault);
        const int m =
            len > 0 ? uncompress(plain, sizeof plain, stored, static_cast<std::int16_t>(len)) : -1;
        if (rid != 0x10000000u + static_cast<std::uint32_t>(n) || m < 0 ||
            std::string(plain, static_cast<std::size_t>(m)) != recordtext(n)) {
            ADD_FAILURE() << "record " << n << " of " << path << " is not the writer's";
            return -1;
        }
        ++n;
    }
    const int counter = fs->fscb.cannumber[0];
    if (counter != n && counter != n - 1 && n > 0) {
        ADD_FAILURE() << "counter " << counter << " with " << n << " records";
    }
    return n;
}

TEST(Backup, CopiesTakenWhileAClientWritesAreStatesTheFileHad) {
    test::TempDir dir;
    ASSERT_TRUE(test::makedatabasefile(dir.file("live.vdb")));
    test::ServerProcess server(dir.path());
    ASSERT_TRUE(server.start());
    Writer writer(server.address());
    std::thread thread([&] { writer.run(); });
    int lastcount = 0;
    for (int b = 0; b < 3; ++b) {
        while (writer.added.load() < 40 * (b + 1) && !writer.failed.load())
            std::this_thread::yield();
        ASSERT_FALSE(writer.failed.load());
        const int before = writer.added.load();
        const std::string copy = dir.file("copy" + std::to_string(b) + ".vdb");
        const std::string command = kVorn + " backup " + server.address() + " live.vdb " + copy +
                                    " --file " + dir.file("live.vdb") + " > /dev/null";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
        const int after = writer.added.load();
        EXPECT_FALSE(hasfaults(checkpath(copy.c_str()))) << describe(checkpath(copy.c_str()));
        const int k = prefixlength(copy);
        EXPECT_GE(k, before);
        EXPECT_LE(k, after + 1);  // the add in flight may have reached the file
        EXPECT_GE(k, lastcount);
        lastcount = k;
    }
    writer.stop.store(true);
    thread.join();
    EXPECT_EQ(server.stop(), 0);
    // The file itself holds every record the writer added.
    EXPECT_EQ(prefixlength(dir.file("live.vdb")), writer.added.load());
}

TEST(Backup, RefusesAnExistingDestinationAndAFileTheServerCannotOpen) {
    test::TempDir dir;
    ASSERT_TRUE(test::makedatabasefile(dir.file("live.vdb")));
    ASSERT_TRUE(test::makedatabasefile(dir.file("there.vdb")));
    test::ServerProcess server(dir.path());
    ASSERT_TRUE(server.start());
    const auto run = [&](const std::string &args) {
        const int status = std::system((kVorn + " backup " + args + " 2>/dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run(server.address() + " live.vdb " + dir.file("there.vdb")), 1);
    EXPECT_EQ(run(server.address() + " missing.vdb " + dir.file("new.vdb")), 1);
    // The file given with --file is not the one the server serves (its control values
    // differ): refused, and no copy is left behind.
    auto other = test::readwholefile(dir.file("there.vdb"));
    reinterpret_cast<FSCB *>(other.data())->businessdate = 42;
    ASSERT_TRUE(test::writewholefile(dir.file("other.vdb"), other));
    EXPECT_EQ(run(server.address() + " live.vdb " + dir.file("new.vdb") + " --file " +
                  dir.file("other.vdb")),
              1);
    EXPECT_TRUE(test::readwholefile(dir.file("new.vdb")).empty());
    EXPECT_EQ(server.stop(), 0);
}

TEST(Status, AsksARunningServersStatusPipe) {
    test::TempDir dir;
    const std::string pipe = "vorntool" + std::to_string(::getpid());
    test::ChildProcess server;
    ASSERT_TRUE(
        server.start(VORNSERV_PATH, {"--listen", "127.0.0.1:0", "--pipe", pipe}, dir.path()));
    ASSERT_NE(test::listeningport(server, 20000), 0);
    // The status interface starts just after the listener: ask until it answers.
    test::RunResult asked{-1, ""};
    for (int i = 0; i < 200 && asked.status != 0; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        asked = test::runprogram(kVorn, {"status", "--pipe", pipe, "total"});
    }
    EXPECT_EQ(asked.status, 0);
    EXPECT_EQ(asked.out.rfind("FILES:", 0), 0u) << asked.out;
    EXPECT_EQ(test::runprogram(kVorn, {"status", "--pipe", pipe + "x", "total"}).status, 1);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(20000), 0);
}

}  // namespace
}  // namespace vorn
