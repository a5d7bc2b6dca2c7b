// Line formats, formatted records, the free-form integer read, line files and
// failure diagnostics.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "textio/textio.h"

namespace pds {
namespace {

const Stream kWhere{kUnitDoscar, "DOSCAR"};

int failure_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Failure& e) {
    return e.number();
  }
  return 0;
}

// ------------------------------------------------------------ line formats

TEST(LineFormat, CompilesTheProgramsFormatsAndRefusesOthers) {
  struct Case {
    const char* text;
    bool valid;
    std::size_t codes;
  };
  const Case cases[] = {
      {"(1X,A14,F8.3)", true, 3},
      {"(2F16.8,I5,F16.8)", true, 3},
      {"(F11.3,32E12.4e2)", true, 2},
      {"(f11.3,4e12.4E2)", true, 2},
      {"(I0)", true, 1},
      {"(I3.3)", true, 1},
      {"(A)", true, 1},
      {"( 1x , a22 , i5 )", true, 3},
      {"()", true, 0},
      {"(F11.3,0E12.4e2)", false, 0},
      {"(0I4)", false, 0},
      {"F11.3", false, 0},
      {"(F11.3", false, 0},
      {"(F11.3,)", false, 0},
      {"(F11)", false, 0},
      {"(Z4)", false, 0},
      {"(E12.4e)", false, 0},
      {"(I4) x", false, 0},
      {"(A0)", false, 0},
      {"(X)", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    LineFormat f = LineFormat::compile(c.text);
    EXPECT_EQ(f.valid(), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(f.codes().size(), c.codes) << c.text;
    }
  }
}

TEST(LineFormat, DataLineShapes) {
  LineFormat in = LineFormat::data_in(9);
  ASSERT_TRUE(in.is_data_line());
  EXPECT_EQ(in.codes()[1].repeat, 9);
  EXPECT_EQ(in.codes()[1].e, 2);
  EXPECT_EQ(data_line_length(LineFormat::data_out(2)), 36u);
  EXPECT_FALSE(LineFormat::data_out(0).valid());
  EXPECT_FALSE(LineFormat::compile("(1X,A14,F8.3)").is_data_line());
}

// ------------------------------------------------------------ formatted write

TEST(FormatLine, LaysFieldsOutOneAfterTheOther) {
  struct Case {
    const char* fmt;
    std::vector<Value> values;
    const char* expected;
  };
  const Case cases[] = {
      {"(1X,A14,F8.3)", {"CPU time (s): ", 0.25}, " CPU time (s):    0.250"},
      {"(1X,A22,I5)", {"Number of grid points: ", 301}, " Number of grid points:  301"},
      {"(1X,A17,I4)", {"Number of atoms: ", 8}, " Number of atoms:    8"},
      {"(1X,A17,F8.3)", {"Energy min (eV): ", -12.5}, " Energy min (eV):  -12.500"},
      {"(1X,A17,I4)", {"Number of atoms: ", 12345}, " Number of atoms: ****"},
      {"(1X,A17,F8.3)", {"Energy min (eV): ", -1000.0}, " Energy min (eV): ********"},
      {"(F11.3,2E12.4)", {1.0, 2.0, 10.0}, "      1.000  0.2000E+01  0.1000E+02"},
      {"(A5)", {"ab"}, "   ab"},
      {"(A)", {"text  "}, "text  "},
      // Values run out at the first field without a value; trailing X writes nothing.
      {"(A3,I4,I4)", {"abc", 7}, "abc   7"},
      {"(A2,3X)", {"ab"}, "ab"},
  };
  for (const Case& c : cases) {
    std::string line;
    format_line(line, LineFormat::compile(c.fmt), c.values, kWhere);
    EXPECT_EQ(line, c.expected) << c.fmt;
  }
}

TEST(FormatLine, InvalidFormatIsTheSyntaxFailure) {
  std::string line;
  EXPECT_EQ(
      failure_of([&] { format_line(line, LineFormat::compile("(F11.3,0E12.4)"), {1.0}, kWhere); }),
      kFormatSyntax);
}

TEST(InternalWrite, ColumnCountsAndSuffixes) {
  const LineFormat i0 = LineFormat::compile("(I0)");
  const LineFormat i33 = LineFormat::compile("(I3.3)");
  EXPECT_EQ(internal_write(i0, 4, 2, kWhere), "4 ");
  EXPECT_EQ(internal_write(i0, 16, 2, kWhere), "16");
  EXPECT_EQ(internal_write(i33, 2, 5, kWhere), "002  ");
  EXPECT_EQ(internal_write(i33, 1000, 5, kWhere), "***  ");
  EXPECT_EQ(failure_of([&] { internal_write(i0, 100, 2, kWhere); }), kRecordOverflow);
}

// ------------------------------------------------------------ formatted read

TEST(ReadFields, HeaderLines) {
  std::int32_t natoms = -1, npoints = -1;
  double emax = 0, emin = 0, efermi = 0;
  read_fields("   8   8   1   0", LineFormat::compile("(I4)"), {Target::Int(natoms)}, kWhere);
  EXPECT_EQ(natoms, 8);
  read_fields("     14.41977754    -11.39720806  301      4.29634683      1.00000000",
              LineFormat::compile("(2F16.8,I5,F16.8)"),
              {Target::Real(emax), Target::Real(emin), Target::Int(npoints), Target::Real(efermi)},
              kWhere);
  EXPECT_EQ(emax, 14.41977754);
  EXPECT_EQ(emin, -11.39720806);
  EXPECT_EQ(npoints, 301);
  EXPECT_EQ(efermi, 4.29634683);
  // A short line reads its missing fields as blanks, so as zero.
  read_fields("     14.41977754", LineFormat::compile("(2F16.8,I5,F16.8)"),
              {Target::Real(emax), Target::Real(emin), Target::Int(npoints), Target::Real(efermi)},
              kWhere);
  EXPECT_EQ(emin, 0.0);
  EXPECT_EQ(npoints, 0);
}

TEST(ReadFields, TextFieldsPadAndCut) {
  std::string s;
  read_fields(" unknown system", LineFormat::compile("(A40)"), {Target::Text(s, 40)}, kWhere);
  EXPECT_EQ(s, std::string(" unknown system") + std::string(25, ' '));
  read_fields(std::string(50, 'x'), LineFormat::compile("(A40)"), {Target::Text(s, 40)}, kWhere);
  EXPECT_EQ(s, std::string(40, 'x'));
  // Aw into a shorter variable keeps the rightmost characters.
  read_fields("abcdef", LineFormat::compile("(A6)"), {Target::Text(s, 2)}, kWhere);
  EXPECT_EQ(s, "ef");
}

TEST(ReadFields, MalformedNumbersAreConversionFailures) {
  std::int32_t n = 0;
  double r = 0;
  EXPECT_EQ(failure_of([&] {
              read_fields("  x4", LineFormat::compile("(I4)"), {Target::Int(n)}, kWhere);
            }),
            kConversion);
  EXPECT_EQ(failure_of([&] {
              read_fields("12.3.4", LineFormat::compile("(F16.8)"), {Target::Real(r)}, kWhere);
            }),
            kConversion);
}

TEST(ReadDataLine, FieldsByColumnShortAndLongLines) {
  const LineFormat fmt = LineFormat::data_in(2);
  double v[3] = {-1, -1, -1};
  read_data_line("     -3.440 -0.1104E-42  0.2000E+01 trailing junk", fmt, v, kWhere);
  EXPECT_EQ(v[0], -3.44);
  EXPECT_EQ(v[1], -0.1104e-42);
  EXPECT_EQ(v[2], 2.0);
  read_data_line("     -3.440  0.1234+01", fmt, v, kWhere);  // sign-only exponent, short line
  EXPECT_EQ(v[1], 1.234);
  EXPECT_EQ(v[2], 0.0);
  EXPECT_EQ(failure_of([&] { read_data_line("     -3.440  0.12x4E+01", fmt, v, kWhere); }),
            kConversion);
}

TEST(PutDataLine, OneLineWithItsLineFeed) {
  const LineFormat fmt = LineFormat::data_out(2);
  const double values[] = {2.0, 10.0};
  char buf[64];
  char* end = put_data_line(buf, fmt, 1.5 - 0.5, values);
  EXPECT_EQ(std::string(buf, end), "      1.000  0.2000E+01  0.1000E+02\n");
}

// ------------------------------------------------------------ free-form read

TEST(FreeFormInt, ValuesNullsErrorsAndTheEnd) {
  struct Case {
    const char* text;
    FreeInt::Status status;
    std::int32_t value;
  };
  const Case cases[] = {
      {"7    ", FreeInt::kValue, 7},   {"  7  ", FreeInt::kValue, 7},
      {"007  ", FreeInt::kValue, 7},   {"7,8  ", FreeInt::kValue, 7},
      {"2 x  ", FreeInt::kValue, 2},   {"2/   ", FreeInt::kValue, 2},
      {"+3   ", FreeInt::kValue, 3},   {"-1   ", FreeInt::kValue, -1},
      {"2.7  ", FreeInt::kValue, 2},   {"-2.9 ", FreeInt::kValue, -2},
      {"1e2  ", FreeInt::kValue, 100}, {"1D2  ", FreeInt::kValue, 100},
      {"3.   ", FreeInt::kValue, 3},   {".5   ", FreeInt::kValue, 0},
      {"3*7  ", FreeInt::kValue, 7},   {"12345", FreeInt::kValue, 12345},
      {"2q+1 ", FreeInt::kValue, 20},  {",    ", FreeInt::kNull, 0},
      {"/    ", FreeInt::kNull, 0},    {"3*   ", FreeInt::kNull, 0},
      {"abc  ", FreeInt::kSyntax, 0},  {"2a   ", FreeInt::kSyntax, 0},
      {"-    ", FreeInt::kSyntax, 0},  {"+-1  ", FreeInt::kSyntax, 0},
      {"1.2.3", FreeInt::kSyntax, 0},  {"e5   ", FreeInt::kSyntax, 0},
      {"1e   ", FreeInt::kSyntax, 0},  {".    ", FreeInt::kSyntax, 0},
      {"1+2  ", FreeInt::kSyntax, 0},  {"0*7  ", FreeInt::kSyntax, 0},
      {"*7   ", FreeInt::kSyntax, 0},  {"9e9  ", FreeInt::kSyntax, 0},
      {"nan  ", FreeInt::kSyntax, 0},  {"'1'  ", FreeInt::kSyntax, 0},
      {"     ", FreeInt::kEnd, 0},     {"", FreeInt::kEnd, 0},
  };
  for (const Case& c : cases) {
    FreeInt r = read_free_int(c.text);
    EXPECT_EQ(r.status, c.status) << '"' << c.text << '"';
    if (c.status == FreeInt::kValue) {
      EXPECT_EQ(r.value, c.value) << '"' << c.text << '"';
    }
  }
}

// ------------------------------------------------------------ files

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pdsplit-textio-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::vector<std::string> lines(const std::string& name) const {
    InFile in(kUnitDoscar, path(name));
    std::vector<std::string> out;
    std::string_view l;
    while (in.next(l)) out.emplace_back(l);
    return out;
  }
  std::string dir_;
};

