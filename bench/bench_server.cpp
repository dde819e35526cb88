// Server round trips over loopback, against a raw ping-pong of the same packet sizes.
//
//   bench_server [--sync] [--writes-only] [path/to/vornserv]
//                                     (default: vornserv beside this program)
//
// Starts vornserv on 127.0.0.1 in a fresh temporary directory, fills one shared and eight
// private database files, and measures:
//   - one client through the library: sequential fsread, fsfindkey and fsadd (written through
//     to the file before each reply), as round-trip time and as a ratio to the raw ping-pong;
//   - 1, 2, 4, 8, 16, 64 and 256 clients (one thread and connection each, hand-built packets,
//     all connected before the clock starts) reading and adding on separate files and on one
//     shared file, as operations per second and as a ratio to the raw ping-pong's throughput
//     at the same number of connections, with the server's resident memory (VmRSS);
//   - 1, 8 and 64 clients adding records (fsadd) or keys (fsaddkey, each a new value) on one
//     shared file and on a file each, as operations per second and mean round trip.
// --sync starts the server in durable mode; --writes-only measures the adds alone. The files
// live in a fresh directory under $TMPDIR (default /tmp): put it on the disk to be measured.
// The raw ping-pong is a server in a child process with one thread per connection that
// answers each 21-byte request with 19 bytes, as vornserv frames its packets. Each figure is
// the best of a few short runs.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vorn/compress.h"
#include "vorn/socket.h"
#include "vorn/wire.h"
#include "vornlink.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace platform = vorn::platform;

constexpr int kRecords = 2000;
constexpr double kSeconds = 0.3;  // per run of a measurement
constexpr int kRuns = 3;          // the best run counts: the machine may be shared

double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- the raw ping-pong -------------------------------------------------------------------

struct PingPong {
    platform::Socket listener = platform::kNoSocket;
    std::uint16_t port = 0;

    // The threads are detached: they end with the process.
    bool start() {
        listener = platform::tcpsocket();
        if (!platform::tcpbind(listener, htonlloopback(), 0) ||
            !platform::tcplisten(listener, 256)) {
            return false;
        }
        port = platform::boundport(listener);
        std::thread([this] {
            for (;;) {
                const platform::Socket c = platform::tcpaccept(listener);
                if (c == platform::kNoSocket) return;
                std::thread(serve, c).detach();
            }
        }).detach();
        return true;
    }
    static void serve(platform::Socket c) {
        std::uint8_t buf[64];
        for (;;) {
            std::size_t got = 0;
            while (got < vorn::kRequestHeader) {
                const long n = platform::recvsome(c, buf + got, sizeof buf - got);
                if (n <= 0) {
                    platform::closesocket(c);
                    return;
                }
                got += static_cast<std::size_t>(n);
            }
            if (platform::sendall(c, buf + 2, vorn::kReplyHeader) != 19) return;
        }
    }
    static std::uint32_t htonlloopback() {
        std::uint32_t addr;
        std::uint16_t ignored;
        platform::parseaddress("127.0.0.1", &addr, &ignored);
        return addr;
    }
};

// ---- a raw client ------------------------------------------------------------------------

struct Client {
    platform::Socket s = platform::kNoSocket;
    std::uint8_t reply[vorn::kClientReceiveLimit];

    bool connect(std::uint16_t port) {
        s = platform::tcpsocket();
        return platform::tcpconnect(s, PingPong::htonlloopback(), port);
    }
    ~Client() {
        if (s != platform::kNoSocket) platform::closesocket(s);
    }
    // Sends one request and receives its whole reply; the reply's block in `fs`.
    bool exchange(const std::vector<std::uint8_t> &request, vorn::FS *fs) {
        if (platform::sendall(s, request.data(), request.size()) !=
            static_cast<long>(request.size())) {
            return false;
        }
        std::size_t got = 0, want = vorn::kReplyHeader;
        while (got < want) {
            const long n = platform::recvsome(s, reply + got, sizeof reply - got);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
            if (got >= vorn::kReplyHeader) {
                std::memcpy(fs, reply, sizeof *fs);
                want = vorn::kReplyHeader + static_cast<std::size_t>(fs->len);
            }
        }
        return true;
    }
};

