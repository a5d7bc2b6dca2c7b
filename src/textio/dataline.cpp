// Compact value fields of DOSCAR data lines.
//
// A value field in the shape that E12.4 writes, "  0.1234E+01" or
// " -0.1234E-05", holds at most four significant digits. The double nearest
// to such a number lies far closer to it than half a unit of its fourth
// digit, so E12.4 writes that double back as the very same digits: the field
// can be kept as its digits, sign and exponent and written by copying them.
// Its exact double is m * 10^p for the four digits m; computing that is only
// needed when values are added up. Every other field goes through the full
// numeric field parser and is kept as a double in a side table.
//
// The energy field of a data line, F11.3 ("    -12.345"), has fast paths of
// its own on both sides: its value is the integer of its digits divided by
// 1000 (one correctly rounded division), and it is written from the shifted
// energy rounded once from its exact double, as put_f does.
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "textio/textio.h"
#include "textio/words.h"

namespace pds {

// The switch behind set_fast_paths() (fields_render.cpp), read here directly
// so that the check costs no call on every line.
extern std::atomic<bool> g_fast_field_paths;

namespace {

// Code layout: the four digits of "0.dddd" in the low nibbles of the four
// bytes, the first digit in byte 0 (never 0 unless all are); the two exponent
// digits in the high nibbles of bytes 0 (tens) and 1 (units); bit 20 a
// negative exponent (never set for an exponent of 00), bit 21 a negative
// value; bit 31 set for an index into the side table instead. Zero, of
// either sign and with any exponent, is the code 0. Reading and writing a
// field is then a matter of masks and shifts between characters and nibbles.
constexpr ValueCode kDigitNibbles = 0x0F0F0F0Fu;
constexpr ValueCode kExpNibbles = 0xF0F0u;
constexpr ValueCode kExpSignBit = ValueCode{1} << 20;
constexpr ValueCode kSignBit = ValueCode{1} << 21;

// Bytes 4 to 11 of a field, "ddddE+dd", in memory order (the first character
// in the low byte), with zero digits and a "+" exponent sign; "-" is "+" + 2.
constexpr std::uint64_t kTailZero = 0x30302B4530303030ULL;
// Bytes 0 to 3, " s0.", with a blank for the sign; "-" is a blank + 0x0D.
constexpr std::uint32_t kHeadPlus = 0x2E302020u;
constexpr std::uint32_t kHeadMask = 0xFFFF00FFu;
constexpr std::uint64_t kHigh8 = 0x8080808080808080ULL;

// 0x80 in each byte of d that is above 9, exactly per byte: the high bit is
// cleared before the addition, so no carry passes from one byte to the next.
std::uint64_t above9(std::uint64_t d) {
  return (((d & 0x7F7F7F7F7F7F7F7FULL) + 0x7676767676767676ULL) | d) & kHigh8;
}

// The code of a field already known to have the shape " s0.ddddE±dd" (s a
// blank or "-"). Sets `leading_zero` when the first digit is 0 but not all
// are ("0.0123E+01"): such a field must not be kept as its digits.
[[gnu::always_inline]] inline ValueCode field_code(const char* f, bool& leading_zero) {
  const std::uint32_t head = load4(f);
  const std::uint64_t d = load8(f + 4) ^ kTailZero;  // digits 0-9, "E" 0, "+" 0, "-" 6
  const ValueCode digits = static_cast<ValueCode>(d) & kDigitNibbles;
  const ValueCode exp = static_cast<ValueCode>(d >> 44) & kExpNibbles;
  const ValueCode c = digits | exp |
                      (exp != 0 ? static_cast<ValueCode>(d >> 21) & kExpSignBit : 0) |
                      ((head << 13) & kSignBit);  // bit 0 of the sign: 0 for " ", 1 for "-"
  leading_zero = ((digits & 0xF) == 0) & (digits != 0);
  return digits != 0 ? c : 0;
}

// Whether the field has the shape of field_code, checked without a branch:
// the signs vary from field to field and would be mispredicted.
[[gnu::always_inline]] inline bool field_shape(const char* f) {
  const std::uint32_t head = load4(f);
  const std::uint64_t d = load8(f + 4) ^ kTailZero;
  const std::uint32_t sign = (head >> 8) & 0xFF;
  // Bytes 4 and 5 ("E", then "+" or "-"): bits 9 and 10 of `mid` alone may
  // be set, and only both together.
  const std::uint32_t mid = static_cast<std::uint32_t>(d >> 32) & 0xFFFF;
  return !(((head & kHeadMask) != (kHeadPlus & kHeadMask)) | (sign != ' ' && sign != '-') |
           (above9(d) != 0) | ((mid & 0xF9FFu) != 0) | (((mid >> 9) ^ (mid >> 10)) & 1));
}

// " s0.ddddE±dd" with s a blank or "-", and a first digit that is not 0
// unless all four are: the shape of a 12-character field written by E12.4
// with a two-digit exponent.
[[gnu::always_inline]] inline bool canonical(const char* f, ValueCode& code) {
  bool leading_zero;
  code = field_code(f, leading_zero);
  return field_shape(f) && !leading_zero;
}

std::atomic<bool> g_vector_checks{true};

#if defined(__SSE2__)
// The shape of n fields (n a multiple of 4) checked 16 bytes at a time: four
// fields are 48 bytes, three vectors, each with its own pattern. A byte is
// right when it equals the pattern's character (either sign in the sign
// positions) or, in a digit position, lies in "0" ... "9".
struct Patterns {
  char plus[48], minus[48], digit[48];
};
constexpr Patterns kPatterns = [] {
  Patterns t{};
  constexpr char kField[] = "  0.0000E+00";
  for (int i = 0; i < 48; ++i) {
    const int o = i % 12;
    t.plus[i] = t.minus[i] = kField[o];
    if (o == 1) t.minus[i] = '-';
    if (o == 9) t.minus[i] = '-';
    t.digit[i] = (o >= 4 && o <= 7) || o >= 10 ? static_cast<char>(0xFF) : 0;
  }
  return t;
}();

bool shapes_sse2(const char* p, std::size_t n) {
  __m128i plus[3], minus[3], digit[3];
  for (int v = 0; v < 3; ++v) {
    plus[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPatterns.plus + 16 * v));
    minus[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPatterns.minus + 16 * v));
    digit[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPatterns.digit + 16 * v));
  }
  const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9);
  __m128i all = _mm_set1_epi8(-1);
  for (std::size_t k = 0; k < n; k += 4, p += 48) {
    for (int v = 0; v < 3; ++v) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * v));
      const __m128i dig = _mm_sub_epi8(x, zero);
      const __m128i in_range = _mm_cmpeq_epi8(_mm_min_epu8(dig, nine), dig);
      const __m128i ok =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, plus[v]), _mm_cmpeq_epi8(x, minus[v])),
                       _mm_and_si128(in_range, digit[v]));
      all = _mm_and_si128(all, ok);
    }
  }
  return _mm_movemask_epi8(all) == 0xFFFF;
}
#endif

