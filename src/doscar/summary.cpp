// The command line's header step: DOSCAR of the working directory opened,
// its header read, and what was found printed.
#include <memory>
#include <string>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

namespace {

// Prints the calculation and projection type; stops after an unknown
// projection when the total block is recognised.
void print_kind(int ntcol, int npcol) {
  const DoscarKind k = classify(ntcol, npcol);
  if (!k.known_total) return;
  say(k.spin ? "Calc. type: spin polarized" : "Calc. type: non-spin polarized");
  if (!k.known_atoms) {
    say("LDOS type: Unspecified");
    throw Stop{1, {}};
  }
  say("LDOS type: ", k.lm ? "l,m-projected" : "l-projected");
  say("Orbitals found: ", k.f ? "s p d f" : "s p d");
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
  std::unique_ptr<InFile> in;
  if (InFile::try_open(kUnitDoscar, kDoscar, in) != 0) {
    say("Error! There is no DOSCAR in current directory");
    throw Stop{1, {}};
  }
  // After the open and before the first line: a failure inside the header
  // shows below this line.
  say("Opening DOSCAR file...");
  DoscarHeader h;
  read_header(*in, h);
  in.reset();

  say("System name: ", h.SYSTEM);
  print_kind(h.NTCOL, h.NPCOL);
  summary(h);
  return h;
}

}  // namespace pds
