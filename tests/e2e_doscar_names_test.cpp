// End-to-end tests of output names that end in DOSCAR: a name whose last
// component is exactly DOSCAR is refused in any folder, so that a DOSCAR of
// another run is never replaced; stems and other spellings are written.
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "e2e.h"

using e2e::Lines;
using e2e::Result;
using e2e::TempDir;

namespace {

const std::string kOtherRun = "DOSCAR of another run\n";

// The folder of one run, holding a two-atom DOSCAR and the DOSCARs of two
// other runs in runB/ and sub/.
void makeRuns(const TempDir& dir) {
  dir.write("DOSCAR", e2e::Crafted{}.text());
  for (const char* sub : {"runB", "sub"}) {
    ASSERT_EQ(mkdir(dir.at(sub).c_str(), 0700), 0);
    dir.write(std::string(sub) + "/DOSCAR", kOtherRun);
  }
}

std::string describe(const Lines& args) {
  std::string s;
  for (const auto& a : args) s += "[" + a + "]";
  return s;
}

TEST(E2eDoscarNames, LastComponentDoscarIsRefusedInAnyFolder) {
  TempDir dir;
  makeRuns(dir);
  const std::string leaf = dir.path().substr(dir.path().rfind('/') + 1);
  // Absolute, and short whatever $TMPDIR is.
  const std::string absolute = "/proc/self/cwd/runB/DOSCAR";
  const std::string kSelf = "Output file would overwrite DOSCAR";
  std::vector<std::pair<Lines, std::string>> rows = {
      {{"-t", absolute}, kSelf},
      {{"-fs1", "1", "2", absolute}, kSelf},
      // A leading slash reads as a number, so -s2 takes no absolute name.
      {{"-s2", "1", "2", absolute}, "Wrong atomic index(es)"},
  };
  for (const std::string& name : {"../" + leaf + "/runB/DOSCAR", std::string("sub/./DOSCAR"),
                                  std::string("runB/DOSCAR   ")}) {
    for (const Lines& op : {Lines{"-t"}, Lines{"-fs1", "1", "2"}, Lines{"-s2", "1", "2"}}) {
      rows.push_back({e2e::concat({op, {name}}), kSelf});
    }
  }
  for (const auto& [args, reason] : rows) {
    Result r = dir.run(args);
    const Lines out = e2e::afterBanner(r);
    const Lines box = e2e::errorBox(reason);
    ASSERT_GE(out.size(), box.size()) << describe(args);
    EXPECT_EQ(Lines(out.end() - long(box.size()), out.end()), box) << describe(args);
    EXPECT_EQ(r.out.find("Creating output file"), std::string::npos) << describe(args);
    EXPECT_EQ(r.status, 1) << describe(args);
    EXPECT_EQ(r.err, "") << describe(args);
    EXPECT_EQ(dir.entries(), (Lines{"DOSCAR", "runB", "sub"})) << describe(args);
    EXPECT_EQ(dir.read("runB/DOSCAR"), kOtherRun) << describe(args);
    EXPECT_EQ(dir.read("sub/DOSCAR"), kOtherRun) << describe(args);
  }
}

TEST(E2eDoscarNames, OtherSpellingsAndStemsAreWritten) {
  struct Row {
    Lines args;
    std::string written;  // the file the name gives
    std::string same;     // the default name that gets the same contents
  };
  const std::vector<Row> rows = {
      {{"-t", "doscar"}, "doscar", "iDOS"},
      {{"-s1", "1", "2", "DOSCARx"}, "DOSCARx", "iSUMDOS"},
      {{"-s2", "2", "sub/DOSCAR.sum"}, "sub/DOSCAR.sum", "iSUMDOS"},
      {{"-a", "sub/DOSCAR"}, "sub/DOSCAR002", "iLDOS002"},
      {{"-p", "1", "runB/DOSCAR"}, "runB/DOSCAR001", "iLDOS001"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    makeRuns(dir);
    Lines defaults = {row.args.begin(), row.args.end() - 1};
    ASSERT_EQ(dir.run(defaults).status, 0) << describe(defaults);
    Result r = dir.run(row.args);
    EXPECT_EQ(r.status, 0) << describe(row.args) << "\n" << r.out << r.err;
    ASSERT_TRUE(dir.exists(row.written)) << describe(row.args);
    EXPECT_EQ(dir.read(row.written), dir.read(row.same)) << describe(row.args);
    EXPECT_EQ(dir.read("runB/DOSCAR"), kOtherRun) << describe(row.args);
    EXPECT_EQ(dir.read("sub/DOSCAR"), kOtherRun) << describe(row.args);
  }
}

}  // namespace
