// vorn check FILE: the integrity checker's findings. Exit status 0 when the file is sound
// (notes may be printed), 1 when it has faults, 2 when it cannot be read as a database file.
#include "fsn/check.h"

#include <cstdio>

#include "command.h"

namespace vorn::tool {
namespace {

int run(const Args &args) {
    const std::string &path = args.positional[0];
    std::string why;
    std::string note;  // an interrupted operation found in the file's journal
    auto fsdata = openforcheck(path.c_str(), &why, &note);
    if (!note.empty()) std::printf("journal: %s\n", note.c_str());
    if (fsdata == nullptr) return fail("check", kExitUsage, "%s", why.c_str());
    const auto findings = checkfile(fsdata.get());
    std::fputs(describe(findings).c_str(), stdout);
    const bool faulty = hasfaults(findings);
    std::printf("%s: %s (%zu finding%s, last block %lu)\n", path.c_str(),
                faulty ? "FAULTS" : "sound", findings.size(), findings.size() == 1 ? "" : "s",
                static_cast<unsigned long>(fsdata->fscb.lb));
    return faulty ? kExitFailed : kExitOk;
}

}  // namespace

const Command &checkcommand() {
    static const Command c{
        "check",
        "FILE",
        "check a database file's integrity",
        "Walks the whole file (control block, xlate blocks, data blocks, free chains and the\n"
        "key tree) and prints every finding: faults are damage, notes are harmless states.\n"
        "The file is opened read-only. Exit status: 0 sound, 1 faults, 2 not readable as a\n"
        "database file.",
        {},
        1,
        1,
        run};
    return c;
}

}  // namespace vorn::tool
