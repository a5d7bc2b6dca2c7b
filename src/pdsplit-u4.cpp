// pdsplit: the entry point, the command line and the five operations.
//
//   pdsplit -t|-ft|-tf [output]            total DOS            -> iDOS
//   pdsplit -a|-fa|-af [output]            every atom's DOS     -> iLDOS001 ...
//   pdsplit -p|-fp|-pf N [output]          one atom's DOS       -> iLDOS00N
//   pdsplit -s1|-fs1|-s1f N1 N2 [output]   sum over atoms N1..N2 -> iSUMDOS
//   pdsplit -s2|-fs2|-s2f N1 N2 ... [out]  sum over listed atoms -> iSUMDOS
//
// Every operation reads and summarises the header, loads its data, prints
// the Fermi line and only then examines the remaining arguments, so nothing
// is written until the whole input has been read and every argument checked.
#include "pdsplit.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "console/console.h"
#include "doscar/doscar.h"
#include "output/output.h"
#include "textio/textio.h"

namespace pds {

namespace {

// Program-wide state of one run.
struct Program {
  std::vector<std::string> args;  // argument 1 (the option) first
  std::string ARGV;               // 5 characters: the argument examined
  std::vector<std::int32_t> N = std::vector<std::int32_t>(100, 0);  // atom numbers
  double start = 0.0;  // processor time at the title line

