// The pieces of the dump format (JSON Lines, docs/DUMP.md): bytes as lowercase hexadecimal
// and one flat JSON object per line whose values are strings, whole numbers or arrays of
// whole numbers. The reader takes exactly that subset and refuses anything else.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorn::tool {

// The version written in (and required of) a dump's first line.
inline constexpr int kDumpVersion = 1;

std::string tohex(const void *bytes, std::size_t n);
// False on an odd length or a character that is not a hexadecimal digit.
bool fromhex(const std::string &text, std::vector<std::uint8_t> *out);

// One value of a line.
struct JsonValue {
    enum Kind { String, Number, Array } kind = String;
    std::string text;              // String
    long long number = 0;          // Number
    std::vector<long long> items;  // Array
};
using JsonLine = std::map<std::string, JsonValue>;

// Parses one line; false with the reason in *why.
bool parsejsonline(const std::string &line, JsonLine *out, std::string *why);

// Builds one line: fields are written in the order added.
class JsonWriter {
  public:
    JsonWriter &str(const char *name, const std::string &value);
    JsonWriter &num(const char *name, long long value);
    JsonWriter &arr(const char *name, const std::vector<long long> &values);
    std::string line() const { return "{" + body_ + "}\n"; }

  private:
    void key(const char *name);
    std::string body_;
};

}  // namespace vorn::tool
