// The integrity checker: walks a whole file through the engine and lists what it finds.
// Faults are states no sequence of operations produces (damage or a bug); notes are
// harmless states the algorithms do produce (a block deeper in a chain with more or less
// room than its chain promises, empty blocks appended for an xlate block and never linked).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fsdata.h"

namespace vorn {

struct Finding {
    enum Severity { Note, Fault } severity;
    std::string text;
};

// Checks the file behind fsdata as its cache and control block image see it.
std::vector<Finding> checkfile(FSDATA *fsdata);
// Opens `path` read-only with the library flavor for checking, after settling its journal
// (openrecovered; what was found in *note when given); null (the reason in *why) when the
// file cannot be opened or its control block cannot be read or is out of range.
std::unique_ptr<FSDATA> openforcheck(const char *path, std::string *why,
                                     std::string *note = nullptr);
// Opens `path` read-only with the library flavor and checks it. An unreadable file or
// header is one fault.
std::vector<Finding> checkpath(const char *path);
bool hasfaults(const std::vector<Finding> &findings);
std::string describe(const std::vector<Finding> &findings);

// The key-tree half of the checker: checks the tree rooted at rootkb and returns the block
// numbers it occupies, so the caller can check that no block is both in the tree and on a
// free chain, and that no data-block check is made of a key block.
std::vector<std::uint32_t> checkkeytree(FSDATA *fsdata, std::vector<Finding> &findings);

}  // namespace vorn
