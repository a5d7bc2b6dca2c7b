// End-to-end tests of the per-atom operations (-a, -p) and the atom-group
// sums (-s1, -s2), run through the built binary.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "e2e.h"

using e2e::concat;
using e2e::Crafted;
using e2e::Lines;
using e2e::Result;
using e2e::TempDir;

namespace {

const char* const kAll = " ::: PROJECTED DOS FOR ALL ATOMS :::";
const char* const kOne = " ::: PROJECTED DOS FOR AN ATOM :::";
const char* const kRun = " ::: SUM PROJECTED DOS OF SEQUENTIAL ATOMS :::";
const char* const kList = " ::: SUM PROJECTED DOS OF DISCRETE ATOMS :::";

std::string titleOf(const std::string& option) {
  if (option.find('a') != std::string::npos) return kAll;
  if (option.find('p') != std::string::npos) return kOne;
  if (option.find("s1") != std::string::npos) return kRun;
  return kList;
}

// Five atoms, two grid points, nine columns, Fermi level 0.5.
Crafted fiveAtoms() {
  Crafted c;
  c.natoms = 5;
  c.npoints = 2;
  return c;
}

// Console from the title to the Fermi line for a non-spin l,m file.
Lines prefix(const std::string& title, int natoms, int npoints, bool shifted) {
  char atoms[64], points[64];
  std::snprintf(atoms, sizeof atoms, " Number of atoms: %4d", natoms);
  std::snprintf(points, sizeof points, " Number of grid points:%5d", npoints);
  return {title,
          " Opening DOSCAR file...",
          " System name: crafted",
          " Calc. type: non-spin polarized",
          " LDOS type: l,m-projected",
          " Orbitals found: s p d",
          atoms,
          " Energy min (eV):   -5.000",
          " Energy max (eV):   10.000",
          " Fermi level (eV):    0.500",
          points,
          " Closing DOSCAR file...",
          shifted ? " Fermi level is shifted" : " Fermi level is not shifted"};
}

// The value a DOSCAR field holds once read back: what the file text says.
double asRead(double v) {
  return std::stod(e2e::eField(v));
}
double energyAsRead(double e) {
  return std::stod(e2e::dataLine(e, {}));
}

// Expected file of one atom: its own energies less the shift, values as read.
std::string expectedAtom(const Crafted& c, int a, double shift) {
  std::string s;
  for (int j = 1; j <= c.npoints; ++j) {
    std::vector<double> v;
    for (int k = 1; k <= c.npcol; ++k) v.push_back(asRead(c.atomValue(a, j, k)));
    s += e2e::dataLine(energyAsRead(c.atomEnergy(a, j)) - shift, v) + "\n";
  }
  return s;
}

// Expected sum file: atom 1's energies, values added in the order given.
std::string expectedSum(const Crafted& c, const std::vector<int>& atoms, double shift) {
  std::string s;
  for (int j = 1; j <= c.npoints; ++j) {
    std::vector<double> v(static_cast<size_t>(c.npcol), 0.0);
    for (int a : atoms) {
      for (int k = 1; k <= c.npcol; ++k)
        v[static_cast<size_t>(k - 1)] += asRead(c.atomValue(a, j, k));
    }
    s += e2e::dataLine(energyAsRead(c.atomEnergy(1, j)) - shift, v) + "\n";
  }
  return s;
}

std::string blankArgError(int position) {
  return e2e::severe(24, "end-of-file during read", "internal",
                     "command-line argument " + std::to_string(position)) +
         "\n";
}

// One table row for -p, -s1 or -s2 on the five-atom file.
struct Case {
  Lines args;
  std::string file;     // written file; empty for an error
  std::string content;  // its expected contents
  std::string reason;   // error box reason, or "" for success / status 24
  int status;
  int blankArg = 0;  // argument position named by the status-24 diagnostic
};

void runTable(const std::vector<Case>& cases, const Crafted& doscar) {
  const std::string text = doscar.text();
  for (const auto& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += "[" + a + "]";
    TempDir dir;
    dir.write("DOSCAR", text);
    Result r = dir.run(c.args);
    const bool shifted = c.args[0].find('f') == std::string::npos;
    const Lines pre = prefix(titleOf(c.args[0]), doscar.natoms, doscar.npoints, shifted);
    EXPECT_EQ(r.status, c.status) << name << "\n" << r.out << r.err;
    if (!c.file.empty()) {
      EXPECT_EQ(e2e::afterBanner(r), concat({pre, {" Creating output file..."}, e2e::successEnd()}))
          << name;
      Lines expected = {"DOSCAR", c.file};
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(dir.entries(), expected) << name;
      if (dir.exists(c.file)) {
        EXPECT_EQ(dir.read(c.file), c.content) << name;
      }
      EXPECT_EQ(r.err, "") << name;
    } else if (!c.reason.empty()) {
      EXPECT_EQ(e2e::afterBanner(r), concat({pre, e2e::errorBox(c.reason)})) << name;
      EXPECT_EQ(dir.entries(), Lines{"DOSCAR"}) << name;
      EXPECT_EQ(r.err, "") << name;
    } else {
      EXPECT_EQ(e2e::afterBanner(r), pre) << name;
      EXPECT_EQ(r.err, blankArgError(c.blankArg)) << name;
      EXPECT_EQ(dir.entries(), Lines{"DOSCAR"}) << name;
    }
  }
}

const std::string kWrongIndex = "Wrong atomic index(es)";
const std::string kNoAtom = "No atom specified";
const std::string kTooMany = "Too many input argument(s)";
const std::string kWrongArg = "Wrong input argument(s)";
const std::string kSelf = "Output file would overwrite DOSCAR";

TEST(E2eProjected, HandCheckedLinesOfTheCraftedFile) {
  // Atom a, point j: energy j - 2 + a/100, values 100a + 10j + k.
  const Crafted c = fiveAtoms();
  EXPECT_EQ(e2e::splitLines(expectedAtom(c, 2, 0.5))[0],
            "     -1.480  0.2110E+03  0.2120E+03  0.2130E+03  0.2140E+03  0.2150E+03"
            "  0.2160E+03  0.2170E+03  0.2180E+03  0.2190E+03");
  EXPECT_EQ(e2e::splitLines(expectedSum(c, {2, 3, 4, 5}, 0.5))[1],
            "     -0.490  0.1484E+04  0.1488E+04  0.1492E+04  0.1496E+04  0.1500E+04"
            "  0.1504E+04  0.1508E+04  0.1512E+04  0.1516E+04");
  TempDir dir;
  dir.write("DOSCAR", c.text());
  EXPECT_EQ(dir.run({"-p", "2"}).status, 0);
  EXPECT_EQ(dir.read("iLDOS002"), expectedAtom(c, 2, 0.5));
  // With no shift the output is the atom's block as it stands in the input.
  EXPECT_EQ(dir.run({"-fp", "2"}).status, 0);
  EXPECT_EQ(dir.read("iLDOS002"), e2e::joinLines(c.atomLines(2)));
}

TEST(E2eProjected, OneAtomIndexTexts) {
  const Crafted c = fiveAtoms();
  auto atom = [&](int a, double shift = 0.5) { return expectedAtom(c, a, shift); };
  // clang-format off
  const std::vector<Case> cases = {
      {{"-p", "1"}, "iLDOS001", atom(1), "", 0},
      {{"-p", "5"}, "iLDOS005", atom(5), "", 0},
      {{"-p", "002"}, "iLDOS002", atom(2), "", 0},
      {{"-p", "+2"}, "iLDOS002", atom(2), "", 0},
      {{"-p", "2.7"}, "iLDOS002", atom(2), "", 0},
      {{"-p", "  3"}, "iLDOS003", atom(3), "", 0},
      {{"-p", "2,5"}, "iLDOS002", atom(2), "", 0},
      {{"-p", "3*4"}, "iLDOS004", atom(4), "", 0},
      {{"-p", "1e0"}, "iLDOS001", atom(1), "", 0},
      {{"-p", "00002x"}, "iLDOS002", atom(2), "", 0},  // only the first five count
      {{"-p", "2", "LDOS2"}, "LDOS2002", atom(2), "", 0},
      {{"-p", "2", "LDOS2   "}, "LDOS2002", atom(2), "", 0},
      {{"-fp", "3"}, "iLDOS003", atom(3, 0.0), "", 0},
      {{"-pf", "3", "P"}, "P003", atom(3, 0.0), "", 0},
      {{"-p", "0"}, "", "", kWrongIndex, 1},
      {{"-p", "6"}, "", "", kWrongIndex, 1},
      {{"-p", "-1"}, "", "", kWrongIndex, 1},
      {{"-p", "x"}, "", "", kWrongIndex, 1},
      {{"-p", "2a"}, "", "", kWrongIndex, 1},
      {{"-p", "-"}, "", "", kWrongIndex, 1},
      {{"-p", ","}, "", "", kWrongIndex, 1},
      {{"-p", "/"}, "", "", kWrongIndex, 1},
      {{"-p", "1234567"}, "", "", kWrongIndex, 1},
      {{"-p", "0000002"}, "", "", kWrongIndex, 1},
      {{"-p", "x", "name"}, "", "", kWrongIndex, 1},
      {{"-p"}, "", "", kNoAtom, 1},
      {{"-p", "1", "2", "3"}, "", "", kTooMany, 1},
      // A blank stem leaves the atom number alone as the name.
      {{"-p", "2", ""}, "002", atom(2), "", 0},
      {{"-p", "2", std::string(40, ' ') + "tail"}, "002", atom(2), "", 0},
      {{"-p", ""}, "", "", "", 24, 2},
      {{"-p", "     7"}, "", "", "", 24, 2},
  };
  // clang-format on
  runTable(cases, c);
}

TEST(E2eProjected, AllAtomsNames) {
  const Crafted c = fiveAtoms();
  const std::string stem38 = "abcdefghijklmnopqrstuvwxyz0123456789AB";
  const std::string stem45 = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHI";
  struct Row {
    Lines args;
    std::string stem;  // expected stem of the five names
  };
  const std::vector<Row> rows = {
      {{"-a"}, "iLDOS"},        {{"-fa"}, "iLDOS"},
      {{"-af"}, "iLDOS"},       {{"-a", "LDOS"}, "LDOS"},
      {{"-a", "ab   "}, "ab"},  {{"-a", "123"}, "123"},
      {{"-a", stem38}, stem38}, {{"-a", stem45}, stem45.substr(0, 40)},
      {{"-a", ""}, ""},         {{"-a", "   "}, ""},
  };
  for (const auto& row : rows) {
    const std::string name = row.args[0] + (row.args.size() > 1 ? " [" + row.args[1] + "]" : "");
    const bool shifted = row.args[0] == "-a";
    TempDir dir;
    dir.write("DOSCAR", c.text());
    Result r = dir.run(row.args);
    EXPECT_EQ(r.status, 0) << name << "\n" << r.err;
    EXPECT_EQ(
        e2e::afterBanner(r),
        concat({prefix(kAll, 5, 2, shifted), {" Creating output files..."}, e2e::successEnd()}))
        << name;
    Lines expected = {"DOSCAR"};
    for (int a = 1; a <= 5; ++a) expected.push_back(row.stem + "00" + std::to_string(a));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.entries(), expected) << name;
    for (int a = 1; a <= 5; ++a) {
      const std::string f = row.stem + "00" + std::to_string(a);
      if (dir.exists(f)) {
        EXPECT_EQ(dir.read(f), expectedAtom(c, a, shifted ? 0.5 : 0.0)) << f;
      }
    }
  }
}

