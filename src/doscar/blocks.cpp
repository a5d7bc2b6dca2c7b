// Readers of the data blocks: the total block and the per-atom blocks. The
// command line's readers each open DOSCAR afresh, pass over what they do not
// need and close it; load_values() reads both kinds of block in one pass.
#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

namespace {

// Reads `rows` data lines into out, row after row of n + 1 values.
void read_rows(InFile& in, const LineFormat& fmt, std::int64_t rows, double* out) {
  if (rows <= 0) return;
  if (!fmt.valid()) throw Failure(kFormatSyntax, in.stream().unit, in.stream().name);
  const std::size_t width = static_cast<std::size_t>(fmt.codes()[1].repeat) + 1;
  for (std::int64_t j = 0; j < rows; ++j, out += width) {
    read_located(in, fmt,
                 [&](std::string_view line) { read_data_line(line, fmt, out, in.stream()); });
  }
}

// The doubles of a per-atom data line read as codes: the energy, then the
// values of the codes that the command line keeps for the fields (the values
// its sums add up). add_code_values() is the fast conversion: 0.0 + v is v,
// except for v = -0.0, which only a field of another shape can give.
void code_row(double* row, double energy, const ValueCode* codes, std::size_t n,
              const std::vector<double>& specials) {
  row[0] = energy;
  std::fill(row + 1, row + 1 + n, 0.0);
  add_code_values(row + 1, codes, n, specials);
  for (std::size_t k = 0; k < n; ++k) {
    if (codes[k] & kSpecialCode) row[k + 1] = code_value(codes[k], specials);
  }
}

void skip_lines(InFile& in, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) in.skip();
}

// Reads the blocks of atoms first ... last, the first block-header line next
// in `in`, into the kept blocks of `out` as doubles.
void read_atoms(InFile& in, const DoscarHeader& h, const ValueArrays& out, std::int32_t first,
                std::int32_t last) {
  const std::int64_t rows = extent(h.NPOINTS);
  const auto n = static_cast<std::size_t>(extent(h.NPCOL));
  const LineFormat fmt = LineFormat::data_in(h.NPCOL);
  std::vector<ValueCode> codes(n);
  std::vector<double> specials;
  for (std::int32_t a = first; a <= last; ++a) {
    in.skip();  // the block-header line of the atom
    const std::int64_t slot = out.slot[static_cast<std::size_t>(a)];
    for (std::int64_t j = 0; j < rows; ++j) {
      double energy;
      read_located(in, fmt, [&](std::string_view line) {
        read_coded_line(line, fmt, energy, codes.data(), specials, in.stream());
      });
      if (a == 1) out.energy1[j] = energy;
      // Every block is read and checked; only the kept ones are converted.
      if (slot >= 0) {
        code_row(out.kept + (slot * rows + j) * std::int64_t(n + 1), energy, codes.data(), n,
                 specials);
      }
      specials.clear();
    }
  }
}

}  // namespace

void readtdos(const DoscarHeader& h, double* tdos) {
  LineFormat fmt = LineFormat::data_in(h.NTCOL);
  InFile in(kUnitDoscar, kDoscar);
  skip_lines(in, 6);
  read_rows(in, fmt, h.NPOINTS, tdos);
  say("Closing DOSCAR file...");
}

void AtomBlocks::allocate(const std::vector<bool>& keep, std::int64_t npoints, std::int64_t npcol) {
  rows = extent(npoints);
  n = extent(npcol);
  slot.assign(keep.size(), -1);
  std::int64_t count = 0;
  for (std::size_t a = 1; a < keep.size(); ++a) {
    if (keep[a]) slot[a] = count++;
  }
  energy.reset(new double[static_cast<std::size_t>(count * rows)]);
  codes.reset(new ValueCode[static_cast<std::size_t>(count * rows * n)]);
  specials.clear();
}

void readdos(const DoscarHeader& h, AtomBlocks& ldos) {
  LineFormat fmt = LineFormat::data_in(h.NPCOL);
  InFile in(kUnitDoscar, kDoscar);
  skip_lines(in, std::int64_t{h.NPOINTS} + 6);
  double scratch_energy;
  std::vector<ValueCode> scratch_codes(static_cast<std::size_t>(ldos.n));
  std::vector<double> scratch_specials;
  for (std::int32_t a = 1; a <= h.NATOMS; ++a) {
    in.skip();  // the block-header line of the atom
    if (ldos.rows > 0 && !fmt.valid()) {
      throw Failure(kFormatSyntax, in.stream().unit, in.stream().name);
    }
    const bool keep = ldos.kept(a);
    const bool summed = a >= ldos.first_summed && a <= ldos.last_summed;
    // An atom not kept goes, row after row, through the scratch space.
    std::vector<double>& specials = keep ? ldos.specials : scratch_specials;
    const auto n = static_cast<std::size_t>(ldos.n);
    for (std::int64_t j = 0; j < ldos.rows; ++j) {
      double& energy = keep ? ldos.energies(a)[j] : scratch_energy;
      ValueCode* row = keep ? ldos.values(a) + j * ldos.n : scratch_codes.data();
      read_coded_line(in.line(), fmt, energy, row, specials, in.stream());
      if (summed) add_code_values(ldos.sum + j * ldos.sum_stride, row, n, specials);
      if (!keep) scratch_specials.clear();
    }
  }
  say("Closing DOSCAR file...");
}

void load_values(const std::string& file, const DoscarHeader& h, const ValueArrays& out) {
  // The last atoms are read by a second thread with a file of its own, which
  // passes over the lines before them meanwhile. Passing over a line takes
  // about a fifth of the time of reading it, so the second thread takes 4/9
  // of the atoms for the two to end together. A failure in the first part
  // comes first in the file, so it is the one reported.
  const std::int32_t natoms = out.atoms ? h.NATOMS : 0;
  std::int32_t split = natoms >= 2 && std::thread::hardware_concurrency() > 1
                           ? static_cast<std::int32_t>(std::int64_t{natoms} * 5 / 9) + 1
                           : natoms + 1;
  std::exception_ptr second_failure;
  std::thread second;
  if (split <= natoms) {
    try {
      second = std::thread([&, split] {
        try {
          InFile in(kUnitDoscar, file);
          skip_lines(in, 6 + extent(h.NPOINTS) + (split - 1) * (extent(h.NPOINTS) + 1));
          read_atoms(in, h, out, split, natoms);
        } catch (...) {
          second_failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      split = natoms + 1;  // no second thread: this one reads every block
    }
  }
  struct Join {
    std::thread& t;
    ~Join() {
      if (t.joinable()) t.join();
    }
  } join{second};
  try {
    InFile in(kUnitDoscar, file);
    skip_lines(in, 6);
    read_rows(in, LineFormat::data_in(h.NTCOL), extent(h.NPOINTS), out.total);
    read_atoms(in, h, out, 1, split - 1);
    if (second.joinable()) second.join();
    if (second_failure) std::rethrow_exception(second_failure);
  } catch (Failure& f) {
    explain(f, h);
    throw;
  }
}

}  // namespace pds
