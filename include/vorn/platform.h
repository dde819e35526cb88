// The platform seam: the few operating-system services that the engine, the library and the
// server use, behind small interfaces with one implementation per operating system
// (platform/posix/ on Linux). Nothing else in the system includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace vorn::platform {

// A file reached by positioned reads and writes. Tests substitute their own implementations
// (in memory, failing the Nth call, cutting writes short) to exercise every failure path.
class BlockFile {
  public:
    virtual ~BlockFile() = default;
    // Reads up to n bytes at offset; returns the bytes read, 0 at end of file, -1 on error.
    virtual long readat(void *buf, std::size_t n, std::uint64_t offset) = 0;
    // Writes n bytes at offset; returns the bytes written (short on failure), -1 on error.
    virtual long writeat(const void *buf, std::size_t n, std::uint64_t offset) = 0;
    // The file's length in bytes (counting blocks held back), -1 on error.
    virtual std::int64_t length() = 0;
    // Writes what the file holds back (see withprivatecache); false when a write failed.
    virtual bool writeout() { return true; }
    // Cuts (or extends with zeros) the file to `length` bytes. False on failure, and where
    // the implementation has no such call.
    virtual bool truncate(std::uint64_t length) {
        (void)length;
        return false;
    }
    // Puts the file's data on stable storage (fdatasync). False on failure or where absent.
    virtual bool sync() { return false; }
    // Takes an exclusive advisory lock on the whole file without waiting, held until the file
    // is closed. False when another open of the file (in any process) holds it. A second call
    // on the same open file succeeds. Where there is no such lock it succeeds and excludes
    // nothing.
    virtual bool trylock() { return true; }
    // The file a cache in front of another one wraps (to see the file's identity through
    // it); null for a file of its own.
    virtual BlockFile *inner() { return nullptr; }
    // A hint that the block at offset is likely to be read soon: a cache that holds it may
    // start bringing it towards the processor. It changes nothing a read returns.
    virtual void prefetch(std::uint64_t offset) { (void)offset; }
    // Copies n bytes at offset when a cache holds the whole block they lie in, as a read
    // would return them, and reports whether it did; it never goes to the file.
    virtual bool peekat(void *buf, std::size_t n, std::uint64_t offset) {
        (void)buf;
        (void)n;
        (void)offset;
        return false;
    }
};

// Zeroed memory for a large cache, mapped apart from the heap and aligned so that, where the
// system backs mappings with large pages of its own accord, reaching a block at random costs
// no walk of the page tables. Pages are only given memory when first touched. Null when the
// system has none.
void *mapregion(std::size_t bytes);
// Gives back a region from mapregion of the same size.
void unmapregion(void *region, std::size_t bytes);
// The size of the large pages mapregion aligns for: a region that is a multiple of it, at an
// address aligned to it, can be backed by them.
inline constexpr std::size_t kRegionAlignment = std::size_t{2} << 20;

enum class OpenMode { ReadOnly, ReadWrite };

// Opens an existing file; null on failure.
std::unique_ptr<BlockFile> openfile(const char *path, OpenMode mode);
// Creates (or truncates) a file for reading and writing; null on failure.
std::unique_ptr<BlockFile> createfile(const char *path);
// Creates a new file exclusively (fails when it exists), owner read and write; null on failure.
std::unique_ptr<BlockFile> createexclusive(const char *path);
bool removefile(const char *path);

// The unit of the block cache: one database block.
inline constexpr std::size_t kCacheBlockSize = 1024;
// Blocks a cache holds unless told otherwise: 4 MiB of images, allocated as they are used.
inline constexpr std::size_t kDefaultCacheBlocks = 4096;

// Puts a cache of whole blocks in front of a file that only this process changes (the
// server's databases, the library's temporary ones), so that reading a block again costs a
// copy instead of a call into the system. Reads of whole blocks at block offsets fill it;
// writes still go to the file at once (the cache never holds back a change) and refresh it.
// A file that another process may write must not be cached: its readers see the other
// process's changes only by reading the file. Null in, null out.
std::unique_ptr<BlockFile> withblockcache(std::unique_ptr<BlockFile> file,
                                          std::size_t blocks = kDefaultCacheBlocks);
// Blocks a private cache holds: up to 128 MiB of images, mapped 2048 blocks at a time as
// they are used (see mapregion), so a temporary database takes about its own size in memory.
// Its blocks are read again at the cost of a copy instead of a call into the system; a
// larger file shares the slots and reads the rest from the system.
inline constexpr std::size_t kPrivateCacheBlocks = 131072;

// Puts a write-back cache of whole blocks in front of a file that no other process reads or
// writes (the library's temporary databases): written blocks stay in the process until
// writeout, the destructor, or their slot is needed for another block; then they are
// written in ascending block order. After writeout the file holds exactly the bytes the
// writes would have left there one by one; until then only this process can see them.
// Null in, null out.
std::unique_ptr<BlockFile> withprivatecache(std::unique_ptr<BlockFile> file,
                                            std::size_t blocks = kPrivateCacheBlocks);
// A temporary file name of at most 12 characters, unique in the current directory at the
// moment of the call ("vt" + 6 characters + ".tmp"); the caller creates it exclusively.
std::string maketempname();
// Where the client log goes before the current directory: "c:\checkerr.log" on Windows, null
// (only the current directory) elsewhere.
const char *systemclientlog();
// The machine's current local time, broken down.
std::tm localnow();

// What makes a file the same file however it is named (device and inode on Linux): one
// file reached under two names (relative and absolute, links, dot segments) has one identity.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
};
// The identity of a file opened by openfile, createfile or createexclusive (cached or not).
// False when it can't be had (for instance a file of another implementation).
bool fileidentity(BlockFile &file, FileIdentity *identity);

}  // namespace vorn::platform
