// Reading for other programs: the file a path names, refusals, the atoms
// kept, and sums of blocks held as doubles.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

void refuse(int number, const std::string& file, std::int64_t line, std::string text,
            std::string cause) {
  Failure f(number, kUnitDoscar, file);
  f.detail().line = line;
  f.detail().text = std::move(text);
  f.set_cause(std::move(cause));
  throw f;
}

std::string doscar_file(std::string_view path) {
  std::string name(path);
  struct stat st {};
  if (stat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return name;
  if (!name.ends_with('/')) name += '/';
  std::string other;  // the first that exists, of another kind
  for (const char* candidate : kDoscarNames) {
    const std::string file = name + candidate;
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return file;
    if (other.empty() && lstat(file.c_str(), &st) == 0) other = file;
  }
  return other.empty() ? name + kDoscarNames[0] : other;
}

std::vector<std::int64_t> atom_slots(const std::vector<std::int64_t>* kept, std::int32_t natoms,
                                     const std::string& file) {
  std::vector<bool> keep(static_cast<std::size_t>(extent(natoms)) + 1, kept == nullptr);
  for (std::int64_t a : kept != nullptr ? *kept : std::vector<std::int64_t>()) {
    if (a < 1 || a > natoms) {
      refuse(kNothingDone, file, 0,
             "atom " + std::to_string(a) + " is not in " + file + ", which has " +
                 std::to_string(natoms) + (natoms == 1 ? " atom" : " atoms"),
             "atom-not-in-file");
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
