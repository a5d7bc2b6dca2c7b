// The small blocks of vasprun.xml before its DOS: <parameters> (spin and
// non-collinearity), <atominfo> (the element of every atom) and a
// calculation's <structure> (its cell and positions). Each is held whole
// and searched; values of the block that are not read are never looked at,
// so that a Fortran overflow (******) elsewhere in it does no harm.
#include <cstring>
#include <string>

#include "vasprun/vasprun.h"

namespace pds {

namespace {

std::string_view trim(std::string_view t) {
  const std::size_t first = t.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return t.substr(first, t.find_last_not_of(" \t\r\n") - first + 1);
}

// The text of the element after the first `key` in `b` (from `from`): what
// stands between the next '>' and the next '<'; `end` receives where it
// stops. Empty with end npos when `key` is not there.
std::string_view text_after(std::string_view b, std::string_view key, std::size_t from,
                            std::size_t& end) {
  end = std::string_view::npos;
  const std::size_t at = b.find(key, from);
  if (at == std::string_view::npos) return {};
  const std::size_t gt = b.find('>', at);
  const std::size_t lt = gt == std::string_view::npos ? gt : b.find('<', gt);
  if (lt == std::string_view::npos) return {};
  end = lt;
  return trim(b.substr(gt + 1, lt - gt - 1));
}

// A logical of <parameters>: 1 true (T, .TRUE.), 0 false, -1 neither.
int logical(std::string_view v) {
  if (v.starts_with('.')) v.remove_prefix(1);
  if (v.empty()) return -1;
  if (v[0] == 'T' || v[0] == 't') return 1;
  if (v[0] == 'F' || v[0] == 'f') return 0;
  return -1;
}

// The values of the rows <v> x y z </v> of the varray `name` in `b`, three
// a row; false when a value is not a number.
bool varray(std::string_view b, std::string_view name, std::vector<double>& out) {
  out.clear();
  const std::size_t at = b.find(name);
  if (at == std::string_view::npos) return true;
  const std::size_t stop = b.find("</varray>", at);
  std::size_t pos = at, end = 0;
  for (;;) {
    const std::size_t v = b.find("<v>", pos);
    if (v == std::string_view::npos || v > stop) return true;
    std::string_view t = text_after(b, "<v>", v, end);
    for (int k = 0; k < 3; ++k) {
      t = trim(t);
      const std::size_t space = t.find_first_of(" \t");
      double x = 0.0;
      if (!parse_xml_number(t.substr(0, space), x)) return false;
      out.push_back(x);
      t = space == std::string_view::npos ? std::string_view() : t.substr(space);
    }
    pos = end;
  }
}

// An element symbol as pymatgen reads it from <atominfo>: VASP writes Xe
// as "X" and Zr as "r" there.
std::string element(std::string_view c) {
  if (c == "X") return "Xe";
  if (c == "r") return "Zr";
  return std::string(c);
}

}  // namespace

void read_parameters(XmlScan& s, VasprunRun& r) {
  const std::string_view b = s.block("</parameters>", "<parameters>");
  std::size_t end = 0;
  const std::string_view ispin = text_after(b, "name=\"ISPIN\"", 0, end);
  int noncollinear = 0;
  for (const char* key : {"name=\"LNONCOLLINEAR\"", "name=\"LSORBIT\""}) {
    if (logical(text_after(b, key, 0, end)) == 1) noncollinear = 1;
  }
  if (noncollinear == 1) {
    r.spin_sets = 4;
  } else if (ispin == "1" || ispin == "2") {
    r.spin_sets = ispin[0] - '0';
  }
  s.advance(b.size());
}

void read_atominfo(XmlScan& s, VasprunRun& r) {
  const std::string_view b = s.block("</atominfo>", "<atominfo>");
  std::size_t end = 0;
  const std::string atoms(text_after(b, "<atoms>", 0, end));
  if (!atoms.empty() && atoms.find_first_not_of("0123456789") == std::string::npos &&
      atoms.size() < 10) {
    r.natoms = std::stoll(atoms);
  }
  const std::size_t array = b.find("<array name=\"atoms\"");
  const std::size_t set = array == std::string_view::npos ? array : b.find("<set>", array);
  const std::size_t stop = set == std::string_view::npos ? set : b.find("</set>", set);
  r.symbols.clear();
  for (std::size_t pos = set; stop != std::string_view::npos;) {
    const std::size_t rc = b.find("<rc>", pos);
    if (rc == std::string_view::npos || rc > stop) break;
    r.symbols.push_back(element(text_after(b, "<c>", rc, end)));
    pos = end;
  }
  if (r.natoms >= 0 && r.symbols.size() != static_cast<std::size_t>(r.natoms)) {
    s.fail(kConversion, "malformed-xml",
           "<atominfo> names " + std::to_string(r.symbols.size()) + " atoms in its <array " +
               "name=\"atoms\"> but says <atoms> " + std::to_string(r.natoms) + "</atoms>");
  }
  if (r.natoms < 0 && !r.symbols.empty()) r.natoms = static_cast<std::int64_t>(r.symbols.size());
  s.advance(b.size());
}

void read_cell(XmlScan& s, VasprunRun& r) {
  const std::string_view b = s.block("</structure>", "<structure>");
  if (!varray(b, "name=\"basis\"", r.lattice) || !varray(b, "name=\"positions\"", r.positions) ||
      r.lattice.size() != 9) {
    // A cell that cannot be read is left out: only to_pymatgen() needs it.
    r.lattice.clear();
    r.positions.clear();
  }
  s.advance(b.size());
}

}  // namespace pds
