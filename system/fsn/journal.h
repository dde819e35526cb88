// The rollback journal beside a database file ("NAME-journal"). Before an operation
// overwrites blocks of the file, the blocks' original images and the file's length go to the
// journal in one write; then the blocks are written; then the journal is emptied. A crash in
// between leaves a journal that puts the file back as it was before the operation.
//
// Layout (little-endian), 32-byte header then `count` entries:
//   0  char[8]  magic "VORNJNL1"
//   8  uint32   count of entries
//   12 uint32   0 (reserved)
//   16 uint64   length of the database file before the operation
//   24 uint64   checksum of bytes 8..23 and of every entry: FNV-1a 64 taken over
//               little-endian 8-byte words (a tail shorter than 8 bytes byte by byte)
//   32 entries: uint32 block number, then the block's 1024-byte original image
// An all-zero header (or a file shorter than a header) is an empty journal. A header with the
// magic whose entries are short or fail the checksum is a journal whose own write never
// finished: the file was not touched after it, so it is ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vorn/fs.h"
#include "vorn/platform.h"

namespace vorn {

inline constexpr std::size_t kJournalHeader = 32;
inline constexpr std::size_t kJournalEntry = 4 + kBlockSize;

// The journal's name for a database path.
std::string journalpath(const char *dbpath);

// What a journal holds: the file's old length and the original images of its blocks.
struct JournalContent {
    std::uint64_t oldlength = 0;
    std::vector<std::uint32_t> blocks;
    std::vector<std::uint8_t> images;  // kBlockSize bytes per block, in the order of blocks

    const std::uint8_t *image(std::size_t i) const { return images.data() + i * kBlockSize; }
};

enum class JournalState {
    Empty,       // nothing to roll back
    Damaged,     // an unfinished journal write: ignored
    Valid,       // an operation was interrupted: roll it back
    Unreadable,  // the journal could not be read
};

// Encodes a journal (header and entries) into `out`, ready for one write.
void encodejournal(const JournalContent &content, std::vector<std::uint8_t> *out);
// Writes the header, checksum included, of a journal whose `count` entries already follow
// it in `bytes`: an operation's journal is put together in place, without a copy.
void sealjournal(std::uint8_t *bytes, std::uint32_t count, std::uint64_t oldlength);
// Copies `count` encoded entries (as they follow the header) into `content`'s blocks and
// images, unchecked: for a journal this process has just put together.
void entriesof(const std::uint8_t *entries, std::uint32_t count, JournalContent *content);
// Reads and checks the journal in `journal`.
JournalState readjournal(platform::BlockFile &journal, JournalContent *content);
// Empties the journal by zeroing its header (the file is kept for the next operation).
bool emptyjournal(platform::BlockFile &journal);
// Puts the images back into `db` and cuts it to the old length. The journal is untouched.
bool restoreimages(platform::BlockFile &db, const JournalContent &content);

// A read-only view of a file as a journal says it was before the interrupted operation:
// reads see the journal's images over the file's blocks and end at the old length. For a
// reader that finds a crashed journal it may not roll back.
std::unique_ptr<platform::BlockFile> journalview(std::unique_ptr<platform::BlockFile> db,
                                                 JournalContent content);

// Opens a database file for reading after settling its journal: a valid journal that no
// live server holds is rolled back first (the file and journal are opened for writing for
// that alone); when that is not allowed, the file is read through journalview. `note`, when
// given, is set to a sentence for the user when a journal was found ("" otherwise). Null
// when the file can't be opened.
std::unique_ptr<platform::BlockFile> openrecovered(const char *path, std::string *note);

}  // namespace vorn
