// End-to-end tests of the command line, the DOSCAR header and the total DOS
// operation (-t, -ft, -tf), run through the built binary.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e.h"

using e2e::concat;
using e2e::Crafted;
using e2e::Lines;
using e2e::Result;
using e2e::TempDir;

namespace {

// Console of the default crafted file (two atoms, three points, non-spin,
// l,m-projected, Fermi level 0.5) from the title to the Fermi line.
Lines craftedPrefix(bool shifted) {
  return {" ::: TOTAL DOS :::",
          " Opening DOSCAR file...",
          " System name: crafted",
          " Calc. type: non-spin polarized",
          " LDOS type: l,m-projected",
          " Orbitals found: s p d",
          " Number of atoms:    2",
          " Energy min (eV):   -5.000",
          " Energy max (eV):   10.000",
          " Fermi level (eV):    0.500",
          " Number of grid points:    3",
          " Closing DOSCAR file...",
          shifted ? " Fermi level is shifted" : " Fermi level is not shifted"};
}

// iDOS of the default crafted file: energies -1, 0, 1; values 10j + k.
const char* const kShifted =
    "     -1.500  0.1100E+02  0.1200E+02\n"
    "     -0.500  0.2100E+02  0.2200E+02\n"
    "      0.500  0.3100E+02  0.3200E+02\n";
const char* const kUnshifted =
    "     -1.000  0.1100E+02  0.1200E+02\n"
    "      0.000  0.2100E+02  0.2200E+02\n"
    "      1.000  0.3100E+02  0.3200E+02\n";

// Header, total block and one atom block: all that -t reads.
std::string totalOnly(const Crafted& c) {
  Crafted one = c;
  one.natoms = 1;
  return e2e::joinLines(c.headerLines()) + e2e::joinLines(c.totalLines()) +
         e2e::energyLine(c.emax, c.emin, c.npoints, c.efermi) + "\n" +
         e2e::joinLines(one.atomLines(1));
}

const Lines kHelp = {" ::: HELP :::",
                     " This program is to split DOSCAR file created by VASP and/or",
                     " sum up the atomic projected DOS (pro-DOS) over some groups of atoms",
                     " REQUIREMENTS:",
                     "  DOSCAR file from VASP static calculation",
                     " USAGE:",
                     "  pdsplit -h                       : Display program help",
                     "  pdsplit -[f]t [output]           : Get total DOS",
                     "  pdsplit -[f]a [output]           : Get pro-DOS for all atoms",
                     "  pdsplit -[f]p N [output]         : Get pro-DOS for one atom",
                     "  pdsplit -[f]s1 N1 N2 [output]    : Sum up pro-DOS of sequential atoms",
                     "  pdsplit -[f]s2 N1 N2... [output] : Sum up pro-DOS of discrete atoms",
                     " NOTES:",
                     "  Avoid using number only for 'output' since it might give",
                     "  unexpected result for 's2'. If no 'output' is set, program will write",
                     "  to default file with prefix 'i'. Fermi level is shifted by default,",
                     "  it can be switched off by using 'f' option.",
                     " EXAMPLES:",
                     "  Get total DOS of the system, not shift the Fermi level:",
                     "    pdsplit -ft                    -> output is iDOS",
                     "    pdsplit -ft TDOS               -> output is TDOS",
                     "  Get projected DOS of the 2nd atom, shift the Fermi level:",
                     "    pdsplit -p 2                   -> output is iLDOS002",
                     "    pdsplit -p 2 LDOS2             -> output is LDOS2",
                     " PLEASE CONTACT ME IF THERE IS ANY PROBLEM.",
                     " "};

TEST(E2eDispatch, BannerHasNineLines) {
  TempDir dir;
  for (const auto& args : {Lines{}, Lines{"-h"}, Lines{"-x"}}) {
    Lines out = e2e::splitLines(dir.run(args).out);
    ASSERT_GE(out.size(), 9u);
    EXPECT_EQ(Lines(out.begin(), out.begin() + 3),
              (Lines{" ", " P D S P L I T", " For 32-bit Linux"}));
    EXPECT_EQ(out[4], " ");
    EXPECT_EQ(out[8], " ");
    for (int i : {3, 5, 6, 7}) {
      EXPECT_TRUE(out[i].size() > 1 && out[i][0] == ' ') << "identification line " << i + 1;
    }
  }
}

// Everything decided before DOSCAR is read: help, missing and unknown options.
TEST(E2eDispatch, EarlyOutcomes) {
  struct Case {
    const char* name;
    Lines args;
    Lines expected;  // console after the banner
    int status;
  };
  const Lines wrong = e2e::errorBox("Wrong input argument(s)");
  const Lines many = e2e::errorBox("Too many input argument(s)");
  // clang-format off
  const std::vector<Case> cases = {
      {"no argument", {}, e2e::errorBox("No input argument found"), 1},
      {"-h alone", {"-h"}, kHelp, 0},
      {"-h, text after the fifth char", {"-h   zzz"}, kHelp, 0},
      {"-h with an argument", {"-h", "x"}, many, 1},
      {"-h with an empty argument", {"-h", ""}, many, 1},
      {"-help", {"-help"}, wrong, 1},
      {"-T", {"-T"}, wrong, 1},
      {"-f", {"-f"}, wrong, 1},
      {"-ftf", {"-ftf"}, wrong, 1},
      {"leading blank", {" -t"}, wrong, 1},
      {"-total", {"-total"}, wrong, 1},
      {"-t, char in the fifth position", {"-t  x"}, wrong, 1},
      {"empty option", {""}, wrong, 1},
      {"-s3", {"-s3"}, wrong, 1},
  };
  // clang-format on
  for (const auto& c : cases) {
    TempDir dir;
    dir.write("DOSCAR", Crafted{}.text());
    Result r = dir.run(c.args);
    EXPECT_EQ(e2e::afterBanner(r), c.expected) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(dir.entries(), Lines{"DOSCAR"}) << c.name << ": no file may be written";
  }
}

TEST(E2eTotal, WholeTranscriptAndOutputName) {
  struct Case {
    Lines args;
    bool shifted;
    std::string file;
    const char* contents;
  };
  const std::string name46 = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ";
  // clang-format off
  const std::vector<Case> cases = {
      {{"-t"}, true, "iDOS", kShifted},
      {{"-ft"}, false, "iDOS", kUnshifted},
      {{"-tf"}, false, "iDOS", kUnshifted},
      {{"-t   zzz"}, true, "iDOS", kShifted},
      {{"-tf", "TDOS"}, false, "TDOS", kUnshifted},
      {{"-t", "name with blanks  "}, true, "name with blanks", kShifted},
      {{"-t", "  lead"}, true, "  lead", kShifted},
      {{"-t", name46}, true, name46.substr(0, 40), kShifted},
  };
  // clang-format on
  for (const auto& c : cases) {
    const std::string name = c.args[0] + (c.args.size() > 1 ? " [" + c.args[1] + "]" : "");
    TempDir dir;
    dir.write("DOSCAR", Crafted{}.text());
    Result r = dir.run(c.args);
    EXPECT_EQ(e2e::afterBanner(r),
              concat({craftedPrefix(c.shifted), {" Creating output file..."}, e2e::successEnd()}))
        << name;
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.err, "") << name;
    Lines files = {"DOSCAR", c.file};
    std::sort(files.begin(), files.end());
    EXPECT_EQ(dir.entries(), files) << name;
    if (dir.exists(c.file)) {
      EXPECT_EQ(dir.read(c.file), c.contents) << name;
    }
  }
}

