// The command line's readers of the data blocks: the total block and the
// per-atom blocks. Each opens DOSCAR afresh, passes over what it does not
// need and closes it.
#include <string>

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

void skip_lines(InFile& in, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) in.skip();
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

}  // namespace pds
