// The record, key, lock and control handlers. Each runs with the file's slot mutex held and the
// request's fields validated (see dispatch.cpp), performs the same engine steps as the
// library's local path, writes every change through to the file before it returns, and
// returns its result for the reply (0 with the error in the reply on failure).
#pragma once

#include "request.h"

namespace vorn::server {

// Records (opcodes 33 to 40): stored (compressed) records, never uncompressed here.
std::uint32_t fsadd(Request &request);
std::uint32_t fswrite(Request &request);
std::uint32_t fsfirst(Request &request);
std::uint32_t fslast(Request &request);
std::uint32_t fsdelete(Request &request);
std::uint32_t fsread(Request &request);
std::uint32_t fsnext(Request &request);
std::uint32_t fsprev(Request &request);

// Keys (opcodes 49 to 55).
std::uint32_t fsaddkey(Request &request);
std::uint32_t fsdeletekey(Request &request);
std::uint32_t fsfirstkey(Request &request);
std::uint32_t fslastkey(Request &request);
std::uint32_t fsfindkey(Request &request);
std::uint32_t fsnextkey(Request &request);
std::uint32_t fsprevkey(Request &request);

// Locks (opcodes 20 to 25 and 30).
std::uint32_t fslock(Request &request) REQUIRES_SLOT(request);
std::uint32_t fsunlock(Request &request) REQUIRES_SLOT(request);
std::uint32_t fsexclusivelock(Request &request) REQUIRES_SLOT(request);
std::uint32_t fsexclusiveunlock(Request &request) REQUIRES_SLOT(request);
std::uint32_t fsunlockrid(Request &request) REQUIRES_SLOT(request);
std::uint32_t fsislocked(Request &request) REQUIRES_SLOT(request);
std::uint32_t fsforceunlockrid(Request &request) REQUIRES_SLOT(request);

// Control values (opcodes 26 to 29, 65, 66) and the server's clock (31, no file).
std::uint32_t fsgetcannumber(Request &request);
std::uint32_t fsstorecannumber(Request &request);
std::uint32_t fsgetbusinessdate(Request &request);
std::uint32_t fsstorebusinessdate(Request &request);
std::uint32_t fsgetappstat(Request &request);
std::uint32_t fssetappstat(Request &request);
std::uint32_t fsgetlocaltime(Request &request);

}  // namespace vorn::server
