// The POSIX file behind openfile, for other POSIX parts of the seam that open descriptors in
// ways of their own.
#pragma once

#include <memory>

#include "vorn/platform.h"

namespace vorn::platform {

// Wraps an open descriptor (which the file then owns) as a BlockFile; null when fd < 0.
std::unique_ptr<BlockFile> adoptdescriptor(int fd);

}  // namespace vorn::platform
