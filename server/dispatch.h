// Request dispatch: one row per opcode says which handler runs, which request fields it
// reads, how the reply is shaped and which exclusive-lock rule applies. Every field a
// handler reads is validated here, once, before the handler runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filetable.h"

namespace vorn::server {

// Carries out one complete request packet for `user` on `files` and builds the reply in place from
// the packet's third byte on. `packet` holds kServerReceiveBuffer bytes. Returns the reply's length
// (19 + the reply's len), or 0 when nothing is to be sent (call[0] of 2 or more, an opcode that
// names no operation, or a len outside 0..1024).
std::size_t dispatch(FileTable &files, const SlotMutexes &mutexes, UserId user,
                     std::uint8_t *packet);

}  // namespace vorn::server