TEST_F(TempDir, LineEndings) {
  using V = std::vector<std::string>;
  struct Case {
    const char* name;
    std::string bytes;
    V expected;
  };
  const Case cases[] = {
      {"lf", "a\nb\n", V{"a", "b"}},        {"crlf", "a\r\nb\r\n", V{"a", "b"}},
      {"no final lf", "a\nb", V{"a", "b"}}, {"one cr only", "a\r\r\n", V{"a\r"}},
      {"empty lines", "\n\n", V{"", ""}},   {"empty file", "", V{}},
      {"blanks kept", "a  \n", V{"a  "}},
  };
  for (const Case& c : cases) {
    write("f", c.bytes);
    EXPECT_EQ(lines("f"), c.expected) << c.name;
  }
}

TEST_F(TempDir, LongLinesKeepTheirStartAndLinesAfterThem) {
  std::string big(InFile::kMaxLine + 5000, 'y');
  big[0] = 'x';
  write("f", big + "\nnext\n" + std::string(3 << 20, 'z') + "\nlast");
  std::vector<std::string> got = lines("f");
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].size(), InFile::kMaxLine);
  EXPECT_EQ(got[0][0], 'x');
  EXPECT_EQ(got[1], "next");
  EXPECT_EQ(got[3], "last");
}