// Whether all n fields at p have the shape of field_code: with vectors for
// the groups of four when they are there, field by field otherwise.
bool shapes(const char* p, std::size_t n) {
  std::size_t k = 0;
  bool ok = true;
#if defined(__SSE2__)
  if (g_vector_checks.load(std::memory_order_relaxed)) {
    k = n & ~std::size_t{3};
    ok = shapes_sse2(p, k);
  }
#endif
  for (; k < n; ++k) ok &= field_shape(p + 12 * k);
  return ok;
}

// E12.4 of a code: the inverse moves, with the fixed characters added.
char* put_code(char* out, ValueCode c) {
  const std::uint64_t x =
      ((c & kDigitNibbles) | static_cast<std::uint64_t>(c & kExpNibbles) << 44 | kTailZero) +
      (static_cast<std::uint64_t>(c & kExpSignBit) << 21);             // "+" to "-"
  const std::uint32_t head = kHeadPlus + ((c >> 13) & 0x100u) * 0x0D;  // the sign bit to 0x0D00
  store4(out, head);
  store8(out + 4, x);
  return out + 12;
}

// The value of the four digits of a code.
unsigned code_digits(ValueCode c) {
  return (c & 0xF) * 1000 + ((c >> 8) & 0xF) * 100 + ((c >> 16) & 0xF) * 10 + ((c >> 24) & 0xF);
}

