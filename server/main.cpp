// vornserv: the database server, run in the foreground. SIGINT or SIGTERM stops it: the
// connections end, every open file is written and closed, and the program exits with 0.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "filetable.h"
#include "options.h"
#include "requests.h"
#include "vorn/eventlog.h"

namespace {

std::atomic<bool> stopasked{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onstop(int) {
    stopasked.store(true);
}

}  // namespace

int main(int argc, char **argv) {
    using namespace vorn::server;
    ServerOptions options;
    std::string error;
    if (!parseoptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const char *eventlog = options.eventlog.empty() ? nullptr : options.eventlog.c_str();
    if (!vorn::platform::openeventlog("VORNService", eventlog)) {
        std::fprintf(stderr, "vornserv: cannot open the event log %s\n", eventlog);
        return 1;
    }
    vorninit(argc, argv);
    std::signal(SIGINT, onstop);
    std::signal(SIGTERM, onstop);
    std::atomic<bool> served{false};
    std::atomic<bool> ended{false};
    std::thread watcher([&] {
        const std::uint16_t port = waitlistening();
        if (port != 0) {
            const std::string host = options.listentext.substr(0, options.listentext.find(':'));
            std::printf("vornserv listening on %s:%u\n", host.c_str(), port);
            std::fflush(stdout);
            served.store(true);
        }
        while (!ended.load() && !stopasked.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stoprequests();
    });
    doRequests(options.listen);
    ended.store(true);
    watcher.join();
    fscloseall();
    vorn::platform::closeeventlog();
    return served.load() ? 0 : 1;
}
