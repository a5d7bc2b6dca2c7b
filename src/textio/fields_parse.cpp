// Input fields: reals (Fw.d, Ew.d, Ew.dEe) and integers (Iw).
//
// Blanks (and tabs) are ignored wherever they stand; a field of blanks is 0.
// A real is an optional sign, digits with at most one point, and an optional
// exponent: a letter E, D or Q in either case followed by an optionally signed
// integer, or a sign directly behind the digits ("0.1234+01"). Without a
// point the last d digits are decimals. The words NaN, Inf and Infinity are
// accepted in any case, with an optional sign.
//
// The fast path takes the right-aligned shapes that data files hold
// ("  0.1234E+01", " -0.1234d-05", "    -12.345"), a word at a time from the
// end of the field. Its mantissa has at most 8 digits and its decimal power is
// at most 22 in size, so one multiplication or division of exact doubles gives
// the correctly rounded result (Clinger). Everything else, malformed text
// included, goes to the general path, which checks the grammar and converts
// a canonical decimal text with strtod.
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "textio/textio.h"
#include "textio/words.h"

namespace pds {

// Defined with set_fast_paths(); read here directly so that the check does not
// cost a call on every field.
extern std::atomic<bool> g_fast_field_paths;

namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}
bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_exp_letter(char c) {
  c = static_cast<char>(c | 0x20);
  return c == 'e' || c == 'd' || c == 'q';
}

// ---------------------------------------------------------------------------
// Fast path

constexpr std::uint64_t kBlanks8 = 0x2020202020202020;

char byte_at(std::uint64_t word, int i) {
  return static_cast<char>(word >> (8 * i));
}

// 0x80 in every byte of a word that is not a decimal digit. Per byte,
// c + 0x46 and c - 0x30 both keep the high bit clear only for '0'..'9';
// carries and borrows only travel towards later characters, so the first
// flagged byte is always exact (later ones do not matter).
std::uint64_t nondigit_flags(std::uint64_t word) {
  return ((word + 0x4646464646464646) | (word - 0x3030303030303030)) & 0x8080808080808080;
}

// Position of the first flagged byte, 8 if none (countr_zero(0) is 64).
int first_flag(std::uint64_t flags) {
  return std::countr_zero(flags) >> 3;
}

// Value of the first n (1..8) digits of a word: they are moved to the top,
// the zero bytes in front act as leading zeros, then three multiplications
// combine pairs, quads and the eight.
std::uint64_t digits_value(std::uint64_t word, int n) {
  word <<= 8 * (8 - n);
  word = ((word & 0x0F0F0F0F0F0F0F0F) * 2561) >> 8;
  word = ((word & 0x00FF00FF00FF00FF) * 6553601) >> 16;
  return ((word & 0x0000FFFF0000FFFF) * 42949672960001) >> 32;
}

// The field without its exponent: a four-character "E+01" (any exponent
// letter, either case) at the end of a field of 12 or more. Returns the end of
// the mantissa; nullptr for an exponent of another form.
const char* cut_exponent(std::string_view field, int& exp) {
  const char* end = field.data() + field.size();
  exp = 0;
  if (field.size() < 12 || !is_exp_letter(end[-4])) return end;
  const char sign = end[-3];
  if ((sign != '+' && sign != '-') || !is_digit(end[-2]) || !is_digit(end[-1])) return nullptr;
  exp = (end[-2] - '0') * 10 + (end[-1] - '0');
  exp = sign == '-' ? -exp : exp;
  return end - 4;
}

// Returns false when the field needs the general path; that includes every
// malformed field, so a false here is never a verdict.
bool parse_real_fast(std::string_view field, int d, double& out) {
  if (field.size() < 8) return false;
  int exp;
  const char* const end = cut_exponent(field, exp);
  // The last eight characters of the mantissa, with only blanks before them.
  if (end == nullptr || end - 8 < field.data()) return false;
  for (const char* p = field.data(); p < end - 8; ++p)
    if (*p != ' ') return false;
  std::uint64_t word = load8(end - 8);

  // Blanks, then a sign; shifting them out leaves zero bytes at the top.
  const std::uint64_t text = word ^ kBlanks8;
  if (text == 0) return false;  // 0, or an exponent alone: for the general path
  int skip = std::countr_zero(text) >> 3;
  const char first = byte_at(word, skip);
  const bool neg = first == '-';
  skip += neg | (first == '+');
  if (skip == 8) return false;
  word >>= 8 * skip;
  const int len = 8 - skip;

  // Digits, or digits around one point: the point is dropped and the
  // characters behind it move down one place.
  std::uint64_t flags = nondigit_flags(word);
  const int point = first_flag(flags);
  int ndigits = len, decimals = d;  // no point: the last d digits are decimals
  if (point < len) {
    if (byte_at(word, point) != '.' || first_flag(flags & (flags - 1)) < len) return false;
    const std::uint64_t before = (std::uint64_t{1} << (8 * point)) - 1;
    word = (word & before) | ((word >> 8) & ~before);
    ndigits = len - 1;
    decimals = len - 1 - point;
  }
  const int pow = exp - decimals;
  if (ndigits == 0 || pow < -22 || pow > 22) return false;

  // Both operations are done, one of them with 1, so that neither the sign
  // of the power nor that of the value costs a branch.
  const double m = static_cast<double>(digits_value(word, ndigits));
  const int up = pow & ~(pow >> 31), down = -pow & (pow >> 31);  // max(pow, 0), max(-pow, 0)
  const double v = m * kPow10[up] / kPow10[down];
  out = std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | std::uint64_t{neg} << 63);
  return true;
}

