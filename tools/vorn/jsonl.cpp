#include "jsonl.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace vorn::tool {
namespace {

int hexdigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A cursor over one line with the few steps the reader needs.
class Reader {
  public:
    explicit Reader(const std::string &s) : s_(s) {}
    void skipspace() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }
    bool take(char c) {
        skipspace();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool atend() {
        skipspace();
        return i_ == s_.size();
    }
    char peek() {
        skipspace();
        return i_ < s_.size() ? s_[i_] : '\0';
    }
    // A string without escapes other than \" and \\ (the writer never makes others).
    bool string(std::string *out) {
        if (!take('"')) return false;
        out->clear();
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c == '\\') {
                if (i_ >= s_.size() || (s_[i_] != '"' && s_[i_] != '\\')) return false;
                c = s_[i_++];
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            out->push_back(c);
        }
        return i_++ < s_.size();
    }
    bool number(long long *out) {
        skipspace();
        const std::size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
        const std::string digits = s_.substr(start, i_ - start);
        if (digits.empty() || digits == "-" || digits.size() > 19) return false;
        errno = 0;
        *out = std::strtoll(digits.c_str(), nullptr, 10);
        return errno == 0;
    }

  private:
    const std::string &s_;
    std::size_t i_ = 0;
};

bool parsevalue(Reader &r, JsonValue *v) {
    const char c = r.peek();
    if (c == '"') {
        v->kind = JsonValue::String;
        return r.string(&v->text);
    }
    if (c == '[') {
        r.take('[');
        v->kind = JsonValue::Array;
        if (r.take(']')) return true;
        do {
            long long n = 0;
            if (!r.number(&n)) return false;
            v->items.push_back(n);
        } while (r.take(','));
        return r.take(']');
    }
    v->kind = JsonValue::Number;
    return r.number(&v->number);
}

}  // namespace

std::string tohex(const void *bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    const auto *p = static_cast<const std::uint8_t *>(bytes);
    std::string out(2 * n, '0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 15];
    }
    return out;
}

bool fromhex(const std::string &text, std::vector<std::uint8_t> *out) {
    if (text.size() % 2 != 0) return false;
    out->resize(text.size() / 2);
    for (std::size_t i = 0; i < out->size(); ++i) {
        const int hi = hexdigit(text[2 * i]), lo = hexdigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        (*out)[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

bool parsejsonline(const std::string &line, JsonLine *out, std::string *why) {
    Reader r(line);
    out->clear();
    if (!r.take('{')) {
        *why = "a line must be one JSON object";
        return false;
    }
    if (!r.take('}')) {
        do {
            std::string name;
            JsonValue value;
            if (!r.string(&name) || !r.take(':') || !parsevalue(r, &value)) {
                *why = "malformed field";
                return false;
            }
            if (!out->emplace(name, std::move(value)).second) {
                *why = "field \"" + name + "\" given twice";
                return false;
            }
        } while (r.take(','));
        if (!r.take('}')) {
            *why = "malformed object";
            return false;
        }
    }
    if (!r.atend()) {
        *why = "text after the object";
        return false;
    }
    return true;
}

void JsonWriter::key(const char *name) {
    if (!body_.empty()) body_ += ',';
    body_ += '"';
    body_ += name;
    body_ += "\":";
}

JsonWriter &JsonWriter::str(const char *name, const std::string &value) {
    key(name);
    body_ += '"';
    for (char c : value) {
        if (c == '"' || c == '\\') body_ += '\\';
        body_ += c;
    }
    body_ += '"';
    return *this;
}

JsonWriter &JsonWriter::num(const char *name, long long value) {
    key(name);
    body_ += std::to_string(value);
    return *this;
}

JsonWriter &JsonWriter::arr(const char *name, const std::vector<long long> &values) {
    key(name);
    body_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) body_ += ',';
        body_ += std::to_string(values[i]);
    }
    body_ += ']';
    return *this;
}

}  // namespace vorn::tool
