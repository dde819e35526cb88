// Fuzz target: uncompress of arbitrary stored forms into buffers of every size, and the round
// trip compress then uncompress of arbitrary records, which must give the record back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vorn/compress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte picks the output room: small rooms reach the "does not fit" paths.
    const std::size_t room = data[0] < 200 ? data[0] : 1100 + (data[0] - 200) * 600;
    const std::uint8_t *in = data + 1;
    const std::size_t len = std::min<std::size_t>(size - 1, 32767);
    // Exactly `room` bytes, so that ASan sees any write past it.
    std::vector<std::uint8_t> out(room);
    const int n = vorn::uncompress(out.data(), room, in, static_cast<std::int16_t>(len));
    if (n > static_cast<int>(room)) std::abort();
    if (len == 0) return 0;

    std::vector<std::uint8_t> stored(len + 1);
    const int storedlen =
        vorn::compress(stored.data(), stored.size(), in, static_cast<std::int16_t>(len));
    if (storedlen < 0 || storedlen > static_cast<int>(len) + 1) std::abort();
    std::vector<std::uint8_t> back(len);
    const int backlen = vorn::uncompress(back.data(), back.size(), stored.data(),
                                         static_cast<std::int16_t>(storedlen));
    if (backlen != static_cast<int>(len) || std::memcmp(back.data(), in, len) != 0) std::abort();
    return 0;
}
