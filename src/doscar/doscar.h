// doscar: the layout of DOSCAR as read, the header reader and the readers of
// the total block and of the per-atom blocks.
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
};

// The input file's name: DOSCAR in the working directory.
inline constexpr const char* kDoscar = "DOSCAR";

// Reads and classifies the header, prints the summary and returns it. Stops
// the run (status 1) when DOSCAR cannot be opened or its per-atom columns
// cannot be classified; read failures end the run with their diagnostic.
DoscarHeader readheader();

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

}  // namespace pds
