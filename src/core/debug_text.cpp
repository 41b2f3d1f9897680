// Debug quoting: escapes control, non-printable and grapheme-extending characters so a
// message shows unambiguously inside a debug text.
#include "core/debug_text.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace qv {

namespace {

struct CodeRange {
    char32_t lo;
    char32_t hi;
};

#include "core/unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodeRange (&table)[N], char32_t c) {
    auto it = std::upper_bound(std::begin(table), std::end(table), c,
                               [](char32_t v, const CodeRange& r) { return v < r.lo; });
    return it != std::begin(table) && c <= std::prev(it)->hi;
}

constexpr char32_t kMalformed = 0xFFFFFFFF;

// Decodes one code point; a malformed sequence yields kMalformed and consumes one byte.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
    if (len == 0 || b0 > 0xF4 || i + len > s.size()) {
        ++i;
        return kMalformed;
    }
    char32_t c = b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kMalformed;
        }
        c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMinForLen[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMinForLen[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return kMalformed;
    }
    i += len;
    return c;
}

void append_hex_escape(std::string& out, char32_t c) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kDigits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (n > 0) out += buf[--n];
    out += '}';
}

}  // namespace

std::string debug_quote(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t start = i;
        const char32_t c = next_code_point(utf8, i);
        switch (c) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        const bool plain_ascii = c >= 0x20 && c < 0x7F;
        if (plain_ascii || (!in_table(kGraphemeExtend, c) && in_table(kPrintable, c))) {
            out.append(utf8.substr(start, i - start));
        } else if (c == kMalformed) {
            append_hex_escape(out, 0xFFFD);  // engine strings are UTF-8; never crash if not
        } else {
            append_hex_escape(out, c);
        }
    }
    out += '"';
    return out;
}

}  // namespace qv
