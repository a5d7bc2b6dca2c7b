// Band edges from eigenvalues and occupations: vasprun.xml's <eigenvalues>
// block, and an EIGENVAL file.
//
// EIGENVAL (VASP 5.4 and later):
//   1      NIONS NIONS NBLOCK ISPIN
//   2-5    passed over
//   6      NELECT NKPTS NBANDS
//   then per k-point a blank line, the k-point (kx ky kz weight) and NBANDS
//   lines: band, energy, occupation; spin-polarised band, energy up, energy
//   down, occupation up, occupation down.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

#include "vasprun/vasprun.h"

namespace pds {

namespace {

constexpr double kOccupied = 1e-8;

// The blank-separated words of `line`.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  for (;;) {
    pos = line.find_first_not_of(" \t\r", pos);
    if (pos == std::string_view::npos) return out;
    const std::size_t end = line.find_first_of(" \t\r", pos);
    out.push_back(line.substr(pos, end - pos));
    pos = end;
  }
}

[[noreturn]] void refuse_eigenval(const InFile& in, const std::string& what) {
  const std::string& name = in.stream().name;
  Failure f(kConversion, kUnitDoscar, name);
  f.detail().line = in.lines();
  f.set_cause("not-a-number");
  f.detail().text = name + ": line " + std::to_string(in.lines()) + ": " + what;
  throw f;
}

// A word of the file for a message: in quotes, its bytes escaped.
std::string quoted(std::string_view word) {
  std::string text = "\"";
  text += excerpt(word);
  text += '"';
  return text;
}

double number(const InFile& in, std::string_view word) {
  double v = 0.0;
  if (!parse_xml_number(word, v)) {
    refuse_eigenval(in, quoted(word) + " is not a number");
  }
  return v;
}

std::int64_t integer(const InFile& in, std::string_view word) {
  std::int64_t v = 0;
  const auto [p, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
  if (ec != std::errc() || p != word.data() + word.size() || v < 0) {
    refuse_eigenval(in, quoted(word) + " is not a count");
  }
  return v;
}

// The words of the next line, at least `n` of them.
std::vector<std::string_view> line_of(InFile& in, std::size_t n, const char* what) {
  std::vector<std::string_view> w = words(in.line());
  if (w.size() < n) refuse_eigenval(in, std::string("too few values in ") + what);
  return w;
}

}  // namespace

void EdgeFinder::add(std::int64_t kpoint, double energy, double occupation) {
  if (occupation > kOccupied && energy > vbm_) {
    vbm_ = energy;
    vbm_k_ = kpoint;
  } else if (occupation <= kOccupied && energy < cbm_) {
    cbm_ = energy;
    cbm_k_ = kpoint;
  }
}

BandEdges EdgeFinder::edges() const {
  BandEdges e;
  e.gap = std::max(cbm_ - vbm_, 0.0);
  e.cbm = cbm_;
  e.vbm = vbm_;
  e.direct = vbm_k_ == cbm_k_;
  return e;
}

void read_eigenvalues(XmlScan& s, VasprunRun& r) {
  constexpr const char* kWhat = "<eigenvalues>";
  s.expect("eigenvalues", false, kWhat);
  s.expect("array", false, kWhat);
  for (XmlTag t = s.tag(kWhat); t.name != "set"; t = s.tag(kWhat)) s.skip_element(t, kWhat);
  EdgeFinder edges;
  bool occupations = true;
  double v[2];
  while (!s.tag(kWhat).closing) {  // a spin
    for (std::int64_t k = 0; !s.tag(kWhat).closing; ++k) {
      for (int n; (n = s.row(v, 2, kWhat)) >= 0;) {
        if (n < 2) occupations = false;
        if (occupations) edges.add(k, v[0], v[1]);
      }
    }
  }
  s.expect("array", true, kWhat);
  s.expect("eigenvalues", true, kWhat);
  r.has_edges = occupations;
  r.edges = edges.edges();
}

BandEdges eigenval_edges(std::unique_ptr<ByteSource> text, const std::string& name) {
  InFile in(kUnitDoscar, name, std::move(text));
  const std::vector<std::string_view> first = line_of(in, 4, "line 1");
  const std::int64_t ispin = integer(in, first.back());
  for (int i = 0; i < 4; ++i) in.skip();
  const std::vector<std::string_view> sizes = line_of(in, 3, "line 6");
  const std::int64_t nk = integer(in, sizes[1]), nb = integer(in, sizes[2]);
  const std::size_t values = ispin == 2 ? 5 : 3;
  EdgeFinder edges;
  std::vector<double> down;  // spin down comes after every k-point of spin up
  for (std::int64_t k = 0; k < nk; ++k) {
    std::string_view l;
    do l = in.line();
    while (words(l).empty());
    for (std::int64_t b = 0; b < nb; ++b) {
      const std::vector<std::string_view> w = words(in.line());
      if (w.size() < values) {
        refuse_eigenval(in,
                        "a band line without occupations (EIGENVAL of VASP before 5.4 "
                        "has none): the band edges need them");
      }
      edges.add(k, number(in, w[1]), number(in, w[values == 5 ? 3 : 2]));
      if (values == 5) down.insert(down.end(), {number(in, w[2]), number(in, w[4])});
    }
  }
  for (std::size_t i = 0; i < down.size(); i += 2) {
    edges.add(static_cast<std::int64_t>(i / 2) / nb, down[i], down[i + 1]);
  }
  return edges.edges();
}

}  // namespace pds
