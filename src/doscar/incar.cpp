// Whether an INCAR asks for a non-collinear run: the one thing a DOSCAR's
// column counts cannot always tell (16 values per grid point are written by
// a collinear l,m-projected run with f orbitals and by a non-collinear
// l-projected one with f orbitals).
#include <cctype>
#include <string>

#include "doscar/doscar.h"

namespace pds {

namespace {

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

std::string_view strip(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A logical value as VASP reads it: optional points, then T or F first.
bool is_true(std::string_view value) {
  value = strip(value);
  while (!value.empty() && value.front() == '.') value.remove_prefix(1);
  return !value.empty() && (value.front() == 'T' || value.front() == 't');
}

}  // namespace

void incar_statements(std::string_view incar,
                      const std::function<void(std::string_view, std::string_view)>& f) {
  while (!incar.empty()) {
    const std::size_t nl = incar.find('\n');
    std::string_view line = incar.substr(0, nl);
    incar = nl == std::string_view::npos ? std::string_view() : incar.substr(nl + 1);
    line = line.substr(0, line.find_first_of("!#"));
    while (!line.empty()) {
      const std::size_t semi = line.find(';');
      const std::string_view statement = line.substr(0, semi);
      line = semi == std::string_view::npos ? std::string_view() : line.substr(semi + 1);
      const std::size_t eq = statement.find('=');
      if (eq != std::string_view::npos) {
        f(upper(strip(statement.substr(0, eq))), strip(statement.substr(eq + 1)));
      }
    }
  }
}

// Either tag set true on any line makes the run non-collinear (LSORBIT
// implies LNONCOLLINEAR).
bool incar_noncollinear(std::string_view incar) {
  bool on = false;
  incar_statements(incar, [&](std::string_view tag, std::string_view value) {
    on = ((tag == "LNONCOLLINEAR" || tag == "LSORBIT") && is_true(value)) || on;
  });
  return on;
}

}  // namespace pds
