// doscar: the layout of DOSCAR as read, the header reader and the readers of
// the total block and of the per-atom blocks: the command line's (DOSCAR of
// the working directory, with console lines and stops) and those for other
// programs (any file, values as doubles, failures only).
//
// Lines of DOSCAR (counted from 1):
//   1        NATOMS in columns 1-4 (I4)
//   2-4      passed over
//   5        system name, columns 1-40 (A40)
//   6        EMAX, EMIN, NPOINTS, EFERMI: (2F16.8,I5,F16.8)
//   7..      total block: NPOINTS data lines of NTCOL values
//   then per atom: one block-header line (never read) and NPOINTS data lines
//            of NPCOL values
// A data line is the energy in columns 1-11 (F11.3) and 12-character value
// fields from column 12 on (E12.4e2). The column counts are not stored in the
// file: they are the number of upper-case "E" in the first 395 characters of
// the first data line of the block (11 + 32 * 12 = 395).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "textio/textio.h"

namespace pds {

struct DoscarHeader {
  std::int32_t NATOMS = 0;
  std::int32_t NPOINTS = 0;
  double EFERMI = 0.0;
  std::int32_t NTCOL = 0;
  std::int32_t NPCOL = 0;
  double EMAX = 0.0;
  double EMIN = 0.0;
  std::string SYSTEM;     // line 5, columns 1-40, without trailing blanks
  bool has_atoms = true;  // false: the file ends before the first data line of atom 1
};

// The input file's name: DOSCAR in the working directory.
inline constexpr const char* kDoscar = "DOSCAR";

// Hands the next line of `in` to read(line), which reads it with `fmt`; the
// malformed number that it may throw is located in the line.
template <typename Read>
void read_located(InFile& in, const LineFormat& fmt, Read read) {
  const std::string_view line = in.line();
  try {
    read(line);
  } catch (Failure& f) {
    locate_malformed_field(f, line, fmt, in.lines());
    throw;
  }
}

// Reads the header lines and measures the column counts from the first line
// of `in`, filling `h` as it goes (what was read before a failure stays).
// Throws Failure: 24 when the file ends early, 64 for a malformed number in
// line 1 or 6, both with their line (and field). With `atoms` false the file
// may end after the total block: has_atoms is then false and NPCOL 0.
void read_header(InFile& in, DoscarHeader& h, bool atoms = true);

// The command line's header step: opens DOSCAR, reads the header, prints the
// summary and returns it. Stops the run (status 1) when DOSCAR cannot be
// opened or its per-atom columns cannot be classified; read failures end the
// run with their diagnostic.
DoscarHeader readheader();

// What the column counts tell. Total lines carry 2 values (DOS, integrated
// DOS) or 4 (each spin up, then down). Per-atom lines carry one value per
// orbital, s p d (l-projected: 3) or s py pz px dxy dyz dz2 dxz x2-y2 (l,m:
// 9), f orbitals added (4, 16), each up and down when spin-polarised.
struct DoscarKind {
  bool known_total = false;  // NTCOL is 2 or 4
  bool spin = false;         // NTCOL is 4
  bool known_atoms = false;  // NPCOL is one of the counts above
  bool lm = false;           // l,m-projected, else l-projected
  bool f = false;            // f orbitals
};
DoscarKind classify(int ntcol, int npcol);

// Names of the value columns in file order: ("dos", "int") or ("up", "down",
// "int_up", "int_down"); orbitals with "_up" and "_down" when spin-polarised.
// Empty for a count of no known kind.
std::vector<std::string> total_columns(const DoscarKind& k);
std::vector<std::string> atom_columns(const DoscarKind& k);

// Loads the total block: NPOINTS rows of NTCOL + 1 values (energy first),
// row after row, into tdos. Prints "Closing DOSCAR file...".
void readtdos(const DoscarHeader& h, double* tdos);

// The per-atom blocks as loaded: for each atom kept, NPOINTS rows of the
// energy and NPCOL value codes (see ValueCode), so that a value written out
// again is its field copied, and its double is computed only for sums. The
// blocks of atoms not kept are read and checked all the same.
struct AtomBlocks {
  std::int64_t rows = 0, n = 0;
  std::vector<std::int64_t> slot;      // atom -> its place among those kept, or -1
  std::unique_ptr<double[]> energy;    // kept atoms x rows
  std::unique_ptr<ValueCode[]> codes;  // kept atoms x rows x n
  std::vector<double> specials;        // values of fields in other shapes
  // Atoms first_summed ... last_summed are added, as they are read (so in
  // ascending order), into `sum`: rows of n values `sum_stride` apart.
  std::int64_t first_summed = 1, last_summed = 0;
  double* sum = nullptr;
  std::int64_t sum_stride = 0;