TEST_F(TempDir, EndOfFileAndOpenFailures) {
  write("f", "one\n");
  InFile in(kUnitDoscar, path("f"));
  in.skip();
  EXPECT_EQ(failure_of([&] { in.skip(); }), kEndOfFile);
  EXPECT_EQ(failure_of([&] { InFile x(kUnitDoscar, path("missing")); }), kNotFound);
  EXPECT_EQ(failure_of([&] { InFile x(kUnitDoscar, dir_); }), kOpenFailure);
  EXPECT_EQ(failure_of([&] { InFile x(kUnitDoscar, path("f/x")); }), kNameError);
  EXPECT_EQ(failure_of([&] { OutFile x(kUnitOutput, path("nodir/out")); }), kNotFound);
  EXPECT_EQ(failure_of([&] { OutFile x(kUnitOutput, dir_); }), kOpenFailure);
  std::unique_ptr<InFile> p;
  EXPECT_EQ(InFile::try_open(kUnitDoscar, path("missing"), p), kNotFound);
  EXPECT_EQ(p, nullptr);
}

TEST_F(TempDir, OutFileEmptiesAndHonoursTrailingBlanksInNames) {
  write("out", std::string(1000, 'o'));
  {
    OutFile out(kUnitOutput, path("out") + "   ");
    out.write("new\n");
    out.close();
  }
  std::ifstream f(path("out"), std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "new\n");
}

