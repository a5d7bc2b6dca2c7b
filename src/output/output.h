// output: the DOS column files.
//
// One line per grid point, nothing else (no title, no blank lines):
//   columns 1-11                  energy minus the shift value, F11.3
//   columns 12+12(k-1)..23+12(k-1) value k unchanged, E12.4 (k = 1..n)
// so a line is 11 + 12n characters and a LF.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "textio/textio.h"

namespace pds {

// Writes `rows` lines of `block` (row after row of n + 1 values, the energy
// first) into the file `filename` (trailing blanks ignored), emptying it
// first; `first_line` (with its LF), when given, goes before them. Fails with
// 66 for n >= 100 before the file is opened, and with 62 at the first line
// for n = 0.
void writedos(std::string_view filename, double shift, const double* block, std::int64_t rows,
              int n, std::string_view first_line = {});

// The same for a block loaded as energies and value codes (rows of n codes).
void writedos(std::string_view filename, double shift, const double* energy, const ValueCode* codes,
              const std::vector<double>& specials, std::int64_t rows, int n);

// True when `filename` names the same file (device and inode) as `other`.
bool same_file(std::string_view filename, std::string_view other);

// True when the last path component of `filename`, trailing blanks dropped,
// is exactly "DOSCAR" ("../runB/DOSCAR", "sub/./DOSCAR"): such a name is
// never written, whether the file exists or not.
bool names_doscar(std::string_view filename);

// Throws Failure (1, unit 11, its detail().text saying why) when the
// library's writers must not write `filename` (trailing blanks ignored): an
// empty name; a last component DOSCAR, DOSCAR.gz, DOSCAR.xz or DOSCAR.bz2;
// an existing file that is `input` (the file being read; "" none) or a
// DOSCAR under another name: a symbolic link to one, or a hard link (the
// same device and inode) to one in the folder of the name or of the file it
// resolves to (guard.cpp).
void refuse_output(std::string_view filename, std::string_view input = {});

}  // namespace pds
