// Locks. The server holds every lock of a network database; a local database only has a
// lock flag in its header copy, and each local unlock is the point where its changes are
// written to the file and its handle renewed.
#include <chrono>
#include <cstring>
#include <thread>

#include "localfile.h"

using namespace vorn;
using namespace vorn::link;

namespace {

// Pause between requests for an exclusive lock that another user holds.
constexpr auto kExclusiveRetryPause = std::chrono::milliseconds(3);

std::int16_t locallock(char instance, ::FS *fsinfo) {
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    fsdata->fscb.dblocked = 1;
    return 1;
}

std::int16_t unlocklocal(char instance, ::FS *fsinfo) {
    FSDATA *fsdata = localdb(instance, fsinfo);
    return fsdata != nullptr ? localunlock(fsdata) : 0;
}

// fsunlockrid and fsforceunlockrid: a refusal because another user holds the lock fails
// without becoming the last error.
std::int16_t unlockrid(char instance, ::FS *fsinfo, std::uint8_t call, std::uint32_t rid) {
    if (fsinfo == nullptr) return 0;
    if (!isremote(fsinfo)) return unlocklocal(instance, fsinfo);
    fsinfo->len = sizeof rid;
    std::uint8_t data[sizeof rid];
    std::memcpy(data, &rid, sizeof rid);
    const ExchangeResult r = exchange(instance, call, fsinfo, data);
    if (r == kReplyError && fsinfo->errororigin == kServerOrigin && fsinfo->error == kErrLocked) {
        lserrno = 0;
    }
    return r == kExchangeOk ? 1 : 0;
}

}  // namespace

std::int16_t fslock(char instance, ::FS *fsinfo, const std::uint32_t *ridary) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (!isremote(fsinfo)) return locallock(instance, fsinfo);
    std::uint32_t rids[kMaxLockRids];
    int count = 0;
    while (ridary != nullptr && count < kMaxLockRids && ridary[count] != 0) {
        rids[count] = ridary[count];
        ++count;
    }
    fsinfo->len = static_cast<std::int16_t>(count * sizeof(std::uint32_t));
    return forward(instance, kOpLock, fsinfo, rids);
}

std::int16_t fsexclusivelock(char instance, ::FS *fsinfo, std::int16_t allowreads) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (!isremote(fsinfo)) return locallock(instance, fsinfo);
    for (;;) {
        fsinfo->len = sizeof allowreads;
        fsinfo->rid = 0;
        std::int16_t data = allowreads;
        const ExchangeResult r = exchange(instance, kOpExclusiveLock, fsinfo, &data);
        if (r == kExchangeOk) return 1;
        if (r == kExchangeFailed || !islockrefusal(fsinfo)) return 0;
        // Another user holds the file: ask again shortly.
        lserrno = 0;
        std::this_thread::sleep_for(kExclusiveRetryPause);
    }
}

std::int16_t fsunlock(char instance, ::FS *fsinfo) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = 0;
        return forward(instance, kOpUnlock, fsinfo);
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    if (fsdata->readonly != 0) return 1;
    return localunlock(fsdata);
}

std::int16_t fsunlockrid(char instance, ::FS *fsinfo, std::uint32_t rid) {
    lserrno = 0;
    return unlockrid(instance, fsinfo, kOpUnlockRid, rid);
}

std::int16_t fsforceunlockrid(char instance, ::FS *fsinfo, std::uint32_t rid) {
    lserrno = 0;
    return unlockrid(instance, fsinfo, kOpForceUnlockRid, rid);
}

std::int16_t fsexclusiveunlock(char instance, ::FS *fsinfo) {
    lserrno = 0;
    if (fsinfo == nullptr) return 0;
    if (!isremote(fsinfo)) return unlocklocal(instance, fsinfo);
    fsinfo->len = 0;
    return forward(instance, kOpExclusiveUnlock, fsinfo);
}
