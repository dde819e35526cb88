// Opening database files for the subcommands: read-only for those that only look (nothing is
// ever written back), read-write for those that build a file, and making a new file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fsn/fault.h"
#include "fsn/fsdata.h"

namespace vorn::tool {

// Collects the engine's failure reports so that a subcommand can say what went wrong.
class CollectingReporter final : public Reporter {
  public:
    void failure(std::int16_t code, const char *clienttext, const char *servertext) override;
    // The last report as text ("engine error 1045: ..."), "" when none came.
    std::string last() const { return last_; }

  private:
    std::string last_;
};

// Opens `path` read-only; null with the reason in *why.
std::unique_ptr<FSDATA> openreadonly(const std::string &path, Reporter *reporter, std::string *why);
// Opens an existing database file for reading and writing; null with the reason in *why.
std::unique_ptr<FSDATA> openreadwrite(const std::string &path, Reporter *reporter,
                                      std::string *why);
// Makes a new, empty database file with the given xlate spacing and opens it read-write.
// Refuses an existing file unless `replace` is set. Null with the reason in *why.
std::unique_ptr<FSDATA> createdatabase(const std::string &path, std::int16_t spacing, bool replace,
                                       Reporter *reporter, std::string *why);

// True when a file (of any kind) exists at path.
bool fileexists(const std::string &path);

// A fault's message without its line end, or its code when it has none.
std::string faulttext(const Fault &fault);

// A rid as the tools print it: eight hexadecimal digits.
std::string ridtext(std::uint32_t rid);

}  // namespace vorn::tool
