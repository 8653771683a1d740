// The quoting of a token or chunk inside a message: between double quotes,
// with escapes for quotes, backslashes, the usual control characters and any
// character that would be invisible or ambiguous when printed.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace brindlore {

// `text` (valid UTF-8) quoted: '"' and '\' get a backslash; tab, CR, LF and
// NUL become \t, \r, \n, \0; characters of the categories Cc, Cf, Cs, Co, Cn,
// Zl, Zp and Zs (except U+0020) and Grapheme_Extend characters become \u{hex}
// (lower case, no leading zeros); everything else is kept. Thread-safe.
std::string debug_quote(std::string_view text);

// "<prefix>decoded token <quoted token> has no integer ID", the message of
// every encoder that meets a token without an id.
CoreError missing_id_error(std::string_view prefix, std::string_view token);

}  // namespace brindlore