int code_exponent(ValueCode c) {
  const int x = static_cast<int>(((c >> 4) & 0xF) * 10 + ((c >> 12) & 0xF));
  return (c & kExpSignBit) ? -x : x;
}

// The energy field "    -12.345" of eleven characters: blanks, an optional
// minus, one to seven digits, the point in position 8 and three decimals.
// Exact: the value is N / 1000 for the integer N of the digits, N < 2^53,
// which is one correctly rounded division (the sign is applied after it, so
// "-0.000" is -0.0 as the field parser gives). Returns false for any other
// shape, which then goes to the field parser.
bool energy_field(const char* f, double& out) {
  const std::uint32_t t = load4(f + 7) ^ 0x3030302Eu;  // ".ddd"
  if ((t & 0xFF) != 0 || (((t & 0x7F7F7F7Fu) + 0x76767676u) | t) & 0x80808080u) return false;
  const std::uint64_t q = load8(f);
  const std::uint64_t d = (q ^ 0x3030303030303030ULL) & 0x00FFFFFFFFFFFFFFULL;  // bytes 0-6
  const std::uint64_t flags = above9(d);
  if (flags & 0x0080000000000000ULL) return false;  // no digit before the point
  // Bytes up to the last that is no digit: blanks, the last one may be "-".
  const int k = flags == 0 ? -1 : (63 - std::countl_zero(flags)) >> 3;
  bool neg = false;
  if (k >= 0) {
    const std::uint64_t lead = std::uint64_t{0x2020202020202020ULL} ^ q;
    const unsigned c = static_cast<unsigned>(q >> (8 * k)) & 0xFF;
    if ((lead & ((std::uint64_t{1} << (8 * k)) - 1)) != 0 || (c != ' ' && c != '-')) return false;
    neg = c == '-';
  }
  // The integer digits, bytes k+1 to 6, as an eight-digit number with the
  // first digit in byte 0 (the cleared bytes in front are leading zeros).
  std::uint64_t v = (d & (~std::uint64_t{0} << (8 * (k + 1)))) << 8;
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFULL;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFULL;
  v = (v * 10000 + (v >> 32)) & 0xFFFFFFFFULL;
  const std::uint64_t n =
      v * 1000 + ((t >> 8) & 0xFF) * 100 + ((t >> 16) & 0xFF) * 10 + ((t >> 24) & 0xFF);
  const double a = static_cast<double>(n) / 1000.0;
  out = neg ? -a : a;
  return true;
}

// "  0" ... "999": a number below 1000 right-aligned in three characters,
// then its count of digits.
struct Small {
  char text[3];
  unsigned char digits;
};
constexpr auto kSmall = [] {
  struct Table {
    Small s[1000];
  } t{};
  for (int i = 0; i < 1000; ++i) {
    t.s[i].text[0] = i >= 100 ? static_cast<char>('0' + i / 100) : ' ';
    t.s[i].text[1] = i >= 10 ? static_cast<char>('0' + i / 10 % 10) : ' ';
    t.s[i].text[2] = static_cast<char>('0' + i % 10);
    t.s[i].digits = static_cast<unsigned char>(i >= 100 ? 3 : i >= 10 ? 2 : 1);
  }
  return t;
}();

