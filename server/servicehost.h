// The service host: the server's entry and life cycle as a service. It registers with the
// service manager, reports every state change, starts the request thread (the TCP listener)
// before it reports "running" and the status interface after, answers stop, pause, continue
// and interrogate requests, writes its own events to the event log, and closes every
// database file when it stops.
//
// The host only talks to the service manager through the platform seam (vorn/service.h), so
// the same code runs under any implementation of it.
#pragma once

#include <cstdint>
#include <string>

#include "listener.h"
#include "statuspipe.h"

namespace vorn::server {

inline constexpr char SERVICE_NAME[] = "VORNService";

// What the command line chose: where to listen, the status pipe's name, the event log file.
struct HostConfig {
    ListenConfig listen;
    std::string pipename = kStatusPipeName;
    std::string eventlog;     // empty: the system log only
    bool foreground = false;  // run in the console, not under the service manager
};

// The program's flow: registers the event source, hands ServiceMain to the service
// dispatcher and returns, once the service has stopped, the process exit status (0 after a
// clean stop). When the event source or the dispatcher can't be had it ends the process
// through ErrorHandler.
int runservicehost(const HostConfig &config, int argc, char **argv);

// The service's main function, run by the dispatcher on a thread of its own.
void ServiceMain(int argc, char **argv);
// Control requests, delivered by the dispatcher on its own thread.
void ServiceCtrlHandler(std::uint32_t code);
// Sets up the file table, starts the request thread and waits until it listens: 1 on
// success, 0 otherwise.
int InitService(int argc, char **argv);
// Body of the request thread.
void ServiceThread();
void PauseService();
void ResumeService();
// Closes every database file (after the connections have ended) and releases ServiceMain.
void StopService();
// One report to the service manager; false (and the service stops) when it is refused.
bool SendStatusToSCM(std::uint32_t currentState, std::uint32_t win32ExitCode,
                     std::uint32_t serviceSpecificExitCode, std::uint32_t checkPoint,
                     std::uint32_t waitHint);
// Final clean-up on every way out of ServiceMain: reports "stopped" with the exit code.
void terminate(std::uint32_t error, std::uint32_t serviceSpecificExitCode = 0);
// A fatal error before the service exists: prints it and ends the process.
[[noreturn]] void ErrorHandler(const char *message, std::uint32_t error);
// Ends every connection, then closes every open database file. Harmless a second time.
void Ending();

}  // namespace vorn::server
