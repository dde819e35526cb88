// In-memory files for engine tests: a BlockFile over a byte vector that can be told to fail
// the Nth read or write, or to cut a write short.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vorn/platform.h"

namespace vorn::test {

struct MemFileData {
    std::vector<std::uint8_t> bytes;
    long reads = 0, writes = 0;  // calls so far
    long failreadat = -1;        // fail the read with this call number (0-based); -1 never
    long failwriteat = -1;       // fail the write with this call number; -1 never
    long failcount = 1;          // calls that fail from the first failing one on
    bool shortwrite = false;     // a failing write writes half its bytes instead of none
    long syncs = 0;              // sync calls so far
};

class MemFile final : public platform::BlockFile {
  public:
    explicit MemFile(std::shared_ptr<MemFileData> data) : data_(std::move(data)) {}
    long readat(void *buf, std::size_t n, std::uint64_t offset) override;
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override;
    std::int64_t length() override { return static_cast<std::int64_t>(data_->bytes.size()); }
    bool truncate(std::uint64_t length) override {
        data_->bytes.resize(static_cast<std::size_t>(length));
        return true;
    }
    bool sync() override {
        ++data_->syncs;
        return true;
    }

  private:
    std::shared_ptr<MemFileData> data_;
};

}  // namespace vorn::test
