// Address text for both systems: the classic dotted IPv4 forms, as every earlier client of
// the server accepted them, and the optional ":port" suffix.
//
// An address is one to four parts separated by dots. Each part is decimal, octal with a
// leading 0, or hexadecimal with a leading 0x. The last part fills all the bytes that the
// parts before it leave: "a" is the whole 32-bit address, "a.b" is a byte and 24 bits,
// "a.b.c" two bytes and 16 bits, "a.b.c.d" four bytes. A part too large for its bytes, an
// empty part, a sign, a space or any other character makes the text no address.
#include <cstring>

#include "vorn/socket.h"

namespace vorn::platform {
namespace {

constexpr int kMaxParts = 4;

int digitvalue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Reads one part at *p, leaving *p after it. False when it has no digits, a digit beyond its
// base, or a value above 32 bits.
bool readpart(const char **p, std::uint32_t *value) {
    const char *s = *p;
    unsigned base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    } else if (s[0] == '0') {
        base = 8;
    }
    const char *start = s;
    std::uint64_t v = 0;
    for (; *s != '\0' && *s != '.'; ++s) {
        const auto d = static_cast<unsigned>(digitvalue(*s));
        if (d >= base) return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    if (s == start) return false;
    *value = static_cast<std::uint32_t>(v);
    *p = s;
    return true;
}

}  // namespace

bool parseipv4(const char *text, std::uint32_t *addr) {
    if (text == nullptr) return false;
    std::uint32_t parts[kMaxParts];
    int n = 0;
    const char *p = text;
    for (;;) {
        if (n == kMaxParts || !readpart(&p, &parts[n])) return false;
        ++n;
        if (*p == '\0') break;
        ++p;  // the dot
    }
    // Each leading part is one byte; the last fills the rest.
    std::uint32_t host = 0;
    for (int i = 0; i < n - 1; ++i) {
        if (parts[i] > 0xFF) return false;
        host |= parts[i] << (24 - 8 * i);
    }
    const int lastbits = 32 - 8 * (n - 1);
    if (lastbits < 32 && parts[n - 1] >> lastbits != 0) return false;
    host |= parts[n - 1];
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(host >> 24), static_cast<unsigned char>(host >> 16),
        static_cast<unsigned char>(host >> 8), static_cast<unsigned char>(host)};
    std::memcpy(addr, bytes, sizeof bytes);  // network byte order
    return true;
}

bool parseaddress(const char *text, std::uint32_t *addr, std::uint16_t *port) {
    if (text == nullptr) return false;
    char host[32];
    const char *colon = std::strchr(text, ':');
    const std::size_t hostlen =
        colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
    if (hostlen == 0 || hostlen >= sizeof host) return false;
    std::memcpy(host, text, hostlen);
    host[hostlen] = '\0';
    std::uint32_t parsed = 0;
    if (!parseipv4(host, &parsed)) return false;
    std::uint16_t p = kServerPort;
    if (colon != nullptr) {
        // Decimal digits only, 1 to 65535.
        std::uint32_t v = 0;
        const char *s = colon + 1;
        for (; *s >= '0' && *s <= '9' && v <= 65535; ++s)
            v = v * 10 + static_cast<unsigned>(*s - '0');
        if (s == colon + 1 || *s != '\0' || v == 0 || v > 65535) return false;
        p = static_cast<std::uint16_t>(v);
    }
    *addr = parsed;
    *port = p;
    return true;
}

}  // namespace vorn::platform