TEST(E2eHeader, ClassificationByColumnCounts) {
  struct Case {
    int ntcol, npcol;
    Lines classification;
    bool stops;  // "Unspecified": the run ends there
  };
  const std::string spin = " Calc. type: spin polarized";
  const std::string nonspin = " Calc. type: non-spin polarized";
  const std::string l = " LDOS type: l-projected", lm = " LDOS type: l,m-projected";
  const std::string spd = " Orbitals found: s p d", spdf = " Orbitals found: s p d f";
  const std::string unspec = " LDOS type: Unspecified";
  // clang-format off
  const std::vector<Case> cases = {
      {4, 6, {spin, l, spd}, false},     {4, 8, {spin, l, spdf}, false},
      {4, 18, {spin, lm, spd}, false},   {4, 32, {spin, lm, spdf}, false},
      {4, 9, {spin, unspec}, true},      {4, 3, {spin, unspec}, true},
      {2, 3, {nonspin, l, spd}, false},  {2, 4, {nonspin, l, spdf}, false},
      {2, 9, {nonspin, lm, spd}, false}, {2, 16, {nonspin, lm, spdf}, false},
      {2, 5, {nonspin, unspec}, true},   {2, 18, {nonspin, unspec}, true},
      {3, 9, {}, false},                 {1, 5, {}, false},
      {4, 33, {spin, lm, spdf}, false},  // the 33rd "E" lies beyond column 395
  };
  // clang-format on
  const Lines head = {" ::: TOTAL DOS :::", " Opening DOSCAR file...", " System name: crafted"};
  const Lines tail = {" Number of atoms:    1",       " Energy min (eV):   -5.000",
                      " Energy max (eV):   10.000",   " Fermi level (eV):    0.500",
                      " Number of grid points:    1", " Closing DOSCAR file...",
                      " Fermi level is shifted",      " Creating output file..."};
  for (const auto& c : cases) {
    const std::string name =
        "NTCOL " + std::to_string(c.ntcol) + ", NPCOL " + std::to_string(c.npcol);
    Crafted doscar;
    doscar.natoms = 1;
    doscar.npoints = 1;
    doscar.ntcol = c.ntcol;
    doscar.npcol = c.npcol;
    TempDir dir;
    dir.write("DOSCAR", doscar.text());
    Result r = dir.run({"-t"});
    EXPECT_EQ(r.err, "") << name;
    if (c.stops) {
      EXPECT_EQ(e2e::afterBanner(r), concat({head, c.classification})) << name;
      EXPECT_EQ(r.status, 1) << name;
      EXPECT_EQ(dir.entries(), Lines{"DOSCAR"}) << name;
      continue;
    }
    EXPECT_EQ(e2e::afterBanner(r), concat({head, c.classification, tail, e2e::successEnd()}))
        << name;
    EXPECT_EQ(r.status, 0) << name;
    std::vector<double> values;  // the total block is read with the measured count
    for (int k = 1; k <= c.ntcol; ++k) values.push_back(10.0 + k);
    if (dir.exists("iDOS")) {
      EXPECT_EQ(dir.read("iDOS"), e2e::dataLine(-1.5, values) + "\n") << name;
    }
  }
}

