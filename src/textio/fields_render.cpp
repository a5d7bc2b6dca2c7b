// Output fields Fw.d, Ew.d, Iw, Iw.m and I0.
//
// Reals are rounded from the exact binary value to the nearest, halfway cases
// to the even digit. Each real renderer has two paths:
//  - a fast path that scales by one exactly representable power of ten
//    (10^k, k <= 22), so that the scaled value is one correctly rounded
//    multiplication or division away from the exact product, and rounds it
//    from its fraction. It gives up on a fraction of exactly one half (a
//    possible halfway case, see round_scaled) and on values out of its
//    range; whenever it does not give up, its digits are provably those of
//    the exact path.
//  - an exact path that lets std::to_chars produce the correctly rounded
//    digits and only lays them out.
// The layout rules (sign, optional "0" before the point, asterisks) live in
// layout_f and layout_e; the fast paths use branch-free copies of them for
// the shapes that always fit (layout_f_small, layout_e_small).
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "textio/textio.h"

namespace pds {

// The switch behind set_fast_paths(); the parsers read it too.
std::atomic<bool> g_fast_field_paths{true};

namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// clang-format off
constexpr std::uint64_t kPow10u[] = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000, 10000000000,
    100000000000, 1000000000000, 10000000000000, 100000000000000, 1000000000000000,
    10000000000000000, 100000000000000000, 1000000000000000000, 10000000000000000000u};
// clang-format on

// The fast paths keep every scaled value below 2^52, where the integer part,
// the fraction and every n + 1/2 are exact doubles: at most 15 digits.
constexpr int kMaxFastDigits = 15;

// Digits of the numbers 00..99, two characters each.
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Room for `size` characters: the caller's small buffer, or `large` grown to
// fit for the rare wide field.
char* room(std::size_t size, char* small, std::size_t small_size, std::string& large) {
  if (size <= small_size) return small;
  large.resize(size);
  return large.data();
}

char* fill(char* out, int n, char c) {
  if (n > 0) std::memset(out, c, static_cast<std::size_t>(n));
  return out + (n > 0 ? n : 0);
}