// F11.3 of an energy: the same rounding as put_f's fast path (the scaled
// value |v| * 1000 is one correctly rounded product, rounded to an integer
// unless its fraction is exactly one half), for integer parts below 1000;
// everything else is put_f's.
char* put_energy(char* out, double v) {
  const double y = std::fabs(v) * 1000.0;
  if (!(y < 999999.0)) return put_f(out, v, 11, 3);  // also NaN
  const auto n = static_cast<std::uint64_t>(y);
  const double frac = y - static_cast<double>(n);  // exact below 2^52
  if (frac == 0.5) return put_f(out, v, 11, 3);
  const std::uint64_t r = n + (frac > 0.5);
  const unsigned ip = static_cast<unsigned>(r / 1000), fp = static_cast<unsigned>(r % 1000);
  std::memcpy(out, "        ", 8);
  const Small& i = kSmall.s[ip];
  std::memcpy(out + 4, i.text, 3);
  if (v < 0 && r != 0) out[6 - i.digits] = '-';  // no sign on a result of zero
  out[7] = '.';
  out[8] = static_cast<char>('0' + fp / 100);
  out[9] = static_cast<char>('0' + fp / 10 % 10);
  out[10] = static_cast<char>('0' + fp % 10);
  return out + 11;
}

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 5^-k for k = 23 ... 107 as 128-bit reciprocals: floor(2^b / 5^k) + 1,
// which lie between 2^127 and 2^128, with their b.
struct Reciprocal {
  std::uint64_t hi, lo;
  int b;
};
constexpr int kFirstReciprocal = 23;
constexpr Reciprocal kReciprocals[] = {
    {0xc16d9a0095928a27ULL, 0x75b7053c0f178294ULL, 181},  // 5^-23
    {0x9abe14cd44753b52ULL, 0xc4926a9672793543ULL, 183},  // 5^-24
    {0xf79687aed3eec551ULL, 0x3a83ddbd83f52205ULL, 186},  // 5^-25
    {0xc612062576589ddaULL, 0x95364afe032a819eULL, 188},  // 5^-26
    {0x9e74d1b791e07e48ULL, 0x775ea264cf55347eULL, 190},  // 5^-27
    {0xfd87b5f28300ca0dULL, 0x8bca9d6e188853fdULL, 193},  // 5^-28
    {0xcad2f7f5359a3b3eULL, 0x096ee45813a04331ULL, 195},  // 5^-29
    {0xa2425ff75e14fc31ULL, 0xa1258379a94d028eULL, 197},  // 5^-30
    {0x81ceb32c4b43fcf4ULL, 0x80eacf948770ced8ULL, 199},  // 5^-31
    {0xcfb11ead453994baULL, 0x67de18eda5814af3ULL, 202},  // 5^-32
    {0xa6274bbdd0fadd61ULL, 0xecb1ad8aeacdd58fULL, 204},  // 5^-33
    {0x84ec3c97da624ab4ULL, 0xbd5af13bef0b113fULL, 206},  // 5^-34
    {0xd4ad2dbfc3d07787ULL, 0x955e4ec64b44e865ULL, 209},  // 5^-35
    {0xaa242499697392d2ULL, 0xdde50bd1d5d0b9eaULL, 211},  // 5^-36
    {0x881cea14545c7575ULL, 0x7e50d64177da2e55ULL, 213},  // 5^-37
    {0xd9c7dced53c72255ULL, 0x96e7bd358c904a22ULL, 216},  // 5^-38
    {0xae397d8aa96c1b77ULL, 0xabec975e0a0d081bULL, 218},  // 5^-39
    {0x8b61313bbabce2c6ULL, 0x2323ac4b3b3da016ULL, 220},  // 5^-40
    {0xdf01e85f912e37a3ULL, 0x6b6c46dec52f6689ULL, 223},  // 5^-41
    {0xb267ed1940f1c61cULL, 0x55f038b237591ed4ULL, 225},  // 5^-42
    {0x8eb98a7a9a5b04e3ULL, 0x77f3608e92adb243ULL, 227},  // 5^-43
    {0xe45c10c42a2b3b05ULL, 0x8cb89a7db77c506bULL, 230},  // 5^-44
    {0xb6b00d69bb55c8d1ULL, 0x3d607b97c5fd0d23ULL, 232},  // 5^-45
    {0x9226712162ab070dULL, 0xcab3961304ca70e9ULL, 234},  // 5^-46
    {0xe9d71b689dde71afULL, 0xaab8f01e6e10b4a7ULL, 237},  // 5^-47
    {0xbb127c53b17ec159ULL, 0x5560c018580d5d53ULL, 239},  // 5^-48
    {0x95a8637627989aadULL, 0xdde7001379a44aa9ULL, 241},  // 5^-49
    {0xef73d256a5c0f77cULL, 0x963e66858f6d4441ULL, 244},  // 5^-50
    {0xbf8fdb78849a5f96ULL, 0xde98520472bdd034ULL, 246},  // 5^-51
    {0x993fe2c6d07b7fabULL, 0xe546a8038efe402aULL, 248},  // 5^-52
    {0xf53304714d9265dfULL, 0xd53dd99f4b3066a9ULL, 251},  // 5^-53
    {0xc428d05aa4751e4cULL, 0xaa97e14c3c26b887ULL, 253},  // 5^-54
    {0x9ced737bb6c4183dULL, 0x55464dd69685606cULL, 255},  // 5^-55
    {0xfb158592be068d2eULL, 0xeed6e2f0f0d56713ULL, 258},  // 5^-56
    {0xc8de047564d20a8bULL, 0xf245825a5a445276ULL, 260},  // 5^-57
    {0xa0b19d2ab70e6ed6ULL, 0x5b6aceaeae9d0ec5ULL, 262},  // 5^-58
    {0x808e17555f3ebf11ULL, 0xe2bbd88bbee40bd1ULL, 264},  // 5^-59
    {0xcdb02555653131b6ULL, 0x3792f412cb06794eULL, 267},  // 5^-60
    {0xa48ceaaab75a8e2bULL, 0x5fa8c3423c052dd8ULL, 269},  // 5^-61
    {0x83a3eeeef9153e89ULL, 0x1953cf68300424adULL, 271},  // 5^-62
    {0xd29fe4b18e88640eULL, 0x8eec7f0d19a03aaeULL, 274},  // 5^-63
    {0xa87fea27a539e9a5ULL, 0x3f2398d747b36225ULL, 276},  // 5^-64
    {0x86ccbb52ea94baeaULL, 0x98e947129fc2b4eaULL, 278},  // 5^-65
    {0xd7adf884aa879177ULL, 0x5b0ed81dcc6abb10ULL, 281},  // 5^-66
    {0xac8b2d36eed2dac5ULL, 0xe272467e3d222f40ULL, 283},  // 5^-67
    {0x8a08f0f8bf0f156bULL, 0x1b8e9ecb641b5900ULL, 285},  // 5^-68
    {0xdcdb1b2798182244ULL, 0xf8e431456cf88e66ULL, 288},  // 5^-69
    {0xb0af48ec79ace837ULL, 0x2d835a9df0c6d852ULL, 290},  // 5^-70
    {0x8d590723948a535fULL, 0x579c487e5a38ad0fULL, 292},  // 5^-71
    {0xe2280b6c20dd5232ULL, 0x25c6da63c38de1b1ULL, 295},  // 5^-72
    {0xb4ecd5f01a4aa828ULL, 0x1e38aeb6360b1af4ULL, 297},  // 5^-73
    {0x90bd77f3483bb9b9ULL, 0xb1c6f22b5e6f48c3ULL, 299},  // 5^-74
    {0xe7958cb87392c2c2ULL, 0xb60b1d1230b20e05ULL, 302},  // 5^-75
    {0xb94470938fa89bceULL, 0xf808e40e8d5b3e6aULL, 304},  // 5^-76
    {0x9436c0760c86e30bULL, 0xf9a0b6720aaf6522ULL, 306},  // 5^-77
    {0xed246723473e3813ULL, 0x290123e9aab23b69ULL, 309},  // 5^-78
    {0xbdb6b8e905cb600fULL, 0x5400e987bbc1c921ULL, 311},  // 5^-79
    {0x97c560ba6b0919a5ULL, 0xdccd879fc967d41bULL, 313},  // 5^-80
    {0xf2d56790ab41c2a2ULL, 0xfae27299423fb9c4ULL, 316},  // 5^-81
    {0xc24452da229b021bULL, 0xfbe85badce996169ULL, 318},  // 5^-82
    {0x9b69dbe1b548ce7cULL, 0xc986afbe3ee11abbULL, 320},  // 5^-83
    {0xf8a95fcf88747d94ULL, 0x75a44c6397ce912bULL, 323},  // 5^-84
    {0xc6ede63fa05d3143ULL, 0x91503d1c79720dbcULL, 325},  // 5^-85
    {0x9f24b832e6b0f436ULL, 0x0dd9ca7d2df4d7caULL, 327},  // 5^-86
    {0xfea126b7d78186bcULL, 0xe2f610c84987bfa9ULL, 330},  // 5^-87
    {0xcbb41ef979346bcaULL, 0x4f2b40a03ad2ffbaULL, 332},  // 5^-88
    {0xa2f67f2dfa90563bULL, 0x728900802f0f32fbULL, 334},  // 5^-89
    {0x825ecc24c873782fULL, 0x8ed400668c0c28c9ULL, 336},  // 5^-90
    {0xd097ad07a71f26b2ULL, 0x7e2000a41346a7a8ULL, 339},  // 5^-91
    {0xa6dfbd9fb8e5b88eULL, 0xcb4ccd500f6bb953ULL, 341},  // 5^-92
    {0x857fcae62d8493a5ULL, 0x6f70a4400c562ddcULL, 343},  // 5^-93
    {0xd59944a37c0752a2ULL, 0x4be76d3346f04960ULL, 346},  // 5^-94
    {0xaae103b5fcd2a881ULL, 0xd652bdc29f26a11aULL, 348},  // 5^-95
    {0x88b402f7fd75539bULL, 0x11dbcb0218ebb415ULL, 350},  // 5^-96
    {0xdab99e59958885c4ULL, 0xe95fab368e45eceeULL, 353},  // 5^-97
    {0xaefae51477a06b03ULL, 0xede622920b6b23f2ULL, 355},  // 5^-98
    {0x8bfbea76c619ef36ULL, 0x57eb4edb3c55b65bULL, 357},  // 5^-99
    {0xdff9772470297ebdULL, 0x59787e2b93bc56f8ULL, 360},  // 5^-100
    {0xb32df8e9f3546564ULL, 0x47939822dc96abfaULL, 362},  // 5^-101
    {0x8f57fa54c2a9eab6ULL, 0x9fa946824a12232eULL, 364},  // 5^-102
    {0xe55990879ddcaabdULL, 0xcc420a6a101d0516ULL, 367},  // 5^-103
    {0xb77ada0617e3bbcbULL, 0x09ce6ebb40173745ULL, 369},  // 5^-104
    {0x92c8ae6b464fc96fULL, 0x3b0b8bc90012929eULL, 371},  // 5^-105
    {0xeadab0aba3b2dbe5ULL, 0x2b45ac74ccea842fULL, 374},  // 5^-106
    {0xbbe226efb628afeaULL, 0x890489f70a55368cULL, 376},  // 5^-107
};