TEST(E2eHeader, SummaryRendering) {
  struct Case {
    const char* name;
    std::function<void(Crafted&)> edit;
    std::map<size_t, std::string> changed;  // index in the console after the banner
  };
  const std::vector<Case> cases = {
      {"energies too wide for F8.3",
       [](Crafted& c) { c.emin = -1000.0, c.emax = 10000.0, c.efermi = 0.0; },
       {{7, " Energy min (eV): ********"},
        {8, " Energy max (eV): ********"},
        {9, " Fermi level (eV):    0.000"}}},
      {"widest values that fit",
       [](Crafted& c) {
         c.natoms = 9999, c.emin = -999.999, c.emax = 9999.999, c.efermi = -999.9994;
       },
       {{6, " Number of atoms: 9999"},
        {7, " Energy min (eV): -999.999"},
        {8, " Energy max (eV): 9999.999"},
        {9, " Fermi level (eV): -999.999"}}},
      {"values near zero",
       [](Crafted& c) { c.natoms = -5, c.emin = -0.0006, c.emax = 0.0625, c.efermi = -0.0004; },
       {{6, " Number of atoms:   -5"},
        {7, " Energy min (eV):   -0.001"},
        {8, " Energy max (eV):    0.062"},
        {9, " Fermi level (eV):    0.000"}}},
      {"system name with blanks around it",
       [](Crafted& c) { c.system = "   spaced  name      "; },
       {{2, " System name:    spaced  name"}}},
      {"system name beyond 40 characters",
       [](Crafted& c) { c.system = "0123456789012345678901234567890123456789TAIL"; },
       {{2, " System name: 0123456789012345678901234567890123456789"}}},
      {"empty system line", [](Crafted& c) { c.system = ""; }, {{2, " System name: "}}},
  };
  for (const auto& c : cases) {
    Crafted doscar;
    c.edit(doscar);
    TempDir dir;
    dir.write("DOSCAR", totalOnly(doscar));
    Result r = dir.run({"-ft"});
    Lines expected =
        concat({craftedPrefix(false), {" Creating output file..."}, e2e::successEnd()});
    for (const auto& [index, line] : c.changed) expected[index] = line;
    EXPECT_EQ(e2e::afterBanner(r), expected) << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
  }
}

