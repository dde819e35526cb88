#include "support/memfile.h"

#include <algorithm>
#include <cstring>

namespace vorn::test {

namespace {

// True when call number `call` lies in the run of failing calls that starts at `first`.
bool failing(long call, long first, long count) {
    return first >= 0 && call >= first && call < first + count;
}

}  // namespace

long MemFile::readat(void *buf, std::size_t n, std::uint64_t offset) {
    if (failing(data_->reads++, data_->failreadat, data_->failcount)) return -1;
    if (offset >= data_->bytes.size()) return 0;
    const std::size_t got = std::min<std::size_t>(n, data_->bytes.size() - offset);
    std::memcpy(buf, data_->bytes.data() + offset, got);
    return static_cast<long>(got);
}

long MemFile::writeat(const void *buf, std::size_t n, std::uint64_t offset) {
    std::size_t count = n;
    const bool fail = failing(data_->writes++, data_->failwriteat, data_->failcount);
    if (fail) {
        if (!data_->shortwrite) return -1;
        count = n / 2;
    }
    if (data_->bytes.size() < offset + count) data_->bytes.resize(offset + count);
    std::memcpy(data_->bytes.data() + offset, buf, count);
    return static_cast<long>(count);
}

}  // namespace vorn::test
