// An engine state over a database image held in memory, for the fuzz targets and the corpus
// generator: the bytes of a file as the fuzzer gives them, opened as a file on disk would be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fsn/blocks.h"
#include "fsn/fsdata.h"
#include "support/memfile.h"

namespace vorn::fuzz {

// A file in memory that, like a full disk, refuses writes past kRoom bytes. A header may
// claim any number of blocks up to the format's limit of 4 GiB, and the engine rightly writes
// where it says; the fuzzer's memory must not follow.
class CappedFile final : public platform::BlockFile {
  public:
    static constexpr std::uint64_t kRoom = 4u << 20;
    explicit CappedFile(std::shared_ptr<test::MemFileData> data) : file_(std::move(data)) {}
    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        return file_.readat(buf, n, offset);
    }
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override {
        if (offset + n > kRoom) return -1;
        return file_.writeat(buf, n, offset);
    }
    std::int64_t length() override { return file_.length(); }

  private:
    test::MemFile file_;
};

// Opens `size` bytes as a database with the given flavor; null when the control block can't
// be read (as an open of such a file fails), or when it claims more blocks than the capped
// file may hold: the engine and the checker work in proportion to the claimed size, which
// would make every such input slow without finding anything new. `data` receives the bytes.
inline std::unique_ptr<FSDATA> openimage(const std::uint8_t *bytes, std::size_t size, Flavor flavor,
                                         bool readonly, std::shared_ptr<test::MemFileData> *data) {
    *data = std::make_shared<test::MemFileData>();
    (*data)->bytes.assign(bytes, bytes + size);
    auto fs = newfsdata(flavor, nullptr);
    fs->fsp = std::make_unique<CappedFile>(*data);
    fs->readonly = readonly ? 1 : 0;
    if (readfscb(fs.get()) == 0) return nullptr;
    if (fs->fscb.lb >= CappedFile::kRoom / kBlockSize) return nullptr;
    return fs;
}

}  // namespace vorn::fuzz
