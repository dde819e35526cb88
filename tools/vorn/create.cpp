// vorn create FILE [--spacing N]: a new, empty database file.
#include <cstdio>

#include "command.h"
#include "dbfile.h"
#include "fsn/blocks.h"

namespace vorn::tool {
namespace {

int run(const Args &args) {
    const std::string &path = args.positional[0];
    long long spacing = kDefaultXblkfreq;
    if (args.has("--spacing") && !parsenumber(args.value("--spacing"), 2, 32767, &spacing)) {
        return fail("create", kExitUsage, "--spacing wants a number from 2 to 32767");
    }
    if (path.size() > 63) {
        return fail("create", kExitUsage, "a database path is at most 63 characters");
    }
    CollectingReporter reporter;
    std::string why;
    auto fs = createdatabase(path, static_cast<std::int16_t>(spacing), false, &reporter, &why);
    if (fs == nullptr) return fail("create", kExitFailed, "%s", why.c_str());
    std::printf("created %s (xlate spacing %lld)\n", path.c_str(), spacing);
    return kExitOk;
}

}  // namespace

const Command &createcommand() {
    static const Command c{
        "create",
        "FILE [--spacing N]",
        "make a new, empty database file",
        "Makes a new database file of three blocks. --spacing sets the distance between xlate\n"
        "blocks (2 to 32767, default 20). An existing file is never replaced.",
        {{"--spacing", true}},
        1,
        1,
        run};
    return c;
}

}  // namespace vorn::tool
