// Helpers for tests that drive the storage engine: new database images in memory or on disk,
// engine states opened over them with a chosen flavor, a reporter that records every failure,
// and a fresh temporary directory per test.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fsn/format.h"
#include "fsn/fsdata.h"
#include "support/memfile.h"

namespace vorn::test {

// One failure as the engine reported it.
struct Failure {
    std::int16_t code;
    std::string clienttext;  // empty when none was given
    std::string servertext;  // empty when none was given
};

// Records every failure; tests inspect `failures`.
class RecordingReporter final : public Reporter {
  public:
    void failure(std::int16_t code, const char *clienttext, const char *servertext) override;
    bool has(std::int16_t code) const;
    void clear() { failures.clear(); }
    std::vector<Failure> failures;
};

// The bytes of a new file (three blocks) of the given kind and xlate spacing.
std::vector<std::uint8_t> newdatabasebytes(std::int16_t xblkfreq = kDefaultXblkfreq,
                                           ImageKind kind = ImageKind::Database);

// Whole-file helpers on disk. false / empty on failure.
bool writewholefile(const std::string &path, const std::vector<std::uint8_t> &bytes);
std::vector<std::uint8_t> readwholefile(const std::string &path);
// Writes a new database file at path.
bool makedatabasefile(const std::string &path, std::int16_t xblkfreq = kDefaultXblkfreq);

// Makes an engine state over `file` and reads its control block; null when that fails.
// The reporter (may be null) must outlive the state.
std::unique_ptr<FSDATA> openengine(std::unique_ptr<platform::BlockFile> file, Flavor flavor,
                                   Reporter *reporter, bool readonly = false);
// The same over a file on disk (opened read-only when readonly is set).
std::unique_ptr<FSDATA> openenginepath(const std::string &path, Flavor flavor, Reporter *reporter,
                                       bool readonly = false);

// A database held in memory with its engine state and a recording reporter.
struct MemDatabase {
    std::shared_ptr<MemFileData> data = std::make_shared<MemFileData>();
    RecordingReporter reporter;
    std::unique_ptr<FSDATA> fs;

    explicit MemDatabase(Flavor flavor = Flavor::Library, std::int16_t xblkfreq = kDefaultXblkfreq);
    MemDatabase(const MemDatabase &) = delete;
    MemDatabase &operator=(const MemDatabase &) = delete;

    // Writes everything back (server flavor: control block too) as a close would. 1 or 0.
    std::int16_t flush();
    // Drops the engine state without writing anything and opens the bytes afresh. false
    // when the control block cannot be read.
    bool reopen(Flavor flavor = Flavor::Library, bool readonly = false);
};

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace vorn::test