std::vector<std::uint8_t> packet(std::uint8_t op, vorn::FS fs, const void *data, std::size_t len) {
    fs.len = static_cast<std::int16_t>(len);
    std::vector<std::uint8_t> bytes(vorn::kRequestHeader + len);
    bytes[0] = op == vorn::kOpOpen ? 1 : 0;
    bytes[1] = op;
    std::memcpy(bytes.data() + 2, &fs, sizeof fs);
    if (len != 0) std::memcpy(bytes.data() + vorn::kRequestHeader, data, len);
    return bytes;
}

// ---- the server process ------------------------------------------------------------------

struct Server {
    pid_t pid = -1;
    std::uint16_t port = 0;

    bool start(const std::string &path, bool sync) {
        int fds[2];
        if (::pipe(fds) != 0) return false;
        const std::string pipe = "vornbench" + std::to_string(::getpid());
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 1);
            if (sync) {
                ::execl(path.c_str(), path.c_str(), "--listen", "127.0.0.1:0", "--pipe",
                        pipe.c_str(), "--sync", static_cast<char *>(nullptr));
            } else {
                ::execl(path.c_str(), path.c_str(), "--listen", "127.0.0.1:0", "--pipe",
                        pipe.c_str(), static_cast<char *>(nullptr));
            }
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string line;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(fds[0]);
        const auto colon = line.rfind(':');
        if (colon == std::string::npos) return false;
        port = static_cast<std::uint16_t>(std::atoi(line.c_str() + colon + 1));
        return port != 0;
    }
    ~Server() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// ---- measurements ------------------------------------------------------------------------

std::vector<std::uint8_t> samplerecord(unsigned seed) {
    std::vector<std::uint8_t> r(100);
    for (std::size_t i = 0; i < r.size(); ++i) {
        r[i] = i % 4 == 0 ? static_cast<std::uint8_t>(seed + i) : static_cast<std::uint8_t>(seed);
    }
    return r;
}

std::string keyof(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "key%06d", i);
    return text;
}

// Fills a database through the server: kRecords records, each with a key.
bool fill(char instance, const char *name, std::vector<std::uint32_t> *rids) {
    FS *db = fsopen(instance, name, 0, 0);
    if (db == nullptr) return false;
    for (int i = 0; i < kRecords; ++i) {
        const auto rec = samplerecord(static_cast<unsigned>(i));
        const std::uint32_t rid = fsadd(instance, db, rec.data(), 100, 0x10);
        const std::string key = keyof(i);
        if (rid == 0 || fsaddkey(instance, db, 0x11, rid, 9, key.data()) != 1) return false;
        rids->push_back(rid);
    }
    fsclose(instance, db);
    return true;
}

// Runs `op` for kSeconds; returns operations per second.
template <typename Op>
double rate(Op op) {
    long n = 0;
    const auto start = Clock::now();
    while (seconds(start) < kSeconds) {
        for (int k = 0; k < 50; ++k) {
            if (!op(n)) return 0;
            ++n;
        }
    }
    return static_cast<double>(n) / seconds(start);
}

// The best of kRuns runs of a measurement.
template <typename Measure>
double best(Measure measure) {
    double top = 0;
    for (int run = 0; run < kRuns; ++run) top = std::max(top, measure());
    return top;
}

// Runs the ping-pong server in a child process; its port, 0 on failure.
std::uint16_t startpingpong(pid_t *child) {
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    *child = ::fork();
    if (*child == 0) {
        PingPong ping;
        const std::uint16_t port = ping.start() ? ping.port : 0;
        (void)!::write(fds[1], &port, sizeof port);
        if (port != 0) ::pause();
        ::_exit(0);
    }
    std::uint16_t port = 0;
    if (::read(fds[0], &port, sizeof port) != sizeof port) port = 0;
    ::close(fds[0]);
    ::close(fds[1]);
    return port;
}

// The stored (compressed) form of sample record `seed`, as a client sends it.
std::vector<std::uint8_t> storedsample(unsigned seed) {
    std::vector<std::uint8_t> stored(200);
    const auto rec = samplerecord(seed);
    stored.resize(
        static_cast<std::size_t>(vorn::compress(stored.data(), stored.size(), rec.data(), 100)));
    return stored;
}

