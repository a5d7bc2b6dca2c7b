// Fuzz target: the numeric field parsers and renderers, fast paths against
// their exact references.
//
// Input: byte 0 chooses d (decimals of a real field, 0..23), byte 1 the width
// and digits of the renderers, bytes 2..9 a double (raw bits), the rest the
// text of a field.
// Properties:
//  - parse_real(field, d) and parse_real_exact(field, d) agree: both fail, or
//    both give the same double bit for bit (NaN equals NaN);
//  - parse_int accepts exactly [blanks][sign]digits with blanks anywhere, and
//    gives the value when it fits 32 bits; a lone sign and any other text fail;
//  - put_f/put_e give the same bytes as put_f_exact/put_e_exact, exactly w of
//    them, for the raw double and for the double parsed from the text.
// Found so far: corpus/fields/regress-fast-path-3.08-d8 ("    3.08" with
// d = 8), where the fast and the exact parse disagreed in a working version.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "textio/textio.h"

namespace {

bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Reference for Iw input: blanks (and tabs) ignored, an optional sign before
// the first digit, digits; an empty field is 0.
bool reference_int(std::string_view field, bool& fits, std::int64_t& value) {
  std::string s;
  for (char c : field)
    if (c != ' ' && c != '\t') s += c;
  fits = true;
  value = 0;
  if (s.empty()) return true;
  std::size_t i = s[0] == '+' || s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  for (std::size_t j = i; j < s.size(); ++j) {
    if (s[j] < '0' || s[j] > '9') return false;
    if (value <= (std::int64_t{1} << 40)) value = value * 10 + (s[j] - '0');
  }
  if (s[0] == '-') value = -value;
  fits = value >= INT32_MIN && value <= INT32_MAX;
  return true;
}

void check_render(double v, int w, int d) {
  // Canaries on both sides catch a renderer that writes outside its field.
  char fast[160], exact[160];
  std::memset(fast, '#', sizeof fast);
  std::memset(exact, '#', sizeof exact);
  char* const f0 = fast + 8;
  char* const e0 = exact + 8;

  FUZZ_CHECK(pds::put_f(f0, v, w, d) == f0 + w);
  FUZZ_CHECK(pds::put_f_exact(e0, v, w, d) == e0 + w);
  FUZZ_CHECK(std::memcmp(fast, exact, sizeof fast) == 0);
  FUZZ_CHECK(std::memcmp(f0 - 8, "########", 8) == 0 && f0[w] == '#');

  std::memset(fast, '#', sizeof fast);
  std::memset(exact, '#', sizeof exact);
  FUZZ_CHECK(pds::put_e(f0, v, w, d) == f0 + w);
  FUZZ_CHECK(pds::put_e_exact(e0, v, w, d) == e0 + w);
  FUZZ_CHECK(std::memcmp(fast, exact, sizeof fast) == 0);
  FUZZ_CHECK(std::memcmp(f0 - 8, "########", 8) == 0 && f0[w] == '#');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  const int d = data[0] % 24;
  // Mostly the program's own shapes (F11.3, E12.4, F8.3), sometimes others.
  const int shape = data[1] & 7;
  int w = 0, rd = 0;
  if (shape < 3) {
    static constexpr int kW[] = {11, 12, 8}, kD[] = {3, 4, 3};
    w = kW[shape];
    rd = kD[shape];
  } else {
    w = 1 + (data[1] >> 3) % 40;
    rd = data[0] % 30;
  }
  double raw;
  std::memcpy(&raw, data + 2, sizeof raw);
  std::string_view field(reinterpret_cast<const char*>(data + 10), size - 10);
  if (field.size() > 400) return 0;

  double fast = 0, exact = 0;
  const bool ok_fast = pds::parse_real(field, d, fast);
  const bool ok_exact = pds::parse_real_exact(field, d, exact);
  FUZZ_CHECK(ok_fast == ok_exact);
  if (ok_fast) FUZZ_CHECK(same_double(fast, exact));

  std::int32_t i = 12345;
  const bool ok_int = pds::parse_int(field, i);
  bool fits = false;
  std::int64_t want = 0;
  const bool ok_ref = reference_int(field, fits, want);
  FUZZ_CHECK(ok_int == (ok_ref && fits));
  if (ok_int) FUZZ_CHECK(i == want);

  check_render(raw, w, rd);
  if (ok_exact) check_render(exact, w, rd);
  return 0;
}
