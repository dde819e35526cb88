// Changes to the key index (see keysearch.h for its shape and the lookups).
#pragma once

#include <cstdint>

#include "fsdata.h"

namespace vorn {

// Adds / deletes a built key of length len (fid byte + value; the rid follows). 1 or 0.
std::int16_t addkey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key);
std::int16_t deletekey(FSDATA *fsdata, std::int16_t len, const std::uint8_t *key);

}  // namespace vorn
