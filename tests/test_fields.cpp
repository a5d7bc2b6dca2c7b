// Numeric fields: output of Fw.d, Ew.d, Iw, Iw.m, I0 and input of real and
// integer fields, by example tables and against glibc references on random
// values of every magnitude.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "textio/textio.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string F(double v, int w, int d) {
  std::string s(static_cast<std::size_t>(w), '?');
  pds::put_f(s.data(), v, w, d);
  return s;
}
std::string E(double v, int w, int d) {
  std::string s(static_cast<std::size_t>(w), '?');
  pds::put_e(s.data(), v, w, d);
  return s;
}

// Runs a check once with the fast paths and once with the exact paths only.
template <class Check>
void both_paths(Check check) {
  for (bool fast : {true, false}) {
    pds::set_fast_paths(fast);
    SCOPED_TRACE(fast ? "fast paths" : "exact paths");
    check();
  }
  pds::set_fast_paths(true);
}

struct RealOut {
  double v;
  int w, d;
  const char* text;
};

TEST(FieldOutput, FixedPoint) {
  // clang-format off
  const RealOut rows[] = {
      {0.5, 8, 3, "   0.500"},      {-0.5, 11, 3, "     -0.500"}, {12.34567, 8, 3, "  12.346"},
      {-10.0, 8, 3, " -10.000"},    {-0.0004, 8, 3, "   0.000"},  {-0.0004, 11, 3, "      0.000"},
      {-0.0, 8, 3, "   0.000"},     {-0.0006, 11, 3, "     -0.001"}, {9999.999, 8, 3, "9999.999"},
      {-999.999, 8, 3, "-999.999"}, {10000.0, 8, 3, "********"},  {10000.0, 11, 3, "  10000.000"},
      {-1000.0, 8, 3, "********"},  {-1000.0, 11, 3, "  -1000.000"},
      {0.0625, 8, 3, "   0.062"},   {0.1875, 8, 3, "   0.188"},   // halfway: to the even digit
      {0.5, 4, 3, ".500"},          {-0.5, 5, 3, "-.500"},        {-0.5, 4, 3, "****"},
      {2.5, 3, 0, " 2."},           {0.25, 2, 0, "0."},           {0.25, 1, 0, "."},
      {1e300, 11, 3, "***********"}, {0.25, 3, 3, "***"},
      {kNaN, 8, 3, "     NaN"},     {kInf, 8, 3, "Infinity"},     {-kInf, 8, 3, "    -Inf"},
      {-kInf, 11, 3, "  -Infinity"}, {-kInf, 3, 1, "***"},        {kNaN, 2, 1, "**"},
      {0.1, 30, 20, "        0.10000000000000000555"}};
  // clang-format on
  both_paths([&] {
    for (const RealOut& r : rows)
      EXPECT_EQ(F(r.v, r.w, r.d), r.text) << "F" << r.w << "." << r.d << " of " << r.v;
  });
}

TEST(FieldOutput, Exponent) {
  // clang-format off
  const RealOut rows[] = {
      {1.0, 12, 4, "  0.1000E+01"},     {-1.0, 12, 4, " -0.1000E+01"},
      {0.0, 12, 4, "  0.0000E+00"},     {-0.0, 12, 4, "  0.0000E+00"},
      {1234.5, 12, 4, "  0.1234E+04"},  {0.000123456, 12, 4, "  0.1235E-03"},
      {-2.5e-7, 12, 4, " -0.2500E-06"}, {1e-150, 12, 4, "  0.1000-149"},
      {-1e300, 12, 4, " -0.1000+301"},  {5e-324, 12, 4, "  0.4941-323"},
      {0.99995, 12, 4, "  0.1000E+01"}, {0.015625, 12, 4, "  0.1562E-01"},
      {12345.0, 12, 4, "  0.1234E+05"}, {12355.0, 12, 4, "  0.1236E+05"},
      {1.0, 10, 4, "0.1000E+01"},       {-1.0, 10, 4, "-.1000E+01"},  {1.0, 9, 4, ".1000E+01"},
      {-1.0, 9, 4, "*********"},        {1.0, 8, 4, "********"},      {1.0, 12, 0, "************"},
      {9.5, 6, 1, ".1E+02"},            {8.5, 7, 1, "0.8E+01"},
      {kNaN, 12, 4, "         NaN"},    {-kInf, 12, 4, "   -Infinity"},
      {0.1, 24, 17, " 0.10000000000000001E+00"}};
  // clang-format on
  both_paths([&] {
    for (const RealOut& r : rows)
      EXPECT_EQ(E(r.v, r.w, r.d), r.text) << "E" << r.w << "." << r.d << " of " << r.v;
  });
}

