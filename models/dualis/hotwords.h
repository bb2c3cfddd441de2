// Splitting a hotword string into words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace models::dualis {

// Splits UTF-8 text at every run of Unicode whitespace (as str.split() does: ASCII blanks and
// controls, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000),
// ignoring leading and trailing whitespace. Bytes that are not well-formed UTF-8 (overlong forms,
// surrogates, code points past U+10FFFF, stray bytes) are never whitespace: they stay in the words.
std::vector<std::string> split_hotwords(std::string_view text);

}  // namespace models::dualis