// Connects a hand-built client and opens `name` through it; false on any failure.
bool connectandopen(Client &c, std::uint16_t port, const std::string &name, vorn::FS *fs) {
    *fs = vorn::FS{};
    fs->isnetwork = 1;
    return c.connect(port) &&
           c.exchange(packet(vorn::kOpOpen, *fs, name.c_str(), name.size() + 1), fs) &&
           fs->error == 0;
}

// ---- clients on threads of their own ------------------------------------------------------

// The server has 100 file slots: "separate" rows spread their clients over at most this many
// files (256 clients: four to a file).
constexpr int kManyFiles = 64;

// The resident memory of process `pid` in kB (VmRSS), 0 when unknown.
long residentkb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// Lets the process open as many descriptors as it may: 256 clients, their server (a child,
// which inherits the limit) and its files need more than a soft limit of 1024 allows.
void raisefilelimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// One client of a run: its connection and its call block.
struct RunClient {
    Client c;
    vorn::FS fs{};
};

// Runs `op(t, client, n)` on `clients` threads for kSeconds; each client was set up by
// `setup(t, client)` one after another before the clock starts (the server listens with a
// short queue: clients that all connect at once stall). Operations per second, 0 on a
// failure. With `rsskb`, the resident memory of `watched`, sampled half-way while every
// client is busy, goes to *rsskb (the largest).
template <typename Setup, typename Op>
double runclients(int clients, Setup setup, Op op, pid_t watched = 0, long *rsskb = nullptr) {
    std::vector<std::unique_ptr<RunClient>> all;
    for (int t = 0; t < clients; ++t) {
        all.push_back(std::make_unique<RunClient>());
        if (!setup(t, *all.back())) return 0;
    }
    std::atomic<long> total{0};
    std::atomic<bool> failed{false};
    std::latch ready(clients + 1);
    Clock::time_point start;
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            ready.arrive_and_wait();
            long n = 0;
            while (seconds(start) < kSeconds) {
                if (!op(t, *all[static_cast<std::size_t>(t)], n)) {
                    failed = true;
                    break;
                }
                ++n;
            }
            total += n;
        });
    }
    start = Clock::now();
    ready.arrive_and_wait();
    if (rsskb != nullptr) {
        std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds / 2));
        *rsskb = std::max(*rsskb, residentkb(watched));
    }
    for (auto &t : threads) t.join();
    const double elapsed = seconds(start);
    // Each client closes its file before it goes, so the slots are free for the next run.
    for (auto &client : all) {
        if (client->fs.isnetwork != 0) {
            client->c.exchange(packet(vorn::kOpClose, client->fs, nullptr, 0), &client->fs);
        }
    }
    return failed ? 0 : static_cast<double>(total) / elapsed;
}

// The raw ping-pong's throughput with `clients` connections (see runclients).
double pingrate(std::uint16_t port, int clients, pid_t watched = 0, long *rsskb = nullptr) {
    const auto request = packet(vorn::kOpGetBusinessDate, vorn::FS{}, nullptr, 0);
    return runclients(
        clients, [&](int, RunClient &m) { return m.c.connect(port); },
        [&](int, RunClient &m, long) { return m.c.exchange(request, &m.fs); }, watched, rsskb);
}

// Reads or adds by `clients` clients on "shared.db" or on the files "c<t % kManyFiles>.db".
double serverrate(std::uint16_t port, int clients, bool shared, bool adds,
                  const std::vector<std::uint32_t> &rids, pid_t watched, long *rsskb) {
    std::vector<std::vector<std::uint8_t>> stored(static_cast<std::size_t>(clients));
    auto setup = [&](int t, RunClient &m) {
        const std::string name =
            shared ? "shared.db" : "c" + std::to_string(t % kManyFiles) + ".db";
        stored[static_cast<std::size_t>(t)] = storedsample(static_cast<unsigned>(t));
        return connectandopen(m.c, port, name, &m.fs);
    };
    auto op = [&](int t, RunClient &m, long n) {
        vorn::FS fs = m.fs;
        fs.fid = 0x10;
        fs.rid = rids[static_cast<std::size_t>(t * 7919 + n * 104729) % rids.size()];
        const auto &data = stored[static_cast<std::size_t>(t)];
        const auto request = adds ? packet(vorn::kOpAdd, fs, data.data(), data.size())
                                  : packet(vorn::kOpRead, fs, nullptr, 0);
        return m.c.exchange(request, &fs) && fs.error == 0;
    };
    return runclients(clients, setup, op, watched, rsskb);
}

