// The wire protocol between vornlink and vornserv: the 19-byte FS call block that heads every
// request and reply, the packets, the opcodes and the result codes. Both deliverables include
// this header; docs/PROTOCOL.md explains the exchange.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vorn/fs.h"

namespace vorn {

#pragma pack(push, 1)

// The call block: the handle of an open database and the header of every packet.
struct FS {
    std::int16_t fsdatanum;     // file index: local slot 0..19, or the server's slot 0..99
    std::uint8_t isnetwork;     // nonzero: forwarded to the server
    std::uint16_t socket;       // carried, never interpreted
    char errororigin;           // 'L' marks a server code in `error`
    std::int32_t error;         // 0 success, else a result code
    std::int16_t len;           // data bytes following the block
    std::uint8_t fid;           // sub-file (high nibble) and subkey (low nibble)
    std::uint32_t rid;          // record id or 32-bit argument / result
    std::uint8_t sequence;      // carried, never interpreted
    std::uint8_t totalpackets;  // carried, never interpreted
};

inline constexpr std::size_t kFsSize = 19;
inline constexpr std::size_t kRequestHeader = 21;  // call[2] + FS
inline constexpr std::size_t kReplyHeader = 19;    // FS
inline constexpr std::size_t kPacketData = 1024;   // data room of either packet
inline constexpr std::size_t kServerReceiveBuffer = 1050;
inline constexpr std::size_t kClientReceiveLimit = 19 + 1024;  // a whole reply fits

struct SENDPACKET {
    std::uint8_t call[2];  // call[0]: 1 for open, else 0; call[1]: opcode
    FS fsinfo;
    std::uint8_t Data[kPacketData];
};

struct RECVPACKET {
    FS fsinfo;
    std::uint8_t Data[kPacketData];
};

// Broken-down local time on the wire: nine signed 16-bit fields.
struct DOSTM {
    std::int16_t tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday, tm_yday, tm_isdst;
};

#pragma pack(pop)

static_assert(sizeof(FS) == kFsSize);
static_assert(offsetof(FS, fsdatanum) == 0);
static_assert(offsetof(FS, isnetwork) == 2);
static_assert(offsetof(FS, socket) == 3);
static_assert(offsetof(FS, errororigin) == 5);
static_assert(offsetof(FS, error) == 6);
static_assert(offsetof(FS, len) == 10);
static_assert(offsetof(FS, fid) == 12);
static_assert(offsetof(FS, rid) == 13);
static_assert(offsetof(FS, sequence) == 17);
static_assert(offsetof(FS, totalpackets) == 18);
static_assert(offsetof(SENDPACKET, fsinfo) == 2);
static_assert(offsetof(SENDPACKET, Data) == kRequestHeader);
static_assert(offsetof(RECVPACKET, Data) == kReplyHeader);
static_assert(sizeof(DOSTM) == 18);

inline constexpr char kServerOrigin = 'L';
inline constexpr char kNoOrigin = ' ';

// Opcodes (call[1]).
enum Opcode : std::uint8_t {
    kOpOpen = 16,
    kOpOpenTemp = 17,
    kOpClose = 18,
    kOpCloseTemp = 19,
    kOpLock = 20,
    kOpUnlock = 21,
    kOpExclusiveLock = 22,
    kOpExclusiveUnlock = 23,
    kOpUnlockRid = 24,
    kOpIsLocked = 25,
    kOpGetCanNumber = 26,
    kOpStoreCanNumber = 27,
    kOpGetBusinessDate = 28,
    kOpStoreBusinessDate = 29,
    kOpForceUnlockRid = 30,
    kOpGetLocalTime = 31,
    kOpAdd = 33,
    kOpWrite = 34,
    kOpFirst = 35,
    kOpLast = 36,
    kOpDelete = 37,
    kOpRead = 38,
    kOpNext = 39,
    kOpPrev = 40,
    kOpAddKey = 49,
    kOpDeleteKey = 50,
    kOpFirstKey = 51,
    kOpLastKey = 52,
    kOpFindKey = 53,
    kOpNextKey = 54,
    kOpPrevKey = 55,
    kOpGetAppStat = 65,
    kOpSetAppStat = 66,
    kOpForceClose = 81,
};

// Result codes carried in FS.error with origin 'L'.
enum ServerCode : std::int32_t {
    kErrNoSlot = 1,
    kErrNoMemory = 2,
    kErrNameTooLong = 3,
    kErrOpenFile = 7,
    kErrBadHeader = 8,
    kErrTempHeader = 9,
    kErrTempXlate = 10,
    kErrTempData = 11,
    kErrLockTable = 470,
    kErrNoChainBlock = 471,
    kErrBlockRead = 472,
    kErrBlockWrite = 473,
    kErrNoXlate = 474,
    kErrAddToBlock = 475,
    kErrRidNoBlock = 476,
    kErrNotInBlock = 477,
    kErrChangeXlate = 478,
    kErrFreeXlate = 479,
    kErrBadIndex = 480,
    kErrLocked = 481,
    kErrKey = 484,
    kErrNoUserTable = 490,
    kErrNotAUser = 491,
    kErrLockedAlt = 469,  // treated like 481 by the exclusive-lock retry; never sent
};

}  // namespace vorn
