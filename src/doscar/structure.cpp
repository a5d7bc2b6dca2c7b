// The element of every atom, from the structure file of a run (POSCAR or
// CONTCAR), with the POTCAR beside it for files that name no elements.
//
// Lines of a structure file (counted from 1):
//   1      comment
//   2      scale
//   3-5    lattice vectors
//   6      VASP 5 and later: the element symbols, one per species ("Fe O",
//          "Fe/3a4b2c O/1f2e"); VASP 4: the atom counts, one per species
//   7      VASP 5 and later: the atom counts
// Atoms follow in the order of the species, as in DOSCAR. A POTCAR holds one
// potential per species, in the same order, each with a line
// "TITEL  = PAW_PBE Fe_pv 06Sep2000" and a line "VRHFIN =Fe: 3d4s".
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

namespace {

constexpr int kUnitStructure = 12;
constexpr std::int64_t kMaxAtoms = 10'000'000;

[[noreturn]] void refuse(const std::string& file, std::int64_t line, const std::string& why) {
  Failure f(kNothingDone, kUnitStructure, file);
  f.detail().line = line;
  f.detail().text =
      file + (line > 0 ? ": line " + std::to_string(line) : std::string()) + ": " + why;
  f.set_cause("bad-structure");
  throw f;
}

// The text of `file`, decompressed when it is gzip, xz or bzip2 data.
std::unique_ptr<InFile> open_text(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    throw Failure(open_failure_number(err), kUnitStructure, file, err);
  }
  auto in =
      std::make_unique<InFile>(kUnitStructure, file, decompressed(descriptor_source(fd, true)));
  in->set_limits({kMaxTextLine, 0, kNothingDone});
  return in;
}

std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) return out;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    out.emplace_back(line.substr(start, i - start));
  }
}

bool is_count(const std::string& w) {
  return !w.empty() && w.size() <= 9 && w.find_first_not_of("0123456789") == std::string::npos;
}

// Line 6: the symbols, or none when it holds counts (VASP 4).
std::vector<std::string> line6_symbols(std::string_view line) {
  const std::vector<std::string> w = words(line);
  if (w.empty()) throw std::invalid_argument("blank, where element symbols or atom counts stand");
  std::vector<std::string> symbols;
  if (is_count(w[0])) return symbols;
  for (const std::string& word : w) {
    symbols.push_back(element_symbol(word));
    if (symbols.back().empty()) {
      throw std::invalid_argument("\"" + excerpt(word) + "\" is not an element symbol");
    }
  }
  return symbols;
}

std::vector<std::int64_t> counts(std::string_view line) {
  std::vector<std::int64_t> out;
  for (const std::string& w : words(line)) {
    if (!is_count(w)) break;
    out.push_back(std::stoll(w));
  }
  if (out.empty()) throw std::invalid_argument("no atom counts");
  return out;
}

std::string folder_of(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

// The first of `names` in `folder` that is a regular file with content.
std::string first_file(const std::string& folder, std::initializer_list<const char*> names) {
  const std::string prefix = folder.empty() || folder.ends_with('/') ? folder : folder + "/";
  for (const char* name : names) {
    struct stat st {};
    const std::string path = prefix + name;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) return path;
  }
  return {};
}

// Lines 6 and 7 of a structure file, and how many lines follow line 7.
struct SpeciesLines {
  std::string line6, line7;
  std::int64_t after7 = 0;
};

// Reads `file` to its end: its lines are counted, so that the atoms its
// counts claim can be held against what it holds, and compressed data is
// checked (its CRC is at the end; a flipped bit can make other symbols).
SpeciesLines species_lines(const std::string& file) {
  std::unique_ptr<InFile> in = open_text(file);
  SpeciesLines s;
  try {
    for (int i = 0; i < 5; ++i) in->skip();
    s.line6 = in->line();
    s.line7 = in->line();
    std::string_view rest;
    try {
      while (in->next(rest)) ++s.after7;
    } catch (const Failure& g) {
      // NUL bytes to the end of the file end its lines.
      if (g.number() != kEndOfFile || !g.detail().cause.empty()) throw;
    }
  } catch (Failure& f) {
    if (!f.detail().cause.empty()) {
      f.detail().text = file + ": " + f.detail().cause + ", at line " +
                        std::to_string(f.detail().line) +
                        " of its text: the file is damaged or incomplete; copy it again";
    } else if (f.number() == kEndOfFile) {
      f.detail().text = file + " ends at line " + std::to_string(in->lines()) +
                        ", before its atom counts: not a POSCAR or CONTCAR";
      f.set_cause("bad-structure");
    } else if (f.cause() == "not-text") {
      f.detail().text = file + ": line " + std::to_string(f.detail().line) +
                        " is longer than 1 MiB: not a POSCAR or CONTCAR";
      f.set_cause("bad-structure");
    }
    throw;
  }
  return s;
}