// m * x as the 128-bit number hi:lo, for m < 2^32, in 64-bit arithmetic:
// m * x = a + b * 2^32 with the two partial products a and b below 2^64.
void mul_small(std::uint32_t m, std::uint64_t x, std::uint64_t& hi, std::uint64_t& lo) {
  const std::uint64_t a = m * (x & 0xFFFFFFFFu), b = m * (x >> 32);
  lo = a + (b << 32);
  hi = (b >> 32) + (lo < a);  // the carry out of the low word
}

// m * 10^-k for 1000 <= m <= 9999 and 23 <= k <= 107, correctly rounded:
// m * 2^b / 5^k is computed from the reciprocal with an error below m units
// of the product's last bit, far below the bits that decide the rounding.
// No such product is exactly halfway between two doubles (5^k never divides
// m), so only a product within the error of halfway is left undecided; then
// the caller takes the slow path.
bool small_value(unsigned m, int k, double& out) {
  const Reciprocal& r = kReciprocals[k - kFirstReciprocal];
  // The 192-bit product p2:p1:p0 of m and r.hi:r.lo.
  std::uint64_t lo_hi, p0, hi_hi, hi_lo;
  mul_small(m, r.lo, lo_hi, p0);
  mul_small(m, r.hi, hi_hi, hi_lo);
  const std::uint64_t p1 = lo_hi + hi_lo;
  const std::uint64_t p2 = hi_hi + (p1 < lo_hi);
  const int lz = std::countl_zero(p2);  // 50 ... 55: p2 holds 9 to 14 bits
  const std::uint64_t top = p2 << lz | p1 >> (64 - lz);
  const std::uint64_t rest = p1 << lz | p0 >> (64 - lz);
  // The 11 bits below the 53-bit mantissa, then `rest`: halfway is 0x400:0.
  if ((top & 0x7FF) == 0x400 && rest <= 32) return false;
  std::uint64_t mant = (top >> 11) + ((top >> 10) & 1);
  int e = 128 + 63 - lz - r.b - k;  // exponent of the leading bit
  if (mant == (std::uint64_t{1} << 53)) {
    mant >>= 1;
    ++e;
  }
  const std::uint64_t bits =
      static_cast<std::uint64_t>(e + 1023) << 52 | (mant & ((std::uint64_t{1} << 52) - 1));
  out = std::bit_cast<double>(bits);
  return true;
}