  // Storage for the atoms with keep[atom] set (keep[0] unused), not
  // zero-filled; throws std::bad_alloc.
  void allocate(const std::vector<bool>& keep, std::int64_t npoints, std::int64_t npcol);
  bool kept(std::int64_t atom) const { return slot[static_cast<std::size_t>(atom)] >= 0; }
  double* energies(std::int64_t atom) const {
    return energy.get() + slot[static_cast<std::size_t>(atom)] * rows;
  }
  ValueCode* values(std::int64_t atom) const {
    return codes.get() + slot[static_cast<std::size_t>(atom)] * rows * n;
  }
};

// Reads every atom's block, keeping those that ldos (allocated by the
// caller) has room for. Prints "Closing DOSCAR file...".
void readdos(const DoscarHeader& h, AtomBlocks& ldos);

// Extents that would be negative count as zero.
inline std::int64_t extent(std::int64_t n) {
  return n < 0 ? 0 : n;
}

// ---------------------------------------------------------------------------
// Reading for other programs (the Python module): any file name, values as
// doubles, nothing printed, no stop. Every problem throws Failure, whose
// detail says in a sentence (detail().text) what went wrong and where.

// The number these readers give the problems for which the command line
// stops with status 1 having done nothing: column counts of no known kind,
// an atom number that is not in the file, an output name that is DOSCAR.
inline constexpr int kNothingDone = 1;

// The DOSCAR that `path` names: `path` itself, or path/DOSCAR for a folder.
std::string doscar_file(std::string_view path);

// Opens `file` and reads its header. Also refuses (kNothingDone) a total
// block of other than 2 or 4 columns and, when `atoms` is set, per-atom lines
// of no known kind; without `atoms` the per-atom blocks may be missing.
DoscarHeader load_header(const std::string& file, bool atoms);

// For each atom 0 ... NATOMS (0 unused) its place among the atoms `kept`, or
// -1; every atom when `kept` is null. Refuses an atom not in `file`.
std::vector<std::int64_t> atom_slots(const std::vector<std::int64_t>* kept, std::int32_t natoms,
                                     const std::string& file);

// Where load_values puts the values: rows of NTCOL + 1 and NPCOL + 1 doubles,
// the energy first, as in the file.
struct ValueArrays {
  double* total = nullptr;         // NPOINTS rows
  bool atoms = false;              // read and check every per-atom block
  std::vector<std::int64_t> slot;  // atom -> its block in `kept`, or -1
  double* kept = nullptr;          // NPOINTS rows per kept atom
  double* energy1 = nullptr;       // atom 1's NPOINTS energies
};

// Reads the total block and, when asked, every per-atom block of `file`,
// whose header is `h`, in one pass. Every value is the double that the
// command line reads from its field.
void load_values(const std::string& file, const DoscarHeader& h, const ValueArrays& out);

// A sum block (rows of n + 1 values): the energy column `energy`, then the
// values of `blocks` (rows of n + 1, the energy first) added up from zero in
// the order given, as the command line's sums add them.
void add_blocks(double* out, const double* energy, const std::vector<const double*>& blocks,
                std::int64_t rows, std::int64_t n);

// Sets f.detail().text, unless a reader set it already: the failure in the
// words of the layout of the DOSCAR whose header (as far as read) is `h`.
void explain(Failure& f, const DoscarHeader& h);

}  // namespace pds
