// Hostile input and faults: truncated and damaged DOSCAR files, a full
// device as output, DOSCAR vanishing between the header read and the data
// read, a DOSCAR of more than 2 GB, and the regression inputs that fuzzing
// found. Every run of the program happens in a forked child inside a fresh
// directory, so that a crash shows as a signal and the test goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "doscar/doscar.h"
#include "e2e.h"
#include "pdsplit.h"
#include "textio/textio.h"

namespace {

using Args = std::vector<std::string>;

const std::set<int> kAllowedStatus = {0, 1, 9, 24, 29, 30, 38, 39, 43, 62, 64, 66};

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

// What one run gave.
struct Outcome {
  int status = -1000;  // exit status, or minus the signal number
  std::string err;     // standard error
};

// A fresh directory, removed with its contents at the end, in which the
// program's code runs in a forked child.
class Scratch : public e2e::TempDir {
 public:
  // Removes everything but DOSCAR.
  void clear_outputs() const {
    for (const std::string& name : entries())
      if (name != "DOSCAR") std::remove(at(name).c_str());
  }

  // Runs the program with `args` in this directory, in a forked child:
  // standard output goes to /dev/null, standard error is captured.
  Outcome run(const Args& args) const {
    int pipefd[2];
    if (pipe(pipefd) != 0) return {};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      close(pipefd[0]);
      const int null = open("/dev/null", O_WRONLY);
      if (null < 0 || dup2(null, 1) < 0 || dup2(pipefd[1], 2) < 0 || chdir(path().c_str()) != 0)
        _exit(125);
      _exit(pds::run(args));
    }
    close(pipefd[1]);
    Outcome o;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0)
      o.err.append(buf, static_cast<std::size_t>(n));
    close(pipefd[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -WTERMSIG(ws);
    return o;
  }
};

std::string describe(const Args& args) {
  std::string s;
  for (const std::string& a : args) s += " '" + a + "'";
  return s;
}

// The last line of a run-time diagnostic starts like this.
std::string severe(int n) {
  return "pdsplit: severe (" + std::to_string(n) + "): ";
}

bool has_severe_line(const Outcome& o) {
  return o.err.find(severe(o.status)) != std::string::npos;
}

// ------------------------------------------------------------ truncations
//
// The sample has 4 atoms and 10 grid points; the total block has 2 value
// columns and every per-atom line 9. Its 60 lines:
//   1-6 header, 7-16 total block, then per atom a header line (17, 28, 39,
//   50) and 10 data lines.
// The header reader needs 8 + NPOINTS = 18 lines: it passes over lines 8-17
// and counts the "E"s of line 18 (NPCOL). -t then reads lines 7-16; -a and
// -p read lines 18-27, 29-38, 40-49, 51-60.
//
// A file cut inside a line ends in that partial line, which still counts as
// a line. A numeric field cut short reads its missing positions as blanks,
// so the kept text is a number unless it ends in an exponent letter or in a
// sign ("-0.6543E", "-0.6543E-", "-"), which is the conversion failure 64.

constexpr int kHeaderLines = 18;
constexpr int kAllLines = 60;
constexpr int kLine6 = 6;
constexpr int kFirstAtomLine = 18;

bool is_atom_data_line(int n) {
  return n >= kFirstAtomLine && n <= kAllLines && (n - 17) % 11 != 0;
}

// Whether the kept `prefix` of a line, read with fields of `widths`, ends in
// a field that Algorithm E refuses.
bool cut_field_malformed(const std::string& prefix, const std::vector<std::size_t>& widths) {
  std::size_t start = 0;
  for (std::size_t w : widths) {
    if (prefix.size() <= start + w) {
      std::string kept = prefix.substr(start);
      kept.erase(std::remove(kept.begin(), kept.end(), ' '), kept.end());
      if (kept.empty()) return false;
      const char last = kept.back();
      return last == 'E' || last == '+' || last == '-';
    }
    start += w;
  }
  return false;  // the cut lies behind the last field
}

const std::vector<std::size_t> kLine6Fields = {16, 16, 5, 16};

// The fields a per-atom data line is read with: the energy and npcol values.
std::vector<std::size_t> data_fields(int npcol) {
  std::vector<std::size_t> w(static_cast<std::size_t>(npcol) + 1, 12);
  w[0] = 11;
  return w;
}

int count_e(const std::string& s) {
  return static_cast<int>(
      std::count(s.begin(), s.begin() + std::min<std::size_t>(s.size(), 395), 'E'));
}

// The status that -t (total) or -a (all atoms) must give on the first
// `full` lines of the sample followed by the first `cut` characters of the
// next line (cut 0: the file ends at a line boundary).
int expected_status(bool total, const std::vector<std::string>& lines, int full, std::size_t cut) {
  const int count = full + (cut > 0 ? 1 : 0);
  const int partial = cut > 0 ? full + 1 : 0;  // number of the cut line, if any
  const std::string prefix = cut > 0 ? lines[static_cast<std::size_t>(full)].substr(0, cut) : "";

  // Header reader.
  if (partial == kLine6 && cut_field_malformed(prefix, kLine6Fields)) return 64;
  if (count < kHeaderLines) return 24;
  const int npcol = partial == kHeaderLines ? count_e(prefix) : 9;
  if (npcol != 3 && npcol != 4 && npcol != 9 && npcol != 16) return 1;  // "Unspecified"

  if (total) return 0;  // lines 7-16 are complete whenever the header was
  if (partial > 0 && is_atom_data_line(partial) && cut_field_malformed(prefix, data_fields(npcol)))
    return 64;
  return count < kAllLines ? 24 : 0;
}

class FaultTruncation : public ::testing::Test {
 protected:
  void SetUp() override {
    sample_ = read_file(std::string(PDSPLIT_SAMPLES) + "/nonspin-lm-4atoms-nedos10.DOSCAR");
    lines_ = split_lines(sample_);
    ASSERT_EQ(static_cast<int>(lines_.size()), kAllLines);
    ASSERT_EQ(sample_.back(), '\n');
    // The reference outputs of the whole file.
    write_file(s_.at("DOSCAR"), sample_);
    ASSERT_EQ(s_.run({"-t"}).status, 0);
    ASSERT_EQ(s_.run({"-a"}).status, 0);
    for (const std::string& name : s_.entries())
      if (name != "DOSCAR") reference_[name] = read_file(s_.at(name));
    ASSERT_EQ(reference_.size(), 5u);
    s_.clear_outputs();
  }

