// The process-wide state of the client library and the helpers every fs* function shares:
// instance and file tables, the last error code, the error ring, the message text, the key
// buffer, the routing of a call to the local engine or to the server.
//
// The library holds no locks: an application makes one call at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fsn/fsdata.h"
#include "netcalls.h"
#include "vorn/wire.h"
#include "vornlink.h"

static_assert(sizeof(::FS) == sizeof(vorn::FS));
static_assert(offsetof(::FS, fsdatanum) == offsetof(vorn::FS, fsdatanum));
static_assert(offsetof(::FS, isnetwork) == offsetof(vorn::FS, isnetwork));
static_assert(offsetof(::FS, socket) == offsetof(vorn::FS, socket));
static_assert(offsetof(::FS, errororigin) == offsetof(vorn::FS, errororigin));
static_assert(offsetof(::FS, error) == offsetof(vorn::FS, error));
static_assert(offsetof(::FS, len) == offsetof(vorn::FS, len));
static_assert(offsetof(::FS, fid) == offsetof(vorn::FS, fid));
static_assert(offsetof(::FS, rid) == offsetof(vorn::FS, rid));
static_assert(offsetof(::FS, sequence) == offsetof(vorn::FS, sequence));
static_assert(offsetof(::FS, totalpackets) == offsetof(vorn::FS, totalpackets));

namespace vorn::link {

inline constexpr int kFilesPerInstance = 20;
inline constexpr int kErrRing = 10;
inline constexpr std::size_t kMsgSize = 80;
inline constexpr int kMaxNetName = 128;   // longest file name sent to the server
inline constexpr int kMaxRecord = 32767;  // longest record read back
inline constexpr int kWorkArea = 1024;    // compression work area
inline constexpr int kMaxLockRids = 21;   // rids sent by one fslock

extern char instanceinuse[kInstances];
// Local open databases: row = instance, column = fsdatanum.
extern FSDATA *fsdataary[kInstances][kFilesPerInstance];
extern std::int16_t lserrno;
extern std::int16_t err[kErrRing];
extern std::int16_t errindex;
extern char msg[kMsgSize];
extern std::uint8_t newkey[kKeyBuffer];

// Records an error code in the ring.
void dodberror(std::int16_t code);
// Replaces msg with text (cut to fit).
void setmsg(const char *text);
// The engine's failure hook for local databases: codes to the ring, client texts to msg.
Reporter *linkreporter();

// The row of the instance, or -1 when the number names no instance.
int instanceindex(char instance);
// True when the block names a database forwarded to the server.
inline bool isremote(const ::FS *fs) {
    return fs != nullptr && fs->isnetwork != 0;
}
// The local database named by the block's contents, or null when the instance or fsdatanum
// names no open database. `usable` also demands an open file (a failed reopen leaves none).
FSDATA *localdb(char instance, const ::FS *fs, bool usable = true);

// Exchanges the block with the server under `call`, as every forwarded operation does; the
// reply's data (at most `room` bytes) goes to `data`. Returns kExchangeOk when the server
// succeeded, kReplyError when the reply carries an error (lserrno then takes the server's
// code if its origin is 'L'), kExchangeFailed when no reply arrived (the block is unchanged).
enum ExchangeResult { kExchangeFailed = -1, kReplyError = 0, kExchangeOk = 1 };
ExchangeResult exchange(char instance, std::uint8_t call, ::FS *fs, void *data = nullptr,
                        std::size_t room = 0);
// 1 when the exchange succeeded with no error, else 0.
inline std::int16_t forward(char instance, std::uint8_t call, ::FS *fs, void *data = nullptr,
                            std::size_t room = 0) {
    return exchange(instance, call, fs, data, room) == kExchangeOk ? 1 : 0;
}
// The reply's error is the server's "locked by another user" answer.
bool islockrefusal(const ::FS *fs);

// Ownership of the blocks handed out by the open functions. A caller may keep and pass its
// own copy of a block, so a block is judged by its contents; only blocks allocated here are
// ever freed.
::FS *allocblock();
// The block allocated for each local slot: closing through a copy still frees it.
extern ::FS *slotblock[kInstances][kFilesPerInstance];
// Network blocks handed out and not yet closed. keepnetblock returns false when it can't
// remember the block (no memory).
bool keepnetblock(::FS *fs);
// Frees fs if it is a network block handed out here; a copy is left alone.
void dropnetblock(::FS *fs);

}  // namespace vorn::link
