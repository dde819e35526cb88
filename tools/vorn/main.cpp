// vorn: the operators' tool for database files and a running server, one program with
// subcommands. `vorn --help` lists them; `vorn CMD --help` tells about one.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command.h"

namespace vorn::tool {

const std::vector<Command> &commands() {
    static const std::vector<Command> table = {
        createcommand(), infocommand(),    checkcommand(),  dumpcommand(),   loadcommand(),
        statcommand(),   salvagecommand(), statuscommand(), backupcommand(), democommand(),
    };
    return table;
}

int fail(const char *name, int status, const char *fmt, ...) {
    std::fprintf(stderr, "vorn %s: ", name);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    return status;
}

bool parsenumber(const std::string &text, long long lo, long long hi, long long *out) {
    // Decimal, or hexadecimal after 0x; a leading 0 does not mean octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char *allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.size() > 16 ||
        digits.find_first_not_of(allowed) != std::string::npos) {
        return false;
    }
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (v > static_cast<unsigned long long>(hi) || static_cast<long long>(v) < lo) return false;
    *out = static_cast<long long>(v);
    return true;
}

namespace {

void printusage(FILE *to) {
    std::fprintf(to, "usage: vorn COMMAND [ARGS]   (vorn COMMAND --help tells more)\n\n");
    for (const Command &c : commands()) std::fprintf(to, "  %-8s %s\n", c.name, c.summary);
}

void printhelp(const Command &c) {
    std::printf("usage: vorn %s %s\n\n%s\n", c.name, c.usage, c.help);
}

const OptionRule *findoption(const Command &c, const std::string &name) {
    for (const OptionRule &o : c.options) {
        if (name == o.name) return &o;
    }
    return nullptr;
}

// Parses argv[first..] for command c. "--name=VALUE" and "--name VALUE" both work; "--"
// ends the options. False, with the complaint printed, on anything c does not take.
bool parseargs(const Command &c, int argc, char **argv, int first, Args *args) {
    bool optionsdone = false;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsdone || arg.size() < 2 || arg[0] != '-' || arg == "-") {
            args->positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsdone = true;
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const OptionRule *rule = findoption(c, name);
        if (rule == nullptr) {
            fail(c.name, kExitUsage, "unknown option %s (see vorn %s --help)", name.c_str(),
                 c.name);
            return false;
        }
        if (!rule->takesvalue) {
            if (eq != std::string::npos) {
                fail(c.name, kExitUsage, "%s takes no value", name.c_str());
                return false;
            }
            args->options[name] = "";
        } else if (eq != std::string::npos) {
            args->options[name] = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            args->options[name] = argv[++i];
        } else {
            fail(c.name, kExitUsage, "%s wants a value", name.c_str());
            return false;
        }
    }
    const int n = static_cast<int>(args->positional.size());
    if (n < c.minargs || n > c.maxargs) {
        fail(c.name, kExitUsage, "wrong number of arguments\nusage: vorn %s %s", c.name, c.usage);
        return false;
    }
    return true;
}

bool wantshelp(int argc, char **argv, int first) {
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    }
    return false;
}

}  // namespace
}  // namespace vorn::tool

int main(int argc, char **argv) {
    using namespace vorn::tool;
    if (argc < 2) {
        printusage(stderr);
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printusage(stdout);
        return kExitOk;
    }
    for (const Command &c : commands()) {
        if (name != c.name) continue;
        if (wantshelp(argc, argv, 2)) {
            printhelp(c);
            return kExitOk;
        }
        Args args;
        if (!parseargs(c, argc, argv, 2, &args)) return kExitUsage;
        return c.run(args);
    }
    std::fprintf(stderr, "vorn: unknown command \"%s\"\n", name.c_str());
    printusage(stderr);
    return kExitUsage;
}