// Field reading and writing seen from outside: ties, blanks inside fields,
// exponent spellings, a short line and overflow, shifted and unshifted.
TEST(E2eTotal, OutputBytesOfHandWrittenBlocks) {
  Lines head = Crafted{}.headerLines();
  head[0] = "   1   1   1   0";
  head[5] = e2e::energyLine(10.0, -5.0, 8, 0.5);
  const Lines total = {
      "     -3.440  0.1000E+01 -0.2500E-06", "     0.5625 0.12345E+040.123456E-03",
      "     0.6875  0.1000-149  0.1234D+01", "     0.4996  0.1234e+01   0.1234+01",
      "     0.4994       12345        -0.0", "      -3440 0.999951E+00",
      "-1000000.00  0.5000E+01  0.5000E+01", "  - 3.4 4    0.2000E+01  0.1000E+02"};
  Crafted atom;
  atom.npoints = 8;
  const std::string nonspin = e2e::joinLines(head) + e2e::joinLines(total) + head[5] + "\n" +
                              e2e::joinLines(atom.atomLines(1));
  const std::string values =
      "  0.1000E+01 -0.2500E-06\n  0.1234E+04  0.1235E-03\n  0.1000-149  0.1234E+01\n"
      "  0.1234E+01  0.1234E+01\n  0.1234E+01  0.0000E+00\n  0.1000E+01  0.0000E+00\n"
      "  0.5000E+01  0.5000E+01\n  0.2000E+01  0.1000E+02\n";
  auto join = [&](const Lines& energies) {
    Lines v = e2e::splitLines(values);
    for (size_t i = 0; i < v.size(); ++i) v[i] = energies[i] + v[i];
    return e2e::joinLines(v);
  };
  const std::string shifted = join({"     -3.940", "      0.062", "      0.188", "      0.000",
                                    "     -0.001", "     -3.940", "***********", "     -3.940"});
  const std::string unshifted = join({"     -3.440", "      0.562", "      0.688", "      0.500",
                                      "      0.499", "     -3.440", "***********", "     -3.440"});
  Crafted spin;
  spin.ntcol = 4;
  spin.npcol = 6;
  spin.npoints = 2;
  const std::string spinOut =
      "     -1.500  0.1100E+02  0.1200E+02  0.1300E+02  0.1400E+02\n"
      "     -0.500  0.2100E+02  0.2200E+02  0.2300E+02  0.2400E+02\n";
  struct Case {
    const char* name;
    std::string doscar, option, expected;
  };
  const std::vector<Case> cases = {{"non-spin, shifted", nonspin, "-t", shifted},
                                   {"non-spin, unshifted", nonspin, "-ft", unshifted},
                                   {"spin, shifted", spin.text(), "-t", spinOut}};
  for (const auto& c : cases) {
    TempDir dir;
    dir.write("DOSCAR", c.doscar);
    Result r = dir.run({c.option});
    EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
    if (dir.exists("iDOS")) {
      EXPECT_EQ(dir.read("iDOS"), c.expected) << c.name;
    }
  }
}

TEST(E2eTotal, ExistingOutputIsEmptiedFirst) {
  Crafted zero;
  zero.natoms = 1;
  zero.npoints = 0;
  // No total block: line 7 is counted for NTCOL, line 8 for NPCOL.
  const std::string empty = e2e::joinLines(zero.headerLines()) + "  0.1000E+01  0.1000E+01\n" +
                            e2e::dataLine(1.0, std::vector<double>(9, 1.0)) + "\n";
  // As VASP writes it: lines 7 and 8 are block-header lines without any E,
  // so both column counts are 0 and no data-line format is valid.
  Crafted bare = zero;
  bare.natoms = 2;
  std::string longer;
  for (int i = 0; i < 50; ++i) longer += "line " + std::to_string(i) + " of a former run\n";
  struct Case {
    const char* name;
    std::string doscar, before, after;
  };
  const std::vector<Case> cases = {{"no grid point, no former file", empty, "", ""},
                                   {"no grid point, no value column", bare.text(), "", ""},
                                   {"no grid point, former file", empty, longer, ""},
                                   {"former file longer", Crafted{}.text(), longer, kShifted}};
  for (const auto& c : cases) {
    TempDir dir;
    dir.write("DOSCAR", c.doscar);
    if (!c.before.empty()) dir.write("iDOS", c.before);
    Result r = dir.run({"-t"});
    EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
    EXPECT_EQ(e2e::lastLine(r.out), " ") << c.name << ": success box expected";
    ASSERT_TRUE(dir.exists("iDOS")) << c.name;
    EXPECT_EQ(dir.read("iDOS"), c.after) << c.name;
  }
}

