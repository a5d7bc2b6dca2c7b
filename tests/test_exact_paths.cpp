// The whole program with its fast paths must write the same bytes as with
// the exact paths alone: generated DOSCAR files with fields of every shape,
// every operation, outputs compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e.h"
#include "pdsplit.h"
#include "textio/textio.h"

namespace pds {
namespace {

// A value field of a random shape: mostly what E12.4 writes, sometimes the
// other spellings a DOSCAR may hold.
std::string value_field(std::mt19937_64& rng, bool with_letter) {
  std::uniform_int_distribution<int> digits(0, 9999), exp(-99, 99), shape(0, 99);
  char buf[64];
  const int m = digits(rng), x = exp(rng), s = with_letter ? shape(rng) % 70 : shape(rng);
  const char* sign = s % 3 == 0 ? "-" : " ";
  if (s < 70) {
    std::snprintf(buf, sizeof buf, " %s0.%04dE%c%02d", sign, m, x < 0 ? '-' : '+', std::abs(x));
  } else if (s < 78) {
    std::snprintf(buf, sizeof buf, "  0.0000E+00");
  } else if (s < 84) {
    std::snprintf(buf, sizeof buf, " %s0.%04d%c%03d", sign, m, x < 0 ? '-' : '+',
                  std::abs(x) + 100);
  } else if (s < 88) {
    std::snprintf(buf, sizeof buf, " %s0.%04dd%c%02d", sign, m, x < 0 ? '-' : '+',
                  std::abs(x) % 30);
  } else if (s < 92) {
    std::snprintf(buf, sizeof buf, "%s%.5E", sign, (m + 0.5) * 1e-3);  // more digits: ties
  } else if (s < 96) {
    std::snprintf(buf, sizeof buf, "  %10d", m);  // implied decimals
  } else {
    std::snprintf(buf, sizeof buf, "%12s", "");
  }
  return std::string(buf).substr(0, 12);
}

// Energies with four decimals; one in five a multiple of 1/16, which lands
// exactly halfway between two thousandths after the shift of 1.0625.
std::string energy_field(std::mt19937_64& rng) {
  std::uniform_int_distribution<int> e(-300000, 300000), sixteenths(-240, 240), pick(0, 4);
  char buf[32];
  const double v = pick(rng) == 0 ? sixteenths(rng) / 16.0 : e(rng) / 20000.0;
  std::snprintf(buf, sizeof buf, "%11.4f", v);
  return std::string(buf).substr(0, 11);
}

std::string generate(unsigned seed, int atoms, int points, int ntcol, int npcol) {
  std::mt19937_64 rng(seed);
  std::ostringstream s;
  char line6[128];
  std::snprintf(line6, sizeof line6, "%16.8f%16.8f%5d%16.8f%16.8f", 12.5, -10.25, points, 1.0625,
                1.0);
  s << "   " << atoms << "   " << atoms << "   1   0\n  header\n  header\n  CAR\n generated\n";
  s << line6 << "\n";
  // The column counts are the upper-case E of a block's first line: there
  // every field carries one.
  auto block = [&](int n) {
    for (int j = 0; j < points; ++j) {
      s << energy_field(rng);
      for (int k = 0; k < n; ++k) s << value_field(rng, j == 0);
      s << "\n";
    }
  };
  block(ntcol);
  for (int a = 0; a < atoms; ++a) {
    s << line6 << "\n";
    block(npcol);
  }
  return s.str();
}

class InDir {
 public:
  InDir() : old_(getcwd(nullptr, 0)) {}
  ~InDir() { std::free(old_); }
  InDir(const InDir&) = delete;
  InDir& operator=(const InDir&) = delete;

  // Runs the program in the directory with the console sent to /dev/null;
  // returns the exit status and every file it wrote.
  std::pair<int, std::map<std::string, std::string>> run(const std::string& doscar,
                                                         const std::vector<std::string>& args) {
    for (const std::string& name : dir_.entries()) std::filesystem::remove_all(dir_.at(name));
    dir_.writeDoscar(doscar);
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    EXPECT_EQ(chdir(dir_.path().c_str()), 0);
    const int status = pds::run(args);
    EXPECT_EQ(chdir(old_), 0);
    dup2(saved, 1);
    close(saved);
    close(null);
    std::map<std::string, std::string> files;
    for (const std::string& name : dir_.entries()) files[name] = dir_.read(name);
    return {status, files};
  }

 private:
  e2e::TempDir dir_;
  char* old_;
};

TEST(ExactPaths, WholeProgramWritesTheSameBytesWithAndWithoutFastPaths) {
  struct Kind {
    int ntcol, npcol;
  };
  const Kind kinds[] = {{2, 9}, {4, 32}, {4, 6}};
  const std::vector<std::vector<std::string>> commands = {{"-t"},
                                                          {"-ft"},
                                                          {"-a"},
                                                          {"-fa", "x"},
                                                          {"-p", "2"},
                                                          {"-s1", "3", "1"},
                                                          {"-s2", "2", "2", "1"}};
  InDir dir;
  unsigned seed = 1;
  for (const Kind& k : kinds) {
    const std::string doscar = generate(seed++, 3, 400, k.ntcol, k.npcol);
    for (const auto& cmd : commands) {
      set_fast_paths(true);
      auto fast = dir.run(doscar, cmd);
      set_fast_paths(false);
      auto exact = dir.run(doscar, cmd);
      set_fast_paths(true);
      EXPECT_EQ(fast.first, 0) << cmd[0] << " on " << k.npcol;
      EXPECT_EQ(fast.first, exact.first) << cmd[0];
      ASSERT_EQ(fast.second.size(), exact.second.size()) << cmd[0];
      for (const auto& [name, bytes] : exact.second) {
        EXPECT_TRUE(fast.second[name] == bytes) << cmd[0] << ": " << name << " differs";
      }
    }
  }
}

}  // namespace
}  // namespace pds
