// The library's process-wide state and the helpers that route a call: every table starts
// zeroed when the library is loaded, and nothing runs at load or unload.
#include <cstring>
#include <new>
#include <unordered_set>

#include "linkstate.h"

namespace vorn::link {

char instanceinuse[kInstances] = {};
FSDATA *fsdataary[kInstances][kFilesPerInstance] = {};
std::int16_t lserrno = 0;
std::int16_t err[kErrRing] = {};
std::int16_t errindex = 0;
char msg[kMsgSize] = {};
std::uint8_t newkey[kKeyBuffer] = {};
::FS *slotblock[kInstances][kFilesPerInstance] = {};

namespace {

// Engine failures on local databases: the code goes to the ring, a client text to msg.
class LinkReporter final : public Reporter {
  public:
    void failure(std::int16_t code, const char *clienttext, const char * /*servertext*/) override {
        if (code != 0) dodberror(code);
        if (clienttext != nullptr) setmsg(clienttext);
    }
};

LinkReporter reporter;

// Never destroyed: an application may still close databases from its own exit handlers.
std::unordered_set<::FS *> &netblocks() {
    static auto *blocks = new std::unordered_set<::FS *>;
    return *blocks;
}

}  // namespace

void dodberror(std::int16_t code) {
    if (errindex < 0 || errindex >= kErrRing) errindex = 0;
    err[errindex] = code;
    errindex = static_cast<std::int16_t>(errindex == kErrRing - 1 ? 0 : errindex + 1);
}

void setmsg(const char *text) {
    if (text == nullptr) text = "";
    std::strncpy(msg, text, kMsgSize - 1);
    msg[kMsgSize - 1] = '\0';
}

Reporter *linkreporter() {
    return &reporter;
}

int instanceindex(char instance) {
    const int n = static_cast<int>(instance);
    return n >= 0 && n < kInstances ? n : -1;
}

FSDATA *localdb(char instance, const ::FS *fs, bool usable) {
    const int n = instanceindex(instance);
    if (n < 0 || fs == nullptr || fs->isnetwork != 0) return nullptr;
    if (fs->fsdatanum < 0 || fs->fsdatanum >= kFilesPerInstance) return nullptr;
    FSDATA *fsdata = fsdataary[n][fs->fsdatanum];
    if (fsdata == nullptr || (usable && fsdata->fsp == nullptr)) return nullptr;
    return fsdata;
}

ExchangeResult exchange(char instance, std::uint8_t call, ::FS *fs, void *data, std::size_t room) {
    if (fs == nullptr) return kExchangeFailed;
    auto *block = reinterpret_cast<vorn::FS *>(fs);
    const std::uint8_t wasnetwork = block->isnetwork;
    if (callnet(instance, call, block, data, room) == 0) return kExchangeFailed;
    // A network handle stays one whatever the peer answers: a reply must not turn it into
    // the index of a local database.
    if (wasnetwork != 0) block->isnetwork = wasnetwork;
    if (block->error == 0) return kExchangeOk;
    if (block->errororigin == kServerOrigin) {
        lserrno = static_cast<std::int16_t>(static_cast<std::uint16_t>(block->error));
    }
    return kReplyError;
}

bool islockrefusal(const ::FS *fs) {
    return fs->errororigin == kServerOrigin &&
           (fs->error == kErrLocked || fs->error == kErrLockedAlt);
}

::FS *allocblock() {
    return new (std::nothrow)::FS{};
}

bool keepnetblock(::FS *fs) {
    try {
        netblocks().insert(fs);
        return true;
    } catch (...) {
        return false;
    }
}

void dropnetblock(::FS *fs) {
    try {
        if (netblocks().erase(fs) != 0) delete fs;
    } catch (...) {
        // Nothing was ever kept: the block is not one of ours.
    }
}

}  // namespace vorn::link
