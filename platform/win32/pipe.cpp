// Win32 implementation of the status-pipe seam: the named pipe "\\.\pipe\NAME". Instances are
// message-type pipes read in message mode (one read is one message; the rest of a message
// longer than the reader's buffer is dropped, as the seam promises), blocking, at most
// kMaxInstances at once, system-default buffer sizes, a default time-out of 1024 ms, and a
// security descriptor with a null access list so that any local user may connect.
//
// A PipeHandle is a small number naming an entry of a table; the entry keeps the Windows
// handle and an event that pipeshutdown sets. Every wait (for a client, for a message) is an
// overlapped call that also waits for that event, so a shutdown wakes it from any thread.
// The listener holds the instance that the next client will take, made as soon as a client
// has taken the previous one, or by pipeaccept when all kMaxInstances were busy then. No
// further instance can exist, so a fourth client is refused (all instances busy) after the
// pipe's default time-out instead of waiting for ever.
#include "vorn/pipe.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vorn::platform {
namespace {

constexpr DWORD kMaxInstances = 3;
constexpr DWORD kDefaultTimeoutMs = 1024;
constexpr DWORD kPollMs = 10;

struct PipeEntry {
    HANDLE handle = INVALID_HANDLE_VALUE;   // an instance, a client end, or none (listener)
    HANDLE cancel = nullptr;                // manual-reset event set by pipeshutdown
    std::string path;                       // the listener's "\\.\pipe\NAME"
    bool server = false;                    // a server-side instance
    HANDLE pending = INVALID_HANDLE_VALUE;  // the listener's instance for the next client

    ~PipeEntry() {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
        if (pending != INVALID_HANDLE_VALUE) ::CloseHandle(pending);
        if (cancel != nullptr) ::CloseHandle(cancel);
    }
};

std::mutex tablemutex;
std::map<PipeHandle, std::shared_ptr<PipeEntry>> table;
PipeHandle nexthandle = 1;

std::shared_ptr<PipeEntry> newentry() {
    auto entry = std::make_shared<PipeEntry>();
    entry->cancel = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (entry->cancel == nullptr) return nullptr;
    return entry;
}

PipeHandle add(std::shared_ptr<PipeEntry> entry) {
    std::lock_guard lock(tablemutex);
    if (nexthandle < 0) nexthandle = 1;  // after 2^31 handles: start again (old ones are long gone)
    const PipeHandle h = nexthandle++;
    table[h] = std::move(entry);
    return h;
}

std::shared_ptr<PipeEntry> find(PipeHandle h) {
    std::lock_guard lock(tablemutex);
    const auto it = table.find(h);
    return it == table.end() ? nullptr : it->second;
}

bool pipepath(const char *name, std::string *path) {
    if (name == nullptr) return false;
    const std::size_t length = std::strlen(name);
    if (length == 0 || length > kMaxPipeName || std::strpbrk(name, "\\/") != nullptr) return false;
    *path = std::string("\\\\.\\pipe\\") + name;
    return true;
}

// A new instance of the pipe; `first` claims the name (fails when another process serves it).
HANDLE newinstance(const std::string &path, bool first) {
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const DWORD openmode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return ::CreateNamedPipeA(path.c_str(), openmode,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kMaxInstances,
                              0, 0, kDefaultTimeoutMs, &attributes);
}

// Waits for an overlapped call on `handle` started with result `started`. False when it
// failed or the entry was shut down (the call is cancelled then). *n gets the bytes moved.
bool finish(PipeEntry &entry, HANDLE handle, OVERLAPPED &o, BOOL started, DWORD *n) {
    if (!started) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) return false;
    }
    const HANDLE waits[2] = {o.hEvent, entry.cancel};
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woke != WAIT_OBJECT_0) {
        ::CancelIoEx(handle, &o);
        ::GetOverlappedResult(handle, &o, n, TRUE);
        ::SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    return ::GetOverlappedResult(handle, &o, n, FALSE) != 0;
}

// An OVERLAPPED record with its own event, closed on scope exit.
struct Overlapped {
    OVERLAPPED o{};
    Overlapped() { o.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (o.hEvent != nullptr) ::CloseHandle(o.hEvent);
    }
    bool ok() const { return o.hEvent != nullptr; }
};

// Makes the listener's next instance. While every instance is taken by a client, none can be
// made (further clients are refused by the system meanwhile): waits until one is free again or
// the listener is shut down.
bool awaitinstance(PipeEntry &entry) {
    for (;;) {
        entry.pending = newinstance(entry.path, false);
        if (entry.pending != INVALID_HANDLE_VALUE) return true;
        if (::GetLastError() != ERROR_PIPE_BUSY) return false;
        if (::WaitForSingleObject(entry.cancel, kPollMs) == WAIT_OBJECT_0) return false;
    }
}

}  // namespace

PipeHandle pipelisten(const char *name, int) {
    std::string path;
    if (!pipepath(name, &path)) {
        ::SetLastError(ERROR_INVALID_NAME);
        return kNoPipe;
    }
    auto entry = newentry();
    if (entry == nullptr) return kNoPipe;
    entry->path = path;
    entry->pending = newinstance(path, true);
    if (entry->pending == INVALID_HANDLE_VALUE) return kNoPipe;
    return add(std::move(entry));
}

