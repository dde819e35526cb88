// Record compression: a byte-oriented run-length form. A stored form whose first byte is 0
// holds the record raw; otherwise it is a sequence of packets: a control byte t of 1..127
// followed by t literal bytes, or t of -1..-128 followed by one byte repeated 1 - t times.
// The stored form is at most one byte longer than the record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Compresses len bytes of `in` into `out`, which has `room` bytes. Returns the stored length,
// or -1 when the stored form would not fit `room` (nothing past `room` is ever written).
int compress(void *out, std::size_t room, const void *in, std::int16_t len);

// Expands a stored form of `len` bytes into `out`, which has `room` bytes. Returns the
// record's length, or -1 when the stored form is malformed (a packet running past its end)
// or the record would not fit `room`.
int uncompress(void *out, std::size_t room, const void *in, std::int16_t len);

}  // namespace vorn