TEST(E2eProjected, StemRefusals) {
  const Crafted c = fiveAtoms();
  struct Row {
    const char* name;
    Lines args;
    std::string reason;
    std::function<void(TempDir&)> setup;
  };
  const std::vector<Row> rows = {
      {"two arguments", {"-a", "x", "y"}, kTooMany, [](TempDir&) {}},
      {"a later name is DOSCAR",
       {"-a", "x"},
       kSelf,
       [](TempDir& d) { ASSERT_EQ(symlink("DOSCAR", d.at("x004").c_str()), 0); }},
      {"-p name is DOSCAR",
       {"-p", "2", "L"},
       kSelf,
       [](TempDir& d) { ASSERT_EQ(symlink("DOSCAR", d.at("L002").c_str()), 0); }},
  };
  for (const auto& row : rows) {
    TempDir dir;
    dir.write("DOSCAR", c.text());
    row.setup(dir);
    const Lines before = dir.entries();
    Result r = dir.run(row.args);
    EXPECT_EQ(e2e::afterBanner(r),
              concat({prefix(titleOf(row.args[0]), 5, 2, true), e2e::errorBox(row.reason)}))
        << row.name;
    EXPECT_EQ(r.status, 1) << row.name;
    EXPECT_EQ(dir.entries(), before) << row.name << ": nothing may be written";
  }
}

