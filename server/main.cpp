// vornserv: the database server. It runs as the service "VORNService" through the service
// host. On Linux it stays in the foreground (under systemd or from a shell): SIGTERM or SIGINT
// stops it (connections end, every open file is written and closed, exit status 0), SIGUSR1
// pauses it (no new connection is taken), SIGUSR2 continues, SIGHUP reports its state.
#include <cstdio>
#include <string>

#include "operation.h"
#include "options.h"
#include "servicehost.h"

int main(int argc, char **argv) {
    using namespace vorn::server;
    ServerOptions options;
    std::string error;
    if (!parseoptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    durablewrites = options.sync;
    HostConfig config;
    config.listen = options.listen;
    config.pipename = options.pipe;
    config.eventlog = options.eventlog;
    return runservicehost(config, argc, argv);
}