// The rare path: the decimal text converted by the library.
double slow_value(unsigned m, int p) {
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, m).ptr;
  *end++ = 'e';
  end = std::to_chars(end, buf + sizeof buf, p).ptr;
  double v = 0;
  std::from_chars(buf, end, v);
  return v;
}

bool fast_e12(const FieldCode& e) {
  return e.w == 12 && e.d == 4;
}

bool fast_energy(const FieldCode& f) {
  return f.w == 11 && f.d == 3;
}

// A field that is not in the canonical shape: the field parser, the value
// in the side table.
ValueCode other_field(std::string_view field, int d, std::vector<double>& specials,
                      const Stream& where) {
  double v;
  if (!parse_real(field, d, v)) throw Failure(kConversion, where.unit, where.name);
  return special_code(v, specials);
}

}  // namespace

double code_value(ValueCode c, const std::vector<double>& specials) {
  if (c & kSpecialCode) return specials[c & ~kSpecialCode];
  if (c == 0) return 0.0;
  const unsigned m = code_digits(c);
  const int p = code_exponent(c) - 4;
  double v;
  if (p >= 0 && p <= 22) {
    v = m * kPow10[p];  // both factors exact: one rounding
  } else if (p < 0 && p >= -22) {
    v = m / kPow10[-p];
  } else if (p < -22 && small_value(m, -p, v)) {
  } else {
    v = slow_value(m, p);
  }
  return (c & kSignBit) ? -v : v;
}

