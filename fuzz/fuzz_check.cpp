// Fuzz target: a database file as it is opened and checked. The input is the whole file: the
// open-time checks (control block, signature, chain starts against the length) and then the
// integrity checker's walk over every block, chain and key.
#include <cstdint>

#include "fsn/check.h"
#include "fsn/format.h"
#include "memimage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace vorn;
    if (size < kBlockSize) return 0;  // the checker refuses such a file before it reads it
    std::shared_ptr<test::MemFileData> file;
    auto fs = fuzz::openimage(data, size, Flavor::Library, true, &file);
    if (fs == nullptr) return 0;
    hassignature(fs->fscb);
    integritycheck(fs->fscb, static_cast<std::int64_t>(size));
    checkfile(fs.get());
    return 0;
}
