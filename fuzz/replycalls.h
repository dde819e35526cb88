// The fixed sequence of network calls whose replies fuzz_reply feeds from its input; the
// corpus generator runs the same sequence against a real server to record real replies.
#pragma once

#include <cstdint>
#include <ctime>

#include "vornlink.h"

namespace vorn::fuzz {

// Record and key buffers as large as the API promises to fill.
struct Buffers {
    std::uint8_t record[32768];
    std::uint8_t key[196];
};

inline void replycalls(char in, ::FS *f) {
    static Buffers b;
    const std::uint32_t rids[] = {0x10000001, 0x10000002, 0};
    fsadd(in, f, "record", 6, 0x10);
    fswrite(in, f, "record two", 10, 0x10000001);
    std::uint32_t rid = fsfirst(in, f, 0x10);
    fsread(in, f, rid, b.record);
    rid = fsnext(in, f, rid);
    fsread(in, f, rid, b.record);
    fsprev(in, f, rid);
    fslast(in, f, 0x10);
    fsdelete(in, f, rid);
    fsaddkey(in, f, 0x10, 0x10000001, 3, "key");
    fsdeletekey(in, f, 0x10, 0x10000001, 3, "key");
    fsfirstkey(in, f, 0x10, b.key);
    fsfindkey(in, f, 0x10, 3, b.key);
    fslastkey(in, f, 0x10, 3, b.key);
    fsnextkey(in, f, 0x10, 0x10000001, 3, b.key);
    fsprevkey(in, f, 0x10, 0x10000001, 3, b.key);
    fslock(in, f, rids);
    fsunlockrid(in, f, 0x10000001);
    fsunlock(in, f);
    fsexclusivelock(in, f, 1);
    fsexclusiveunlock(in, f);
    fsgetcannumber(in, f, 1);
    fsstorecannumber(in, f, 5);
    fsgetappstat(in, f);
    fssetappstat(in, f, 2);
    fsgetbusinessdate(in, f);
    fsstorebusinessdate(in, f, 20260101);
    std::tm now{};
    fsgetlocaltime(in, &now);
    fsforceclose(in, "A.DB");
}

}  // namespace vorn::fuzz
