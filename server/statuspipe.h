// The status interface: short text queries on the status pipe, answered with canned
// NUL-terminated lines, every request noted in the audit log "vornaudt.log" of the server's
// working directory. The replies don't read the server's tables.
//
//   "FILE<c><name>"  ->  "FILENAME<NAME> 3 4039 4"
//   "TOTAL..."       ->  "FILES:10 PACKETS:<packets> RETRIES:0"
//   "EXIT..."        ->  no reply; the connection ends
//   anything else    ->  "BAD COMMAND DUMMY"
//
// Requests are upper-cased first, so they are case-insensitive.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <thread>

#include "mutex.h"
#include "vorn/pipe.h"

namespace vorn::server {

inline constexpr char kStatusPipeName[] = "vorn";
inline constexpr char kAuditLogName[] = "vornaudt.log";
// Clients served at once; a further client waits until one of them leaves.
inline constexpr int kMaxPipeInstances = 3;
// Request and reply buffers of one connection, terminator included.
inline constexpr std::size_t kPipeBuffer = 128;

class StatusPipe {
  public:
    StatusPipe() = default;
    // Stops the interface and waits for its threads.
    ~StatusPipe() { stopstatuspipe(); }
    StatusPipe(const StatusPipe &) = delete;
    StatusPipe &operator=(const StatusPipe &) = delete;

    // Counts the request and builds its reply in `reply` (kPipeBuffer bytes, always
    // terminated; a longer reply is cut). `request` is the upper-cased, terminated request.
    void processmessage(const char *request, char *reply);
    // Status requests handled since start (every request but "EXIT").
    std::int32_t packets() const { return packets_.load(); }

    // Starts the listener thread on the pipe `name` and waits until it has made the pipe (or
    // has reported that it can't). False when the thread can't be started.
    bool startstatuspipe(const char *name);
    // Ends the listener and every client conversation and waits for their threads. Harmless
    // when the interface was never started or is already stopped.
    void stopstatuspipe();

  private:
    struct Client {
        platform::PipeHandle pipe;  // kNoPipe once the conversation has closed it
        std::thread thread;
        bool done = false;
    };

    // Thread bodies: the listener, and one conversation (owns `pipe`).
    void commThreadFunc(const char *name);
    void msnpClientThread(platform::PipeHandle pipe);

    void appendaudit(long length, const char *request);
    int activeclients() REQUIRES(mutex_);
    void reapfinished();
    void finishclient(platform::PipeHandle pipe);
    bool startclient(platform::PipeHandle pipe);
    bool full();
    bool isstopping();
    void settle();

    std::atomic<std::int32_t> packets_{0};
    // The interface's threads and handles.
    Mutex mutex_;
    std::condition_variable changed_;  // a client left, or the interface is stopping
    std::string name_ GUARDED_BY(mutex_);
    std::thread listenerthread_ GUARDED_BY(mutex_);
    platform::PipeHandle listener_ GUARDED_BY(mutex_) = platform::kNoPipe;
    bool settled_ GUARDED_BY(mutex_) = false;  // the listener has made its pipe or failed to
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::list<Client> clients_ GUARDED_BY(mutex_);
    // Keeps the audit log's lines whole.
    Mutex auditmutex_;
};

}  // namespace vorn::server
