// Debug quoting of text: the string between double quotes with control, non-printable
// and grapheme-extending characters escaped (used by error debug texts and task reprs).
#pragma once

#include <string>
#include <string_view>

namespace qv {

// `utf8` is valid UTF-8 (every engine string is). Returns "\"...\"" with escapes.
std::string debug_quote(std::string_view utf8);

}  // namespace qv
