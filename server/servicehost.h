// The service host: the server's entry and life cycle as a service. It registers with the
// service manager, reports every state change, starts the request thread (the TCP listener)
// before it reports "running" and the status interface after, answers stop, pause, continue
// and interrogate requests, writes its own events to the event log, and closes every
// database file when it stops.
//
// The host only talks to the service manager through the platform seam (vorn/service.h), so
// the same code runs under any implementation of it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <thread>

#include "mutex.h"
#include "vorn/service.h"

namespace vorn::server {

class Server;

inline constexpr char SERVICE_NAME[] = "VORNService";

// A manual-reset event: once set it stays set until it is created again.
class TerminateEvent {
  public:
    void create();
    void close();
    // False when the event doesn't exist.
    bool set();
    void wait();

  private:
    Mutex mutex_;
    std::condition_variable changed_;
    bool created_ GUARDED_BY(mutex_) = false;
    bool signalled_ GUARDED_BY(mutex_) = false;
};

// What the service host has registered, started and reported.
struct ServiceState {
    std::atomic<platform::ServiceStatusHandle> serviceStatusHandle{0};
    TerminateEvent terminateEvent;
    std::thread threadHandle;                       // the request thread; ServiceMain's only
    std::atomic<bool> requestthreadstarted{false};  // stoprequests has something to stop
    std::atomic<std::uint32_t> runningService{0};
    std::atomic<std::uint32_t> pauseService{0};
    Mutex endingmutex;  // one stop of the request thread at a time
    // Why InitService failed, for the "stopped" report (ServiceMain's thread only).
    std::uint32_t initerror = 0;
    std::uint32_t initspecific = 0;
    // The code terminate ended the service with: the process's exit status stands for it.
    std::atomic<std::uint32_t> exitcode{0};
};

// The program's flow: registers the event source, hands ServiceMain to the service
// dispatcher and returns, once the service has stopped, the process exit status (0 after a
// clean stop). `server` is the service it runs, for this process's whole life. When the event
// source or the dispatcher can't be had it ends the process through ErrorHandler.
int runservicehost(Server &server, int argc, char **argv);

// The service's main function, run by the dispatcher on a thread of its own.
void ServiceMain(int argc, char **argv);
// Control requests, delivered by the dispatcher on its own thread.
void ServiceCtrlHandler(std::uint32_t code);
// Sets up the file table, starts the request thread and waits until it listens: 1 on
// success, 0 otherwise.
int InitService(Server &server, int argc, char **argv);
// Body of the request thread.
void ServiceThread(Server &server);
void PauseService(Server &server);
void ResumeService(Server &server);
// Closes every database file (after the connections have ended) and releases ServiceMain.
void StopService(Server &server);
// One report to the service manager; false (and the service stops) when it is refused.
bool SendStatusToSCM(Server &server, std::uint32_t currentState, std::uint32_t win32ExitCode,
                     std::uint32_t serviceSpecificExitCode, std::uint32_t checkPoint,
                     std::uint32_t waitHint);
// Final clean-up on every way out of ServiceMain: reports "stopped" with the exit code.
void terminate(Server &server, std::uint32_t error, std::uint32_t serviceSpecificExitCode = 0);
// A fatal error before the service exists: prints it and ends the process.
[[noreturn]] void ErrorHandler(const char *message, std::uint32_t error);
// Ends every connection, then closes every open database file. Harmless a second time.
void Ending(Server &server);

}  // namespace vorn::server
