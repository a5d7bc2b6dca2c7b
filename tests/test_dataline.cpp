// Compact value fields: every field in the shape E12.4 writes must decode to
// the nearest double and be written back unchanged.
#include <gtest/gtest.h>

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

// Every four-digit mantissa with every two-digit exponent, both signs.
TEST(CompactFields, EveryCanonicalFieldDecodesExactlyAndWritesBackUnchanged) {
  std::vector<double> specials;
  long mismatches = 0;
  for (int neg = 0; neg < 2; ++neg) {
    for (int x = -99; x <= 99; ++x) {
      for (int m = 1000; m <= 9999; ++m) {
        char field[16], text[32];
        std::snprintf(field, sizeof field, " %c0.%04dE%c%02d", neg ? '-' : ' ', m,
                      x < 0 ? '-' : '+', std::abs(x));
        std::snprintf(text, sizeof text, "%s0.%04de%d", neg ? "-" : "", m, x);
        Read r = read_one(field, specials);
        const double want = std::strtod(text, nullptr);
        const double got = code_value(r.code, specials);
        if (std::memcmp(&got, &want, sizeof got) != 0 || write_one(r.code, specials) != field) {
          if (++mismatches < 10) ADD_FAILURE() << field << ": " << got << " vs " << want;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(specials.empty()) << "canonical fields must not use the side table";
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

}  // namespace
}  // namespace pds