  std::string head(int full, std::size_t cut) const {
    std::string out;
    for (int i = 0; i < full; ++i) out += lines_[static_cast<std::size_t>(i)] + "\n";
    if (cut > 0) out += lines_[static_cast<std::size_t>(full)].substr(0, cut);
    return out;
  }

  // Runs -t and -a on one truncation and checks status, diagnostic and files.
  void check(int full, std::size_t cut) {
    const std::string where =
        "first " + std::to_string(full) + " lines + " + std::to_string(cut) + " characters";
    write_file(s_.at("DOSCAR"), head(full, cut));
    for (bool total : {true, false}) {
      const Args args = {total ? "-t" : "-a"};
      const Outcome o = s_.run(args);
      const int want = expected_status(total, lines_, full, cut);
      ASSERT_EQ(o.status, want) << where << ":" << describe(args) << "\n" << o.err;
      if (want >= 9) {
        EXPECT_TRUE(has_severe_line(o)) << where << "\n" << o.err;
        EXPECT_NE(o.err.find("unit 10, file " + s_.path() + "/DOSCAR"), std::string::npos)
            << where << "\n"
            << o.err;
      }
      if (want == 0) {
        check_outputs(total, cut, where);
      } else {
        EXPECT_EQ(s_.entries(), std::vector<std::string>{"DOSCAR"}) << where;
      }
      s_.clear_outputs();
    }
  }