TEST(E2eTotal, LineEndingsDoNotChangeTheResult) {
  const std::string lf = Crafted{}.text();
  std::string crlf;
  for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  TempDir ref;
  ref.write("DOSCAR", lf);
  Result rt = ref.run({"-t"});
  Result ra = ref.run({"-a"});
  ASSERT_EQ(ref.read("iDOS"), kShifted);
  ASSERT_EQ(ref.entries(), (Lines{"DOSCAR", "iDOS", "iLDOS001", "iLDOS002"}));
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"CRLF", crlf},
      {"no final LF", lf.substr(0, lf.size() - 1)},
      {"CRLF, no final CRLF", crlf.substr(0, crlf.size() - 2)}};
  for (const auto& [name, text] : cases) {
    TempDir dir;
    dir.write("DOSCAR", text);
    Result t = dir.run({"-t"});
    Result a = dir.run({"-a"});
    EXPECT_EQ(t.status, 0) << name << "\n" << t.err;
    EXPECT_EQ(a.status, 0) << name << "\n" << a.err;
    EXPECT_EQ(e2e::afterBanner(t), e2e::afterBanner(rt)) << name;
    EXPECT_EQ(e2e::afterBanner(a), e2e::afterBanner(ra)) << name;
    EXPECT_EQ(dir.entries(), ref.entries()) << name;
    for (const char* f : {"iDOS", "iLDOS001", "iLDOS002"}) {
      if (dir.exists(f)) {
        EXPECT_EQ(dir.read(f), ref.read(f)) << name << ": " << f;
      }
    }
  }
}

// Runs that end in a run-time diagnostic on standard error.
TEST(E2eTotal, RunTimeFailures) {
  const std::string text = Crafted{}.text();
  const Lines lines = e2e::splitLines(text);
  auto withLine = [&](size_t index, const std::string& replacement) {
    Lines l = lines;
    l[index] = replacement;
    return e2e::joinLines(l);
  };
  auto first = [&](long n) { return e2e::joinLines(Lines(lines.begin(), lines.begin() + n)); };
  std::string lower = text;
  std::replace(lower.begin(), lower.end(), 'E', 'e');
  const std::string opening = " Opening DOSCAR file...";
  const std::string grid = " Number of grid points:    3";
  const std::string creating = " Creating output file...";
  const char* eof = "end-of-file during read";
  const char* conv = "input conversion error";
  struct Case {
    const char* name;
    std::string doscar;
    Lines args;
    int status;
    std::string lastOut;
    const char* message;
    int osError;       // 0: no operating-system line first
    std::string file;  // as named in the diagnostic, relative to the directory
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"empty DOSCAR", "", {"-t"}, 24, opening, eof, 0, "DOSCAR"},
      {"ends after line 5", first(5), {"-t"}, 24, opening, eof, 0, "DOSCAR"},
      {"total block cut short", first(8), {"-t"}, 24, opening, eof, 0, "DOSCAR"},
      {"no atom block", first(9), {"-t"}, 24, opening, eof, 0, "DOSCAR"},
      {"atom block without data", first(10), {"-t"}, 24, opening, eof, 0, "DOSCAR"},
      {"letter in line 1", withLine(0, "  x2   2   1   0"), {"-t"}, 64, opening, conv, 0, "DOSCAR"},
      {"letter in line 6", withLine(5, "     10.00000000     -5.0000x000    3      0.50000000"),
       {"-t"}, 64, opening, conv, 0, "DOSCAR"},
      {"letter in a total data line", withLine(7, "      0.000  0.2x00E+02  0.2200E+02"),
       {"-t"}, 64, grid, conv, 0, "DOSCAR"},
      {"lower-case exponents: no column counted", lower, {"-t"}, 62, grid,
       "syntax error in format", 0, "DOSCAR"},
      {"99 columns", withLine(6, std::string(99, 'E')), {"-t"}, 64, grid, conv, 0, "DOSCAR"},
      {"100 columns", withLine(6, std::string(100, 'E')), {"-t"}, 66, grid,
       "output statement overflows record", 0, ""},
      {"missing directory", text, {"-t", "nodir/out"}, 29, creating, "file not found", ENOENT,
       "nodir/out"},
      {"directory as output", text, {"-t", "sub"}, 30, creating, "open failure", EISDIR, "sub"},
      {"regular file as directory", text, {"-t", "file/x"}, 43, creating,
       "file name specification error", ENOTDIR, "file/x"},
      {"full device", text, {"-t", "/dev/full"}, 38, creating, "error during write", ENOSPC,
       "/dev/full"},
  };
  // clang-format on
  for (const auto& c : cases) {
    TempDir dir;
    dir.write("DOSCAR", c.doscar);
    mkdir(dir.at("sub").c_str(), 0755);
    dir.write("file", "kept\n");
    const Lines before = dir.entries();
    Result r = dir.run(c.args);
    std::string err =
        c.osError == 0 ? "" : "pdsplit: " + std::string(std::strerror(c.osError)) + "\n";
    if (c.file.empty()) {
      err += e2e::severe(c.status, c.message, "internal", "column count");
    } else {
      err += e2e::severe(c.status, c.message, c.args.size() > 1 ? "11" : "10",
                         c.file[0] == '/' ? c.file : dir.at(c.file));
    }
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out << r.err;
    EXPECT_EQ(e2e::lastLine(r.out), c.lastOut) << c.name;
    EXPECT_EQ(r.err, err + "\n") << c.name;
    EXPECT_EQ(dir.entries(), before) << c.name << ": no output file may appear";
    EXPECT_EQ(dir.read("file"), "kept\n") << c.name;
  }
}

