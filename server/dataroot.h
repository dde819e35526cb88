// Where the names that clients give are taken (vornserv --data-root DIR). Without a data root
// a name is used as given, relative to the server's working directory. With one, every name
// (fsopen, fsforceclose) is taken inside DIR and may not lead outside it, and temporary files
// are made there.
#pragma once

#include <memory>
#include <string>

#include "vorn/platform.h"

namespace vorn::server {

class DataRoot {
  public:
    DataRoot() = default;  // none: names as given
    explicit DataRoot(std::string dir) : dir_(std::move(dir)) {}

    // The directory; empty for none.
    const std::string &dir() const { return dir_; }
    // Opens the database file a client named, for reading and writing. Null on failure, with
    // *refused set when the name leads outside the data root (an absolute name, a ".." or a
    // link that climbs out of it).
    std::unique_ptr<platform::BlockFile> openclientfile(const char *name, bool *refused) const;
    // False when a client's name can't name a file inside the data root by its text (an
    // absolute name or a ".." above the root); always true without a data root.
    bool acceptablename(const char *name) const;
    // Where the server's own file `name` (a temporary file) lives: inside the data root.
    std::string serverpath(const std::string &name) const;

  private:
    std::string dir_;
};

}  // namespace vorn::server