PipeHandle pipeaccept(PipeHandle listener) {
    const auto entry = find(listener);
    if (entry == nullptr || entry->path.empty()) return kNoPipe;
    if (::WaitForSingleObject(entry->cancel, 0) == WAIT_OBJECT_0) return kNoPipe;
    if (entry->pending == INVALID_HANDLE_VALUE && !awaitinstance(*entry)) return kNoPipe;
    Overlapped wait;
    if (!wait.ok()) return kNoPipe;
    const BOOL started = ::ConnectNamedPipe(entry->pending, &wait.o);
    DWORD ignored = 0;
    // A client that connected between the instance's creation and this call is there already.
    const bool connected = started || ::GetLastError() == ERROR_PIPE_CONNECTED ||
                           finish(*entry, entry->pending, wait.o, started, &ignored);
    if (!connected) return kNoPipe;
    auto client = newentry();
    if (client == nullptr) return kNoPipe;
    client->handle = entry->pending;
    client->server = true;
    // The next client finds an instance waiting, unless every instance is taken (the next
    // call makes one then).
    entry->pending = newinstance(entry->path, false);
    return add(std::move(client));
}

PipeHandle pipeconnect(const char *name) {
    std::string path;
    if (!pipepath(name, &path)) {
        ::SetLastError(ERROR_INVALID_NAME);
        return kNoPipe;
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    // Every instance busy: wait once for the pipe's default time-out, then give up.
    for (int attempt = 0; attempt < 2 && h == INVALID_HANDLE_VALUE; ++attempt) {
        h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_PIPE_BUSY || attempt > 0) break;
        if (!::WaitNamedPipeA(path.c_str(), NMPWAIT_USE_DEFAULT_WAIT)) break;
    }
    if (h == INVALID_HANDLE_VALUE) return kNoPipe;
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    auto entry = newentry();
    if (entry == nullptr) {
        ::CloseHandle(h);
        return kNoPipe;
    }
    entry->handle = h;
    return add(std::move(entry));
}

long piperead(PipeHandle pipe, void *buf, std::size_t n) {
    const auto entry = find(pipe);
    if (entry == nullptr || entry->handle == INVALID_HANDLE_VALUE) return -1;
    Overlapped wait;
    if (!wait.ok()) return -1;
    const DWORD want = n > 0xFFFF ? 0xFFFF : static_cast<DWORD>(n);
    DWORD got = 0;
    const BOOL started = ::ReadFile(entry->handle, buf, want, &got, &wait.o);
    if (finish(*entry, entry->handle, wait.o, started, &got)) return static_cast<long>(got);
    const DWORD error = ::GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) return 0;
    if (error != ERROR_MORE_DATA) return -1;
    // The message was longer than the buffer: drop the rest of it.
    for (;;) {
        char scratch[256];
        Overlapped more;
        if (!more.ok()) return -1;
        DWORD dropped = 0;
        const BOOL again = ::ReadFile(entry->handle, scratch, sizeof scratch, &dropped, &more.o);
        if (finish(*entry, entry->handle, more.o, again, &dropped)) break;
        if (::GetLastError() != ERROR_MORE_DATA) break;
    }
    return static_cast<long>(got);
}

long pipewrite(PipeHandle pipe, const void *buf, std::size_t n) {
    const auto entry = find(pipe);
    if (entry == nullptr || entry->handle == INVALID_HANDLE_VALUE || n > 0xFFFF) return -1;
    Overlapped wait;
    if (!wait.ok()) return -1;
    DWORD put = 0;
    const BOOL started = ::WriteFile(entry->handle, buf, static_cast<DWORD>(n), &put, &wait.o);
    if (!finish(*entry, entry->handle, wait.o, started, &put)) return -1;
    return static_cast<long>(put);
}

bool pipewait(PipeHandle pipe, int ms) {
    const auto entry = find(pipe);
    if (entry == nullptr || entry->handle == INVALID_HANDLE_VALUE) return false;
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(entry->handle, nullptr, 0, nullptr, &available, nullptr)) {
            return true;  // the peer's end is there to be read
        }
        if (available > 0) return true;
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        if (ms >= 0 && elapsed >= static_cast<ULONGLONG>(ms)) return false;
        if (::WaitForSingleObject(entry->cancel, kPollMs) == WAIT_OBJECT_0) return false;
    }
}

void pipedisconnect(PipeHandle pipe) {
    const auto entry = find(pipe);
    if (entry == nullptr || !entry->server) return;
    ::DisconnectNamedPipe(entry->handle);
}

void pipeshutdown(PipeHandle pipe) {
    const auto entry = find(pipe);
    if (entry != nullptr) ::SetEvent(entry->cancel);
}

void pipeclose(PipeHandle pipe) {
    std::shared_ptr<PipeEntry> entry;
    {
        std::lock_guard lock(tablemutex);
        const auto it = table.find(pipe);
        if (it == table.end()) return;
        entry = std::move(it->second);
        table.erase(it);
    }
    // The Windows handles close when the last thread using the entry lets go of it.
}

}  // namespace vorn::platform