TEST(FieldOutput, Integers) {
  struct Row {
    std::int64_t v;
    int w, m;
    const char* text;
  } const rows[] = {{8, 4, -1, "   8"},     {301, 5, -1, "  301"},
                    {12345, 4, -1, "****"}, {-12, 4, -1, " -12"},
                    {-123, 4, -1, "-123"},  {-1234, 4, -1, "****"},
                    {0, 3, -1, "  0"},      {2, 3, 3, "002"},
                    {45, 3, 3, "045"},      {0, 3, 3, "000"},
                    {1000, 3, 3, "***"},    {-2, 3, 3, "***"},
                    {-2, 5, 3, " -002"},    {INT64_MIN, 20, -1, "-9223372036854775808"}};
  for (const Row& r : rows) {
    std::string s(static_cast<std::size_t>(r.w), '?');
    EXPECT_EQ(pds::put_i(s.data(), r.v, r.w, r.m) - s.data(), r.w);
    EXPECT_EQ(s, r.text) << "I" << r.w << "." << r.m << " of " << r.v;
  }
  for (std::int64_t v :
       {std::int64_t{4}, std::int64_t{32}, std::int64_t{0}, std::int64_t{-7}, INT64_MAX}) {
    char buf[24];
    EXPECT_EQ(std::string(buf, pds::put_i0(buf, v)), std::to_string(v)) << "I0 of " << v;
  }
}

TEST(FieldInput, Reals) {
  struct Row {
    const char* field;
    int d;
    double v;
  };
  // clang-format off
  const Row rows[] = {
      {"  0.1234E+01", 4, 1.234}, {"  0.1234e+01", 4, 1.234}, {"  0.1234D+01", 4, 1.234},
      {"   0.1234+01", 4, 1.234}, {"  0.1234q+01", 4, 1.234}, {" -0.1234E-05", 4, -0.1234e-5},
      {"     -12.345", 3, -12.345}, {"      0.000", 3, 0.0}, {"     -0.000", 3, -0.0},
      {"        0.1234E+01", 4, 1.234}, {"  0.1234E 01", 4, 1.234}, {"  0.1234E+1 ", 4, 1.234},
      {"1.5E+03", 0, 1500.0},     {"0.1000-149", 4, 1e-150},  {"1.5+03", 4, 1500.0},
      {"1.5-3", 0, 0.0015},       {"12345E2", 4, 123.45},
      // no point: the last d digits are decimals
      {"-10000", 3, -10.0},       {"12345", 4, 1.2345},       {"+1234567", 2, 12345.67},
      {"12345678", 0, 12345678.0}, {"      1     ", 2, 0.01},
      // blanks anywhere
      {"", 4, 0.0},               {"      ", 4, 0.0},         {" 1 2 . 5 E 1", 0, 125.0},
      {"\t-3.25\t", 0, -3.25},    {"5.", 3, 5.0},             {"-.5", 3, -0.5},
      {"  .5", 0, 0.5},           {"+7", 0, 7.0},
      // range ends and rounding of long texts
      {"1e400", 0, kInf},         {"-1e99999999999999", 0, -kInf}, {"1e-400", 0, 0.0},
      {"2.4703282292062328e-324", 0, 5e-324}, {"Inf", 0, kInf}, {"-infinity", 0, -kInf},
      {"2.0000000000000002220446049250313080847263336181640625001", 0, 2.0000000000000004},
      {"9007199254740993", 0, 9007199254740992.0},
      {"123456789012345678901234", 0, 1.2345678901234568e23}};
  // clang-format on
  both_paths([&] {
    for (const Row& r : rows) {
      double v = 42;
      EXPECT_TRUE(pds::parse_real(r.field, r.d, v)) << "field \"" << r.field << "\"";
      EXPECT_EQ(std::signbit(v), std::signbit(r.v)) << "field \"" << r.field << "\" read " << v;
      EXPECT_EQ(v, r.v) << "field \"" << r.field << "\" d=" << r.d;
    }
    double v = 0;
    for (const char* word : {"NaN", " -nan ", "nAn"})
      EXPECT_TRUE(pds::parse_real(word, 0, v) && std::isnan(v)) << "field \"" << word << "\"";
  });
}