// The element symbols of line 6 (none in the VASP 4 layout) and the atom
// count of each species. A file has a line for the position of each atom
// after its counts: counts that claim more atoms are refused.
void species(const std::string& file, std::vector<std::string>& symbols,
             std::vector<std::int64_t>& n) {
  const SpeciesLines lines = species_lines(file);
  const std::string& line6 = lines.line6;
  const std::string& line7 = lines.line7;
  try {
    symbols = line6_symbols(line6);
  } catch (const std::invalid_argument& e) {
    refuse(file, 6, e.what());
  }
  try {
    n = counts(symbols.empty() ? line6 : line7);
  } catch (const std::invalid_argument& e) {
    refuse(file, symbols.empty() ? 6 : 7, e.what());
  }
  if (!symbols.empty() && symbols.size() != n.size()) {
    refuse(file, 7,
           std::to_string(n.size()) + (n.size() == 1 ? " atom count" : " atom counts") + " for " +
               std::to_string(symbols.size()) + " element symbols on line 6");
  }
  std::int64_t total = 0;
  for (std::int64_t c : n) total += c;
  const std::int64_t after = lines.after7 + (symbols.empty() ? 1 : 0);
  if (total > after) {
    refuse(file, symbols.empty() ? 6 : 7,
           "atom counts that add up to " + std::to_string(total) + ", but " +
               std::to_string(after) +
               " lines follow, and each atom's position takes one: the file is damaged or "
               "cut short");
  }
}

// The elements named by the POTCAR beside `file`, for `species` counts.
std::vector<std::string> potcar_beside(const std::string& file, std::size_t species) {
  const std::string potcar =
      first_file(folder_of(file), {"POTCAR", "POTCAR.gz", "POTCAR.xz", "POTCAR.bz2"});
  if (potcar.empty()) {
    refuse(file, 6,
           "atom counts without element symbols (VASP 4 layout), and no POTCAR beside it to "
           "name the elements");
  }
  std::unique_ptr<InFile> in = open_text(potcar);
  std::vector<std::string> elements = potcar_elements(*in);
  if (elements.size() != species) {
    refuse(file, 6,
           std::to_string(species) + " atom counts, but " + potcar + " names " +
               std::to_string(elements.size()) + " elements");
  }
  return elements;
}

}  // namespace

std::string element_symbol(std::string_view word) {
  std::size_t n = 0;
  while (n < word.size() &&
         ((word[n] >= 'A' && word[n] <= 'Z') || (word[n] >= 'a' && word[n] <= 'z'))) {
    ++n;
  }
  if (n == 0 || n > 3) return {};
  std::string symbol(word.substr(0, n));
  for (char& c : symbol) c = static_cast<char>(c | 0x20);
  symbol[0] = static_cast<char>(symbol[0] & ~0x20);
  return symbol;
}

std::vector<std::string> potcar_elements(InFile& in) {
  std::vector<std::string> titel, vrhfin;
  std::string_view line;
  while (in.next(line)) {
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::vector<std::string> tag = words(line.substr(0, eq));
    if (tag.size() != 1) continue;
    const std::string_view value = line.substr(eq + 1);
    if (tag[0] == "TITEL") {
      const std::vector<std::string> w = words(value);
      if (!w.empty()) titel.push_back(element_symbol(w.size() > 1 ? w[1] : w[0]));
    } else if (tag[0] == "VRHFIN") {
      const std::vector<std::string> w = words(value.substr(0, value.find(':')));
      if (!w.empty()) vrhfin.push_back(element_symbol(w[0]));
    }
  }
  return titel.empty() ? vrhfin : titel;
}

std::vector<std::string> read_structure(const std::string& file) {
  std::vector<std::string> symbols;
  std::vector<std::int64_t> n;
  species(file, symbols, n);
  std::int64_t total = 0;
  for (std::int64_t c : n) total += c;
  if (total > kMaxAtoms) refuse(file, symbols.empty() ? 6 : 7, "more than 10 million atoms");
  if (symbols.empty()) symbols = potcar_beside(file, n.size());
  std::vector<std::string> atoms;
  for (std::size_t s = 0; s < n.size(); ++s) {
    atoms.insert(atoms.end(), static_cast<std::size_t>(n[s]), symbols[s]);
  }
  return atoms;
}

std::string find_structure(const std::string& folder) {
  return first_file(folder, {"CONTCAR", "CONTCAR.gz", "CONTCAR.xz", "CONTCAR.bz2", "POSCAR",
                             "POSCAR.gz", "POSCAR.xz", "POSCAR.bz2"});
}

void check_structure(std::size_t atoms, const std::string& name, std::int64_t natoms,
                     const std::string& doscar) {
  if (static_cast<std::int64_t>(atoms) == natoms) return;
  Failure f(kNothingDone, kUnitStructure, name);
  f.detail().text = name + " has " + std::to_string(atoms) + (atoms == 1 ? " atom, " : " atoms, ") +
                    doscar + " has " + std::to_string(natoms);
  f.set_cause("structure-mismatch");
  throw f;
}

}  // namespace pds