// Many clients adding records or keys; `shared` puts them all on "wshared.db", else client
// t adds to "w<t>.db". Operations per second.
double writerate(std::uint16_t port, int clients, bool shared, bool keys) {
    static std::atomic<int> generation{0};
    const int gen = ++generation;
    std::vector<std::vector<std::uint8_t>> stored(static_cast<std::size_t>(clients));
    auto setup = [&](int t, RunClient &m) {
        const std::string name = shared ? "wshared.db" : "w" + std::to_string(t) + ".db";
        stored[static_cast<std::size_t>(t)] = storedsample(static_cast<unsigned>(t));
        return connectandopen(m.c, port, name, &m.fs);
    };
    auto op = [&](int t, RunClient &m, long n) {
        char key[32];
        const int len = std::snprintf(key, sizeof key, "g%dt%dn%ld", gen, t, n);
        vorn::FS fs = m.fs;
        fs.fid = keys ? 0x11 : 0x10;
        fs.rid = 0x10000001;
        const auto &data = stored[static_cast<std::size_t>(t)];
        const auto request = keys ? packet(vorn::kOpAddKey, fs, key, len)
                                  : packet(vorn::kOpAdd, fs, data.data(), data.size());
        return m.c.exchange(request, &fs) && fs.error == 0;
    };
    return runclients(clients, setup, op);
}

// Makes the files c8.db .. c<kManyFiles - 1>.db as copies of c0.db, which the server has
// written and closed (its last user closed it); every copy holds the same records under the
// same rids.
bool copyfilled() {
    std::error_code ec;
    for (int t = 8; t < kManyFiles && !ec; ++t) {
        std::filesystem::copy_file("c0.db", "c" + std::to_string(t) + ".db",
                                   std::filesystem::copy_options::overwrite_existing, ec);
    }
    return !ec;
}

// A table of reads and adds by each count of clients on separate files and on one shared
// file, beside the raw ping-pong at the same count and both servers' resident memory.
void measureclients(const Server &server, const Server &ping,
                    const std::vector<std::uint32_t> &rids, std::initializer_list<int> counts,
                    const char *heading) {
    std::printf("\n%s (per second, ratio to ping-pong throughput; separate: at most %d files)\n",
                heading, kManyFiles);
    std::printf("  %-8s %10s %14s %14s %14s %14s %11s %11s\n", "clients", "ping-pong",
                "read separate", "read shared", "add separate", "add shared", "server RSS",
                "ping RSS");
    for (int clients : counts) {
        long rss = 0, pingrss = 0;
        const double p = best([&] { return pingrate(ping.port, clients, ping.pid, &pingrss); });
        double r[4];
        int i = 0;
        for (bool adds : {false, true}) {
            for (bool shared : {false, true}) {
                r[i++] = best([&] {
                    return serverrate(server.port, clients, shared, adds, rids, server.pid, &rss);
                });
            }
        }
        std::printf("  %-8d %10.0f", clients, p);
        for (double v : r) std::printf(" %8.0f %4.2fx", v, p > 0 ? v / p : 0.0);
        std::printf(" %8.1f MB %8.1f MB\n", rss / 1024.0, pingrss / 1024.0);
    }
}

