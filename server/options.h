// The command line of vornserv. Every option is optional:
//   --listen ADDR[:PORT]   IPv4 address and port to listen on (default every address, 2000;
//                          port 0 picks a free port, which the start-up line names)
//   --event-log FILE       also append every event-log report to FILE, one line each
//   --pipe NAME            name of the status interface (default "vorn")
//   --foreground           run the service in the console, not under the service manager
//                          (Windows: controls from Ctrl-C and standard input; Linux: always)
//   --data-root DIR        the names clients give are taken inside DIR and may not lead out
//                          of it; temporary files are made there (default: names as given)
//   --allow ADDR[/BITS]    only peers in this IPv4 range may connect (repeatable; default
//                          everyone)
//   --sync                 every change is on stable storage before its reply
#pragma once

#include <cstdint>
#include <string>

#include "listener.h"

namespace vorn::server {

struct ServerOptions {
    ListenConfig listen;  // address (network byte order) and port
    std::string listentext = "0.0.0.0:2000";
    std::string eventlog;  // empty: syslog only
    std::string pipe = "vorn";
    bool foreground = false;
    std::string dataroot;  // empty: names as given
    bool sync = false;
};

// Parses argv[1..argc-1] into `options`. False with a message in `error` on an unknown
// option, a missing value, an address that is not dotted IPv4 text or a prefix length
// outside 0..32.
bool parseoptions(int argc, char **argv, ServerOptions *options, std::string *error);
// The usage text.
const char *usage();

}  // namespace vorn::server
