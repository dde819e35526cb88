#include "options.h"

#include <cstdlib>
#include <cstring>

#include "vorn/socket.h"

namespace vorn::server {
namespace {

// "ADDR" or "ADDR:PORT"; the port may be 0.
bool parselisten(const std::string &text, ListenConfig *config) {
    const std::size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    std::uint16_t ignored = 0;
    if (!platform::parseaddress(host.c_str(), &config->addr, &ignored)) return false;
    config->port = platform::kServerPort;
    if (colon == std::string::npos) return true;
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long value = std::strtol(port.c_str(), nullptr, 10);
    if (value > 65535) return false;
    config->port = static_cast<std::uint16_t>(value);
    return true;
}

// "ADDR" or "ADDR/BITS" with BITS 0..32; ADDR alone admits that one address.
bool parseallow(const std::string &text, AddressRange *range) {
    const std::size_t slash = text.find('/');
    std::uint16_t ignored = 0;
    const std::string host = text.substr(0, slash);
    if (host.find(':') != std::string::npos) return false;
    if (!platform::parseaddress(host.c_str(), &range->addr, &ignored)) return false;
    long bits = 32;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 2 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        bits = std::strtol(digits.c_str(), nullptr, 10);
        if (bits > 32) return false;
    }
    // The mask in network byte order: the first `bits` bits of the address's bytes.
    std::uint32_t mask = 0;
    auto *bytes = reinterpret_cast<unsigned char *>(&mask);
    for (long i = 0; i < bits; ++i) bytes[i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
    range->mask = mask;
    return true;
}

// The value of option `name` at argv[i] ("--name VALUE" or "--name=VALUE"); advances i past
// it. False when argv[i] is not that option; `missing` set when it is but has no value.
bool optionvalue(int argc, char **argv, int *i, const char *name, std::string *value,
                 bool *missing) {
    const char *arg = argv[*i];
    const std::size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0) return false;
    if (arg[n] == '=') {
        *value = arg + n + 1;
        return true;
    }
    if (arg[n] != '\0') return false;
    if (*i + 1 >= argc) {
        *missing = true;
        return true;
    }
    *value = argv[++*i];
    return true;
}

}  // namespace

bool parseoptions(int argc, char **argv, ServerOptions *options, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        std::string value;
        bool missing = false;
        if (optionvalue(argc, argv, &i, "--listen", &value, &missing)) {
            if (missing || !parselisten(value, &options->listen)) {
                *error = "vornserv: --listen wants ADDR[:PORT] with a dotted IPv4 address";
                return false;
            }
            options->listentext = value;
        } else if (optionvalue(argc, argv, &i, "--event-log", &value, &missing)) {
            if (missing || value.empty()) {
                *error = "vornserv: --event-log wants a file name";
                return false;
            }
            options->eventlog = value;
        } else if (optionvalue(argc, argv, &i, "--pipe", &value, &missing)) {
            if (missing || value.empty()) {
                *error = "vornserv: --pipe wants a name";
                return false;
            }
            options->pipe = value;
        } else if (std::strcmp(argv[i], "--foreground") == 0) {
            options->foreground = true;
        } else if (optionvalue(argc, argv, &i, "--data-root", &value, &missing)) {
            if (missing || value.empty()) {
                *error = "vornserv: --data-root wants a directory";
                return false;
            }
            options->dataroot = value;
        } else if (optionvalue(argc, argv, &i, "--allow", &value, &missing)) {
            AddressRange range;
            if (missing || !parseallow(value, &range)) {
                *error = "vornserv: --allow wants ADDR[/BITS] with a dotted IPv4 address";
                return false;
            }
            options->listen.allow.push_back(range);
        } else if (std::strcmp(argv[i], "--sync") == 0) {
            options->sync = true;
        } else {
            *error = std::string("vornserv: unknown option ") + argv[i] + "\n" + usage();
            return false;
        }
    }
    return true;
}

const char *usage() {
    return "usage: vornserv [--listen ADDR[:PORT]] [--event-log FILE] [--pipe NAME]\n"
           "                [--data-root DIR] [--allow ADDR[/BITS]]... [--sync]\n"
           "                [--foreground]";
}

}  // namespace vorn::server
