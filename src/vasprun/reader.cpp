// The reader of vasprun.xml: past its prolog (where a DTD is refused), the
// blocks before the first <calculation> that say what the DOS holds, then a
// byte search from one block that is read to the next up to the <dos> asked
// for, which is read to its </dos>, where reading stops.
#include <algorithm>
#include <string>

#include "vasprun/vasprun.h"

namespace pds {

namespace {

const std::vector<std::int64_t> kNoAtoms;

// Passes over the byte order mark, the XML declaration, comments and
// blanks, to the root element.
void prolog(XmlScan& s) {
  constexpr const char* kWhat = "the start of the file";
  if (s.window(3).starts_with("\xEF\xBB\xBF")) s.advance(3);
  for (;;) {
    s.skip_blanks();
    const std::string_view w = s.window(16);
    if (w.starts_with("<?") || w.starts_with("<!--")) {
      if (s.find({w[1] == '?' ? "?>" : "-->"}) < 0) s.truncated(kWhat);
      s.advance(2);
    } else if (w.starts_with("<!")) {
      s.fail(kNothingDone, "entity",
             "a <!DOCTYPE> declaration: a DTD and its entities are never read (they could "
             "fetch files or expand without end), so this file is refused; VASP writes none");
    } else if (w.starts_with("<modeling") || w.starts_with("<calculation")) {
      return;
    } else {
      s.fail(kFormatSyntax, "not-vasprun",
             "this is not a vasprun.xml: it does not start with <modeling> (or, trimmed, "
             "with a <calculation>)");
    }
  }
}

[[noreturn]] void refuse_no_dos(XmlScan& s, const ReadOptions& o) {
  s.fail(kEndOfFile, "no-dos",
         o.kpoints_opt
             ? "there is no <dos comment=\"kpoints_opt\"> (the DOS of KPOINTS_OPT, VASP 6.3 "
               "and later) before the main <dos>: read it without kpoints_opt"
             : "the file ends without a <dos> block: the run wrote none, or the file is cut "
               "before it");
}

// At "<dos": 1 the main DOS, 2 that of KPOINTS_OPT, 0 another tag.
int dos_tag(XmlScan& s) {
  const std::string_view w = s.window(256);
  if (w.size() < 5) return 0;
  if (w[4] == '>') return 1;
  if (w[4] != ' ') return 0;
  const std::string_view tag = w.substr(0, w.find('>'));
  return tag.find("kpoints_opt") != std::string_view::npos ? 2 : 1;
}

// The blocks before the first <calculation>.
void read_head(XmlScan& s, VasprunRun& r, const ReadOptions& o) {
  for (;;) {
    const int hit = s.find({"<parameters>", "<atominfo>", "<calculation>"});
    if (hit < 0) refuse_no_dos(s, o);
    if (hit == 2) return;
    if (hit == 0) {
      read_parameters(s, r);
    } else {
      read_atominfo(s, r);
    }
  }
}

// After the main </dos>: the eigenvalues that open <projected>, when it
// follows, take the place of those before the DOS (pymatgen takes the last
// <eigenvalues> of the file, which are these; their occupations may differ).
void read_projected_eigenvalues(XmlScan& s, VasprunRun& r) {
  s.skip_blanks();
  if (!s.window(11).starts_with("<projected>")) return;
  s.advance(11);
  s.skip_blanks();
  if (!s.window(13).starts_with("<eigenvalues>")) return;
  VasprunRun projected;
  read_eigenvalues(s, projected);
  if (projected.has_edges) r.edges = projected.edges, r.has_edges = true;
}

// From the first <calculation> to the DOS asked for (and, for the band
// edges with KPOINTS_OPT's DOS, on past the main one, before and after
// which the eigenvalues of the run stand).
void read_calculations(XmlScan& s, VasprunRun& r, DoscarData& d, const ReadOptions& o) {
  bool read = false;
  for (;;) {
    const int hit = o.eigenvalues ? s.find({"<dos", "<structure>", "<eigenvalues>"})
                                  : s.find({"<dos", "<structure>"});
    if (hit < 0 && read) return;
    if (hit < 0) refuse_no_dos(s, o);
    if (hit == 1) {
      read_cell(s, r);
      continue;
    }
    if (hit == 2) {
      read_eigenvalues(s, r);
      continue;
    }
    const int kind = dos_tag(s);
    if (read && kind == 1) {
      if (s.find({"</dos>"}) >= 0) s.advance(6);
      return read_projected_eigenvalues(s, r);
    }
    if (kind == 1 && o.kpoints_opt) refuse_no_dos(s, o);
    if (kind == 0 || (kind == 2) != o.kpoints_opt) {
      s.advance(4);
      continue;
    }
    read_dos_block(s, r, d, o);
    if (!o.eigenvalues) return;
    if (!o.kpoints_opt) return read_projected_eigenvalues(s, r);
    read = true;
  }
}

}  // namespace

std::vector<std::string> read_vasprun_symbols(std::unique_ptr<ByteSource> text,
                                              const std::string& name) {
  XmlScan s(std::move(text), name);
  VasprunRun r;
  prolog(s);
  read_head(s, r, ReadOptions());
  if (r.natoms >= 0 && r.symbols.size() != static_cast<std::size_t>(r.natoms)) return {};
  return r.symbols;
}

DoscarData read_vasprun(std::unique_ptr<ByteSource> text, const std::string& name,
                        const ReadOptions& options) {
  ReadOptions o = options;
  std::vector<std::int64_t> kept;
  if (o.kept != nullptr) {
    kept = *o.kept;
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    o.kept = &kept;
  }
  XmlScan s(std::move(text), name);
  VasprunRun r;
  DoscarData d;
  prolog(s);
  read_head(s, r, o);
  read_calculations(s, r, d, o);
  if (o.atoms && !kept.empty() && !d.h.has_atoms) {
    refuse(kEndOfFile, name, 0,
           name +
               " has no projected DOS (its <dos> has no <partial>); VASP writes it when "
               "LORBIT is set in INCAR (LORBIT = 11: l,m-projected)",
           "no-pdos");
  }
  d.slot = atom_slots(o.atoms ? o.kept : &kNoAtoms, d.h.NATOMS, name);
  const auto natoms = static_cast<std::size_t>(d.h.NATOMS);
  if (r.symbols.size() == natoms) d.symbols = std::move(r.symbols);
  if (r.lattice.size() == 9 && r.positions.size() == 3 * natoms && natoms > 0) {
    d.lattice = std::move(r.lattice);
    d.positions = std::move(r.positions);
  }
  d.has_edges = o.eigenvalues && r.has_edges;
  d.edges = r.edges;
  d.source = "vasprun";
  d.file = name;
  return d;
}

}  // namespace pds
