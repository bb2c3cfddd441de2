// Whitespace splitting of hotword strings, UTF-8 aware: a multi-byte character is never cut and
// never mistaken for a blank.
#include "models/dualis/hotwords.h"

namespace models::dualis {
namespace {

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Decodes the character at text[i] strictly (well-formed UTF-8 only: no overlong forms, no
// surrogates, nothing past U+10FFFF) and sets `len` to its byte length. A byte that does not
// start a well-formed sequence has length 1 and decodes as U+FFFD, a non-space, so it stays
// inside its word.
char32_t decode(std::string_view text, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b0 == 0xED) hi = 0x9F;  // surrogates U+D800..U+DFFF
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0xFFFD;  // a continuation byte, C0/C1 (always overlong) or F5..FF
  }
  if (i + n > text.size()) return 0xFFFD;
  char32_t c = b0 & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0xFFFD;
    c = (c << 6) | (b & 0x3F);
  }
  len = n;
  return c;
}

}  // namespace

std::vector<std::string> split_hotwords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  std::size_t word_start = std::string_view::npos;
  while (i < text.size()) {
    std::size_t len = 1;
    const bool space = is_unicode_space(decode(text, i, len));
    if (space && word_start != std::string_view::npos) {
      words.emplace_back(text.substr(word_start, i - word_start));
      word_start = std::string_view::npos;
    } else if (!space && word_start == std::string_view::npos) {
      word_start = i;
    }
    i += len;
  }
  if (word_start != std::string_view::npos) words.emplace_back(text.substr(word_start));
  return words;
}

}  // namespace models::dualis
