// The status interface: one listener thread takes clients from the status pipe, one thread per
// client answers its requests. At most kMaxPipeInstances clients are served at once, as a
// pipe with that many instances allows: a further client is disconnected as soon as it is
// taken, so it learns at once that it can't be served instead of waiting without a limit.
#include "statuspipe.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <system_error>
#include <thread>

#include "mutex.h"
#include "vorn/eventlog.h"

namespace vorn::server {
namespace {

using platform::kNoPipe;
using platform::PipeHandle;

// Clients that may wait in the pipe's queue while the served ones are busy.
constexpr int kListenBacklog = 16;

void reporterror(const char *text) {
    platform::reportevent(platform::EventType::Error, 1, platform::kEventError, text);
}

// Requests are cut to the buffer: the terminator goes after the bytes read, or in the last
// byte when the request filled the buffer.
void terminaterequest(char *request, long got) {
    const auto end = static_cast<std::size_t>(got);
    request[end < kPipeBuffer ? end : kPipeBuffer - 1] = '\0';
}

void uppercase(char *text) {
    for (char *p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
}

// Ends a client that finds every instance taken: it reads the end of the pipe at once.
void refuseclient(PipeHandle pipe) {
    platform::pipedisconnect(pipe);
    platform::pipeclose(pipe);
}

}  // namespace

// One line per request, the file opened and closed each time; the mutex keeps the lines of
// concurrent clients whole. A log that can't be opened is skipped. Binary mode, so that each
// line ends in the one "\r\n" written on every system.
void StatusPipe::appendaudit(long length, const char *request) {
    MutexLock lock(auditmutex_);
    std::FILE *log = std::fopen(kAuditLogName, "ab");
    if (log == nullptr) return;
    std::fprintf(log, "Length=%ld - msg=%s\r\n", length, request);
    std::fclose(log);
}

int StatusPipe::activeclients() {
    int n = 0;
    for (const Client &client : clients_) n += client.done ? 0 : 1;
    return n;
}

// Joins the threads of conversations that have ended and forgets them.
void StatusPipe::reapfinished() {
    std::list<Client> finished;
    {
        MutexLock lock(mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            const auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), clients_, it);
            it = next;
        }
    }
    for (Client &client : finished) {
        if (client.thread.joinable()) client.thread.join();
    }
}

// Called by a conversation's thread as its last act: closes the pipe under the lock, so
// that stopstatuspipe never shuts down a handle number that has been reused.
void StatusPipe::finishclient(PipeHandle pipe) {
    {
        MutexLock lock(mutex_);
        for (Client &client : clients_) {
            if (client.done || client.pipe != pipe) continue;
            client.pipe = kNoPipe;
            client.done = true;
            break;
        }
        platform::pipeclose(pipe);
    }
    changed_.notify_all();
}

// Starts the conversation thread for a new client; false (client closed) when it can't.
bool StatusPipe::startclient(PipeHandle pipe) {
    MutexLock lock(mutex_);
    if (!stopping_) {
        Client &client = clients_.emplace_back(Client{pipe, {}, false});
        try {
            client.thread = std::thread(&StatusPipe::msnpClientThread, this, pipe);
            return true;
        } catch (const std::system_error &) {
            clients_.pop_back();
        }
    }
    platform::pipeclose(pipe);
    return false;
}

// True when every instance is taken by a client being served.
bool StatusPipe::full() {
    MutexLock lock(mutex_);
    return activeclients() >= kMaxPipeInstances;
}

bool StatusPipe::isstopping() {
    MutexLock lock(mutex_);
    return stopping_;
}

// Tells startstatuspipe that the listener has made its pipe (or failed to).
void StatusPipe::settle() {
    {
        MutexLock lock(mutex_);
        settled_ = true;
    }
    changed_.notify_all();
}

