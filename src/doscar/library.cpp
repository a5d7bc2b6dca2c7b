// Reading for other programs: the file a path names, the header with the
// checks of its kind, the atoms kept, and sums of blocks held as doubles.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

namespace {

// A refusal of the file or of an argument, with its sentence and line.
[[noreturn]] void refuse(const std::string& file, std::int64_t line, std::string text) {
  Failure f(kNothingDone, kUnitDoscar, file);
  f.detail().line = line;
  f.detail().text = std::move(text);
  throw f;
}

void check_kind(const std::string& file, const DoscarHeader& h, bool atoms) {
  const DoscarKind k = classify(h.NTCOL, h.NPCOL);
  if (!k.known_total) {
    refuse(file, 7,
           file + ": line 7 has " + std::to_string(h.NTCOL) +
               " value fields; the total block of a DOSCAR has 2 (non-spin-polarised) or 4 "
               "(spin-polarised)");
  }
  if (atoms && !k.known_atoms) {
    // The first data line of atom 1, where the per-atom columns are counted.
    const std::int64_t line = 8 + extent(h.NPOINTS);
    refuse(file, line,
           file + ": line " + std::to_string(line) + " has " + std::to_string(h.NPCOL) +
               " value fields, a per-atom column count of no known kind (" +
               (k.spin ? "6, 8, 18 or 32 when spin-polarised" : "3, 4, 9 or 16 without spin") +
               "), as a non-collinear run writes; only the total block can be read");
  }
}

}  // namespace

std::string doscar_file(std::string_view path) {
  std::string name(path);
  struct stat st {};
  if (stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    name += name.ends_with('/') ? "DOSCAR" : "/DOSCAR";
  }
  return name;
}

DoscarHeader load_header(const std::string& file, bool atoms) {
  DoscarHeader h;
  try {
    InFile in(kUnitDoscar, file);
    read_header(in, h, atoms);
    check_kind(file, h, atoms);
  } catch (Failure& f) {
    explain(f, h);
    throw;
  }
  return h;
}

std::vector<std::int64_t> atom_slots(const std::vector<std::int64_t>* kept, std::int32_t natoms,
                                     const std::string& file) {
  std::vector<bool> keep(static_cast<std::size_t>(extent(natoms)) + 1, kept == nullptr);
  for (std::int64_t a : kept != nullptr ? *kept : std::vector<std::int64_t>()) {
    if (a < 1 || a > natoms) {
      refuse(file, 0,
             "atom " + std::to_string(a) + " is not in " + file + ", which has " +
                 std::to_string(natoms) + (natoms == 1 ? " atom" : " atoms"));
    }
    keep[static_cast<std::size_t>(a)] = true;
  }
  // Places in file order, the order in which the blocks are read.
  std::vector<std::int64_t> slot(keep.size(), -1);
  std::int64_t count = 0;
  for (std::size_t a = 1; a < keep.size(); ++a) {
    if (keep[a]) slot[a] = count++;
  }
  return slot;
}

void add_blocks(double* out, const double* energy, const std::vector<const double*>& blocks,
                std::int64_t rows, std::int64_t n) {
  const std::int64_t w = n + 1;
  for (std::int64_t j = 0; j < rows; ++j) {
    out[j * w] = energy[j];
    std::fill(out + j * w + 1, out + (j + 1) * w, 0.0);  // sums start at zero
  }
  for (const double* b : blocks) {
    for (std::int64_t j = 0; j < rows; ++j) {
      for (std::int64_t k = 1; k < w; ++k) out[j * w + k] += b[j * w + k];
    }
  }
}

}  // namespace pds
