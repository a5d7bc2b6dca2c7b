// The header reader: six header lines and the column counts; the kinds of
// DOSCAR that the counts stand for and the names of their columns.
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

// Reads the next line with `fmt`.
void read_line(InFile& in, const LineFormat& fmt, const std::vector<Target>& targets) {
  read_located(in, fmt,
               [&](std::string_view line) { read_fields(line, fmt, targets, in.stream()); });
}

}  // namespace

void read_header_lines(InFile& in, DoscarHeader& h) {
  static const LineFormat kI4 = LineFormat::compile("(I4)");
  static const LineFormat kA40 = LineFormat::compile("(A40)");

  std::string system;
  const std::string line1(in.line());
  read_located_line(line1, in.lines(), kI4, {Target::Int(h.NATOMS)}, in.stream());
  // The third integer (columns 9-12): 1 when per-atom blocks follow, 0 when
  // the file ends after its total blocks; absent or unreadable: -1.
  std::int32_t flag = -1;
  const std::string_view third = line1.size() > 8 ? std::string_view(line1).substr(8, 4) : "";
  if (third.find_first_not_of(' ') != std::string_view::npos && parse_int(third, flag)) {
    h.pdos_flag = flag;
  }
  for (int i = 0; i < 3; ++i) in.skip();
  read_line(in, kA40, {Target::Text(system, 40)});
  h.SYSTEM = std::string(trimmed(system));
  read_line(
      in, line6_format(),
      {Target::Real(h.EMAX), Target::Real(h.EMIN), Target::Int(h.NPOINTS), Target::Real(h.EFERMI)});
}

const LineFormat& line6_format() {
  static const LineFormat kLine6 = LineFormat::compile("(2F16.8,I5,F16.8)");
  return kLine6;
}

void read_located_line(std::string_view line, std::int64_t number, const LineFormat& fmt,
                       const std::vector<Target>& targets, const Stream& where) {
  read_located(line, number, fmt, [&] { read_fields(line, fmt, targets, where); });
}

void read_header(InFile& in, DoscarHeader& h, bool atoms) {
  read_header_lines(in, h);
  h.NTCOL = count_exponent_letters(in.line());
  // The rest of the total block, then atom 1's block-header line.
  for (std::int32_t i = 1; i < h.NPOINTS; ++i) in.skip();
  std::string_view line;
  if (atoms) {
    if (h.NPOINTS > 0) in.skip();
    line = in.line();
  } else {
    // A file without per-atom blocks may end here.
    const bool block_header = h.NPOINTS <= 0 || in.next(line);
    h.has_atoms = block_header && in.next(line);
    if (!h.has_atoms) return;
  }
  h.NPCOL = count_exponent_letters(line);
}

DoscarKind classify(int ntcol, int npcol) {
  struct Projection {
    int orbitals;
    bool lm, f;
  };
  static constexpr Projection kProjections[] = {
      {3, false, false}, {4, false, true}, {9, true, false}, {16, true, true}};
  DoscarKind k;
  k.known_total = ntcol == 2 || ntcol == 4;
  k.spin = ntcol == 4;
  for (const Projection& p : kProjections) {
    if (k.known_total && p.orbitals * (k.spin ? 2 : 1) == npcol) {
      k.known_atoms = true;
      k.lm = p.lm;
      k.f = p.f;
    }
  }
  return k;
}

std::vector<std::string> total_columns(const DoscarKind& k) {
  if (!k.known_total) return {};
  if (!k.spin) return {"dos", "int"};
  return {"up", "down", "int_up", "int_down"};
}

std::vector<std::string> atom_columns(const DoscarKind& k) {
  static const std::vector<std::string> kL = {"s", "p", "d", "f"};
  static const std::vector<std::string> kLm = {"s",   "py",   "pz",    "px",    "dxy",  "dyz",
                                               "dz2", "dxz",  "x2-y2", "fy3x2", "fxyz", "fyz2",
                                               "fz3", "fxz2", "fzx2",  "fx3"};
  if (!k.known_atoms) return {};
  std::vector<std::string> orbitals = k.lm ? kLm : kL;
  orbitals.resize(k.lm ? (k.f ? 16 : 9) : (k.f ? 4 : 3));
  if (!k.spin && !k.noncollinear) return orbitals;
  std::vector<std::string> names;
  for (const std::string& o : orbitals) {
    if (k.noncollinear) {
      for (const char* part : {"", "_mx", "_my", "_mz"}) names.push_back(o + part);
    } else {
      names.push_back(o + "_up");
      names.push_back(o + "_down");
    }
  }
  return names;
}

}  // namespace pds