TEST(FieldInput, MalformedReals) {
  // clang-format off
  const char* const rows[] = {
      "1.2.3", "1.5E", "E5", "abc", "1.5x", "--1", "+", ".", "1.5E+", "1.5E1.5", "1e5e5",
      "nanx", "1,5", "0x10", "1.5+", "-", "inf inity x", "1.5E+-3", "+-.5", "1..5",
      "  0.1234E+0x", "       .E+01", "       -E+01", "   1.2-3.4"};
  // clang-format on
  both_paths([&] {
    for (const char* field : rows) {
      double v = 42;
      EXPECT_FALSE(pds::parse_real(field, 3, v)) << "field \"" << field << "\" read " << v;
    }
  });
}

TEST(FieldInput, Integers) {
  struct Row {
    const char* field;
    bool ok;
    std::int32_t v;
  };
  // clang-format off
  const Row rows[] = {
      {"   8", true, 8}, {" -12", true, -12}, {"", true, 0}, {"    ", true, 0}, {"+5", true, 5},
      {"1 2", true, 12}, {"- 5", true, -5}, {"\t7", true, 7}, {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN}, {"2147483648", false, 0}, {"-2147483649", false, 0},
      {"99999999999999999999", false, 0}, {"1.0", false, 0}, {"+", false, 0}, {"5-", false, 0},
      {"+-5", false, 0}, {"1e3", false, 0}};
  // clang-format on
  for (const Row& r : rows) {
    std::int32_t v = -99;
    EXPECT_EQ(pds::parse_int(r.field, v), r.ok) << "field \"" << r.field << "\"";
    if (r.ok) {
      EXPECT_EQ(v, r.v) << "field \"" << r.field << "\"";
    }
  }
}

// ---------------------------------------------------------------------------
// Properties against glibc: snprintf rounds the exact binary value, ties to
// even; the layout rules are applied to its digits here independently.

