// The free-form (list-directed) integer read of an atom number from an
// argument text: "7", "  7", "007", "7,8" give 7; "2.7" gives 2; "," is a
// null value; "abc", "2a", "-" are syntax errors; all blanks is the end.
#include <cmath>
#include <cstdlib>
#include <string>

#include "textio/textio.h"

namespace pds {

namespace {

bool is_sep(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == '/';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_exp_letter(char c) {
  return c == 'e' || c == 'E' || c == 'd' || c == 'D' || c == 'q' || c == 'Q';
}

// A whole value: [sign] digits [. digits] [exponent], or [sign] digits.
// Exponent: letter E/D/Q, optional sign, digits. Digits must stand before any
// point or exponent letter, or after a point ("2.", ".5" and "3." are fine).
FreeInt value_of(std::string_view v) {
  std::size_t i = 0;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
  std::size_t int_start = i;
  while (i < v.size() && is_digit(v[i])) ++i;
  std::size_t int_digits = i - int_start, frac_digits = 0;
  if (i < v.size() && v[i] == '.') {
    std::size_t f = ++i;
    while (i < v.size() && is_digit(v[i])) ++i;
    frac_digits = i - f;
  }
  if (int_digits + frac_digits == 0) return {FreeInt::kSyntax};
  if (i < v.size() && is_exp_letter(v[i])) {
    ++i;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
    std::size_t e = i;
    while (i < v.size() && is_digit(v[i])) ++i;
    if (i == e) return {FreeInt::kSyntax};
  }
  if (i != v.size()) return {FreeInt::kSyntax};

  // Integers convert exactly; reals are truncated toward zero. A result
  // outside the 32-bit range is refused like any other malformed value.
  std::string text(v);
  for (char& c : text)
    if (is_exp_letter(c)) c = 'e';
  double t = std::trunc(std::strtod(text.c_str(), nullptr));
  if (!(t >= -2147483648.0 && t <= 2147483647.0)) return {FreeInt::kSyntax};
  return {FreeInt::kValue, static_cast<std::int32_t>(t)};
}

}  // namespace

FreeInt read_free_int(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == text.size()) return {FreeInt::kEnd};
  if (text[i] == ',' || text[i] == '/') return {FreeInt::kNull};
  std::size_t end = i;
  while (end < text.size() && !is_sep(text[end])) ++end;
  std::string_view token = text.substr(i, end - i);

  // Repeat form r*v: the value is v; "r*" alone is a null value.
  std::size_t star = token.find('*');
  if (star != std::string_view::npos) {
    std::string_view r = token.substr(0, star);
    if (r.empty()) return {FreeInt::kSyntax};
    for (char c : r)
      if (!is_digit(c)) return {FreeInt::kSyntax};
    if (r.find_first_not_of('0') == std::string_view::npos) return {FreeInt::kSyntax};
    token = token.substr(star + 1);
    if (token.empty()) return {FreeInt::kNull};
  }
  return value_of(token);
}

}  // namespace pds
