// The header reader: six header lines, the column counts, the classification
// and the summary.
#include <algorithm>
#include <string>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

namespace {

constexpr std::size_t kLineWidth = 395;  // energy + 32 value fields

int count_exponent_letters(std::string_view line) {
  line = line.substr(0, std::min(line.size(), kLineWidth));
  return static_cast<int>(std::count(line.begin(), line.end(), 'E'));
}

// Prints the calculation and projection type; stops after an unknown
// projection when the total block is recognised.
void classify(int ntcol, int npcol) {
  struct Kind {
    int npcol;
    const char* ldos;
    const char* orbitals;
  };
  static constexpr Kind kSpin[] = {{6, "l-projected", "s p d"},
                                   {8, "l-projected", "s p d f"},
                                   {18, "l,m-projected", "s p d"},
                                   {32, "l,m-projected", "s p d f"}};
  static constexpr Kind kNonSpin[] = {{3, "l-projected", "s p d"},
                                      {4, "l-projected", "s p d f"},
                                      {9, "l,m-projected", "s p d"},
                                      {16, "l,m-projected", "s p d f"}};
  if (ntcol != 4 && ntcol != 2) return;
  say(ntcol == 4 ? "Calc. type: spin polarized" : "Calc. type: non-spin polarized");
  for (const Kind& k : ntcol == 4 ? kSpin : kNonSpin) {
    if (k.npcol == npcol) {
      say("LDOS type: ", k.ldos);
      say("Orbitals found: ", k.orbitals);
      return;
    }
  }
  say("LDOS type: Unspecified");
  throw Stop{1, {}};
}

void summary(const DoscarHeader& h) {
  static const LineFormat kAtoms = LineFormat::compile("(1X,A17,I4)");
  static const LineFormat kEnergy = LineFormat::compile("(1X,A17,F8.3)");
  static const LineFormat kFermi = LineFormat::compile("(1X,A18,F8.3)");
  static const LineFormat kPoints = LineFormat::compile("(1X,A22,I5)");
  say_formatted(kAtoms, {"Number of atoms: ", h.NATOMS});
  say_formatted(kEnergy, {"Energy min (eV): ", h.EMIN});
  say_formatted(kEnergy, {"Energy max (eV): ", h.EMAX});
  say_formatted(kFermi, {"Fermi level (eV): ", h.EFERMI});
  // The label is one character longer than its A22 field: the blank is cut.
  say_formatted(kPoints, {"Number of grid points: ", h.NPOINTS});
}

}  // namespace

DoscarHeader readheader() {
  static const LineFormat kI4 = LineFormat::compile("(I4)");
  static const LineFormat kA40 = LineFormat::compile("(A40)");
  static const LineFormat kLine6 = LineFormat::compile("(2F16.8,I5,F16.8)");
  static const LineFormat kA = LineFormat::compile("(A)");

  std::unique_ptr<InFile> in;
  if (InFile::try_open(kUnitDoscar, kDoscar, in) != 0) {
    say("Error! There is no DOSCAR in current directory");
    throw Stop{1, {}};
  }
  const Stream& where = in->stream();
  say("Opening DOSCAR file...");

  DoscarHeader h;
  std::string system, line;
  read_fields(in->line(), kI4, {Target::Int(h.NATOMS)}, where);
  for (int i = 0; i < 3; ++i) in->skip();
  read_fields(in->line(), kA40, {Target::Text(system, 40)}, where);
  read_fields(
      in->line(), kLine6,
      {Target::Real(h.EMAX), Target::Real(h.EMIN), Target::Int(h.NPOINTS), Target::Real(h.EFERMI)},
      where);
  read_fields(in->line(), kA, {Target::Text(line, kLineWidth)}, where);
  h.NTCOL = count_exponent_letters(line);
  for (std::int32_t i = 0; i < h.NPOINTS; ++i) in->skip();
  read_fields(in->line(), kA, {Target::Text(line, kLineWidth)}, where);
  h.NPCOL = count_exponent_letters(line);
  in.reset();

  say("System name: ", trimmed(system));
  classify(h.NTCOL, h.NPCOL);
  summary(h);
  return h;
}

}  // namespace pds