void add_code_values(double* sum, const ValueCode* codes, std::size_t n,
                     const std::vector<double>& specials) {
  for (std::size_t k = 0; k < n; ++k) {
    const ValueCode c = codes[k];
    // The common case inline: a code (zero included) whose m * 10^p has
    // -22 <= p < 0, one correctly rounded division as in code_value.
    std::uint32_t v = c & kDigitNibbles;
    v = (v * 10 + (v >> 8)) & 0x00FF00FFu;  // the digit pairs in bytes 0 and 2
    const unsigned m = (v & 0xFF) * 100 + (v >> 16);
    const int x = static_cast<int>(((c >> 4) & 0xF) * 10 + ((c >> 12) & 0xF));
    const int minus_p = 4 + ((c & kExpSignBit) ? x : -x);
    if (!(c & kSpecialCode) && minus_p > 0 && minus_p <= 22) {
      const double a = m / kPow10[minus_p];
      sum[k] += (c & kSignBit) ? -a : a;
    } else {
      sum[k] += code_value(c, specials);
    }
  }
}

void set_vector_checks(bool on) {
  g_vector_checks.store(on, std::memory_order_relaxed);
}

ValueCode special_code(double v, std::vector<double>& specials) {
  specials.push_back(v);
  return kSpecialCode | static_cast<ValueCode>(specials.size() - 1);
}

