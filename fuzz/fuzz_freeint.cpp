// Fuzz target: the free-form integer read of an atom number.
//
// Properties, for any text:
//  - only blanks and tabs (or nothing) is the end of input, and nothing else;
//  - a text whose first non-blank is a comma or a slash is a null value;
//  - a value needs a digit in the token (up to the first blank, tab, comma
//    or slash), and a token of only a sign and digits gives its integer;
//  - what follows the token is never looked at: appending ",9" or " x" to a
//    text that is not all blanks leaves the result unchanged;
//  - a repeat form "r*v" (v without a star) reads as v alone;
//  - the 5-character argument text (cut or padded) reads without crashing.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "textio/textio.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_sep(char c) {
  return is_blank(c) || c == ',' || c == '/';
}

bool same(const pds::FreeInt& a, const pds::FreeInt& b) {
  return a.status == b.status && (a.status != pds::FreeInt::kValue || a.value == b.value);
}

// The integer of a token made of an optional sign and digits, if it fits.
bool plain_integer(std::string_view t, std::int64_t& v) {
  std::size_t i = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
  if (i == t.size() || t.size() > 15) return false;
  v = 0;
  for (std::size_t j = i; j < t.size(); ++j) {
    if (t[j] < '0' || t[j] > '9') return false;
    v = v * 10 + (t[j] - '0');
  }
  if (t[0] == '-') v = -v;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const pds::FreeInt r = pds::read_free_int(text);

  std::size_t first = 0;
  while (first < text.size() && is_blank(text[first])) ++first;
  const bool all_blank = first == text.size();
  FUZZ_CHECK((r.status == pds::FreeInt::kEnd) == all_blank);
  if (all_blank) return 0;

  if (text[first] == ',' || text[first] == '/') FUZZ_CHECK(r.status == pds::FreeInt::kNull);
  std::size_t end = first;
  while (end < text.size() && !is_sep(text[end])) ++end;
  const std::string_view token = std::string_view(text).substr(first, end - first);

  if (r.status == pds::FreeInt::kValue)
    FUZZ_CHECK(token.find_first_of("0123456789") != std::string_view::npos);
  std::int64_t v = 0;
  if (plain_integer(token, v) && v >= INT32_MIN && v <= INT32_MAX)
    FUZZ_CHECK(r.status == pds::FreeInt::kValue && r.value == v);

  FUZZ_CHECK(same(pds::read_free_int(text + ",9"), r));
  FUZZ_CHECK(same(pds::read_free_int(text + " x"), r));

  const std::size_t star = token.find('*');
  if (star != std::string_view::npos && star > 0 && star + 1 < token.size() &&
      token.find('*', star + 1) == std::string_view::npos &&
      token.substr(0, star).find_first_not_of("0123456789") == std::string_view::npos &&
      token.substr(0, star).find_first_not_of('0') != std::string_view::npos) {
    FUZZ_CHECK(same(pds::read_free_int(token.substr(star + 1)), r));
  }

  (void)pds::read_free_int(pds::fixed(text, 5));
  return 0;
}