TEST(E2eProjected, AllAtomsOnZeroAtoms) {
  Crafted c;
  c.natoms = 0;
  // The header reader still counts NPCOL on the line after the total block.
  std::string text = c.text() + e2e::energyLine(10, -5, 3, 0.5) + "\n" +
                     e2e::dataLine(1.0, std::vector<double>(9, 1.0)) + "\n";
  TempDir dir;
  dir.write("DOSCAR", text);
  Result r = dir.run({"-a"});
  EXPECT_EQ(e2e::afterBanner(r),
            concat({prefix(kAll, 0, 3, true), {" Creating output files..."}, e2e::successEnd()}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir.entries(), Lines{"DOSCAR"});
}

TEST(E2eProjected, ThousandAtomsKeepTheWholeNumber) {
  Crafted c;
  c.natoms = 1000;
  c.npoints = 1;
  c.npcol = 3;
  c.atomValue = [](int a, int, int k) { return k == 1 ? a : k; };
  TempDir dir;
  dir.write("DOSCAR", c.text());
  Result r = dir.run({"-a"});
  ASSERT_EQ(r.status, 0) << r.err;
  Lines names = dir.entries();
  EXPECT_EQ(names.size(), 1001u);
  // Energy of atom a: -1 + a/100, less the Fermi level 0.5.
  EXPECT_EQ(dir.read("iLDOS001"), "     -1.490  0.1000E+01  0.2000E+01  0.3000E+01\n");
  EXPECT_EQ(dir.read("iLDOS999"), "      8.490  0.9990E+03  0.2000E+01  0.3000E+01\n");
  ASSERT_TRUE(dir.exists("iLDOS1000"));
  EXPECT_EQ(dir.read("iLDOS1000"), "      8.500  0.1000E+04  0.2000E+01  0.3000E+01\n");
  for (const auto& n : names) EXPECT_EQ(n.find('*'), std::string::npos) << n;

  TempDir one;
  one.write("DOSCAR", c.text());
  r = one.run({"-fp", "1000", "stem"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(one.entries(), (Lines{"DOSCAR", "stem1000"}));
  if (one.exists("stem1000")) {
    EXPECT_EQ(one.read("stem1000"), "      9.000  0.1000E+04  0.2000E+01  0.3000E+01\n");
  }
}

TEST(E2eSums, SequentialAtoms) {
  const Crafted c = fiveAtoms();
  auto sum = [&](std::vector<int> atoms, double shift = 0.5) {
    return expectedSum(c, atoms, shift);
  };
  // clang-format off
  const std::vector<Case> cases = {
      {{"-s1", "2", "5"}, "iSUMDOS", sum({2, 3, 4, 5}), "", 0},
      {{"-s1", "5", "2"}, "iSUMDOS", sum({2, 3, 4, 5}), "", 0},
      {{"-s1", "3", "3"}, "iSUMDOS", sum({3}), "", 0},
      {{"-s1", "1", "5", "out"}, "out", sum({1, 2, 3, 4, 5}), "", 0},
      {{"-s1", "1", "2", "out  "}, "out", sum({1, 2}), "", 0},
      {{"-s1", "2,", "003"}, "iSUMDOS", sum({2, 3}), "", 0},
      {{"-fs1", "1", "2"}, "iSUMDOS", sum({1, 2}, 0.0), "", 0},
      {{"-s1f", "4", "5", "S"}, "S", sum({4, 5}, 0.0), "", 0},
      {{"-s1"}, "", "", kNoAtom, 1},
      {{"-s1", "2"}, "", "", "Too few input argument(s)", 1},
      {{"-s1", "1", "2", "out", "x"}, "", "", kTooMany, 1},
      {{"-s1", "0", "2"}, "", "", kWrongIndex, 1},
      {{"-s1", "2", "99"}, "", "", kWrongIndex, 1},
      {{"-s1", "2", "x"}, "", "", kWrongIndex, 1},
      {{"-s1", "x", "2"}, "", "", kWrongIndex, 1},
      {{"-s1", "x", ""}, "", "", kWrongIndex, 1},  // the second end is never read
      {{"-s1", "1", "2", "  "}, "", "", kWrongArg, 1},
      {{"-s1", "1", "2", "DOSCAR"}, "", "", kSelf, 1},
      {{"-s1", "", "2"}, "", "", "", 24, 2},
      {{"-s1", "0", ""}, "", "", "", 24, 3},
  };
  // clang-format on
  runTable(cases, c);
}

TEST(E2eSums, ListedAtoms) {
  const Crafted c = fiveAtoms();
  auto sum = [&](std::vector<int> atoms, double shift = 0.5) {
    return expectedSum(c, atoms, shift);
  };
  // clang-format off
  const std::vector<Case> cases = {
      {{"-s2", "1", "3", "4"}, "iSUMDOS", sum({1, 3, 4}), "", 0},
      {{"-s2", "1", "3", "4", "out"}, "out", sum({1, 3, 4}), "", 0},
      {{"-s2", "4"}, "iSUMDOS", sum({4}), "", 0},
      {{"-s2", "2", "2"}, "iSUMDOS", sum({2, 2}), "", 0},
      {{"-s2", "5", "1", "5", "x"}, "x", sum({5, 1, 5}), "", 0},
      {{"-s2", "1", "2", "3"}, "iSUMDOS", sum({1, 2, 3}), "", 0},  // a number is no name
      {{"-fs2", "1", "2"}, "iSUMDOS", sum({1, 2}, 0.0), "", 0},
      {{"-s2f", "1", "2", "F"}, "F", sum({1, 2}, 0.0), "", 0},
      {{"-s2"}, "", "", kNoAtom, 1},
      {{"-s2", "out"}, "", "", kWrongIndex, 1},
      {{"-s2", "out", "1"}, "", "", kWrongIndex, 1},
      {{"-s2", "0"}, "", "", kWrongIndex, 1},
      {{"-s2", "1", "x", "2"}, "", "", kWrongIndex, 1},
      {{"-s2", "1", "out", ""}, "", "", kWrongIndex, 1},
      {{"-s2", "1", "2", "12345.dat"}, "", "", kWrongIndex, 1},
      {{"-s2", "1", "6", "out"}, "", "", kWrongIndex, 1},
      {{"-s2", "1", "2", "DOSCAR"}, "", "", kSelf, 1},
      {{"-s2", ""}, "", "", "", 24, 2},
      {{"-s2", "1", "", "out"}, "", "", "", 24, 3},
      {{"-s2", "1", "2", "  "}, "", "", "", 24, 4},
  };
  // clang-format on
  runTable(cases, c);
}

TEST(E2eSums, ListsLongerThanAHundredAtoms) {
  Crafted c;
  c.natoms = 150;
  c.npoints = 1;
  c.npcol = 3;
  c.atomValue = [](int a, int, int k) { return a * k; };
  TempDir dir;
  dir.write("DOSCAR", c.text());
  Lines all = {"-s2"};
  for (int a = 1; a <= 150; ++a) all.push_back(std::to_string(a));
  Result r = dir.run(all);
  EXPECT_EQ(r.status, 0) << r.err;
  // 1 + ... + 150 = 11325 and its multiples: 1132.5 and 3397.5 are ties.
  ASSERT_TRUE(dir.exists("iSUMDOS"));
  EXPECT_EQ(dir.read("iSUMDOS"), "     -1.490  0.1132E+05  0.2265E+05  0.3398E+05\n");

  Lines repeated = {"-s2"};
  for (int i = 0; i < 120; ++i) repeated.push_back("1");
  repeated.push_back("ones");
  r = dir.run(repeated);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(dir.exists("ones"));
  EXPECT_EQ(dir.read("ones"), "     -1.490  0.1200E+03  0.2400E+03  0.3600E+03\n");
}

TEST(E2eProjected, DamagedAtomBlocks) {
  const Lines lines = e2e::splitLines(fiveAtoms().text());
  auto cut = [&](long n) { return e2e::joinLines(Lines(lines.begin(), lines.end() - n)); };
  auto lastLineWith = [&](size_t pos, const std::string& field) {
    Lines l = lines;
    l.back().replace(pos, field.size(), field);
    return e2e::joinLines(l);
  };
  const char* eof = "end-of-file during read";
  const char* conv = "input conversion error";
  const std::vector<std::tuple<const char*, std::string, int, const char*>> rows = {
      {"last data line missing", cut(1), 24, eof},
      {"last atom block missing", cut(3), 24, eof},
      {"malformed value in the last line", lastLineWith(23, "  0.5x20E+03"), 64, conv},
      {"malformed energy in the last line", lastLineWith(0, "      -0.0-"), 64, conv}};
  for (const auto& [name, text, status, message] : rows) {
    TempDir dir;
    dir.write("DOSCAR", text);
    Result r = dir.run({"-a"});
    EXPECT_EQ(r.status, status) << name;
    EXPECT_EQ(e2e::lastLine(r.out), " Number of grid points:    2") << name;
    EXPECT_EQ(r.err, e2e::severe(status, message, "10", dir.at("DOSCAR")) + "\n") << name;
    EXPECT_EQ(dir.entries(), Lines{"DOSCAR"}) << name;
    EXPECT_EQ(dir.run({"-t"}).status, 0) << name << ": -t never reads that far";
  }
}

TEST(E2eProjected, TolerantAtomBlocks) {
  const Crafted c = fiveAtoms();
  Lines lines = e2e::splitLines(c.text());
  // Atom 2's block-header line is line 7 + NPOINTS + (NPOINTS + 1).
  lines[6 + 2 + 3] = "not a block header at all";
  // The last line loses its last four value fields: they read as zero.
  lines.back() = lines.back().substr(0, 11 + 5 * 12);
  TempDir dir;
  dir.write("DOSCAR", e2e::joinLines(lines) + "trailing junk\n1 2 3\n");
  Result r = dir.run({"-fa"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.read("iLDOS002"), e2e::joinLines(c.atomLines(2)));
  EXPECT_EQ(e2e::splitLines(dir.read("iLDOS005"))[1],
            "      0.050  0.5210E+03  0.5220E+03  0.5230E+03  0.5240E+03  0.5250E+03"
            "  0.0000E+00  0.0000E+00  0.0000E+00  0.0000E+00");
}

TEST(E2eProjected, HeaderClaimingTooMuchMemory) {
  // 8192 atoms x 16384 points x (3 + 1) columns x 8 bytes = 2^32 bytes. The
  // file holds only the header and the lines the header reader looks at, so
  // reading any block would fail: the refusal has to come first.
  Crafted c;
  c.natoms = 8192;
  c.npoints = 16384;
  c.npcol = 3;
  std::string text = e2e::joinLines(c.headerLines()) + e2e::dataLine(1.0, {1.0, 1.0}) + "\n" +
                     std::string(16384, '\n') + e2e::dataLine(1.0, {1.0, 1.0, 1.0}) + "\n";
  for (const Lines& args : {Lines{"-a"}, Lines{"-p", "1"}, Lines{"-s2", "1", "2"}}) {
    TempDir dir;
    dir.write("DOSCAR", text);
    Result r = dir.run(args);
    EXPECT_EQ(r.err, "Allocate input array failed!\n") << args[0];
    EXPECT_EQ(r.status, 1) << args[0];
    Lines out = e2e::afterBanner(r);
    ASSERT_GE(out.size(), 11u) << args[0];
    EXPECT_EQ(out.back(), " Number of grid points:16384") << args[0];
    EXPECT_EQ(out[5], " Orbitals found: s p d") << args[0];
    EXPECT_EQ(dir.entries(), Lines{"DOSCAR"}) << args[0];
  }
}

TEST(E2eProjected, MissingDoscar) {
  for (const Lines& args : {Lines{"-a"}, Lines{"-p", "1"}, Lines{"-s1", "1", "2"}}) {
    TempDir dir;
    Result r = dir.run(args);
    EXPECT_EQ(e2e::afterBanner(r),
              (Lines{titleOf(args[0]), " Error! There is no DOSCAR in current directory"}))
        << args[0];
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(dir.entries(), Lines{}) << args[0];
  }
}

// Lines computed by hand from the sample texts: energy less the Fermi level
// rounded to 3 decimals, values (and sums of the values) to 4 significant digits.
TEST(E2eSamples, ProjectedAndSummedLines) {
  struct Row {
    const char* sample;
    Lines args;
    const char* file;
    size_t lines, checked;  // line count, 1-based line checked
    std::string expected;
  };
  const std::string z3 = "  0.0000E+00  0.0000E+00  0.0000E+00";
  const std::string z9 = z3 + z3 + z3;
  const char* const four = "nonspin-lm-4atoms-nedos10.DOSCAR";
  const char* const eight = "nonspin-lm-8atoms.DOSCAR";
  const char* const big = "spin-lm-57atoms.DOSCAR";
  // clang-format off
  const std::vector<Row> rows = {
      {four, {"-p", "3"}, "iLDOS003", 10, 5,
       "     -3.130  0.1163E+00  0.2961E-01  0.2961E-01  0.2961E-01" + z3 + "  0.0000E+00  0.0000E+00"},
      {four, {"-s1", "1", "4"}, "iSUMDOS", 10, 5,
       "     -3.130  0.4652E+00  0.1184E+00  0.1184E+00  0.1184E+00" + z3 + "  0.0000E+00  0.0000E+00"},
      {four, {"-fs1", "4", "3"}, "iSUMDOS", 10, 5,
       "      4.165  0.2326E+00  0.5922E-01  0.5922E-01  0.5922E-01" + z3 + "  0.0000E+00  0.0000E+00"},
      {"spin-l-1atom.DOSCAR", {"-fa"}, "iLDOS001", 301, 150,
       "      8.145  0.5678E-02  0.3204E-02  0.8020E-01  0.3487E+00  0.0000E+00  0.0000E+00"},
      {eight, {"-p", "8"}, "iLDOS008", 301, 201,
       "      1.518  0.9108E-02  0.3357E-05  0.1352E-05  0.4339E-02  0.2642E-06  0.5751E-03"
       "  0.1233E-02  0.7351E-09  0.1589E-02"},
      {eight, {"-s2", "8", "1", "8"}, "iSUMDOS", 301, 201,
       "      1.518  0.2232E-01  0.4559E-02  0.4558E-02  0.2062E-01  0.1172E-02  0.3872E-02"
       "  0.2512E-02  0.1171E-02  0.3317E-02"},
      {eight, {"-s2", "2", "3", "4", "5", "6", "7", "mid"}, "mid", 301, 251,
       "      5.821  0.1887E+00  0.3627E+00  0.4097E+00  0.3374E+00  0.1109E+00  0.8173E-01"
       "  0.5481E-01  0.8394E-01  0.4288E-01"},
      {big, {"-p", "57"}, "iLDOS057", 31, 15,
       "     -9.122  0.2283E-01  0.2251E-01  0.2503E-01  0.2135E-01  0.1659E-17  0.1652E-17"
       "  0.2503E-01  0.2135E-01" + z9 + "  0.0000E+00"},
      {big, {"-s1", "57", "1"}, "iSUMDOS", 31, 16,
       "     -8.161  0.5144E-01  0.4952E-01  0.4218E+00  0.4227E+00  0.3929E-15  0.3895E-15"
       "  0.4218E+00  0.4227E+00  0.8570E-09  0.2326E-09  0.4600E-17  0.3980E-17  0.1784E-22"
       "  0.7518E-23  0.4599E-17  0.3972E-17  0.3371E-18  0.2634E-18"},
  };
  // clang-format on
  for (const auto& row : rows) {
    const std::string name = std::string(row.sample) + " " + row.args[0];
    TempDir dir;
    dir.copySample(row.sample);
    Result r = dir.run(row.args);
    ASSERT_EQ(r.status, 0) << name << "\n" << r.err;
    ASSERT_TRUE(dir.exists(row.file)) << name;
    Lines file = e2e::splitLines(dir.read(row.file));
    ASSERT_EQ(file.size(), row.lines) << name;
    EXPECT_EQ(file[row.checked - 1], row.expected) << name;
  }
}

TEST(E2eSamples, AllAtomsOfTheLargestSample) {
  TempDir dir;
  dir.copySample("spin-lm-57atoms.DOSCAR");
  Result r = dir.run({"-a", "at"});
  ASSERT_EQ(r.status, 0) << r.err;
  Lines out = e2e::afterBanner(r);
  ASSERT_GE(out.size(), 11u);
  EXPECT_EQ(Lines(out.begin() + 2, out.begin() + 11),
            (Lines{" System name:  CuPcF", " Calc. type: spin polarized",
                   " LDOS type: l,m-projected", " Orbitals found: s p d", " Number of atoms:   57",
                   " Energy min (eV):  -26.938", " Energy max (eV):    1.867",
                   " Fermi level (eV):   -4.374", " Number of grid points:   31"}));
  Lines names = dir.entries();
  ASSERT_EQ(names.size(), 58u);
  EXPECT_EQ(names.front(), "DOSCAR");
  EXPECT_EQ(names[1], "at001");
  EXPECT_EQ(names.back(), "at057");
  for (size_t i = 1; i < names.size(); ++i) {
    Lines file = e2e::splitLines(dir.read(names[i]));
    EXPECT_EQ(file.size(), 31u) << names[i];
    for (const auto& l : file) EXPECT_EQ(l.size(), 11u + 18 * 12) << names[i];
  }
}

}  // namespace