TEST(OutFileFull, WriteFailureOnAFullDevice) {
  OutFile out(kUnitOutput, "/dev/full");
  out.write("x\n");
  EXPECT_EQ(failure_of([&] { out.close(); }), kWriteError);
}

// ------------------------------------------------------------ diagnostics

TEST(Diagnostic, LinesOfARunTimeFailure) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(
      diagnostic(Failure(kNotFound, kUnitDoscar, "DOSCAR", ENOENT)),
      "pdsplit: No such file or directory\npdsplit: severe (29): file not found, unit 10, file " +
          std::string(cwd) + "/DOSCAR\n");
  EXPECT_EQ(diagnostic(Failure(kConversion, kUnitDoscar, "/abs/DOSCAR")),
            "pdsplit: severe (64): input conversion error, unit 10, file /abs/DOSCAR\n");
  EXPECT_EQ(diagnostic(Failure(kEndOfFile, kUnitInternal, "command-line argument 2")),
            "pdsplit: severe (24): end-of-file during read, unit internal, file command-line "
            "argument 2\n");
}

TEST(Diagnostic, OpenErrorsMapToTheirNumbers) {
  const std::pair<int, int> cases[] = {{ENOENT, 29},  {EACCES, 9},        {EROFS, 9},
                                       {ENOTDIR, 43}, {ENAMETOOLONG, 43}, {EISDIR, 30}};
  for (auto [err, number] : cases) EXPECT_EQ(open_failure_number(err), number) << err;
}

TEST(FixedTexts, CutPadAndTrim) {
  EXPECT_EQ(fixed("-total", 5), "-tota");
  EXPECT_EQ(fixed("-t", 5), "-t   ");
  EXPECT_EQ(trimmed(" a b  "), " a b");
  EXPECT_EQ(trimmed("   "), "");
}

}  // namespace
}  // namespace pds