  int count() const { return static_cast<int>(args.size()); }
  // Argument k (from 1) in a text of `len` characters; missing: blanks.
  std::string arg(int k, std::size_t len) const {
    return fixed(k <= count() ? std::string_view(args[k - 1]) : std::string_view(), len);
  }
};

enum class Op { kHelp, kTotal, kAll, kOne, kRun, kList };

struct Spelling {
  std::string_view text;
  Op op;
};

// The sixteen spellings in the order they are tried.
constexpr Spelling kSpellings[] = {
    {"-h", Op::kHelp},  {"-t", Op::kTotal}, {"-ft", Op::kTotal}, {"-tf", Op::kTotal},
    {"-a", Op::kAll},   {"-fa", Op::kAll},  {"-af", Op::kAll},   {"-p", Op::kOne},
    {"-fp", Op::kOne},  {"-pf", Op::kOne},  {"-s1", Op::kRun},   {"-fs1", Op::kRun},
    {"-s1f", Op::kRun}, {"-s2", Op::kList}, {"-fs2", Op::kList}, {"-s2f", Op::kList},
};

// ------------------------------------------------------------ shared steps

// A block of doubles that is about to be overwritten: not zero-filled.
using Array = std::unique_ptr<double[]>;

// Reserves `values` doubles; a size in bytes beyond an unsigned 32-bit count
// or storage that cannot be had stops the run with `text`.
Array reserve(std::int64_t values, const char* text) {
  if (values * 8 > std::int64_t{UINT32_MAX}) throw Stop{1, text};
  try {
    return Array(new double[static_cast<std::size_t>(values)]);
  } catch (const std::bad_alloc&) {
    throw Stop{1, text};
  }
}

// The Fermi line; returns the shift value (0.0 for the spellings with f).
double fermi_shift(const Program& p, const DoscarHeader& h) {
  if (trimmed(p.ARGV).find('f') != std::string_view::npos) {
    say("Fermi level is not shifted");
    return 0.0;
  }
  say("Fermi level is shifted");
  return h.EFERMI;
}

// An output name from argument k: its first 40 characters without trailing
// blanks. A name that is blank is refused.
std::string name_argument(const Program& p, int k) {
  std::string name(trimmed(p.arg(k, 40)));
  if (name.empty()) refuse(kWrongArgument);
  return name;
}

// Refuses an output name that is DOSCAR itself under any spelling or link.
void check_not_doscar(const std::string& name) {
  if (same_file(name, kDoscar)) refuse(kOverwritesDoscar);
}

void finish(const Program& p) {
  cpu_line(cpu_time() - p.start);
  success_box();
}

// ------------------------------------------------------------ total DOS

void total(Program& p) {
  say("::: TOTAL DOS :::");
  p.start = cpu_time();
  DoscarHeader h = readheader();
  const std::int64_t rows = extent(h.NPOINTS), width = extent(std::int64_t{h.NTCOL} + 1);
  Array tdos = reserve(rows * width, "Allocate input array failed!");
  readtdos(h, tdos.get());
  double shift = fermi_shift(p, h);
  std::string name = "iDOS";
  if (p.count() == 2) {
    name = name_argument(p, 2);
  } else if (p.count() != 1) {
    refuse(kTooMany);
  }
  check_not_doscar(name);
  say("Creating output file...");
  writedos(name, shift, tdos.get(), h.NPOINTS, h.NTCOL);
  tdos.reset();
  finish(p);
}

// ------------------------------------------------------------ projected DOS

// The loaded per-atom blocks and the output block of a sum.
struct Projected {
  DoscarHeader h;
  AtomBlocks ldos;
  Array dos;  // NPOINTS rows of NPCOL + 1 values, the energy first
  double shift = 0.0;
};

// Title, header, arrays, load and Fermi line: the same for -a, -p, -s1, -s2.
Projected prepare(Program& p, std::string_view title) {
  say(title);
  p.start = cpu_time();
  Projected d;
  d.h = readheader();
  const std::int64_t rows = extent(d.h.NPOINTS), width = extent(std::int64_t{d.h.NPCOL} + 1);
  // The size rule counts double-precision values; the blocks are kept in a
  // compacter form that never needs more.
  const char* kInput = "Allocate input array failed!";
  if (extent(d.h.NATOMS) * rows * width * 8 > std::int64_t{UINT32_MAX}) throw Stop{1, kInput};
  try {
    d.ldos.allocate(d.h.NATOMS, d.h.NPOINTS, d.h.NPCOL);
  } catch (const std::bad_alloc&) {
    throw Stop{1, kInput};
  }
  d.dos = reserve(rows * width, "Allocate output array failed!");
  readdos(d.h, d.ldos);
  d.shift = fermi_shift(p, d.h);
  return d;
}

// Writes atom a's block as loaded.
void write_atom(const Projected& d, std::int32_t a, const std::string& name) {
  writedos(name, d.shift, d.ldos.energies(a), d.ldos.values(a), d.ldos.specials, d.ldos.rows,
           d.h.NPCOL);
}

void release(Projected& d) {
  d.dos.reset();
  d.ldos = AtomBlocks();
}

// The atom number of a file name: at least three digits, never cut.
std::string suffix(std::int32_t atom) {
  std::string s = std::to_string(atom);
  return s.size() < 3 ? std::string(3 - s.size(), '0') + s : s;
}

// Reads argument k as an atom number into N(slot). Returns false when the
// free-form read rejects the text; blank text ends the run with failure 24.
bool read_index(Program& p, int k, std::size_t slot) {
  p.ARGV = p.arg(k, 5);
  FreeInt r = read_free_int(p.ARGV);
  if (r.status == FreeInt::kEnd) {
    throw Failure(kEndOfFile, kUnitInternal, "command-line argument " + std::to_string(k));
  }
  if (r.status == FreeInt::kSyntax) return false;
  if (slot >= p.N.size()) p.N.resize(slot + 1, 0);
  if (r.status == FreeInt::kValue) p.N[slot] = r.value;
  return true;
}

bool valid_atom(const DoscarHeader& h, std::int32_t a) {
  return a >= 1 && a <= h.NATOMS;
}

void all_atoms(Program& p) {
  Projected d = prepare(p, "::: PROJECTED DOS FOR ALL ATOMS :::");
  std::string stem = "iLDOS";
  if (p.count() == 2) {
    stem = std::string(trimmed(p.arg(2, 40)));
  } else if (p.count() != 1) {
    refuse(kTooMany);
  }
  for (std::int32_t a = 1; a <= d.h.NATOMS; ++a) check_not_doscar(stem + suffix(a));
  say("Creating output files...");
  for (std::int32_t a = 1; a <= d.h.NATOMS; ++a) write_atom(d, a, stem + suffix(a));
  release(d);
  finish(p);
}

void one_atom(Program& p) {
  Projected d = prepare(p, "::: PROJECTED DOS FOR AN ATOM :::");
  if (p.count() == 1) refuse(kNoAtom);
  if (p.count() > 3) refuse(kTooMany);
  if (!read_index(p, 2, 0) || !valid_atom(d.h, p.N[0])) refuse(kWrongIndex);
  std::string stem = p.count() == 3 ? std::string(trimmed(p.arg(3, 40))) : "iLDOS";
  std::string name = stem + suffix(p.N[0]);
  check_not_doscar(name);
  say("Creating output file...");
  write_atom(d, p.N[0], name);
  release(d);
  finish(p);
}

// ------------------------------------------------------------ sums

// Adds the blocks of `group` in its order into the output block, whose
// energy column is atom 1's, writes it under `name` and ends the operation.
void write_sum(Program& p, Projected& d, const std::vector<std::int32_t>& group,
               const std::string& name) {
  check_not_doscar(name);
  const AtomBlocks& b = d.ldos;
  const std::int64_t w = b.n + 1;
  double* dos = d.dos.get();
  const double* energy = b.energies(1);
  for (std::int64_t j = 0; j < b.rows; ++j) {
    dos[j * w] = energy[j];
    for (std::int64_t k = 1; k < w; ++k) dos[j * w + k] = 0.0;
  }
  for (std::int32_t a : group) {
    const ValueCode* codes = b.values(a);
    for (std::int64_t j = 0; j < b.rows; ++j) {
      for (std::int64_t k = 1; k < w; ++k)
        dos[j * w + k] += code_value(codes[j * b.n + k - 1], b.specials);
    }
  }
  say("Creating output file...");
  writedos(name, d.shift, dos, d.h.NPOINTS, d.h.NPCOL);
  release(d);
  finish(p);
}

void run_of_atoms(Program& p) {
  Projected d = prepare(p, "::: SUM PROJECTED DOS OF SEQUENTIAL ATOMS :::");
  if (p.count() == 1) refuse(kNoAtom);
  if (p.count() == 2) refuse(kTooFew);
  if (p.count() > 4) refuse(kTooMany);
  // A rejected text stops at once; an end out of range only after both.
  if (!read_index(p, 2, 0)) refuse(kWrongIndex);
  bool ok = valid_atom(d.h, p.N[0]);
  if (!read_index(p, 3, 1)) refuse(kWrongIndex);
  if (!ok || !valid_atom(d.h, p.N[1])) refuse(kWrongIndex);
  std::string name = p.count() == 4 ? name_argument(p, 4) : "iSUMDOS";
  std::vector<std::int32_t> group;
  for (std::int32_t a = std::min(p.N[0], p.N[1]); a <= std::max(p.N[0], p.N[1]); ++a) {
    group.push_back(a);
  }
  write_sum(p, d, group, name);
}

void list_of_atoms(Program& p) {
  Projected d = prepare(p, "::: SUM PROJECTED DOS OF DISCRETE ATOMS :::");
  const int m = p.count();
  if (m == 1) refuse(kNoAtom);
  std::string name = "iSUMDOS";
  int last = m;  // the last argument that is an atom number
  if (m == 2) {
    if (!read_index(p, 2, 0)) refuse(kWrongIndex);
  } else {
    // A rejected text is an error, except in last place, where it is the
    // output name.
    for (int i = 2; i <= m; ++i) {
      if (read_index(p, i, static_cast<std::size_t>(i - 2))) continue;
      if (i < m) refuse(kWrongIndex);
      last = m - 1;
      name = std::string(trimmed(p.arg(m, 40)));
    }
  }
  std::vector<std::int32_t> group(p.N.begin(), p.N.begin() + (last - 1));
  for (std::int32_t a : group) {
    if (!valid_atom(d.h, a)) refuse(kWrongIndex);
  }
  write_sum(p, d, group, name);
}

// ------------------------------------------------------------ dispatch

void dispatch(Program& p) {
  banner();
  if (p.count() == 0) refuse(kNoArgument);
  p.ARGV = p.arg(1, 5);
  std::string_view option = trimmed(p.ARGV);
  for (const Spelling& s : kSpellings) {
    if (option != s.text) continue;
    switch (s.op) {
      case Op::kHelp:
        if (p.count() != 1) refuse(kTooMany);
        help();
        throw Stop{0, {}};
      case Op::kTotal:
        return total(p);
      case Op::kAll:
        return all_atoms(p);
      case Op::kOne:
        return one_atom(p);
      case Op::kRun:
        return run_of_atoms(p);
      case Op::kList:
        return list_of_atoms(p);
    }
  }
  refuse(kWrongArgument);
}

void to_stderr(const std::string& text) {
  flush_console();
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int run(const std::vector<std::string>& args) {
  Program p;
  p.args = args;
  int status = 0;
  try {
    dispatch(p);
  } catch (const Stop& s) {
    if (!s.text.empty()) to_stderr(s.text + "\n");
    status = s.status;
  } catch (const Failure& f) {
    to_stderr(diagnostic(f));
    status = f.number();
  } catch (const std::exception& e) {
    // Not a way for a run to end: a fault of the program itself.
    to_stderr(std::string("pdsplit: internal error: ") + e.what() + "\n");
    status = 70;
  }
  flush_console();
  return status;
}

}  // namespace pds

#ifndef PDSPLIT_NO_MAIN
int main(int argc, char** argv) {
  return pds::run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
