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

#include <algorithm>
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
  std::string ARGV;               // 5 characters: the option
  double start = 0.0;             // processor time at the title line

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

// The size rule of the arrays: their size in bytes (8 per value) must fit an
// unsigned 32-bit count.
bool too_large(std::int64_t values) {
  return values * 8 > std::int64_t{UINT32_MAX};
}

// Reserves `values` doubles; a size beyond the size rule or storage that
// cannot be had stops the run with `text`.
Array reserve(std::int64_t values, const char* text) {
  if (too_large(values)) throw Stop{1, text};
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

// An output name or stem from argument k: its first 40 characters without
// trailing blanks.
std::string name_argument(const Program& p, int k) {
  return std::string(trimmed(p.arg(k, 40)));
}

// Refuses an output name that is DOSCAR itself under any spelling or link,
// and any name whose last component is DOSCAR: a DOSCAR in another folder is
// as costly to lose as the one being read.
void check_not_doscar(const std::string& name) {
  if (names_doscar(name) || same_file(name, kDoscar)) refuse(kOverwritesDoscar);
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
    if (name.empty()) refuse(kWrongArgument);
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

// What the arguments after the option ask of a projected operation: its
// atoms and output name, or the way the run ends instead. Working this out
// reads nothing and prints nothing, so it can be done before the blocks are
// loaded (only the atoms asked for need to be kept) and acted upon after the
// Fermi line, where the checks of the arguments belong.
struct Request {
  bool every_atom = false;          // -a
  bool sum = false;                 // -s1, -s2: the energies are atom 1's
  bool run = false;                 // -s1: the group is a run of atoms in file order
  std::vector<std::int32_t> atoms;  // -p: the atom; sums: the group in order
  std::string name;                 // the output name, or the stem of -a and -p
  std::string_view refusal;         // the reason of an error box
  int blank = 0;                    // an atom-number argument of blanks only

  bool ends_run() const { return !refusal.empty() || blank != 0; }
  void refuse(std::string_view reason) {
    if (!ends_run()) refusal = reason;
  }
};

// The atom number in argument k, read from its first five characters.
// Returns false when the text is rejected; a blank text is noted in r.
bool index_at(const Program& p, int k, Request& r, std::int32_t& value) {
  FreeInt f = read_free_int(p.arg(k, 5));
  if (f.status == FreeInt::kEnd) r.blank = k;
  if (f.status == FreeInt::kValue) value = f.value;  // a null value keeps 0
  return f.status == FreeInt::kValue || f.status == FreeInt::kNull;
}

bool valid_atom(std::int32_t a, std::int32_t natoms) {
  return a >= 1 && a <= natoms;
}

Request ask_all(const Program& p, std::int32_t) {
  Request r;
  r.every_atom = true;
  r.name = "iLDOS";
  if (p.count() == 2) r.name = name_argument(p, 2);
  if (p.count() > 2) r.refuse(kTooMany);
  return r;
}

Request ask_one(const Program& p, std::int32_t natoms) {
  Request r;
  if (p.count() == 1) r.refuse(kNoAtom);
  if (p.count() > 3) r.refuse(kTooMany);
  if (r.ends_run()) return r;
  std::int32_t n = 0;
  if (!index_at(p, 2, r, n) || r.blank || !valid_atom(n, natoms)) {
    r.refuse(kWrongIndex);
    return r;
  }
  r.atoms = {n};
  r.name = p.count() == 3 ? name_argument(p, 3) : "iLDOS";
  return r;
}

// -s1 N1 N2 [name]: a rejected end stops at once; an end out of range only
// after both ends are read. The group runs upward, whichever end is first.
Request ask_run(const Program& p, std::int32_t natoms) {
  Request r;
  r.sum = r.run = true;
  if (p.count() == 1) r.refuse(kNoAtom);
  if (p.count() == 2) r.refuse(kTooFew);
  if (p.count() > 4) r.refuse(kTooMany);
  if (r.ends_run()) return r;
  std::int32_t n1 = 0, n2 = 0;
  if (!index_at(p, 2, r, n1) || r.blank || !index_at(p, 3, r, n2) || r.blank) {
    r.refuse(kWrongIndex);
    return r;
  }
  if (!valid_atom(n1, natoms) || !valid_atom(n2, natoms)) r.refuse(kWrongIndex);
  r.name = "iSUMDOS";
  if (p.count() == 4) {
    r.name = name_argument(p, 4);
    if (r.name.empty()) r.refuse(kWrongArgument);
  }
  for (std::int32_t a = std::min(n1, n2); a <= std::max(n1, n2) && !r.ends_run(); ++a) {
    r.atoms.push_back(a);
  }
  return r;
}

// -s2 N1 N2 ... [name]: a rejected text is an error, except in last place
// (of at least two), where it is the output name. The numbers are checked
// only after the whole list is read; repeats count twice.
Request ask_list(const Program& p, std::int32_t natoms) {
  Request r;
  r.sum = true;
  const int m = p.count();
  if (m == 1) r.refuse(kNoAtom);
  r.name = "iSUMDOS";
  for (int i = 2; i <= m && !r.ends_run(); ++i) {
    std::int32_t n = 0;
    if (index_at(p, i, r, n)) {
      r.atoms.push_back(n);
    } else if (i == m && m > 2) {
      r.name = name_argument(p, m);
    } else {
      r.refuse(kWrongIndex);
    }
  }
  for (std::int32_t a : r.atoms) {
    if (!valid_atom(a, natoms)) r.refuse(kWrongIndex);
  }
  if (r.ends_run()) r.atoms.clear();
  return r;
}

// Ends the run as the request says, if it says so.
void act_on(const Request& r) {
  if (r.blank != 0) {
    throw Failure(kEndOfFile, kUnitInternal, "command-line argument " + std::to_string(r.blank));
  }
  if (!r.refusal.empty()) refuse(r.refusal);
}

// The loaded per-atom blocks and the output block of a sum.
struct Projected {
  DoscarHeader h;
  Request request;
  AtomBlocks ldos;
  Array dos;  // NPOINTS rows of NPCOL + 1 values, the energy first
  double shift = 0.0;
};

using Ask = Request (*)(const Program&, std::int32_t);

// Title, header, arrays, load and Fermi line: the same for -a, -p, -s1, -s2.
// Every atom's block is read and checked; only those asked for are kept.
Projected prepare(Program& p, std::string_view title, Ask ask) {
  say(title);
  p.start = cpu_time();
  Projected d;
  d.h = readheader();
  d.request = ask(p, d.h.NATOMS);
  const std::int64_t rows = extent(d.h.NPOINTS), width = extent(std::int64_t{d.h.NPCOL} + 1);
  // The size rule counts double-precision values for every atom.
  const char* kInput = "Allocate input array failed!";
  if (too_large(extent(d.h.NATOMS) * rows * width)) throw Stop{1, kInput};
  const Request& r = d.request;
  const bool running_sum = r.run && !r.atoms.empty();
  std::vector<bool> keep(static_cast<std::size_t>(extent(d.h.NATOMS)) + 1,
                         r.every_atom && !r.ends_run());
  if (!running_sum) {
    for (std::int32_t a : r.atoms) keep[static_cast<std::size_t>(a)] = true;
  }
  if (r.sum && !r.atoms.empty()) keep[1] = true;  // the energies of a sum
  try {
    d.ldos.allocate(keep, d.h.NPOINTS, d.h.NPCOL);
  } catch (const std::bad_alloc&) {
    throw Stop{1, kInput};
  }
  d.dos = reserve(rows * width, "Allocate output array failed!");
  if (r.sum) std::fill(d.dos.get(), d.dos.get() + rows * width, 0.0);  // sums start at zero
  if (running_sum) {
    // A run of atoms is added up while it is read: the same additions in
    // the same order as afterwards, without keeping the blocks.
    d.ldos.first_summed = r.atoms.front();
    d.ldos.last_summed = r.atoms.back();
    d.ldos.sum = d.dos.get() + 1;
    d.ldos.sum_stride = width;
  }
  readdos(d.h, d.ldos);
  d.shift = fermi_shift(p, d.h);
  act_on(d.request);
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

void all_atoms(Program& p) {
  Projected d = prepare(p, "::: PROJECTED DOS FOR ALL ATOMS :::", ask_all);
  const std::string& stem = d.request.name;
  for (std::int32_t a = 1; a <= d.h.NATOMS; ++a) check_not_doscar(stem + suffix(a));
  say("Creating output files...");
  for (std::int32_t a = 1; a <= d.h.NATOMS; ++a) write_atom(d, a, stem + suffix(a));
  release(d);
  finish(p);
}

void one_atom(Program& p) {
  Projected d = prepare(p, "::: PROJECTED DOS FOR AN ATOM :::", ask_one);
  const std::int32_t atom = d.request.atoms[0];
  const std::string name = d.request.name + suffix(atom);
  check_not_doscar(name);
  say("Creating output file...");
  write_atom(d, atom, name);
  release(d);
  finish(p);
}

// ------------------------------------------------------------ sums

// Adds the blocks of the group in its order into the output block, whose
// energy column is atom 1's, and writes it.
void write_sum(Program& p, Projected& d) {
  check_not_doscar(d.request.name);
  const AtomBlocks& b = d.ldos;
  const std::int64_t w = b.n + 1;
  double* dos = d.dos.get();
  const double* energy = b.energies(1);
  for (std::int64_t j = 0; j < b.rows; ++j) dos[j * w] = energy[j];
  // A run of atoms was added up while it was read.
  for (std::int32_t a : d.request.run ? std::vector<std::int32_t>() : d.request.atoms) {
    const ValueCode* codes = b.values(a);
    for (std::int64_t j = 0; j < b.rows; ++j) {
      add_code_values(dos + j * w + 1, codes + j * b.n, static_cast<std::size_t>(b.n), b.specials);
    }
  }
  say("Creating output file...");
  writedos(d.request.name, d.shift, dos, d.h.NPOINTS, d.h.NPCOL);
  release(d);
  finish(p);
}

void run_of_atoms(Program& p) {
  Projected d = prepare(p, "::: SUM PROJECTED DOS OF SEQUENTIAL ATOMS :::", ask_run);
  write_sum(p, d);
}

void list_of_atoms(Program& p) {
  Projected d = prepare(p, "::: SUM PROJECTED DOS OF DISCRETE ATOMS :::", ask_list);
  write_sum(p, d);
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