// Right-aligns a text in w positions: a "0" before the point goes first when
// the text is too wide, then the whole text gives way to asterisks.
std::string fit(std::string t, int w) {
  const std::size_t zero = t.find("0.");
  if (static_cast<int>(t.size()) > w && zero <= 1) t.erase(zero, 1);
  if (static_cast<int>(t.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - t.size(), ' ') + t;
}

// Fw.d text of a finite value before fitting: "-12.346", "0.000".
std::string ref_f_text(double v, int d) {
  if (std::fabs(v) >= 1e16) return std::string(20, '#');  // too wide for any field here
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", d, std::fabs(v));
  const bool neg = v < 0 && std::strpbrk(buf, "123456789") != nullptr;
  std::string t = neg ? "-" : "";
  return t.append(buf);
}

// Ew.d text of a finite value before fitting: "-0.1234E+01", "0.1000-149".
std::string ref_e_text(double v, int d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", d - 1, std::fabs(v));
  char* e = std::strchr(buf, 'e');
  const int x = v == 0 ? 0 : std::atoi(e + 1) + 1;
  std::string t = v < 0 ? "-0." : "0.";
  if (v == 0)
    t.append(static_cast<std::size_t>(d), '0');
  else
    t.append(1, buf[0]).append(buf + 2, e);
  std::snprintf(buf, sizeof buf, std::abs(x) <= 99 ? "E%+03d" : "%+04d", x);
  return t.append(buf);
}

// One million values: random bit patterns (every magnitude, subnormals, NaN,
// infinities), 4- and 5-digit decimals times powers of ten (the halfway
// neighbourhood of F11.3 and E12.4), and exact binary values, ties included.
const std::vector<double>& random_values() {
  static std::vector<double> vs;
  if (!vs.empty()) return vs;
  std::mt19937_64 rng(20240611);
  vs.reserve(1000000);
  char buf[48];
  for (int i = 0; i < 400000; ++i) {
    const std::uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    vs.push_back(v);
  }
  for (int i = 0; i < 300000; ++i) {
    const int digits = i % 2 ? 4 : 5;
    const auto n =
        static_cast<long>(rng() % (digits == 4 ? 9000 : 90000)) + (digits == 4 ? 1000 : 10000);
    const int k = static_cast<int>(rng() % 24) - 16;
    std::snprintf(buf, sizeof buf, "%s%lde%d", rng() % 2 ? "-" : "", n, k);
    vs.push_back(std::strtod(buf, nullptr));
  }
  for (int i = 0; i < 300000; ++i) {
    const auto j = static_cast<double>(rng() % (1u << 24));
    const double odd = 2 * static_cast<double>(rng() % 50000) + 1;
    switch (i % 3) {
      case 0:
        vs.push_back(std::ldexp(j, -static_cast<int>(rng() % 40)));
        break;
      case 1:  // halfway cases of F.3
        vs.push_back(odd / 16 * (rng() % 2 ? 1 : -1));
        break;
      default:  // halfway cases of E.4
        vs.push_back(odd * 5 * std::pow(10.0, static_cast<int>(rng() % 12) - 1));
        break;
    }
  }
  return vs;
}

TEST(FieldProperties, RenderingMatchesGlibc) {
  const std::vector<double>& vs = random_values();
  int failures = 0;
  for (std::size_t i = 0; i < vs.size() && failures < 20; ++i) {
    const double v = vs[i];
    if (!std::isfinite(v)) continue;  // the tables cover NaN and the infinities
    const std::string f = ref_f_text(v, 3), e = ref_e_text(v, 4);
    const std::string cases[][2] = {
        {E(v, 12, 4), fit(e, 12)}, {F(v, 11, 3), fit(f, 11)}, {F(v, 8, 3), fit(f, 8)}};
    for (const auto& c : cases) {
      if (c[0] == c[1]) continue;
      ++failures;
      ADD_FAILURE() << "value " << std::hexfloat << v << std::defaultfloat << " (" << v
                    << "): expected \"" << c[1] << "\", got \"" << c[0] << "\"";
    }
  }
  // The exact paths on their own, on a slice.
  for (std::size_t i = 0; i < vs.size(); i += 50) {
    if (!std::isfinite(vs[i])) continue;
    char buf[12];
    pds::put_e_exact(buf, vs[i], 12, 4);
    ASSERT_EQ(std::string(buf, 12), fit(ref_e_text(vs[i], 4), 12)) << "put_e_exact of " << vs[i];
    pds::put_f_exact(buf, vs[i], 11, 3);
    ASSERT_EQ(std::string(buf, 11), fit(ref_f_text(vs[i], 3), 11)) << "put_f_exact of " << vs[i];
  }
}

// The field text as strtod reads it: blanks removed, D/Q exponent letters
// turned into E, and an "E" inserted before a sign that follows a digit.
double ref_parse(const std::string& field) {
  std::string t;
  for (char c : field) {
    if (c == ' ') continue;
    if (c == 'D' || c == 'd' || c == 'Q' || c == 'q') c = 'E';
    if ((c == '+' || c == '-') && !t.empty() && (std::isdigit(t.back()) || t.back() == '.'))
      t += 'E';
    t += c;
  }
  return std::strtod(t.c_str(), nullptr);
}

TEST(FieldProperties, ParsingMatchesStrtod) {
  const std::vector<double>& vs = random_values();
  std::mt19937_64 rng(7);
  int failures = 0;
  for (std::size_t i = 0; i < vs.size() && failures < 20; i += 4) {
    if (!std::isfinite(vs[i])) continue;
    std::string fields[] = {E(vs[i], 12, 4), F(vs[i], 16, 8), E(vs[i], 26, 17), F(vs[i], 11, 3),
                            E(vs[i], 15, 4)};
    fields[2].replace(rng() % 26, 0, 1, ' ');                      // a blank inside the field
    if (fields[0][8] == 'E') fields[0][8] = "EeDdQq "[rng() % 7];  // "0.1234D+01", "0.1234 +01"
    for (const std::string& f : fields) {
      if (f.find('*') != std::string::npos) continue;
      double fast = 0, exact = 0;
      const bool ok = pds::parse_real(f, 4, fast) && pds::parse_real_exact(f, 4, exact);
      const double want = ref_parse(f);
      if (ok && std::memcmp(&fast, &want, sizeof want) == 0 &&
          std::memcmp(&exact, &want, sizeof want) == 0)
        continue;
      ++failures;
      ADD_FAILURE() << "field \"" << f << "\": expected " << want << ", fast " << fast << ", exact "
                    << exact << (ok ? "" : " (rejected)");
    }
  }
  // Fields without a point: the last d digits are decimals.
  for (int i = 0; i < 100000 && failures < 20; ++i) {
    const int d = static_cast<int>(rng() % 8);
    const std::string digits = std::to_string(rng() >> (rng() % 64));
    double got = 0;
    const double want = std::strtod((digits + "e-" + std::to_string(d)).c_str(), nullptr);
    if (pds::parse_real(digits, d, got) && got == want) continue;
    ++failures;
    ADD_FAILURE() << "field \"" << digits << "\" d=" << d << ": expected " << want << ", got "
                  << got;
  }
}

}  // namespace