  // -t reads only complete lines: its file is the reference. -a succeeds
  // only when line 60 is there, maybe cut: its last line has the fields
  // that were kept and zeros behind them.
  void check_outputs(bool total, std::size_t cut, const std::string& where) {
    if (total) {
      EXPECT_EQ(read_file(s_.at("iDOS")), reference_["iDOS"]) << where;
      return;
    }
    for (const char* name : {"iLDOS001", "iLDOS002", "iLDOS003"})
      EXPECT_EQ(read_file(s_.at(name)), reference_[name]) << where;
    const std::string got = read_file(s_.at("iLDOS004"));
    const std::string& ref = reference_["iLDOS004"];
    if (cut == 0) {
      EXPECT_EQ(got, ref) << where;
      return;
    }
    const std::size_t last = ref.rfind('\n', ref.size() - 2) + 1;
    EXPECT_EQ(got.substr(0, last), ref.substr(0, last)) << where;
    EXPECT_EQ(got.size(), ref.size()) << where;
    // Value fields wholly cut away read as zero.
    const std::size_t kept_fields = cut <= 11 ? 0 : (cut - 11) / 12;
    for (std::size_t k = kept_fields + 1; k < 9; ++k)
      EXPECT_EQ(got.substr(last + 11 + 12 * k, 12), "  0.0000E+00") << where << " field " << k;
  }