TEST(E2eTotal, MissingOrUnopenableDoscar) {
  struct Case {
    const char* name;
    std::function<void(TempDir&)> setup;
    Lines entries;
  };
  const std::vector<Case> cases = {
      {"no DOSCAR", [](TempDir&) {}, {}},
      {"dangling symlink",
       [](TempDir& d) { ASSERT_EQ(symlink("target", d.at("DOSCAR").c_str()), 0); },
       {"DOSCAR"}},
      {"symlink loop",
       [](TempDir& d) { ASSERT_EQ(symlink("DOSCAR", d.at("DOSCAR").c_str()), 0); },
       {"DOSCAR"}},
      {"lower-case name only", [](TempDir& d) { d.write("doscar", Crafted{}.text()); }, {"doscar"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    c.setup(dir);
    Result r = dir.run({"-t"});
    EXPECT_EQ(e2e::afterBanner(r),
              (Lines{" ::: TOTAL DOS :::", " Error! There is no DOSCAR in current directory"}))
        << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(dir.entries(), c.entries) << c.name << ": nothing may be created";
  }
}

TEST(E2eTotal, UnreadableDoscarGivesTheMissingMessageSkippedAsRoot) {
  // Root reads a file of mode 000 all the same; the symlink loop above covers
  // a refused open for root.
  if (geteuid() == 0) GTEST_SKIP() << "running as root: mode 000 does not stop reading";
  TempDir dir;
  dir.write("DOSCAR", Crafted{}.text());
  ASSERT_EQ(chmod(dir.at("DOSCAR").c_str(), 0), 0);
  Result r = dir.run({"-t"});
  EXPECT_EQ(e2e::afterBanner(r),
            (Lines{" ::: TOTAL DOS :::", " Error! There is no DOSCAR in current directory"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir.entries(), Lines{"DOSCAR"});
}

// Argument errors and refused names: reported after the Fermi line, before
// any file is made.
TEST(E2eTotal, RefusedAfterTheSummary) {
  struct Case {
    const char* name;
    Lines args;
    std::string reason;
  };
  const std::string blank = "Wrong input argument(s)";
  const std::string self = "Output file would overwrite DOSCAR";
  TempDir probe;
  const std::string absolute = probe.at("DOSCAR");  // same length in every TempDir
  // clang-format off
  const std::vector<Case> cases = {
      {"too many arguments", {"-t", "a", "b"}, "Too many input argument(s)"},
      {"empty name", {"-t", ""}, blank},
      {"blank name", {"-t", "     "}, blank},
      {"40 blanks then text", {"-t", std::string(40, ' ') + "x"}, blank},
      {"DOSCAR", {"-ft", "DOSCAR"}, self},
      {"DOSCAR with trailing blanks", {"-t", "DOSCAR   "}, self},
      {"./DOSCAR", {"-t", "./DOSCAR"}, self},
      {"absolute path", {"-t", absolute}, self},
      {"symlink to DOSCAR", {"-t", "link"}, self},
      {"hard link to DOSCAR", {"-t", "hard"}, self},
  };
  // clang-format on
  for (auto c : cases) {
    TempDir dir;
    const std::string text = Crafted{}.text();
    dir.write("DOSCAR", text);
    if (c.args[1] == absolute) {
      if (absolute.size() > 40) continue;  // would be cut to 40 characters
      c.args[1] = dir.at("DOSCAR");
    }
    ASSERT_EQ(symlink("DOSCAR", dir.at("link").c_str()), 0);
    ASSERT_EQ(link(dir.at("DOSCAR").c_str(), dir.at("hard").c_str()), 0);
    Result r = dir.run(c.args);
    EXPECT_EQ(e2e::afterBanner(r),
              concat({craftedPrefix(c.args[0] == "-t"), e2e::errorBox(c.reason)}))
        << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(dir.entries(), (Lines{"DOSCAR", "hard", "link"})) << c.name;
    EXPECT_EQ(dir.read("DOSCAR"), text) << c.name;
  }
}

// Lines computed by hand from the sample texts: energy less the Fermi level
// rounded to 3 decimals, values to 4 significant digits.
TEST(E2eSamples, TotalDosOfTheRealFiles) {
  struct Case {
    const char* sample;
    Lines classification;
    size_t lines, checked;  // line count, 1-based line checked
    const char* expected;
  };
  const std::string ns = " Calc. type: non-spin polarized", sp = " Calc. type: spin polarized";
  const std::string lm = " LDOS type: l,m-projected", spd = " Orbitals found: s p d";
  // clang-format off
  const std::vector<Case> cases = {
      {"nonspin-lm-4atoms-nedos10.DOSCAR", {ns, lm, spd}, 10, 1, "    -10.735 -0.1104E-42 -0.2099E-42"},
      {"nonspin-lm-4atoms-nedos10.DOSCAR", {ns, lm, spd}, 10, 10, "      6.375  0.0000E+00  0.2000E+02"},
      {"spin-l-1atom.DOSCAR", {sp, " LDOS type: l-projected", spd}, 301, 151,
       "      7.656  0.2446E-01  0.1276E+00  0.1580E+01  0.1351E+01"},
      {"spin-lm-57atoms.DOSCAR", {sp, lm, spd}, 31, 21,
       "     -3.361  0.2045E+01  0.1002E+01  0.8196E+02  0.7996E+02"},
      {"nonspin-lm-8atoms.DOSCAR", {ns, lm, spd}, 301, 1, "    -15.693  0.0000E+00  0.0000E+00"},
  };
  // clang-format on
  for (const auto& c : cases) {
    TempDir dir;
    dir.copySample(c.sample);
    Result r = dir.run({"-t"});
    EXPECT_EQ(r.status, 0) << c.sample;
    Lines out = e2e::afterBanner(r);
    ASSERT_GE(out.size(), 6u) << c.sample;
    EXPECT_EQ(Lines(out.begin() + 3, out.begin() + 6), c.classification) << c.sample;
    Lines file = e2e::splitLines(dir.read("iDOS"));
    ASSERT_EQ(file.size(), c.lines) << c.sample;
    EXPECT_EQ(file[c.checked - 1], c.expected) << c.sample;
  }
}

// With standard error sent where standard output goes (2>&1, as batch
// logs do), the console lines come first and the diagnostic after them.
TEST(E2eTotal, DiagnosticFollowsTheConsoleInOneStream) {
  std::string bad = Crafted{}.text();
  std::size_t line7 = 0;
  for (int i = 0; i < 6; ++i) line7 = bad.find('\n', line7) + 1;
  bad[bad.find('E', line7)] = 'x';  // the first value field of the total block
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {bad, {"-t"}}, {Crafted{}.text(), {"-t", "/dev/full"}}};
  for (const auto& [doscar, args] : cases) {
    TempDir dir;
    dir.writeDoscar(doscar);
    const Result apart = dir.run(args), merged = dir.run(args, true);
    ASSERT_FALSE(apart.err.empty()) << args.back();
    EXPECT_EQ(e2e::maskCpu(e2e::splitLines(merged.out)),
              e2e::maskCpu(e2e::splitLines(apart.out + apart.err)))
        << args.back();
  }
}

}  // namespace
