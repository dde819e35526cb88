// The subcommands of `vorn` and what they share: one table entry per subcommand (its name,
// usage, help text, options and entry point) and the parsed command line handed to it.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vorn::tool {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the work failed (or, for check, the file has faults)
inline constexpr int kExitUsage = 2;   // a wrong command line, or a file that is no database

struct OptionRule {
    const char *name;  // "--keys"
    bool takesvalue;   // "--subfile N" rather than a flag
};

// A command line after parsing: the positional arguments in order, the options by name
// (flags map to "").
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool has(const std::string &name) const { return options.count(name) != 0; }
    std::string value(const std::string &name, const std::string &fallback = "") const {
        const auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
};

struct Command {
    const char *name;
    const char *usage;    // the part after "vorn NAME"
    const char *summary;  // one line for `vorn --help`
    const char *help;     // the paragraph for `vorn NAME --help`
    std::vector<OptionRule> options;
    int minargs, maxargs;  // positional arguments
    int (*run)(const Args &args);
};

// The table, in the order `vorn --help` lists it.
const std::vector<Command> &commands();

// Each subcommand's entry in the table, defined in the subcommand's own file.
const Command &createcommand();
const Command &infocommand();
const Command &checkcommand();
const Command &dumpcommand();
const Command &loadcommand();
const Command &statcommand();
const Command &salvagecommand();
const Command &statuscommand();
const Command &backupcommand();
const Command &democommand();

// Prints "vorn NAME: message" on standard error and returns `status`.
int fail(const char *name, int status, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Parses a whole decimal or 0x-hexadecimal number within [lo, hi]; false otherwise.
bool parsenumber(const std::string &text, long long lo, long long hi, long long *out);

}  // namespace vorn::tool