  Scratch s_;
  std::string sample_;
  std::vector<std::string> lines_;
  std::map<std::string, std::string> reference_;
};

TEST_F(FaultTruncation, EveryLineBoundary) {
  for (int full = 0; full <= kAllLines; ++full) {
    check(full, 0);
    if (HasFatalFailure()) return;
  }
}

TEST_F(FaultTruncation, EveryPositionInsideTheLinesTheReadersLookAt) {
  // Every cut inside line 1 (I4), line 6 (the header numbers), line 7, the
  // lines around the end of the header (17, 18), the first and last data
  // lines of atom 2 (29, 38) and the last line of the file.
  for (int line : {1, 6, 7, 17, 18, 29, 38, 60}) {
    const std::size_t len = lines_[static_cast<std::size_t>(line - 1)].size();
    for (std::size_t cut = 1; cut < len; ++cut) {
      check(line - 1, cut);
      if (HasFatalFailure()) return;
    }
  }
}

TEST_F(FaultTruncation, ThreeCutsInsideEveryOtherLine) {
  for (int line = 1; line <= kAllLines; ++line) {
    const std::size_t len = lines_[static_cast<std::size_t>(line - 1)].size();
    for (std::size_t cut : {std::size_t{1}, len / 2, len - 1}) {
      if (cut == 0 || cut >= len) continue;
      check(line - 1, cut);
      if (HasFatalFailure()) return;
    }
  }
}

// The rule above, checked on hand-picked cuts so that it cannot drift into
// agreeing with whatever the program does.
TEST(FaultTruncationRule, HandPickedCuts) {
  const std::string sample =
      read_file(std::string(PDSPLIT_SAMPLES) + "/nonspin-lm-4atoms-nedos10.DOSCAR");
  const std::vector<std::string> lines = split_lines(sample);
  ASSERT_EQ(lines[5].substr(16, 6), "     -");
  ASSERT_EQ(lines[59].substr(0, 21), "     13.670  0.0000E+");
  ASSERT_EQ(lines[17].substr(44, 5), "-45 -");
  struct Case {
    const char* what;
    bool total;
    int full;
    std::size_t cut;
    int status;
  };
  const Case cases[] = {
      {"empty file", true, 0, 0, 24},
      {"header only", false, 6, 0, 24},
      {"line 6 cut behind the sign of EMIN", true, 5, 22, 64},
      {"line 6 cut inside EMIN's digits", true, 5, 25, 24},
      {"17 lines: line 18 missing", true, 17, 0, 24},
      {"18 lines: -t has all it needs", true, 18, 0, 0},
      {"18 lines: -a runs out in atom 1", false, 18, 0, 24},
      {"line 18 cut after 3 E: l-projected, -t goes on", true, 17, 11 + 3 * 12, 0},
      {"line 18 cut after 5 E: unspecified", true, 17, 11 + 5 * 12, 1},
      {"line 18 cut before any E: unspecified", false, 17, 11, 1},
      {"line 18 cut after 3 E and the sign of value 4: -a reads 3 values", false, 17, 49, 24},
      {"line 60 cut behind an E", false, 59, 20, 64},
      {"line 60 cut behind the exponent's sign", false, 59, 21, 64},
      {"line 60 cut inside an exponent's digits", false, 59, 22, 0},
      {"line 60 cut inside the energy", false, 59, 8, 0},
      {"line 60 cut behind the first value", false, 59, 23, 0},
      {"59 lines", false, 59, 0, 24},
      {"whole file", false, 60, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(expected_status(c.total, lines, c.full, c.cut), c.status) << c.what;
}

// ------------------------------------------------------------ random damage

// Byte flips, deleted, doubled and inserted lines never crash the program:
// every run ends with an allowed status, leaves DOSCAR as it was and writes
// only the files its command line names.
TEST(FaultRandomDamage, NeverCrashes) {
  const std::string sample =
      read_file(std::string(PDSPLIT_SAMPLES) + "/nonspin-lm-4atoms-nedos10.DOSCAR");
  const Args ops[] = {{"-t"}, {"-fa"}, {"-p", "2"}, {"-s1", "1", "4"}, {"-s2", "3", "1", "sum"}};
  // A damaged line 1 can change the number of atoms, so any iLDOS number.
  auto allowed_file = [](const std::string& n) {
    return n == "DOSCAR" || n == "iDOS" || n == "iSUMDOS" || n == "sum" ||
           (n.size() > 5 && n.compare(0, 5, "iLDOS") == 0 &&
            n.find_first_not_of("0123456789", 5) == std::string::npos);
  };
  const char kBytes[] = {'\0', '\n', '\r', ' ', 'E', 'e', '-', '+', '.', '9', 'x', '\t', '\x80'};
  std::mt19937 rng(20240601);
  Scratch s;
  for (int round = 0; round < 150; ++round) {
    std::vector<std::string> lines = split_lines(sample);
    std::string damage;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !lines.empty(); ++e) {
      const std::size_t i = rng() % lines.size();
      switch (rng() % 5) {
        case 0:
          lines.erase(lines.begin() + static_cast<long>(i));
          damage += " delete line " + std::to_string(i + 1);
          break;
        case 1:
          lines.insert(lines.begin() + static_cast<long>(i), lines[i]);
          damage += " double line " + std::to_string(i + 1);
          break;
        case 2:
          lines.insert(lines.begin() + static_cast<long>(i), "  garbage E E E 1.0E+00");
          damage += " insert before line " + std::to_string(i + 1);
          break;
        default:
          if (lines[i].empty()) break;
          const std::size_t at = rng() % lines[i].size();
          lines[i][at] = kBytes[rng() % sizeof kBytes];
          damage += " flip line " + std::to_string(i + 1) + " col " + std::to_string(at + 1);
      }
    }
    std::string doscar;
    for (const std::string& l : lines) doscar += l + "\n";
    write_file(s.at("DOSCAR"), doscar);
    for (const Args& args : ops) {
      const Outcome o = s.run(args);
      ASSERT_TRUE(kAllowedStatus.count(o.status))
          << "status " << o.status << describe(args) << " after" << damage << "\n"
          << o.err;
      if (o.status >= 9) {
        EXPECT_TRUE(has_severe_line(o)) << damage << "\n" << o.err;
      }
      EXPECT_EQ(read_file(s.at("DOSCAR")), doscar) << damage;
      for (const std::string& name : s.entries())
        EXPECT_TRUE(allowed_file(name)) << name << describe(args) << " after" << damage;
      s.clear_outputs();
    }
  }
}

// ------------------------------------------------------------ full device

// Output onto /dev/full: the write failure 38 with its diagnostic; DOSCAR and
// the files that were already there stay as they were. "full" and
// "iLDOS001" (the first file of -a and the file of -p 1) are links to the
// device.
TEST(FaultFullDevice, WriteFailureLeavesOtherFilesAlone) {
  const std::string sample =
      read_file(std::string(PDSPLIT_SAMPLES) + "/nonspin-lm-4atoms-nedos10.DOSCAR");
  const Args cases[] = {{"-t", "/dev/full"},       {"-ft", "full"}, {"-s1", "1", "2", "full"},
                        {"-s2", "1", "3", "full"}, {"-a"},          {"-p", "1"}};
  for (const Args& args : cases) {
    Scratch s;
    write_file(s.at("DOSCAR"), sample);
    write_file(s.at("iDOS.old"), "old\n");
    write_file(s.at("iLDOS002"), "old 2\n");
    ASSERT_EQ(symlink("/dev/full", s.at("full").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", s.at("iLDOS001").c_str()), 0);
    const Outcome o = s.run(args);
    EXPECT_EQ(o.status, 38) << describe(args) << "\n" << o.err;
    EXPECT_NE(o.err.find(std::strerror(ENOSPC)), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(severe(38) + "error during write, unit 11, file "), std::string::npos)
        << o.err;
    EXPECT_EQ(read_file(s.at("DOSCAR")), sample);
    EXPECT_EQ(read_file(s.at("iDOS.old")), "old\n");
    EXPECT_EQ(read_file(s.at("iLDOS002")), "old 2\n") << describe(args);
    EXPECT_EQ(s.entries(),
              (std::vector<std::string>{"DOSCAR", "full", "iDOS.old", "iLDOS001", "iLDOS002"}))
        << describe(args);
  }
}

// ------------------------------------------------------------ DOSCAR vanishes

// Calls the readers in-process inside a scratch directory: readheader()
// first, then `change` to DOSCAR, then the data reader. Standard output is
// silenced meanwhile. Returns the failure number of the data reader, 0 if
// it succeeded.
int failure_after_change(const std::string& doscar,
                         const std::function<void(const Scratch&)>& change, bool total) {
  Scratch s;
  write_file(s.at("DOSCAR"), doscar);
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return -1;
  std::fflush(stdout);
  const int saved = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  int number = -1;
  if (chdir(s.path().c_str()) == 0) {
    try {
      const pds::DoscarHeader h = pds::readheader();
      change(s);
      if (total) {
        std::vector<double> tdos(
            static_cast<std::size_t>(pds::extent(h.NPOINTS) * (pds::extent(h.NTCOL) + 1)));
        pds::readtdos(h, tdos.data());
      } else {
        pds::AtomBlocks ldos;
        ldos.allocate(std::vector<bool>(static_cast<std::size_t>(pds::extent(h.NATOMS)) + 1, true),
                      h.NPOINTS, h.NPCOL);
        pds::readdos(h, ldos);
      }
      number = 0;
    } catch (const pds::Failure& f) {
      number = f.number();
      EXPECT_EQ(f.unit(), pds::kUnitDoscar);
      EXPECT_EQ(f.file(), "DOSCAR");
    }
    EXPECT_EQ(chdir(cwd), 0);
  }
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return number;
}

TEST(FaultDoscarVanishes, BetweenTheHeaderAndTheDataRead) {
  const std::string sample =
      read_file(std::string(PDSPLIT_SAMPLES) + "/nonspin-lm-4atoms-nedos10.DOSCAR");
  struct Case {
    const char* what;
    std::function<void(const Scratch&)> change;
    int number;
  };
  const Case cases[] = {
      {"unchanged", [](const Scratch&) {}, 0},
      {"removed", [](const Scratch& s) { std::remove(s.at("DOSCAR").c_str()); }, 29},
      {"renamed away",
       [](const Scratch& s) { std::rename(s.at("DOSCAR").c_str(), s.at("DOSCAR.bak").c_str()); },
       29},
      {"replaced by a dangling link",
       [](const Scratch& s) {
         std::remove(s.at("DOSCAR").c_str());
         EXPECT_EQ(symlink("nowhere", s.at("DOSCAR").c_str()), 0);
       },
       29},
      {"replaced by a directory",
       [](const Scratch& s) {
         std::remove(s.at("DOSCAR").c_str());
         EXPECT_EQ(mkdir(s.at("DOSCAR").c_str(), 0755), 0);
       },
       30},
      {"replaced by a link to itself",
       [](const Scratch& s) {
         std::remove(s.at("DOSCAR").c_str());
         EXPECT_EQ(symlink("DOSCAR", s.at("DOSCAR").c_str()), 0);
       },
       30},
      {"replaced by its first 8 lines",
       [&](const Scratch& s) {
         const std::vector<std::string> l = split_lines(sample);
         std::string head;
         for (int i = 0; i < 8; ++i) head += l[static_cast<std::size_t>(i)] + "\n";
         write_file(s.at("DOSCAR"), head);
       },
       24},
      {"replaced by an empty file", [](const Scratch& s) { write_file(s.at("DOSCAR"), ""); }, 24},
      {"replaced by text",
       [&](const Scratch& s) {
         std::string t = sample;
         std::replace(t.begin(), t.end(), '0', 'o');
         write_file(s.at("DOSCAR"), t);
       },
       64},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failure_after_change(sample, c.change, true), c.number) << "-t: " << c.what;
    EXPECT_EQ(failure_after_change(sample, c.change, false), c.number) << "-a: " << c.what;
  }
}

TEST(FaultDoscarVanishes, LosesItsReadPermissionSkippedAsRoot) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  const std::string sample =
      read_file(std::string(PDSPLIT_SAMPLES) + "/nonspin-lm-4atoms-nedos10.DOSCAR");
  auto unreadable = [](const Scratch& s) { chmod(s.at("DOSCAR").c_str(), 0); };
  EXPECT_EQ(failure_after_change(sample, unreadable, true), 9);
  EXPECT_EQ(failure_after_change(sample, unreadable, false), 9);
}

// ------------------------------------------------------------ beyond 2 GB

// A DOSCAR whose lines are followed by zero bytes up to more than 2 GiB (a
// sparse file). The zeros hold no line feed: they are one last line, whose
// numeric fields hold NUL characters, not blanks, so reading it as a data
// line is the conversion failure 64; passing over it as a block-header line
// reaches the end of the file (24). A header whose per-atom array needs more
// than 4294967295 bytes is refused before any data is read.
std::string header_lines(int natoms, int npoints) {
  char line6[80];
  std::snprintf(line6, sizeof line6, "%16.8f%16.8f%5d%16.8f%16.8f\n", 10.0, -5.0, npoints, 1.0,
                1.0);
  char line1[32];
  std::snprintf(line1, sizeof line1, "%4d%4d%4d%4d\n", natoms, natoms, 1, 0);
  return std::string(line1) + "  0.1E+02\n  1.0E-004\n  CAR\n big\n" + line6;
}

const std::string kTotalLine = "     -3.440  0.1000E+01  0.2000E+01\n";
const std::string kAtomLine =
    "     -3.440  0.1000E+01  0.2000E+01  0.3000E+01  0.4000E+01  0.5000E+01  0.6000E+01"
    "  0.7000E+01  0.8000E+01  0.9000E+01\n";

// NPOINTS total lines (blank ones after the first read as zeros), then, for
// atom_lines >= 0, atom 1's header line and that many data lines of atom 1.
std::string big_prefix(int natoms, int npoints, int atom_lines) {
  std::string s = header_lines(natoms, npoints) + kTotalLine +
                  std::string(static_cast<std::size_t>(npoints - 1), '\n');
  if (atom_lines >= 0) s += "atom 1\n";
  for (int i = 0; i < atom_lines; ++i) s += kAtomLine;
  return s;
}

TEST(FaultHugeDoscar, SparseFileBeyondTwoGigabytes) {
  constexpr off_t kSize = (off_t{1} << 31) + (off_t{1} << 20);
  struct Case {
    const char* what;
    std::string prefix;
    Args args;
    int status;
    const char* err;  // the whole of standard error, or nullptr for a diagnostic
  };
  // 1247 atoms x 43053 points x 10 columns x 8 bytes = 4294967280 bytes,
  // 15 below the limit; one more grid point is above it.
  const Case cases[] = {
      {"zeros as atom 1's header line: the header reader runs out",
       big_prefix(3, 5, -1),
       {"-t"},
       24,
       nullptr},
      {"zeros as atom 1's second data line", big_prefix(3, 5, 1), {"-a"}, 64, nullptr},
      {"zeros as atom 2's header line", big_prefix(2, 1, 1), {"-p", "1"}, 24, nullptr},
      {"-t never reaches the zeros", big_prefix(3, 5, 1), {"-t"}, 0, ""},
      {"array of 4294967280 bytes, then the zeros",
       big_prefix(1247, 43053, 1),
       {"-a"},
       64,
       nullptr},
      {"array of 4295067040 bytes",
       big_prefix(1247, 43054, 1),
       {"-a"},
       1,
       "Allocate input array failed!\n"},
      {"array of 9999 atoms x 99999 points",
       big_prefix(9999, 99999, 1),
       {"-s1", "1", "2"},
       1,
       "Allocate input array failed!\n"},
  };
  for (const Case& c : cases) {
    Scratch s;
    {
      const int fd = open(s.at("DOSCAR").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(write(fd, c.prefix.data(), c.prefix.size()), static_cast<ssize_t>(c.prefix.size()));
      ASSERT_EQ(ftruncate(fd, kSize), 0) << std::strerror(errno);
      close(fd);
    }
    const Outcome o = s.run(c.args);
    EXPECT_EQ(o.status, c.status) << c.what << "\n" << o.err;
    if (c.err != nullptr) {
      EXPECT_EQ(o.err, c.err) << c.what;
    } else {
      EXPECT_TRUE(has_severe_line(o)) << c.what << "\n" << o.err;
    }
    if (c.status != 0) {
      EXPECT_EQ(s.entries(), std::vector<std::string>{"DOSCAR"}) << c.what;
    }
  }
}

// ------------------------------------------------------------ fuzz findings

// Found by fuzz/fuzz_format.cpp (inputs fuzz/corpus/format/regress-*): texts
// that are not line formats must compile as invalid, so that using them is
// the format syntax failure 62. The compiler took a letter after Ew.d as if
// it were the exponent part, and a repeat count whose overflow shows at its
// last digit as no count at all.
TEST(FaultFuzzFindings, TextsThatAreNoLineFormatCompileAsInvalid) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"(E12.8g)", false},
      {"(E12.4X)", false},
      {"(F11.3,4E12.4Z)", false},
      {"(2147483648I4)", false},
      {"(6700398253F15.8,I5,F16.8)", false},
      {"(99999999999I4)", false},
      // The neighbours that are formats.
      {"(E12.4e2)", true},
      {"(E12.4,A)", true},
      {"(2147483647I4)", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pds::LineFormat::compile(c.text).valid(), c.valid) << c.text;
  }
}

// Found by fuzz/fuzz_fields.cpp on a version of the parser's fast path
// (input fuzz/corpus/fields/regress-fast-path-3.08-d8): the fast and the
// exact parse of a real field must give the same double.
TEST(FaultFuzzFindings, FastAndExactRealParsersAgree) {
  struct Case {
    const char* field;
    int d;
    double value;
  };
  const Case cases[] = {{"    3.08", 8, 3.08}, {"    3.08", 3, 3.08}, {"308", 2, 3.08}};
  for (const Case& c : cases) {
    double fast = 0, exact = 0;
    ASSERT_TRUE(pds::parse_real(c.field, c.d, fast)) << c.field;
    ASSERT_TRUE(pds::parse_real_exact(c.field, c.d, exact)) << c.field;
    EXPECT_EQ(fast, c.value) << c.field << " d=" << c.d;
    EXPECT_EQ(exact, c.value) << c.field << " d=" << c.d;
  }
}

}  // namespace
