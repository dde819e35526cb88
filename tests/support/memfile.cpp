#include "support/memfile.h"

#include <algorithm>
#include <cstring>

namespace vorn::test {

long MemFile::readat(void *buf, std::size_t n, std::uint64_t offset) {
    if (data_->reads++ == data_->failreadat) return -1;
    if (offset >= data_->bytes.size()) return 0;
    const std::size_t got = std::min<std::size_t>(n, data_->bytes.size() - offset);
    std::memcpy(buf, data_->bytes.data() + offset, got);
    return static_cast<long>(got);
}

long MemFile::writeat(const void *buf, std::size_t n, std::uint64_t offset) {
    std::size_t count = n;
    const bool fail = data_->writes++ == data_->failwriteat;
    if (fail) {
        if (!data_->shortwrite) return -1;
        count = n / 2;
    }
    if (data_->bytes.size() < offset + count) data_->bytes.resize(offset + count);
    std::memcpy(data_->bytes.data() + offset, buf, count);
    return static_cast<long>(count);
}

}  // namespace vorn::test
