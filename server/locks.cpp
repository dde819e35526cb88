#include "locks.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "fserror.h"
#include "fsn/blocks.h"
#include "operation.h"

namespace vorn::server {

std::vector<LockEntry> ridtbl[kSlots];

namespace {

std::uint32_t ridat(const std::uint8_t *data, std::size_t index) {
    std::uint32_t rid;
    std::memcpy(&rid, data + index * sizeof rid, sizeof rid);
    return rid;
}

std::vector<LockEntry>::iterator entryof(int slot, UserId user) {
    auto &list = ridtbl[slot];
    return std::find_if(list.begin(), list.end(),
                        [user](const LockEntry &e) { return e.userid == user; });
}

bool heldbyanyone(int slot, const std::uint8_t *data, std::size_t n) {
    for (const LockEntry &entry : ridtbl[slot]) {
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t rid = ridat(data, k);
            if (std::find(entry.rids.begin(), entry.rids.end(), rid) != entry.rids.end()) {
                return true;
            }
        }
    }
    return false;
}

bool othersexclusive(const Request &request) {
    const UserId owner = request.file->exclowner;
    return owner != kNoOwner && owner != request.user;
}

// Removes one rid at `index` of an entry; an entry left without rids is removed. Returns
// true when the entry is gone.
bool removeridat(int slot, std::vector<LockEntry>::iterator entry, std::size_t index) {
    if (entry->rids.size() == 1) {
        ridtbl[slot].erase(entry);
        return true;
    }
    entry->rids.erase(entry->rids.begin() + static_cast<std::ptrdiff_t>(index));
    return false;
}

}  // namespace

std::uint32_t fslock(Request &request) {
    const int slot = request.slot;
    const std::size_t n = static_cast<std::size_t>(request.datalen) / 4;
    if (othersexclusive(request) || heldbyanyone(slot, request.data, n)) {
        refuse(request.fs, kErrLocked);
        return 0;
    }
    auto own = entryof(slot, request.user);
    const std::size_t held = own != ridtbl[slot].end() ? own->rids.size() : 0;
    if (held + n > static_cast<std::size_t>(kMaxUsers)) {
        setmsg("fslock - ridtbl realloc error.\r\n");
        setfserror(request.fs, kServerOrigin, kErrLockTable);
        return 0;
    }
    try {
        if (own != ridtbl[slot].end()) {
            for (std::size_t k = 0; k < n; ++k) own->rids.push_back(ridat(request.data, k));
        } else {
            LockEntry entry;
            entry.userid = request.user;
            entry.rids.reserve(n);
            for (std::size_t k = 0; k < n; ++k) entry.rids.push_back(ridat(request.data, k));
            ridtbl[slot].push_back(std::move(entry));
        }
    } catch (const std::bad_alloc &) {
        if (own != ridtbl[slot].end()) own->rids.resize(held);  // nothing changed
        setmsg(own != ridtbl[slot].end() ? "fslock - ridtbl realloc error.\r\n"
                                         : "fslock - lock table malloc error.\r\n");
        setfserror(request.fs, kServerOrigin, kErrLockTable);
        return 0;
    }
    return 1;
}

std::uint32_t fsunlock(Request &request) {
    removeuserlocks(request.slot, request.user);
    return 1;
}

std::uint32_t fsunlockrid(Request &request) {
    const int slot = request.slot;
    const std::uint32_t rid = ridat(request.data, 0);
    auto own = entryof(slot, request.user);
    if (own == ridtbl[slot].end()) return 1;
    // Each match is removed; the rid that moves into a freed position is not looked at again.
    for (std::size_t i = 0; i < own->rids.size(); ++i) {
        if (own->rids[i] != rid) continue;
        if (removeridat(slot, own, i)) return 1;
    }
    return 1;
}

std::uint32_t fsforceunlockrid(Request &request) {
    const int slot = request.slot;
    const std::uint32_t rid = ridat(request.data, 0);
    for (auto entry = ridtbl[slot].begin(); entry != ridtbl[slot].end(); ++entry) {
        auto found = std::find(entry->rids.begin(), entry->rids.end(), rid);
        if (found == entry->rids.end()) continue;
        removeridat(slot, entry, static_cast<std::size_t>(found - entry->rids.begin()));
        return 1;
    }
    return 1;
}

std::uint32_t fsislocked(Request &request) {
    if (ridlookup(request.slot, request.user, ridat(request.data, 0)) != 0) {
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
    if (file->exclowner == kNoOwner && ridtbl[request.slot].empty()) {
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
    releaseexclusive(request.slot, request.user);
    return 1;
}

int ridlookup(int slot, UserId user, std::uint32_t rid) {
    for (const LockEntry &entry : ridtbl[slot]) {
        if (std::find(entry.rids.begin(), entry.rids.end(), rid) != entry.rids.end()) {
            return entry.userid == user ? 1 : 2;
        }
    }
    return 0;
}

void removeuserlocks(int slot, UserId user) {
    auto own = entryof(slot, user);
    if (own != ridtbl[slot].end()) ridtbl[slot].erase(own);
}

void releaseexclusive(int slot, UserId user) {
    SRVFSDATA *file = fsdatatbl[slot].load();
    if (file == nullptr || file->exclowner != user) return;
    // Failures are reported; the lock is released whatever happened.
    flushoperation(file, false);
    file->exclowner = kNoOwner;
    file->allowreads = 1;
}

void clearlocks(int slot) {
    ridtbl[slot].clear();
    ridtbl[slot].shrink_to_fit();
}

}  // namespace vorn::server
