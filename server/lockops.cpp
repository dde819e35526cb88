// The lock handlers: record locks and the file's exclusive lock, over the lock manager
// (locks.h).
#include <cstring>

#include "fserror.h"
#include "locks.h"
#include "operations.h"

namespace vorn::server {
namespace {

bool othersexclusive(const Request &request) {
    const UserId owner = request.file->exclowner;
    return owner != kNoOwner && owner != request.user;
}

}  // namespace

std::uint32_t fslock(Request &request) {
    const std::size_t n = static_cast<std::size_t>(request.datalen) / 4;
    if (othersexclusive(request) ||
        request.locks->anyridlocked(*request.mutexes, request.slot, request.data, n)) {
        refuse(request.fs, kErrLocked);
        return 0;
    }
    if (request.locks->heldlocks(*request.mutexes, request.slot, request.user) + n >
        static_cast<std::size_t>(kMaxUsers)) {
        setmsg("fslock - ridtbl realloc error.\r\n");
        setfserror(request.fs, kServerOrigin, kErrLockTable);
        return 0;
    }
    const AddLocks added =
        request.locks->addlocks(*request.mutexes, request.slot, request.user, request.data, n);
    if (added != AddLocks::Added) {
        setmsg(added == AddLocks::NoMemoryToGrow ? "fslock - ridtbl realloc error.\r\n"
                                                 : "fslock - lock table malloc error.\r\n");
        setfserror(request.fs, kServerOrigin, kErrLockTable);
        return 0;
    }
    return 1;
}

std::uint32_t fsunlock(Request &request) {
    request.locks->removeuserlocks(*request.mutexes, request.slot, request.user);
    return 1;
}

std::uint32_t fsunlockrid(Request &request) {
    request.locks->unlockrid(*request.mutexes, request.slot, request.user, ridat(request.data, 0));
    return 1;
}

std::uint32_t fsforceunlockrid(Request &request) {
    request.locks->forceunlockrid(*request.mutexes, request.slot, ridat(request.data, 0));
    return 1;
}

std::uint32_t fsislocked(Request &request) {
    if (request.locks->ridlookup(*request.mutexes, request.slot, request.user,
                                 ridat(request.data, 0)) != 0) {
        msg()[0] = '\0';
        setfserror(request.fs, kServerOrigin, kErrLocked);
    }
    return 1;
}

std::uint32_t fsexclusivelock(Request &request) {
    std::int16_t allowreads;
    std::memcpy(&allowreads, request.data, sizeof allowreads);
    SRVFSDATA *file = request.file;
    if (file->exclowner == request.user) {
        file->allowreads = allowreads;
        return 1;
    }
    if (file->exclowner == kNoOwner && !request.locks->anylocks(*request.mutexes, request.slot)) {
        file->exclowner = request.user;
        file->allowreads = allowreads;
        return 1;
    }
    refuse(request.fs, kErrLocked);
    return 0;
}

std::uint32_t fsexclusiveunlock(Request &request) {
    if (request.file->exclowner != request.user) {
        refuse(request.fs, kErrLocked);
        return 0;
    }
    LockManager::releaseexclusive(request.file, request.user);
    return 1;
}

}  // namespace vorn::server
