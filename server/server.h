// The server: everything one vornserv holds, with its owners. The file table holds the open
// files with their slot mutexes and claims, the lock manager their record locks, the listener
// the TCP side and its connection threads, the status interface the status pipe and its packet
// counter, and the service host's state what the service reported and started. main makes the
// one instance and runs it as its service; tests make their own.
#pragma once

#include <string>

#include "fileoptions.h"
#include "filetable.h"
#include "listener.h"
#include "locks.h"
#include "servicehost.h"
#include "statuspipe.h"

namespace vorn::server {

// What the command line chose. Set before the server is made, read-only afterwards.
struct ServerConfig {
    ListenConfig listen;                     // where to listen, who may connect
    std::string pipename = kStatusPipeName;  // the status interface's name
    std::string eventlog;                    // empty: the system log only
    bool foreground = false;                 // run in the console, not under the manager
    FileOptions files;                       // data root, --sync, the tests' file hook
};

class Server {
  public:
    explicit Server(ServerConfig config = {});
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Members in the order they are made; they end in the reverse order, so connections and
    // status clients are gone before the files close.
    const ServerConfig config;
    LockManager locks;
    FileTable files;
    Listener listener;
    StatusPipe status;
    ServiceState service;
};

}  // namespace vorn::server
