// The parts of the vasprun.xml reader that the real files of the Python
// tests do not reach: field names of other VASP versions, and files larger
// than the scanner's window (4 MiB), whose searches, rows and line counts
// cross from one window to the next.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "vasprun/vasprun.h"

namespace pds {
namespace {

TEST(VasprunFields, NamesMapToDoscarColumns) {
  struct Row {
    const char* name;
    int orbital;
    bool lm;
  };
  const Row rows[] = {{"  s  ", 0, true},  {"p", 1, false},    {"f", 3, false},
                      {"py", 1, true},     {"x2-y2", 8, true}, {"dx2", 8, true},
                      {"dx2-y2", 8, true}, {"fy3x2", 9, true}, {"fx3", 15, true},
                      {"f-3", 9, true},    {"f3", 15, true},   {"energy", -1, true},
                      {"", -1, true},      {"pxy", -1, true}};
  for (const Row& r : rows) {
    bool lm = true;
    EXPECT_EQ(orbital_of_field(r.name, lm), r.orbital) << r.name;
    if (r.orbital >= 0) {
      EXPECT_EQ(lm, r.lm) << r.name;
    }
  }
}

// A vasprun.xml of `rows` grid points without spin, its <dos> after `pad`
// blanks and `filler` lines of 80 bytes.
std::string big_vasprun(int pad, int filler, int rows) {
  std::string t =
      "<?xml version=\"1.0\"?>\n<modeling>" + std::string(pad, ' ') + "\n <calculation>\n";
  for (int i = 0; i < filler; ++i) t += "  <v>" + std::string(73, ' ') + "</v>\n";
  t += "  <dos>\n   <i name=\"efermi\">  1.5 </i>\n   <total>\n    <array>\n"
       "     <field>energy</field>\n     <field>total</field>\n     <field>integrated</field>\n"
       "     <set>\n      <set comment=\"spin 1\">\n";
  for (int j = 0; j < rows; ++j) {
    t += "       <r> " + std::to_string(j) + ".25 0.5 " + std::to_string(j) + " </r>\n";
  }
  return t + "      </set>\n     </set>\n    </array>\n   </total>\n  </dos>\n";
}

TEST(VasprunScan, BlocksAndRowsAcrossWindows) {
  // "<dos" across the end of the first window (at byte 4194304), just
  // before it, and well after it.
  for (const auto& [pad, filler] : {std::pair{12, 52428}, {14, 52428}, {0, 52428}, {0, 60000}}) {
    const std::string text = big_vasprun(pad, filler, 200000);
    ReadOptions o;
    const DoscarData d = read_vasprun(memory_source(text.data(), text.size()), "big", o);
    ASSERT_EQ(d.h.NPOINTS, 200000);
    EXPECT_EQ(d.h.EFERMI, 1.5);
    const double* last = d.totals[0].data() + 3 * 199999;
    EXPECT_EQ(last[0], 199999.25);
    EXPECT_EQ(last[2], 199999.0);
    // A bad value on the last row is located by its line, counted over
    // every window passed.
    std::string bad = text;
    bad.replace(bad.rfind("199999.25"), 9, "199999.2x");
    try {
      read_vasprun(memory_source(bad.data(), bad.size()), "big", o);
      FAIL() << "not refused";
    } catch (const Failure& f) {
      EXPECT_EQ(f.detail().line, 3 + filler + 9 + 200000) << f.detail().text;
      EXPECT_EQ(f.cause(), "not-a-number");
      EXPECT_EQ(f.detail().first_column, 12);
    }
  }
}

// A spin-polarised vasprun.xml with l,m-projected <partial> blocks of
// `atoms` atoms and `rows` grid points: large enough for its spin sets to be
// read as pieces on worker threads. Value k of row j of set `set` of atom a
// is a + j / 8 + k / 100 + set / 1000, written with four decimals.
std::string partial_vasprun(int atoms, int rows) {
  static const char* kFields[] = {"s", "py", "pz", "px", "dxy", "dyz", "dz2", "dxz", "x2-y2"};
  std::string t =
      "<?xml version=\"1.0\"?>\n<modeling>\n <parameters>\n"
      "  <i type=\"int\" name=\"ISPIN\">     2</i>\n </parameters>\n"
      " <atominfo>\n  <atoms>" +
      std::to_string(atoms) + "</atoms>\n  <array name=\"atoms\">\n   <set>\n" +
      [atoms] {
        std::string rc;
        for (int a = 0; a < atoms; ++a) rc += "    <rc><c>Fe</c><c>1</c></rc>\n";
        return rc;
      }() +
      "   </set>\n  </array>\n </atominfo>\n <calculation>\n  <dos>\n" +
      "   <i name=\"efermi\">  1.5 </i>\n   <total>\n    <array>\n"
      "     <field>energy</field>\n     <field>total</field>\n"
      "     <field>integrated</field>\n     <set>\n";
  char value[32];
  const auto put = [&](double v) {
    std::snprintf(value, sizeof value, " %10.4f", v);
    t += value;
  };
  for (int set = 0; set < 2; ++set) {
    t += "      <set comment=\"spin " + std::to_string(set + 1) + "\">\n";
    for (int j = 0; j < rows; ++j) {
      t += "       <r>";
      for (int k = 0; k < 3; ++k) put(j / 8.0 + k);
      t += " </r>\n";
    }
    t += "      </set>\n";
  }
  t += "     </set>\n    </array>\n   </total>\n   <partial>\n    <array>\n"
       "     <field>energy</field>\n";
  for (const char* f : kFields) t += "     <field>" + std::string(f) + "</field>\n";
  t += "     <set>\n";
  for (int a = 1; a <= atoms; ++a) {
    t += "      <set comment=\"ion " + std::to_string(a) + "\">\n";
    for (int set = 0; set < 2; ++set) {
      t += "       <set comment=\"spin " + std::to_string(set + 1) + "\">\n";
      for (int j = 0; j < rows; ++j) {
        t += "        <r>";
        put(j / 8.0);
        for (int k = 1; k < 10; ++k) put(a + j / 8.0 + k / 100.0 + set / 1000.0);
        t += " </r>\n";
      }
      t += "       </set>\n";
    }
    t += "      </set>\n";
  }
  return t + "     </set>\n    </array>\n   </partial>\n  </dos>\n </calculation>\n</modeling>\n";
}

TEST(VasprunPieces, WorkerThreadsReadAndRefuseAsOneThread) {
  const std::string good = partial_vasprun(8, 4000);
  // Replaces the first `from` in atom `atom`'s block.
  const auto replace = [](int atom, std::string from, std::string to) {
    return [=](std::string& t) {
      const std::size_t at =
          t.find(from, t.find("<set comment=\"ion " + std::to_string(atom) + "\""));
      t.replace(at, from.size(), to);
    };
  };
  struct Damage {
    const char* name;
    std::function<void(std::string&)> apply;
    const char* cause;  // "" read in full
  };
  const Damage damages[] = {
      {"whole", [](std::string&) {}, ""},
      {"bad number in atom 3's second spin set", replace(3, "   3.0110", "   3.01x0"),
       "not-a-number"},
      {"bad numbers in atoms 7 and 2",
       [&](std::string& t) {
         replace(7, "   7.0100", "   7.01x0")(t);
         replace(2, "   2.0100", "   2.01x0")(t);
       },
       "not-a-number"},
      {"row without </r>", replace(5, "   5.0900 </r>", "   5.0900 "), "malformed-xml"},
      {"row short of a value", replace(6, "   6.0900 </r>", " </r>"), "malformed-xml"},
      {"set short of a row",
       [](std::string& t) {
         const std::size_t end = t.find("       </set>", t.find("<set comment=\"ion 4\""));
         const std::size_t row = t.rfind("        <r>", end);
         t.erase(row, end - row);
       },
       "malformed-xml"},
      {"bad number in atom 2, cut inside atom 6",
       [&](std::string& t) {
         replace(2, "   2.0100", "   2.01x0")(t);
         t.resize(t.find("<set comment=\"ion 6\"") + 5000);
       },
       "not-a-number"},
      {"cut inside atom 6",
       [](std::string& t) { t.resize(t.find("<set comment=\"ion 6\"") + 5000); }, "truncated"},
  };
  for (const Damage& damage : damages) {
    std::string text = good;
    damage.apply(text);
    std::string outcome[2];
    std::vector<double> values[2];
    for (int threads = 0; threads < 2; ++threads) {
      ReadOptions o;
      o.second_thread = threads == 1;
      try {
        const DoscarData d = read_vasprun(memory_source(text.data(), text.size()), "x", o);
        values[threads].assign(d.pdos.data(), d.pdos.data() + d.pdos.size());
        outcome[threads] = "";
      } catch (const Failure& f) {
        outcome[threads] =
            f.cause() + " " + std::to_string(f.detail().first_column) + " " + f.detail().text;
      }
    }
    EXPECT_EQ(outcome[1], outcome[0]) << damage.name;
    EXPECT_EQ(values[1], values[0]) << damage.name;
    EXPECT_EQ(outcome[0].substr(0, outcome[0].find(' ')), damage.cause)
        << damage.name << ": " << outcome[0];
  }
  // Atom 8's x2-y2, spin down, at the last point: 8 + 3999/8 + 0.09 + 0.001.
  ReadOptions o;
  const DoscarData d = read_vasprun(memory_source(good.data(), good.size()), "x", o);
  ASSERT_EQ(d.pdos.size(), std::size_t{8} * 4000 * 19);
  EXPECT_EQ(d.pdos.data()[d.pdos.size() - 1], 507.966);
}

}  // namespace
}  // namespace pds
