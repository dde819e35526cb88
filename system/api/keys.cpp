// Key operations: keys are never compressed. Locally the index key is built in newkey (fid
// byte, value, rid); a found value is copied to the caller's buffer, only the value's own
// bytes (at most 195) and nothing when none is found.
#include <cstring>

#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/smallcopy.h"
#include "linkstate.h"

using namespace vorn;
using namespace vorn::link;

namespace {

bool validkey(std::int16_t len, const void *key) {
    return len >= 0 && len <= kMaxKeyValue && (len == 0 || key != nullptr);
}

// Builds the index key of (fid, value, rid) in newkey, as bldkey does (len is 0..195).
void buildkey(std::uint8_t fid, std::uint32_t rid, std::int16_t len, const void *key) {
    newkey[0] = fid;
    copysmall(newkey + 1, key, static_cast<std::size_t>(len));
    std::memcpy(newkey + 1 + len, &rid, sizeof rid);
}

using Search = std::uint32_t (*)(FSDATA *, std::int16_t, const std::uint8_t *, void *,
                                 std::int16_t *);

std::uint32_t searchfirst(FSDATA *fsdata, std::int16_t, const std::uint8_t *built, void *key,
                          std::int16_t *foundlen) {
    return firstkey(fsdata, built[0], key, foundlen);
}

// A search of the index: locally through `search`, else by `call` on the server.
std::uint32_t searchkey(char instance, ::FS *fsinfo, std::uint8_t call, Search search,
                        std::uint8_t fid, std::uint32_t rid, std::int16_t len, void *key) {
    if (fsinfo == nullptr || key == nullptr || !validkey(len, key)) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = len;
        fsinfo->fid = fid;
        fsinfo->rid = rid;
        return forward(instance, call, fsinfo, key, kMaxKeyValue) != 0 ? fsinfo->rid : 0;
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    buildkey(fid, rid, len, key);
    // The first-key search writes the fid byte into the caller's buffer before it looks, so
    // the byte is there also when nothing is found.
    if (search == searchfirst) static_cast<std::uint8_t *>(key)[0] = fid;
    // The lookups write the found value alone into key (the newkey they search is apart).
    return search(fsdata, static_cast<std::int16_t>(len + 1), newkey, key, nullptr);
}

using Update = std::int16_t (*)(FSDATA *, std::int16_t, const std::uint8_t *);

std::int16_t updatekey(char instance, ::FS *fsinfo, std::uint8_t call, Update update,
                       std::uint8_t fid, std::uint32_t rid, std::int16_t len, const void *key) {
    if (fsinfo == nullptr || !validkey(len, key)) return 0;
    if (isremote(fsinfo)) {
        fsinfo->len = len;
        fsinfo->fid = fid;
        fsinfo->rid = rid;
        // No reply data is accepted (room 0), so the caller's key is only read.
        return forward(instance, call, fsinfo, const_cast<void *>(key));
    }
    FSDATA *fsdata = localdb(instance, fsinfo);
    if (fsdata == nullptr) return 0;
    buildkey(fid, rid, len, key);
    return update(fsdata, static_cast<std::int16_t>(len + 1), newkey);
}

}  // namespace

std::int16_t fsaddkey(char instance, ::FS *fsinfo, std::uint8_t fid, std::uint32_t rid,
                      std::int16_t len, const void *key) {
    lserrno = 0;
    return updatekey(instance, fsinfo, kOpAddKey, addkey, fid, rid, len, key);
}

std::int16_t fsdeletekey(char instance, ::FS *fsinfo, std::uint8_t fid, std::uint32_t rid,
                         std::int16_t len, const void *key) {
    lserrno = 0;
    return updatekey(instance, fsinfo, kOpDeleteKey, deletekey, fid, rid, len, key);
}

std::uint32_t fsfirstkey(char instance, ::FS *fsinfo, std::uint8_t fid, void *key) {
    lserrno = 0;
    return searchkey(instance, fsinfo, kOpFirstKey, searchfirst, fid, 0, 0, key);
}

std::uint32_t fslastkey(char instance, ::FS *fsinfo, std::uint8_t fid, std::int16_t len,
                        void *key) {
    lserrno = 0;
    return searchkey(instance, fsinfo, kOpLastKey, lastkey, fid, 0, len, key);
}

std::uint32_t fsfindkey(char instance, ::FS *fsinfo, std::uint8_t fid, std::int16_t len,
                        void *key) {
    lserrno = 0;
    return searchkey(instance, fsinfo, kOpFindKey, findkey, fid, 0, len, key);
}

std::uint32_t fsnextkey(char instance, ::FS *fsinfo, std::uint8_t fid, std::uint32_t rid,
                        std::int16_t len, void *key) {
    lserrno = 0;
    return searchkey(instance, fsinfo, kOpNextKey, nextkey, fid, rid, len, key);
}

std::uint32_t fsprevkey(char instance, ::FS *fsinfo, std::uint8_t fid, std::uint32_t rid,
                        std::int16_t len, void *key) {
    lserrno = 0;
    return searchkey(instance, fsinfo, kOpPrevKey, prevkey, fid, rid, len, key);
}