// Blanks the whole field: the fast layouts then write their text over it.
// Stores of eight blanks (which may overlap) when the field is that wide.
void blank(char* out, int w) {
  if (w < 8) {
    fill(out, w, ' ');
    return;
  }
  constexpr char kBlanks[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  for (char* p = out; p < out + w - 8; p += 8) std::memcpy(p, kBlanks, 8);
  std::memcpy(out + w - 8, kBlanks, 8);
}

// Number of decimal digits of v; 0 for 0.
int digit_count(std::uint64_t v) {
  int n = 0;
  while (v >= 10000) v /= 10000, n += 4;
  while (v > 0) v /= 10, ++n;
  return n;
}

// The n low-order decimal digits of v, leading zeros included, ending at end.
void put_digits(char* end, std::uint64_t v, int n) {
  for (; n >= 2; n -= 2) {
    const char* pair = kPairs + 2 * (v % 100);
    v /= 100;
    *--end = pair[1];
    *--end = pair[0];
  }
  if (n > 0) *--end = static_cast<char>('0' + v % 10);
}

// NaN and the infinities, for F and E alike.
char* put_special(char* out, double v, int w) {
  std::string_view text;
  if (std::isnan(v)) {
    text = "NaN";
  } else {
    text = v < 0 ? "-Infinity" : "Infinity";
    if (static_cast<int>(text.size()) > w) text = v < 0 ? "-Inf" : "Inf";
  }
  if (static_cast<int>(text.size()) > w) return fill(out, w, '*');
  out = fill(out, w - static_cast<int>(text.size()), ' ');
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// ---------------------------------------------------------------------------
// Layout

// Fw.d text from the rounded digits: `digits` holds the nint integer digits
// (no leading zeros; nint is 0 when the integer part is zero) followed by
// the d decimals. `neg` is already false for a result that rounded to zero.
char* layout_f(char* out, int w, bool neg, const char* digits, int nint, int d) {
  const int len = neg + nint + 1 + d;
  if (len > w) return fill(out, w, '*');
  // A zero integer part gets its "0" only when the field has room for it.
  const bool zero = nint == 0 && len < w;
  out = fill(out, w - len - zero, ' ');
  if (neg) *out++ = '-';
  if (zero) *out++ = '0';
  std::memcpy(out, digits, static_cast<std::size_t>(nint));
  out += nint;
  *out++ = '.';
  std::memcpy(out, digits + nint, static_cast<std::size_t>(d));
  return out + d;
}

// Ew.d text for 0.d1...dd x 10^x. The exponent part is always four
// characters: "E+xx" for |x| <= 99, and without the letter "+xxx" above.
char* layout_e(char* out, int w, bool neg, const char* digits, int d, int x) {
  const int len = neg + 1 + d + 4;
  if (len > w) return fill(out, w, '*');
  const bool zero = len < w;
  out = fill(out, w - len - zero, ' ');
  if (neg) *out++ = '-';
  if (zero) *out++ = '0';
  *out++ = '.';
  std::memcpy(out, digits, static_cast<std::size_t>(d));
  out += d;
  const unsigned ax = static_cast<unsigned>(x < 0 ? -x : x);
  if (ax <= 99) {
    *out++ = 'E';
    *out++ = x < 0 ? '-' : '+';
    put_digits(out + 2, ax, 2);
    return out + 2;
  }
  *out++ = x < 0 ? '-' : '+';
  put_digits(out + 3, ax, 3);  // a double's decimal exponent never exceeds 999
  return out + 3;
}

// The common shapes, with room for the sign and without branches on it:
// Fw.d with an integer part below 100 and w >= d + 4 ...
char* layout_f_small(char* out, int w, bool neg, std::uint64_t ip, std::uint64_t frac, int d) {
  blank(out, w);
  char* const point = out + w - d - 1;
  put_digits(out + w, frac, d);
  *point = '.';
  put_digits(point, ip, 2);  // "07" for 7: the "0" is overwritten below
  const int nint = 1 + (ip >= 10);
  point[-nint - 1] = neg ? '-' : ' ';
  return out + w;
}

// ... and Ew.d with |x| <= 99 and w >= d + 7 ("-0." + digits + "E+xx").
char* layout_e_small(char* out, int w, bool neg, std::uint64_t r, int d, int x) {
  blank(out, w);
  char* const zero = out + w - d - 6;
  zero[-1] = neg ? '-' : ' ';
  zero[0] = '0';
  zero[1] = '.';
  put_digits(zero + 2 + d, r, d);
  char* const exp = zero + 2 + d;
  exp[0] = 'E';
  exp[1] = x < 0 ? '-' : '+';
  put_digits(exp + 4, static_cast<unsigned>(x < 0 ? -x : x), 2);
  return out + w;
}

// ---------------------------------------------------------------------------
// Fast paths

// Rounds the scaled value y (y < 2^52, one rounding away from the exact
// product p) to an integer, ties to even. Rounding to the nearest double is
// monotonic and n + 1/2 is itself a double below 2^52, so y lies on the same
// side of n + 1/2 as p does, or exactly on it. Only that last case can be a
// halfway case (or p just off one), and only it is left to the exact path.
bool round_scaled(double y, std::uint64_t& r) {
  const auto n = static_cast<std::uint64_t>(y);
  const double frac = y - static_cast<double>(n);  // exact below 2^52
  if (frac == 0.5) return false;
  r = n + (frac > 0.5);
  return true;
}

// floor(e * log10(2)) for |e| < 1650.
int floor_log10_pow2(int e) {
  return (e * 78913) >> 18;
}

// Digits r (exactly d of them) and exponent x of a finite, nonzero a > 0 with
// 1 <= d <= 15, such that a rounds to 0.r x 10^x.
bool e_digits_fast(double a, int d, std::uint64_t& r, int& x) {
  std::uint64_t bits;
  std::memcpy(&bits, &a, sizeof bits);
  const int biased = static_cast<int>(bits >> 52) & 0x7ff;
  if (biased == 0 || biased == 0x7ff) return false;  // subnormal, inf, NaN
  // a lies in [2^(e-1), 2^e), so its decimal exponent is x or x + 1.
  const int e = biased - 1022;
  x = floor_log10_pow2(e - 1) + 1;
  for (int tries = 0; tries < 2; ++tries, ++x) {
    const int s = d - x;
    if (s > 22 || s < -22) return false;
    const double y = s >= 0 ? a * kPow10[s] : a / kPow10[-s];
    // Rounding is monotonic and 10^d is exact: y > 10^d means the exact
    // product is above it too. y == 10^d exactly rounds to a carry below,
    // which gives the same digits and exponent as the next x would.
    if (y > kPow10[d]) continue;
    if (!round_scaled(y, r)) return false;
    if (r == kPow10u[d]) {  // 0.99995 -> 0.1000 one decade up
      r = kPow10u[d - 1];
      ++x;
    }
    return true;
  }
  return false;
}

}  // namespace

void set_fast_paths(bool on) {
  g_fast_field_paths.store(on, std::memory_order_relaxed);
}
bool fast_paths() {
  return g_fast_field_paths.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Fw.d

char* put_f(char* out, double v, int w, int d) {
  if (w <= 0) return out;
  if (fast_paths() && d >= 0 && d <= kMaxFastDigits && d < w) {
    const double y = std::fabs(v) * kPow10[d];
    std::uint64_t r;
    if (y < 0x1p52 && round_scaled(y, r)) {  // also false for NaN and inf
      // A result that rounds to zero loses its sign: -0.0004 is "0.000".
      const bool neg = v < 0 && r != 0;
      const std::uint64_t ip = d == 3 ? r / 1000 : r / kPow10u[d];  // F11.3: a constant divisor
      if (ip < 100 && w >= d + 4) return layout_f_small(out, w, neg, ip, r - ip * kPow10u[d], d);
      char digits[24];
      const int nd = std::max(digit_count(r), d);
      put_digits(digits + nd, r, nd);
      return layout_f(out, w, neg, digits, nd - d, d);
    }
  }
  return put_f_exact(out, v, w, d);
}

char* put_f_exact(char* out, double v, int w, int d) {
  if (w <= 0) return out;
  if (!std::isfinite(v)) return put_special(out, v, w);
  if (d < 0) d = 0;
  // The point and the decimals alone would not fit, or more than w integer
  // digits: no need to convert.
  if (d + 1 > w || (w <= 22 && std::fabs(v) >= kPow10[w])) return fill(out, w, '*');

  // std::to_chars gives the exactly rounded digits, halfway cases to even,
  // with a lone "0" for a zero integer part. At most 309 integer digits.
  const std::size_t size = static_cast<std::size_t>(d) + 320;
  char small[400];
  std::string large;
  char* buf = room(size, small, sizeof small, large);
  const auto res = std::to_chars(buf, buf + size, std::fabs(v), std::chars_format::fixed, d);
  // "IIII.FFF" becomes "IIIIFFF"; a lone "0" integer part is left out.
  const char* point = static_cast<const char*>(std::memchr(buf, '.', res.ptr - buf));
  if (point == nullptr) point = res.ptr;  // d == 0: no point
  int nint = static_cast<int>(point - buf);
  if (d > 0) std::memmove(buf + nint, point + 1, static_cast<std::size_t>(d));
  const char* digits = buf;
  if (nint == 1 && buf[0] == '0') {
    nint = 0;
    digits = buf + 1;
  }
  bool nonzero = false;
  for (int i = 0; i < nint + d; ++i) nonzero |= digits[i] != '0';
  return layout_f(out, w, v < 0 && nonzero, digits, nint, d);
}

// ---------------------------------------------------------------------------
// Ew.d

char* put_e(char* out, double v, int w, int d) {
  if (w <= 0) return out;
  if (fast_paths() && d >= 1 && d <= kMaxFastDigits) {
    std::uint64_t r = 0;  // both zeros: no sign, digits 0, exponent 0
    int x = 0;
    if (v == 0 || e_digits_fast(std::fabs(v), d, r, x)) {
      const bool neg = v < 0;
      if (x >= -99 && x <= 99 && w >= d + 7) return layout_e_small(out, w, neg, r, d, x);
      char digits[kMaxFastDigits];
      put_digits(digits + d, r, d);
      return layout_e(out, w, neg, digits, d, x);
    }
  }
  return put_e_exact(out, v, w, d);
}

char* put_e_exact(char* out, double v, int w, int d) {
  if (w <= 0) return out;
  if (!std::isfinite(v)) return put_special(out, v, w);
  // No significant digit to show, or not even the point, digits and exponent
  // part fit: the field is all asterisks.
  if (d < 1 || 1 + d + 4 > w) return fill(out, w, '*');

  const std::size_t size = static_cast<std::size_t>(d) + 16;
  char small[64];
  std::string large;
  char* buf = room(size, small, sizeof small, large);
  if (v == 0) {  // both zeros: no sign, exponent 0
    std::memset(buf, '0', static_cast<std::size_t>(d));
    return layout_e(out, w, false, buf, d, 0);
  }
  // "D.DDDe+XX": d correctly rounded significant digits; a carry (9.9995 to
  // four digits) already shows up as "1.000" with the exponent one higher.
  const auto res =
      std::to_chars(buf, buf + size, std::fabs(v), std::chars_format::scientific, d - 1);
  const char* exp = static_cast<const char*>(std::memchr(buf, 'e', res.ptr - buf));
  int e10 = 0;
  std::from_chars(exp + (exp[1] == '+' ? 2 : 1), res.ptr, e10);
  if (d > 1) std::memmove(buf + 1, buf + 2, static_cast<std::size_t>(d - 1));  // drop the point
  return layout_e(out, w, v < 0, buf, d, e10 + 1);
}

// ---------------------------------------------------------------------------
// Integers

char* put_i(char* out, std::int64_t v, int w, int m) {
  if (w <= 0) return out;
  const bool neg = v < 0;
  const std::uint64_t a = neg ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  int nd = digit_count(a);
  if (nd == 0) nd = 1;  // "0"
  if (m > nd) nd = m;   // Iw.m: at least m digits, leading zeros added
  const int len = neg + nd;
  if (len > w) return fill(out, w, '*');
  out = fill(out, w - len, ' ');
  if (neg) *out++ = '-';
  put_digits(out + nd, a, nd);
  return out + nd;
}

char* put_i0(char* out, std::int64_t v) {
  const bool neg = v < 0;
  const std::uint64_t a = neg ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  const int nd = a == 0 ? 1 : digit_count(a);
  if (neg) *out++ = '-';
  put_digits(out + nd, a, nd);
  return out + nd;
}

}  // namespace pds