// ---------------------------------------------------------------------------
// General path

// "nan", "inf" or "infinity" in any case.
bool read_word(std::string_view s, bool neg, double& out) {
  std::string low(s);
  for (char& c : low) c = static_cast<char>(c | 0x20);
  if (low == "nan") {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (low == "inf" || low == "infinity") {
    out = neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    return true;
  }
  return false;
}

// Mantissa of a blank-free text from s[i]: its significant digits (leading
// zeros dropped), how many digits there were and how many stood behind the
// point (-1: no point). Stops at the first character that is neither.
bool read_mantissa(std::string_view s, std::size_t& i, std::string& digits, int& decimals) {
  int ndigits = 0;
  decimals = -1;
  for (; i < s.size(); ++i) {
    if (s[i] == '.') {
      if (decimals >= 0) return false;  // a second point
      decimals = 0;
      continue;
    }
    if (!is_digit(s[i])) break;
    ++ndigits;
    if (decimals >= 0) ++decimals;
    if (!digits.empty() || s[i] != '0') digits.push_back(s[i]);
  }
  return ndigits > 0;
}

// Exponent from s[i] to the end: a letter and an optionally signed integer,
// or a sign and an integer; nothing at all is 0. Huge exponents saturate:
// they end as infinity or zero anyway.
bool read_exponent(std::string_view s, std::size_t i, std::int64_t& exp) {
  exp = 0;
  if (i == s.size()) return true;
  if (is_exp_letter(s[i]))
    ++i;
  else if (s[i] != '+' && s[i] != '-')
    return false;
  const bool neg = i < s.size() && s[i] == '-';
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
    if (exp < 1000000000) exp = exp * 10 + (s[i] - '0');
  }
  if (neg) exp = -exp;
  return true;
}

// The nearest double to digits x 10^pow (digits without leading zeros).
double nearest(std::string& digits, std::int64_t pow) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (digits.empty()) return 0.0;
  // Far outside the double range decide here, so that the text handed to
  // strtod keeps a modest exponent: the value is 0.digits x 10^mag.
  const std::int64_t mag = pow + static_cast<std::int64_t>(digits.size());
  if (mag > 400) return kInf;
  if (mag < -400) return 0.0;
  // Digits and exponent only: no decimal point, so the locale does not matter.
  digits += 'e';
  digits += std::to_string(pow);
  // from_chars is exact and fast; it declines results that overflow or
  // underflow, which strtod rounds correctly to infinity, subnormal or zero.
  double v = 0;
  auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (r.ec == std::errc()) return v;
  return std::strtod(digits.c_str(), nullptr);
}

}  // namespace

bool parse_real(std::string_view field, int d, double& out) {
  if (g_fast_field_paths.load(std::memory_order_relaxed) && parse_real_fast(field, d, out))
    return true;
  return parse_real_exact(field, d, out);
}

bool parse_real_exact(std::string_view field, int d, double& out) {
  std::string s;
  s.reserve(field.size());
  for (char c : field)
    if (!is_blank(c)) s.push_back(c);
  if (s.empty()) {
    out = 0.0;
    return true;
  }
  std::size_t i = 0;
  const bool neg = s[0] == '-';
  if (s[0] == '-' || s[0] == '+') ++i;
  if (i < s.size() && !is_digit(s[i]) && s[i] != '.')
    return read_word(std::string_view(s).substr(i), neg, out);

  std::string digits;
  int decimals;
  std::int64_t exp;
  if (!read_mantissa(s, i, digits, decimals) || !read_exponent(s, i, exp)) return false;
  if (decimals < 0) decimals = d;  // no point: the last d digits are decimals
  const double v = nearest(digits, exp - decimals);
  out = neg ? -v : v;
  return true;
}

bool parse_int(std::string_view field, std::int32_t& out) {
  std::int64_t v = 0;
  bool neg = false, sign = false, any = false;
  for (char c : field) {
    if (is_blank(c)) continue;
    if ((c == '+' || c == '-') && !sign && !any) {
      sign = true;
      neg = c == '-';
    } else if (is_digit(c)) {
      any = true;
      if (v <= std::int64_t{1} << 32) v = v * 10 + (c - '0');
    } else {
      return false;
    }
  }
  if (!any) {
    if (sign) return false;  // a lone sign
    out = 0;
    return true;
  }
  if (neg) v = -v;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

}  // namespace pds