void read_coded_line(std::string_view line, const LineFormat& fmt, double& energy, ValueCode* codes,
                     std::vector<double>& specials, const Stream& where) {
  const FieldCode& f = fmt.codes()[0];
  const FieldCode& e = fmt.codes()[1];
  const std::size_t fw = static_cast<std::size_t>(f.w), ew = static_cast<std::size_t>(e.w);
  const std::size_t n = static_cast<std::size_t>(e.repeat);
  const bool fast = g_fast_field_paths.load(std::memory_order_relaxed);
  auto field = [&](std::size_t pos, std::size_t w) {
    return pos >= line.size() ? std::string_view() : line.substr(pos, w);
  };
  if (!(fast && fast_energy(f) && line.size() >= 11 && energy_field(line.data(), energy)) &&
      !parse_real(field(0, fw), f.d, energy)) {
    throw Failure(kConversion, where.unit, where.name);
  }
  if (fast && fast_e12(e) && line.size() >= fw + 12 * n) {
    // Every field lies wholly inside the line.
    const char* p = line.data() + fw;
    if (shapes(p, n)) {  // the common case: only the leading zeros are left to check
      bool any_leading_zero = false;
      for (std::size_t k = 0; k < n; ++k) {
        bool leading_zero;
        codes[k] = field_code(p + 12 * k, leading_zero);
        any_leading_zero |= leading_zero;
      }
      if (!any_leading_zero) return;
    }
    for (std::size_t k = 0; k < n; ++k, p += 12) {
      if (!canonical(p, codes[k])) codes[k] = other_field({p, 12}, e.d, specials, where);
    }
    return;
  }
  std::size_t pos = fw;
  for (std::size_t k = 0; k < n; ++k, pos += ew) {
    if (fast && fast_e12(e) && pos + 12 <= line.size() && canonical(line.data() + pos, codes[k])) {
      continue;
    }
    codes[k] = other_field(field(pos, ew), e.d, specials, where);
  }
}

char* put_coded_line(char* out, const LineFormat& fmt, double energy, const ValueCode* codes,
                     const std::vector<double>& specials) {
  const FieldCode& f = fmt.codes()[0];
  const FieldCode& e = fmt.codes()[1];
  const bool fast = g_fast_field_paths.load(std::memory_order_relaxed);
  out = fast && fast_energy(f) ? put_energy(out, energy) : put_f(out, energy, f.w, f.d);
  const int n = e.repeat;
  if (fast_e12(e)) {
    for (int k = 0; k < n; ++k) {
      const ValueCode c = codes[k];
      out = (c & kSpecialCode) ? put_e(out, specials[c & ~kSpecialCode], 12, 4) : put_code(out, c);
    }
  } else {
    for (int k = 0; k < n; ++k) out = put_e(out, code_value(codes[k], specials), e.w, e.d);
  }
  *out++ = '\n';
  return out;
}

}  // namespace pds
