// The key index's lookups: one B-tree of key blocks per file holding every index of every
// sub-file. A key is the fid byte, the value (at most 195 bytes) and the 4-byte rid. Adding
// and deleting keys is keyupdate.h.
#pragma once

#include <cstdint>

#include "fsdata.h"

namespace vorn {

// Builds a key in the calling thread's 200-byte key buffer: fid, len value bytes, rid.
// len must be 0..195. Returns the buffer.
std::uint8_t *bldkey(std::uint8_t fid, std::uint32_t rid, std::int16_t len, const void *key);

// Lookups. Each returns the rid of the key found (0 for none and on failure) and copies the
// found value (key length - 1 bytes) to `key`, which must hold 195 bytes; `foundlen`, when
// given, receives the value's length (0 when nothing was found).
std::uint32_t firstkey(FSDATA *fsdata, std::uint8_t fid, void *key,
                       std::int16_t *foundlen = nullptr);
std::uint32_t findkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen = nullptr);
std::uint32_t lastkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen = nullptr);
std::uint32_t nextkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen = nullptr);
std::uint32_t prevkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *newkey, void *key,
                      std::int16_t *foundlen = nullptr);

}  // namespace vorn
