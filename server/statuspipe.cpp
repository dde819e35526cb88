// The status interface: one listener thread takes clients from the status pipe, one thread per
// client answers its requests. At most kMaxPipeInstances clients are served at once, as a
// pipe with that many instances allows: a further client is disconnected as soon as it is
// taken, so it learns at once that it can't be served instead of waiting without a limit.
#include "statuspipe.h"

#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <system_error>
#include <thread>

#include "mutex.h"
#include "vorn/eventlog.h"

namespace vorn::server {

std::atomic<std::int32_t> packets{0};

namespace {

using platform::kNoPipe;
using platform::PipeHandle;

// Clients that may wait in the pipe's queue while the served ones are busy.
constexpr int kListenBacklog = 16;

struct Client {
    PipeHandle pipe;  // kNoPipe once the conversation has closed it
    std::thread thread;
    bool done = false;
};

// The interface's threads and handles; everything here is guarded by `mutex`.
struct StatusPipe {
    Mutex mutex;
    std::condition_variable changed;  // a client left, or the interface is stopping
    std::string name GUARDED_BY(mutex);
    std::thread listenerthread GUARDED_BY(mutex);
    PipeHandle listener GUARDED_BY(mutex) = kNoPipe;
    bool settled GUARDED_BY(mutex) = false;  // the listener has made its pipe or failed to
    bool stopping GUARDED_BY(mutex) = false;
    std::list<Client> clients GUARDED_BY(mutex);
};

StatusPipe state;
Mutex auditmutex;

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

// One line per request, the file opened and closed each time; the mutex keeps the lines of
// concurrent clients whole. A log that can't be opened is skipped. Binary mode, so that each
// line ends in the one "\r\n" written on every system.
void appendaudit(long length, const char *request) {
    MutexLock lock(auditmutex);
    std::FILE *log = std::fopen(kAuditLogName, "ab");
    if (log == nullptr) return;
    std::fprintf(log, "Length=%ld - msg=%s\r\n", length, request);
    std::fclose(log);
}

int activeclients() REQUIRES(state.mutex) {
    int n = 0;
    for (const Client &client : state.clients) n += client.done ? 0 : 1;
    return n;
}

// Joins the threads of conversations that have ended and forgets them.
void reapfinished() {
    std::list<Client> finished;
    {
        MutexLock lock(state.mutex);
        for (auto it = state.clients.begin(); it != state.clients.end();) {
            const auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), state.clients, it);
            it = next;
        }
    }
    for (Client &client : finished) {
        if (client.thread.joinable()) client.thread.join();
    }
}

// Called by a conversation's thread as its last act: closes the pipe under the lock, so
// that stopstatuspipe never shuts down a handle number that has been reused.
void finishclient(PipeHandle pipe) {
    {
        MutexLock lock(state.mutex);
        for (Client &client : state.clients) {
            if (client.done || client.pipe != pipe) continue;
            client.pipe = kNoPipe;
            client.done = true;
            break;
        }
        platform::pipeclose(pipe);
    }
    state.changed.notify_all();
}

// Starts the conversation thread for a new client; false (client closed) when it can't.
bool startclient(PipeHandle pipe) {
    MutexLock lock(state.mutex);
    if (!state.stopping) {
        Client &client = state.clients.emplace_back(Client{pipe, {}, false});
        try {
            client.thread = std::thread(msnpClientThread, pipe);
            return true;
        } catch (const std::system_error &) {
            state.clients.pop_back();
        }
    }
    platform::pipeclose(pipe);
    return false;
}

// True when every instance is taken by a client being served.
bool full() {
    MutexLock lock(state.mutex);
    return activeclients() >= kMaxPipeInstances;
}

// Ends a client that finds every instance taken: it reads the end of the pipe at once.
void refuseclient(PipeHandle pipe) {
    platform::pipedisconnect(pipe);
    platform::pipeclose(pipe);
}

bool isstopping() {
    MutexLock lock(state.mutex);
    return state.stopping;
}

// Tells startstatuspipe that the listener has made its pipe (or failed to).
void settle() {
    {
        MutexLock lock(state.mutex);
        state.settled = true;
    }
    state.changed.notify_all();
}

}  // namespace

void processmessage(const char *request, char *reply) {
    const std::int32_t count = packets.fetch_add(1) + 1;
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

void msnpClientThread(PipeHandle pipe) {
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

void commThreadFunc(const char *name) {
    const PipeHandle listener = platform::pipelisten(name, kListenBacklog);
    if (listener == kNoPipe) {
        reporterror("Error Creating Named Pipe.");
        settle();
        return;
    }
    {
        MutexLock lock(state.mutex);
        if (state.stopping) {
            platform::pipeclose(listener);
            state.settled = true;
            state.changed.notify_all();
            return;
        }
        state.listener = listener;
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
    MutexLock lock(state.mutex);
    state.listener = kNoPipe;
    platform::pipeclose(listener);
}

bool startstatuspipe(const char *name) {
    MutexLock lock(state.mutex);
    if (state.listenerthread.joinable()) return false;
    state.stopping = false;
    state.settled = false;
    state.name = name != nullptr ? name : kStatusPipeName;
    try {
        state.listenerthread = std::thread(commThreadFunc, state.name.c_str());
    } catch (const std::system_error &) {
        return false;
    }
    // Clients may connect as soon as this returns (or the failure has been reported).
    while (!state.settled) lock.wait(state.changed);
    return true;
}

void stopstatuspipe() {
    std::thread listener;
    {
        MutexLock lock(state.mutex);
        state.stopping = true;
        if (state.listener != kNoPipe) platform::pipeshutdown(state.listener);
        for (const Client &client : state.clients) {
            if (client.pipe != kNoPipe) platform::pipeshutdown(client.pipe);
        }
        listener.swap(state.listenerthread);
    }
    state.changed.notify_all();
    if (listener.joinable()) listener.join();
    // The listener has ended, so the list only shrinks now; each conversation, woken by the
    // shutdown, closes its pipe and ends.
    std::list<std::thread> threads;
    {
        MutexLock lock(state.mutex);
        for (Client &client : state.clients) threads.push_back(std::move(client.thread));
    }
    for (std::thread &thread : threads) {
        if (thread.joinable()) thread.join();
    }
    MutexLock lock(state.mutex);
    state.clients.clear();
}

}  // namespace vorn::server
