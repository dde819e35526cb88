#include "fsdata.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorn {

EngineStats stats;

void resetbuffers(FSDATA *fsdata) {
    ++fsdata->changes;
    ++fsdata->images;
    for (int j = 0; j < kMaxBuffers; ++j) {
        FSBUFF &b = fsdata->buff[j];
        b.blk = kNoBlock;
        fsdata->held[j] = kNoBlock;
        b.cf = 0;
        b.extblk = 0;
        b.pins = 0;
        b.kbchecked = 0;
        b.asread = 0;
        fsdata->seq[j] = static_cast<std::int16_t>(j);
    }
}

std::unique_ptr<FSDATA> newfsdata(Flavor flavor, Reporter *reporter) {
    auto fsdata = std::make_unique<FSDATA>();
    std::memset(&fsdata->fscb, 0, sizeof fsdata->fscb);
    fsdata->dblocked = 0;
    fsdata->readonly = 0;
    fsdata->flavor = flavor;
    fsdata->nbuffs = flavor == Flavor::Library ? kClientBuffers : kServerBuffers;
    fsdata->reporter = reporter;
    fsdata->changes = 1;
    fsdata->images = 1;
    fsdata->nexthint = 0;
    for (auto &b : fsdata->buff) std::memset(&b.dbuff, 0, sizeof b.dbuff);
    resetbuffers(fsdata.get());
    return fsdata;
}

void dberror(FSDATA *fsdata, std::int16_t code, const char *clienttext, const char *serverfmt,
             ...) {
    if (fsdata->reporter == nullptr) return;
    char text[320];
    const char *servertext = nullptr;
    if (serverfmt != nullptr) {
        va_list args;
        va_start(args, serverfmt);
        std::vsnprintf(text, sizeof text, serverfmt, args);
        va_end(args);
        servertext = text;
    }
    fsdata->reporter->failure(code, clienttext, servertext);
}

}  // namespace vorn