// The write table: adds of records and keys by 1, 8 and 64 clients.
void measurewrites(std::uint16_t port, bool sync) {
    std::printf("\nadds by clients on their own connections%s (per second, mean round trip):\n",
                sync ? ", durable mode (--sync)" : "");
    std::printf("  %-8s %22s %22s %22s %22s\n", "clients", "fsadd shared", "fsadd separate",
                "fsaddkey shared", "fsaddkey separate");
    for (int clients : {1, 8, 64}) {
        std::printf("  %-8d", clients);
        for (bool keys : {false, true}) {
            for (bool shared : {true, false}) {
                const double r = best([&] { return writerate(port, clients, shared, keys); });
                std::printf(" %10.0f %8.1f us", r, r > 0 ? 1e6 * clients / r : 0.0);
            }
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::filesystem::path self = std::filesystem::absolute(argv[0]);
    raisefilelimit();
    bool sync = false, writesonly = false;
    while (argc > 1 && argv[1][0] == '-') {
        if (std::strcmp(argv[1], "--sync") == 0) {
            sync = true;
        } else if (std::strcmp(argv[1], "--writes-only") == 0) {
            writesonly = true;
        } else {
            std::fprintf(stderr, "usage: bench_server [--sync] [--writes-only] [vornserv]\n");
            return 2;
        }
        ++argv;
        --argc;
    }
    const std::string serverpath = argc > 1 ? std::filesystem::absolute(argv[1]).string()
                                            : (self.parent_path() / "vornserv").string();
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vornbench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    const std::filesystem::path dir = pattern;
    std::filesystem::current_path(dir);
    int status = 1;
    {
        Server server;
        Server ping;  // the ping-pong child, ended like the server
        ping.port = startpingpong(&ping.pid);
        if (!server.start(serverpath, sync) || ping.port == 0) {
            std::fprintf(stderr, "bench_server: cannot start %s\n", serverpath.c_str());
        } else {
            const std::string address = "127.0.0.1:" + std::to_string(server.port);
            const char instance = fsinit(address.c_str());
            std::vector<std::uint32_t> rids;
            bool filled = instance >= 0 && fscreatedatabase("wshared.db", 20) == 1;
            for (int t = 0; filled && t < 64; ++t) {
                filled = fscreatedatabase(("w" + std::to_string(t) + ".db").c_str(), 20) == 1;
            }
            if (filled && writesonly) {
                measurewrites(server.port, sync);
                filled = false;
                status = 0;
            }
            filled = filled && fscreatedatabase("shared.db", 20) == 1 &&
                     fill(instance, "shared.db", &rids);
            for (int t = 0; filled && t < 8; ++t) {
                const std::string name = "c" + std::to_string(t) + ".db";
                std::vector<std::uint32_t> ignored;
                filled = fscreatedatabase(name.c_str(), 20) == 1 &&
                         fill(instance, name.c_str(), &ignored);
            }
            // Copied before any client writes to c0.db, which fill has closed.
            const bool copied = filled && copyfilled();
            if (filled && !copied) std::fprintf(stderr, "bench_server: copying c0.db failed\n");
            if (filled) {
                status = 0;
                const double ping1 = best([&] { return pingrate(ping.port, 1); });
                const double pingus = 1e6 / ping1;
                std::printf(
                    "raw ping-pong (21-byte request, 19-byte reply): %.1f us round trip, "
                    "%.0f per second\n",
                    pingus, ping1);
                FS *db = fsopen(instance, "shared.db", 0, 0);
                FS *adds = nullptr;
                if (fscreatedatabase("adds.db", 20) == 1) adds = fsopen(instance, "adds.db", 0, 0);
                std::uint8_t buf[2048];
                std::mt19937 random(1);
                const double reads = best([&] {
                    return rate([&](long) {
                        return fsread(instance, db, rids[random() % rids.size()], buf) == 100;
                    });
                });
                const double finds = best([&] {
                    return rate([&](long) {
                        const std::string key = keyof(static_cast<int>(random() % kRecords));
                        std::memcpy(buf, key.data(), key.size());
                        return fsfindkey(instance, db, 0x11, 9, buf) != 0;
                    });
                });
                const auto rec = samplerecord(7);
                const double added = adds == nullptr ? 0 : best([&] {
                    return rate(
                        [&](long) { return fsadd(instance, adds, rec.data(), 100, 0x10) != 0; });
                });
                std::printf("\none client through the library (round trip, ratio to ping-pong):\n");
                for (auto [name, r] : {std::pair{"fsread", reads}, std::pair{"fsfindkey", finds},
                                       std::pair{"fsadd (written through)", added}}) {
                    std::printf("  %-24s %8.1f us  %8.0f per second  %.2fx\n", name,
                                r > 0 ? 1e6 / r : 0.0, r, r > 0 ? (1e6 / r) / pingus : 0.0);
                }
                if (db != nullptr) fsclose(instance, db);
                if (adds != nullptr) fsclose(instance, adds);
                measureclients(server, ping, rids, {1, 2, 4, 8},
                               "clients on their own threads and connections");
                if (copied) measureclients(server, ping, rids, {16, 64, 256}, "many clients");
                measurewrites(server.port, sync);
            } else if (status != 0) {
                std::fprintf(stderr, "bench_server: filling the databases failed\n");
            }
            if (instance >= 0) closefs(instance);
        }
    }
    std::filesystem::current_path("/");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
