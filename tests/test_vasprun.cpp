// The parts of the vasprun.xml reader that the real files of the Python
// tests do not reach: field names of other VASP versions, and files larger
// than the scanner's window (4 MiB), whose searches, rows and line counts
// cross from one window to the next.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace pds
