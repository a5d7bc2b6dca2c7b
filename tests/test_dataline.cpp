// Compact value fields: every field in the shape E12.4 writes must decode to
// the nearest double and be written back unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "textio/textio.h"

namespace pds {
namespace {

const Stream kWhere{kUnitDoscar, "DOSCAR"};

struct Read {
  double energy;
  ValueCode code;
};

Read read_one(const std::string& field, std::vector<double>& specials) {
  Read r{};
  read_coded_line("      1.000" + field, LineFormat::data_in(1), r.energy, &r.code, specials,
                  kWhere);
  return r;
}

std::string write_one(ValueCode code, const std::vector<double>& specials) {
  char buf[64];
  char* end = put_coded_line(buf, LineFormat::data_out(1), 1.0, &code, specials);
  return std::string(buf + 11, end - 1);
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Runs `body` with the vector check of whole lines on and then off (the
// field-by-field check), restoring the default.
template <typename Body>
void both_checks(Body body) {
  for (bool vector : {true, false}) {
    SCOPED_TRACE(vector ? "vector check" : "field-by-field check");
    set_vector_checks(vector);
    body();
  }
  set_vector_checks(true);
}

// Every four-digit mantissa with every two-digit exponent, both signs, read
// in lines of `n` fields: one field alone, and lines of nine fields, where
// the first eight go through the vector check (groups of four) and the last
// one through the field-by-field check. Each field must decode to the double
// strtod gives, be added as that double, and be written back unchanged.
void check_every_canonical_field(int n) {
  const LineFormat in = LineFormat::data_in(n), out = LineFormat::data_out(n);
  std::vector<double> specials;
  std::vector<double> want;
  std::string line = "      1.000";
  long mismatches = 0, fields = 0;
  auto flush = [&] {
    std::vector<ValueCode> codes(static_cast<std::size_t>(n));
    double energy = 0;
    read_coded_line(line, in, energy, codes.data(), specials, kWhere);
    std::vector<double> sums(static_cast<std::size_t>(n), 0.0);
    add_code_values(sums.data(), codes.data(), codes.size(), specials);
    for (std::size_t k = 0; k < codes.size(); ++k) {
      const double got = code_value(codes[k], specials);
      if (!same_bits(got, want[k]) || !same_bits(sums[k], want[k])) {
        if (++mismatches < 10) {
          ADD_FAILURE() << line.substr(11 + 12 * k, 12) << ": " << got << " and " << sums[k]
                        << " vs " << want[k];
        }
      }
    }
    std::string written(line.size() + 1, '#');
    char* end = put_coded_line(written.data(), out, energy, codes.data(), specials);
    if (end != written.data() + written.size() || written != line + "\n") {
      if (++mismatches < 10) ADD_FAILURE() << "written: " << written << "read:    " << line;
    }
    line.resize(11);
    want.clear();
  };
  for (int neg = 0; neg < 2; ++neg) {
    for (int x = -99; x <= 99; ++x) {
      for (int m = 1000; m <= 9999; ++m) {
        char field[16], text[32];
        std::snprintf(field, sizeof field, " %c0.%04dE%c%02d", neg ? '-' : ' ', m,
                      x < 0 ? '-' : '+', std::abs(x));
        std::snprintf(text, sizeof text, "%s0.%04de%d", neg ? "-" : "", m, x);
        line += field;
        want.push_back(std::strtod(text, nullptr));
        ++fields;
        if (static_cast<int>(want.size()) == n) flush();
      }
    }
  }
  ASSERT_EQ(fields % n, 0);
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(specials.empty()) << "canonical fields must not use the side table";
}

TEST(CompactFields, EveryCanonicalFieldDecodesExactlyAndWritesBackUnchanged) {
  both_checks([] { check_every_canonical_field(1); });
}

TEST(CompactFields, EveryCanonicalFieldInLinesOfNineFields) {
  // 3 582 000 fields: 398 000 lines of nine.
  both_checks([] { check_every_canonical_field(9); });
}

TEST(CompactFields, OtherShapesKeepTheirValue) {
  struct Case {
    const char* field;
    double value;
    const char* written;
  };
  const Case cases[] = {
      {"  0.0000E+00", 0.0, "  0.0000E+00"},
      {" -0.0000E+00", 0.0, "  0.0000E+00"},  // no sign on a zero
      {"  0.0000E-05", 0.0, "  0.0000E+00"},
      {"  0.0123E+01", 0.123, "  0.1230E+00"},  // leading zero digits
      {"  0.0001E-99", 1e-103, "  0.1000-102"},
      {"  0.1234+01", 1.234, "  0.1234E+01"},  // sign-only exponent
      {"  0.1234e+01", 1.234, "  0.1234E+01"},
      {"  0.1234D+01", 1.234, "  0.1234E+01"},
      {"  0.12345E+1", 1.2345, "  0.1234E+01"},  // halfway on the double: below
      {"       12345", 1.2345, "  0.1234E+01"},  // implied decimals
      {"            ", 0.0, "  0.0000E+00"},
      {" 0.1000-149 ", 1e-150, "  0.1000-149"},
      {"  0.9999E+99", 0.9999e99, "  0.9999E+99"},
  };
  for (const Case& c : cases) {
    std::vector<double> specials;
    Read r = read_one(c.field, specials);
    EXPECT_EQ(code_value(r.code, specials), c.value) << c.field;
    EXPECT_EQ(write_one(r.code, specials), c.written) << c.field;
  }
}

TEST(CompactFields, MalformedFieldIsAConversionFailure) {
  std::vector<double> specials;
  for (const char* field : {"  0.12x4E+01", "  0.1234E+0x", "  --0.123E+1", "  0.1234E   "}) {
    try {
      read_one(field, specials);
      ADD_FAILURE() << field << " was accepted";
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kConversion) << field;
    }
  }
}

// The value of a field as the plain reader and the codes see it: a zero of
// either sign counts as the same value (its sign is never written).
bool same_value(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (a == 0 && b == 0) return true;
  return same_bits(a, b);
}

// Reads `line` with n value fields both ways: into codes (with the vector
// check on and off) and into plain doubles; both must accept or both reject
// it, agree on every value, and write the same output line, the codes'
// line against the exact renderers.
void check_against_plain_read(const std::string& line, int n) {
  const LineFormat in = LineFormat::data_in(n), out = LineFormat::data_out(n);
  std::vector<double> plain(static_cast<std::size_t>(n) + 1);
  int plain_failure = 0;
  try {
    read_data_line(line, in, plain.data(), kWhere);
  } catch (const Failure& f) {
    plain_failure = f.number();
  }
  both_checks([&] {
    std::vector<ValueCode> codes(static_cast<std::size_t>(n));
    std::vector<double> specials;
    double energy = 0;
    int failure = 0;
    try {
      read_coded_line(line, in, energy, codes.data(), specials, kWhere);
    } catch (const Failure& f) {
      failure = f.number();
    }
    ASSERT_EQ(failure, plain_failure) << "[" << line << "]";
    if (failure != 0) return;
    EXPECT_TRUE(same_bits(energy, plain[0])) << "[" << line << "]";
    for (int k = 0; k < n; ++k) {
      EXPECT_TRUE(same_value(code_value(codes[static_cast<std::size_t>(k)], specials),
                             plain[static_cast<std::size_t>(k) + 1]))
          << "[" << line << "] field " << k;
    }
    const std::size_t len = data_line_length(out);
    std::string coded(len, '#'), exact(len, '#');
    put_coded_line(coded.data(), out, energy - 1.5, codes.data(), specials);
    set_fast_paths(false);
    put_data_line(exact.data(), out, plain[0] - 1.5, plain.data() + 1);
    set_fast_paths(true);
    EXPECT_EQ(coded, exact) << "[" << line << "]";
  });
}

// Lines of nine fields, two groups of four for the vector check and one
// more: fields in many shapes (signs, zeros, "E-00", both ends of the
// exponent range), and lines whose fields all share their signs, so that a
// damaged byte is the only thing out of the ordinary. Every byte of each is
// replaced by characters on and near the edges of what its position
// accepts, and each line is cut at every length.
TEST(CompactFields, DamagedLinesReadAsThePlainReaderReadsThem) {
  const std::vector<std::vector<std::string>> lines = {
      {"  0.3386E-18", " -0.1234E+01", "  0.0000E+00", "  0.9999E+99", " -0.1000E-99",
       "  0.5000E-00", "  0.1234E+05", " -0.0000E-05", "  0.4321E-22"},
      std::vector<std::string>(9, "  0.1234E+01"),
      std::vector<std::string>(9, " -0.9876E-12"),
      std::vector<std::string>(9, "  0.0000E+00"),
  };
  const char replacements[] = {' ',  '-', '+',    '0',    '1',    '9',    '.',    'E', 'e',
                               'D',  'd', '/',    ':',    '!',    ')',    ',',    '*', 'x',
                               '\t', 0,   '\x1f', '\x80', '\xb0', '\xb9', '\xff', 'F'};
  for (const auto& fields : lines) {
    std::string line = "    -25.944";
    for (const std::string& f : fields) line += f;
    check_against_plain_read(line, 9);
    for (std::size_t i = 0; i < line.size(); ++i) {
      for (char c : replacements) {
        std::string damaged = line;
        damaged[i] = c;
        check_against_plain_read(damaged, 9);
      }
    }
    for (std::size_t len = 0; len <= line.size(); ++len) {
      check_against_plain_read(line.substr(0, len), 9);
    }
    check_against_plain_read(line + "  0.1234E+01", 9);  // a field more than the format has
    for (int n : {1, 3, 4, 5, 8}) check_against_plain_read(line, n);
  }
}

// Fields that are canonical only when their 4- and 8-byte words are read in
// the other byte order (" -0.6543E+21" stored as ".0- 12+E3456"): a fast
// path that loads words in the machine's own order takes them for numbers on
// one of the two orders. Whole lines of them go through the vector check.
TEST(CompactFields, FieldsInTheOtherByteOrderAreMalformed) {
  for (std::string field : {" -0.6543E+21", "  0.1234E-05", " -0.1000E+00"}) {
    std::reverse(field.begin(), field.begin() + 4);
    std::reverse(field.begin() + 4, field.end());
    std::string line = "    -25.944";
    for (int k = 0; k < 9; ++k) line += field;
    for (int n : {1, 4, 9}) {
      both_checks([&] {
        std::vector<ValueCode> codes(9);
        std::vector<double> specials;
        double energy = 0;
        try {
          read_coded_line(line, LineFormat::data_in(n), energy, codes.data(), specials, kWhere);
          ADD_FAILURE() << field << " x" << n << " was accepted";
        } catch (const Failure& f) {
          EXPECT_EQ(f.number(), kConversion) << field;
        }
      });
    }
  }
}

// The energy field: the shapes of its own fast path and those next to it,
// which go to the field parser; each against the exact parser.
TEST(CompactFields, EnergyFieldsReadExactly) {
  const char* cases[] = {
      "    -25.944", "      0.000",  "     -0.000", "    -00.000", "1234567.890", "-123456.789",
      "  -1234.567", "    999.999",  "      1.000", "     12.345", "    12.3456", "   -.123456",
      "       .123", "      -.123",  "    +12.345", "   - 12.345", "   12.345  ", "  12 .345  ",
      "    12.3 45", "\t    12.345", "     12.34x", "    1-2.345", "   --12.345", "    12.34E1",
      "   12.345e1", "           ",  "       -.  ", "    -12.  5", "1234567.8-9", "  12345678.",
  };
  const LineFormat in = LineFormat::data_in(1);
  for (const char* text : cases) {
    const std::string line = std::string(text) + "  0.1000E+01";
    ASSERT_EQ(line.size(), 23u) << text;
    double want = 0;
    const bool ok = parse_real_exact(std::string_view(text, 11), 3, want);
    ValueCode code;
    std::vector<double> specials;
    double got = 0;
    bool accepted = true;
    try {
      read_coded_line(line, in, got, &code, specials, kWhere);
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kConversion);
      accepted = false;
    }
    EXPECT_EQ(accepted, ok) << "[" << text << "]";
    if (ok) {
      EXPECT_TRUE(same_bits(got, want)) << "[" << text << "] " << got << " vs " << want;
    }
  }
}

// Every energy -999999.999 ... 999999.999 in steps of 0.001 up to 200,
// then a step of 10.007: each F11.3 text against the exact parser.
TEST(CompactFields, EnergySweepReadsExactly) {
  const LineFormat in = LineFormat::data_in(1);
  std::vector<double> specials;
  long mismatches = 0;
  for (long n = 0; n < 1000000000; n += n < 200000 ? 1 : 10007) {
    for (int neg = 0; neg < 2; ++neg) {
      char text[32];
      std::snprintf(text, sizeof text, "%s%ld.%03ld", neg ? "-" : "", n / 1000, n % 1000);
      char field[40];
      std::snprintf(field, sizeof field, "%11s", text);
      double want = 0, got = 0;
      ValueCode code;
      parse_real_exact(field, 3, want);
      read_coded_line(std::string(field) + "  0.1000E+01", in, got, &code, specials, kWhere);
      if (!same_bits(got, want) && ++mismatches < 10) ADD_FAILURE() << "[" << field << "]";
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// The energy written by put_coded_line against the exact F11.3 renderer:
// values on and next to every rounding boundary, halfway cases (exact binary
// halves of 0.001), the ends of the fast path's range and beyond it.
TEST(CompactFields, EnergiesWrittenExactly) {
  std::vector<double> values = {
      0.0,      -0.0,        0.0004,       -0.0004,   0.0005,   -0.0005, 0.0625,      -1.0625,
      0.1875,   999.9994,    999.9995,     -999.9995, 999.999,  1000.0,  -1000.5,     999998.999,
      999999.0, 999999.4999, -999999.5,    1e7,       -1e7,     1e300,   -4.13798383, 18.43440663,
      5e-324,   -2.5e-4,     std::nan(""), HUGE_VAL,  -HUGE_VAL};
  for (long i = -2000000; i <= 2000000; i += 7) {
    const double v = static_cast<double>(i) / 2000.0;  // every multiple of 0.0005 in the range
    values.push_back(v);
    values.push_back(std::nextafter(v, 1e9));
    values.push_back(std::nextafter(v, -1e9));
  }
  std::uint64_t state = 12345;
  for (int i = 0; i < 200000; ++i) {  // spread over many magnitudes
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
    values.push_back((unit - 0.5) * std::pow(10.0, static_cast<int>(state % 9) - 2));
  }
  const LineFormat out = LineFormat::data_out(1);
  const ValueCode zero = 0;
  const std::vector<double> specials;
  long mismatches = 0;
  for (double v : values) {
    char got[32], want[16];
    put_coded_line(got, out, v, &zero, specials);
    put_f_exact(want, v, 11, 3);
    if (std::memcmp(got, want, 11) != 0 && ++mismatches < 10) {
      ADD_FAILURE() << v << ": [" << std::string(got, 11) << "] vs [" << std::string(want, 11)
                    << "]";
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// Sums of codes: the inline decoding against code_value for the shapes it
// does not take itself (side table, zero, exponents far up and down).
TEST(CompactFields, AddedValuesAreTheCodesValues) {
  const char* fields[] = {"  0.0000E+00", " -0.0000E-05", "  0.1234E+22", "  0.1234E+26",
                          "  0.9999E+99", "  0.1000E-99", " -0.5555E-30", "  0.1234+01",
                          " 0.1000-149 ", "  0.12345E+1", "  0.1234E+04", "  0.1234E+05",
                          "  0.1234E-18", " -0.1234E-19", "  0.0123E+01", "  nan       "};
  std::vector<double> specials;
  for (const char* f : fields) {
    Read r = read_one(f, specials);
    double sum = 0.25;
    add_code_values(&sum, &r.code, 1, specials);
    EXPECT_TRUE(same_bits(sum, 0.25 + code_value(r.code, specials)) || std::isnan(sum)) << f;
    double zero = 0.0;
    add_code_values(&zero, &r.code, 1, specials);
    EXPECT_TRUE(same_value(zero, code_value(r.code, specials))) << f;
  }
}

}  // namespace
}  // namespace pds
