#include "locks.h"

#include <algorithm>
#include <new>

#include "operation.h"

namespace vorn::server {

LockManager::Entries::iterator LockManager::entryof(int slot, UserId user) {
    auto &list = ridtbl_[slot];
    return std::find_if(list.begin(), list.end(),
                        [user](const LockEntry &e) { return e.userid == user; });
}

LockManager::Entries::const_iterator LockManager::entryof(int slot, UserId user) const {
    const auto &list = ridtbl_[slot];
    return std::find_if(list.begin(), list.end(),
                        [user](const LockEntry &e) { return e.userid == user; });
}

// Removes one rid at `index` of an entry; an entry left without rids is removed. Returns
// true when the entry is gone.
bool LockManager::removeridat(int slot, Entries::iterator entry, std::size_t index) {
    if (entry->rids.size() == 1) {
        ridtbl_[slot].erase(entry);
        return true;
    }
    entry->rids.erase(entry->rids.begin() + static_cast<std::ptrdiff_t>(index));
    return false;
}

bool LockManager::anyridlocked(const SlotMutexes &, int slot, const std::uint8_t *data,
                               std::size_t n) const {
    for (const LockEntry &entry : ridtbl_[slot]) {
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t rid = ridat(data, k);
            if (std::find(entry.rids.begin(), entry.rids.end(), rid) != entry.rids.end()) {
                return true;
            }
        }
    }
    return false;
}

std::size_t LockManager::heldlocks(const SlotMutexes &, int slot, UserId user) const {
    auto own = entryof(slot, user);
    return own != ridtbl_[slot].end() ? own->rids.size() : 0;
}

AddLocks LockManager::addlocks(const SlotMutexes &, int slot, UserId user, const std::uint8_t *data,
                               std::size_t n) {
    auto own = entryof(slot, user);
    const std::size_t held = own != ridtbl_[slot].end() ? own->rids.size() : 0;
    try {
        if (own != ridtbl_[slot].end()) {
            for (std::size_t k = 0; k < n; ++k) own->rids.push_back(ridat(data, k));
        } else {
            LockEntry entry;
            entry.userid = user;
            entry.rids.reserve(n);
            for (std::size_t k = 0; k < n; ++k) entry.rids.push_back(ridat(data, k));
            ridtbl_[slot].push_back(std::move(entry));
        }
    } catch (const std::bad_alloc &) {
        if (own != ridtbl_[slot].end()) {
            own->rids.resize(held);  // nothing changed
            return AddLocks::NoMemoryToGrow;
        }
        return AddLocks::NoMemoryForEntry;
    }
    return AddLocks::Added;
}

void LockManager::unlockrid(const SlotMutexes &, int slot, UserId user, std::uint32_t rid) {
    auto own = entryof(slot, user);
    if (own == ridtbl_[slot].end()) return;
    // Each match is removed; the rid that moves into a freed position is not looked at again.
    for (std::size_t i = 0; i < own->rids.size(); ++i) {
        if (own->rids[i] != rid) continue;
        if (removeridat(slot, own, i)) return;
    }
}

void LockManager::forceunlockrid(const SlotMutexes &, int slot, std::uint32_t rid) {
    for (auto entry = ridtbl_[slot].begin(); entry != ridtbl_[slot].end(); ++entry) {
        auto found = std::find(entry->rids.begin(), entry->rids.end(), rid);
        if (found == entry->rids.end()) continue;
        removeridat(slot, entry, static_cast<std::size_t>(found - entry->rids.begin()));
        return;
    }
}

bool LockManager::anylocks(const SlotMutexes &, int slot) const {
    return !ridtbl_[slot].empty();
}

int LockManager::ridlookup(const SlotMutexes &, int slot, UserId user, std::uint32_t rid) const {
    for (const LockEntry &entry : ridtbl_[slot]) {
        if (std::find(entry.rids.begin(), entry.rids.end(), rid) != entry.rids.end()) {
            return entry.userid == user ? 1 : 2;
        }
    }
    return 0;
}

void LockManager::removeuserlocks(const SlotMutexes &, int slot, UserId user) {
    auto own = entryof(slot, user);
    if (own != ridtbl_[slot].end()) ridtbl_[slot].erase(own);
}

void LockManager::clearlocks(const SlotMutexes &, int slot) {
    ridtbl_[slot].clear();
    ridtbl_[slot].shrink_to_fit();
}

void LockManager::releaseexclusive(SRVFSDATA *file, UserId user) {
    if (file == nullptr || file->exclowner != user) return;
    // Failures are reported; the lock is released whatever happened.
    flushoperation(file, false);
    file->exclowner = kNoOwner;
    file->allowreads = 1;
}

}  // namespace vorn::server