void StatusPipe::processmessage(const char *request, char *reply) {
    const std::int32_t count = packets_.fetch_add(1) + 1;
    if (std::strncmp(request, "FILE", 4) == 0) {
        // The name starts after "FILE" and one separator character.
        const char *name = std::strlen(request) >= 5 ? request + 5 : "";
        std::snprintf(reply, kPipeBuffer, "FILENAME%s 3 4039 4", name);
    } else if (std::strncmp(request, "TOTAL", 5) == 0) {
        std::snprintf(reply, kPipeBuffer, "FILES:10 PACKETS:%ld RETRIES:0",
                      static_cast<long>(count));
    } else {
        std::snprintf(reply, kPipeBuffer, "BAD COMMAND DUMMY");
    }
}

void StatusPipe::msnpClientThread(PipeHandle pipe) {
    char request[kPipeBuffer];
    char reply[kPipeBuffer];
    struct {
        long read = 0, written = 0;  // kept for a debugger, not reported
    } totals;
    for (;;) {
        const long got = platform::piperead(pipe, request, sizeof request);
        if (got <= 0) break;
        totals.read += got;
        terminaterequest(request, got);
        uppercase(request);
        if (std::strncmp(request, "EXIT", 4) == 0) break;
        processmessage(request, reply);
        appendaudit(got, request);
        const long sent = platform::pipewrite(pipe, reply, std::strlen(reply) + 1);
        if (sent < 0) break;
        totals.written += sent;
    }
    platform::pipedisconnect(pipe);
    finishclient(pipe);
}

void StatusPipe::commThreadFunc(const char *name) {
    const PipeHandle listener = platform::pipelisten(name, kListenBacklog);
    if (listener == kNoPipe) {
        reporterror("Error Creating Named Pipe.");
        settle();
        return;
    }
    {
        MutexLock lock(mutex_);
        if (stopping_) {
            platform::pipeclose(listener);
            settled_ = true;
            changed_.notify_all();
            return;
        }
        listener_ = listener;
    }
    settle();
    for (;;) {
        reapfinished();
        const PipeHandle client = platform::pipeaccept(listener);
        if (client == kNoPipe) {
            if (!isstopping()) reporterror("Error Connecting to Named Pipe.");
            break;
        }
        if (full()) {
            refuseclient(client);
            continue;
        }
        if (!startclient(client)) break;
    }
    MutexLock lock(mutex_);
    listener_ = kNoPipe;
    platform::pipeclose(listener);
}

bool StatusPipe::startstatuspipe(const char *name) {
    MutexLock lock(mutex_);
    if (listenerthread_.joinable()) return false;
    stopping_ = false;
    settled_ = false;
    name_ = name != nullptr ? name : kStatusPipeName;
    try {
        listenerthread_ = std::thread(&StatusPipe::commThreadFunc, this, name_.c_str());
    } catch (const std::system_error &) {
        return false;
    }
    // Clients may connect as soon as this returns (or the failure has been reported).
    while (!settled_) lock.wait(changed_);
    return true;
}

void StatusPipe::stopstatuspipe() {
    std::thread listener;
    {
        MutexLock lock(mutex_);
        stopping_ = true;
        if (listener_ != kNoPipe) platform::pipeshutdown(listener_);
        for (const Client &client : clients_) {
            if (client.pipe != kNoPipe) platform::pipeshutdown(client.pipe);
        }
        listener.swap(listenerthread_);
    }
    changed_.notify_all();
    if (listener.joinable()) listener.join();
    // The listener has ended, so the list only shrinks now; each conversation, woken by the
    // shutdown, closes its pipe and ends.
    std::list<std::thread> threads;
    {
        MutexLock lock(mutex_);
        for (Client &client : clients_) threads.push_back(std::move(client.thread));
    }
    for (std::thread &thread : threads) {
        if (thread.joinable()) thread.join();
    }
    MutexLock lock(mutex_);
    clients_.clear();
}

}  // namespace vorn::server
