// vorncheck FILE: checks a database file and prints what it finds.
// Exit status: 0 the file is sound (notes may be printed), 1 it has faults, 2 it cannot be
// read as a database file at all.
#include <cstdio>
#include <string>

#include "fsn/check.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vorncheck FILE\n");
        return 2;
    }
    std::string why;
    std::string note;
    auto fsdata = vorn::openforcheck(argv[1], &why, &note);
    if (!note.empty()) std::printf("journal: %s\n", note.c_str());
    if (fsdata == nullptr) {
        std::fprintf(stderr, "vorncheck: %s\n", why.c_str());
        return 2;
    }
    const auto findings = vorn::checkfile(fsdata.get());
    std::fputs(vorn::describe(findings).c_str(), stdout);
    const bool faulty = vorn::hasfaults(findings);
    std::printf("%s: %s (%zu finding%s, last block %lu)\n", argv[1], faulty ? "FAULTS" : "sound",
                findings.size(), findings.size() == 1 ? "" : "s",
                static_cast<unsigned long>(fsdata->fscb.lb));
    return faulty ? 1 : 0;
}
