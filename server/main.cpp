// vornserv: the database server. It runs as the service "VORNService" through the service
// host. On Linux it stays in the foreground (under systemd or from a shell): SIGTERM or SIGINT
// stops it (connections end, every open file is written and closed, exit status 0), SIGUSR1
// pauses it (no new connection is taken), SIGUSR2 continues, SIGHUP reports its state. On
// Windows the service control manager starts and controls it; --foreground runs the same
// service in a console (controls from Ctrl-C and standard input).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "options.h"
#include "server.h"

int main(int argc, char **argv) {
    using namespace vorn::server;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf(
                "%s\n\nThe database server: serves the database files of its working "
                "directory to vornlink clients\nover TCP (port 2000 unless --listen "
                "says otherwise). See vornserv(8).\n",
                usage());
            return 0;
        }
    }
    ServerOptions options;
    std::string error;
    if (!parseoptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (!options.dataroot.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(options.dataroot, ec)) {
            std::fprintf(stderr, "vornserv: --data-root %s is not a directory\n",
                         options.dataroot.c_str());
            return 2;
        }
    }
    ServerConfig config;
    config.listen = options.listen;
    config.pipename = options.pipe;
    config.eventlog = options.eventlog;
    config.foreground = options.foreground;
    config.files.dataroot = DataRoot(options.dataroot);
    config.files.durablewrites = options.sync;
    // The one server of this process: it lives until the service has stopped.
    Server server(std::move(config));
    return runservicehost(server, argc, argv);
}
