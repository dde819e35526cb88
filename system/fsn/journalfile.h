// A database file whose changes reach the disk one whole operation at a time. Between begin
// and commit every write is held in memory (reads see it); commit then writes the original
// images of the blocks to be overwritten and the old length to the journal in one write, the
// blocks, and empties the journal. A crash at any point leaves either the file as it was
// before the operation, or a journal that puts it back so. The file's bytes after a commit
// are exactly those that the same writes made straight to the file would have left.
//
// Several operations can share one commit (group commit): an operation ended with defer
// keeps its writes held, the next operation starts on top of them (reads see them), and the
// next commit writes them all as one operation. After it the file's bytes are those the
// operations would have left committed one by one; a failure takes them all back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "journal.h"
#include "vorn/fs.h"
#include "vorn/platform.h"

namespace vorn {

class JournaledFile final : public platform::BlockFile {
  public:
    // `journal` may be null: then commit writes the blocks alone, without atomicity (for
    // temporary databases, which no one opens after a crash). `durable` syncs the journal
    // before the blocks are written and the file before the journal is emptied.
    JournaledFile(std::unique_ptr<platform::BlockFile> file,
                  std::unique_ptr<platform::BlockFile> journal, bool durable);
    ~JournaledFile() override = default;

    long readat(void *buf, std::size_t n, std::uint64_t offset) override;
    // Inside an operation the bytes are held until commit; outside one, a write is an
    // operation of its own.
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override;
    std::int64_t length() override;
    bool truncate(std::uint64_t length) override;
    bool sync() override { return file_->sync(); }
    bool trylock() override { return file_->trylock(); }

    enum class Outcome {
        Done,        // the operation's writes are in the file (or there were none)
        RolledBack,  // they failed and the file is as before the operation
        Pending,     // they failed and the file still awaits its rollback from the journal
    };
    // Starts an operation. When an earlier rollback is still owed it is tried first: Pending
    // when it still can't be done (the file must not be changed then), RolledBack when the
    // file changed back under the caller's cached state, else Done.
    Outcome begin();
    // Ends the operation, with the deferred ones before it, if any; see Outcome. Outside an
    // operation it commits the deferred operations alone.
    Outcome commit();
    // Ends the operation without writing: its writes stay held with those of the operations
    // deferred before it, for the next commit.
    void defer();
    bool inoperation() const { return active_; }
    // Deferred writes await a commit.
    bool deferred() const { return !active_ && !held_.empty(); }
    // No rollback is owed: the journal is empty.
    bool settled() const { return !owing_; }

  private:
    // One block's bytes as the operation leaves them.
    struct Held {
        std::uint8_t bytes[kBlockSize];
    };
    struct HeldBlock {
        std::uint64_t blk;
        std::unique_ptr<Held> image;
    };

    // The first held block not below blk, and the one of blk itself (null when not held).
    std::vector<HeldBlock>::iterator heldfrom(std::uint64_t blk);
    HeldBlock *findheld(std::uint64_t blk);
    std::unique_ptr<Held> takeimage();
    // The operation's image of block `blk`, added when it doesn't hold it yet: read from the
    // file when `load`, else left for the caller to fill whole. Null when the read fails.
    Held *hold(std::uint64_t blk, bool load);
    bool loadheld(std::uint64_t blk, std::uint8_t *bytes);
    std::uint32_t journalcount() const;
    bool writejournal(std::uint32_t count);
    bool writeblocks();
    Outcome rollback();
    void finish();

    std::unique_ptr<platform::BlockFile> file_;
    std::unique_ptr<platform::BlockFile> journal_;
    bool durable_;
    bool active_ = false;
    std::int64_t length_;       // the file's length as the last commit left it (-1 unknown)
    std::uint64_t logicalend_;  // the length the operation's writes give the file
    // The blocks the operation holds, in ascending order, and images of finished operations
    // kept for the next ones (an operation holds a few blocks: no allocation per block).
    std::vector<HeldBlock> held_;
    std::vector<std::unique_ptr<Held>> spare_;
    JournalContent owed_;  // a rollback that failed, retried at the next begin
    bool owing_ = false;
    std::vector<std::uint8_t> journalbytes_;  // the journal as it is written, images in place
    std::vector<std::uint8_t> run_;           // neighbouring blocks gathered for one write
};

}  // namespace vorn
