// Selections of atoms and orbitals: the one small language that names what
// to add up, its parser, what a selection stands for in a file of a given
// kind, the sums, and column files with a header line naming their columns.
//
// Grammar (blanks may stand between any two tokens):
//
//   selection := target [ "(" orbital { "," orbital } ")" ]
//   target    := "total"                 the total DOS (no orbitals)
//              | "all"                   every atom of the file
//              | element { "," element } every atom of these elements: O, Fe,Co
//              | range { "," range }     atom numbers: 1-8, 1,3,5, 1-3,7
//   element   := an upper-case letter, then at most two lower-case letters
//   range     := number [ "-" number ]   from 1 to 999999, first <= last
//   orbital   := s | p | d | f           a shell: in l,m-projected files its
//                                        columns (p: py pz px; d: dxy dyz
//                                        dz2 dxz x2-y2; f: the seven f)
//              | t2g | eg                dxy dyz dxz | dz2 x2-y2 (l,m only)
//              | py | pz | px | dxy | dyz | dz2 | dxz | x2-y2 | fy3x2 | fxyz
//              | fyz2 | fz3 | fxz2 | fzx2 | fx3      one l,m column
//
// Atoms, elements and orbitals are sets: each counts once whatever the order
// and repetitions. Without parentheses every orbital of the atoms counts.
// Elements and atom numbers do not mix in one selection.
// Ranges are kept as ranges (merged) until the file's atom count is known,
// so that the cost of a selection follows its length, not its numbers.
#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

#include "doscar/doscar.h"
#include "output/output.h"
#include "textio/textio.h"

namespace pds {

std::string selection_excerpt(std::string_view text) {
  return excerpt(text);
}

namespace {

std::string quoted(std::string_view text) {
  std::string out(1, '"');
  out += selection_excerpt(text);
  out += '"';
  return out;
}

constexpr std::int64_t kMaxAtom = 999999;

// An orbital word and the columns it stands for in l,m-projected and in
// l-projected files (none: the word needs the other projection).
struct OrbitalWord {
  std::string_view word;
  std::vector<std::string_view> lm, l;
};

const std::vector<OrbitalWord>& orbital_words() {
  // clang-format off
  static const std::vector<OrbitalWord> kWords = {
      {"s", {"s"}, {"s"}},
      {"p", {"py", "pz", "px"}, {"p"}},
      {"d", {"dxy", "dyz", "dz2", "dxz", "x2-y2"}, {"d"}},
      {"f", {"fy3x2", "fxyz", "fyz2", "fz3", "fxz2", "fzx2", "fx3"}, {"f"}},
      {"t2g", {"dxy", "dyz", "dxz"}, {}},
      {"eg", {"dz2", "x2-y2"}, {}},
      {"py", {"py"}, {}},       {"pz", {"pz"}, {}},     {"px", {"px"}, {}},
      {"dxy", {"dxy"}, {}},     {"dyz", {"dyz"}, {}},   {"dz2", {"dz2"}, {}},
      {"dxz", {"dxz"}, {}},     {"x2-y2", {"x2-y2"}, {}}, {"fy3x2", {"fy3x2"}, {}},
      {"fxyz", {"fxyz"}, {}},   {"fyz2", {"fyz2"}, {}}, {"fz3", {"fz3"}, {}},
      {"fxz2", {"fxz2"}, {}},   {"fzx2", {"fzx2"}, {}}, {"fx3", {"fx3"}, {}}};
  // clang-format on
  return kWords;
}

const OrbitalWord* find_orbital(std::string_view word) {
  for (const OrbitalWord& w : orbital_words()) {
    if (w.word == word) return &w;
  }
  return nullptr;
}

std::string joined(const std::vector<std::string>& v, std::string_view between = " ") {
  std::string out;
  for (const std::string& s : v) out += (out.empty() ? "" : std::string(between)) + s;
  return out;
}

bool lower(char c) {
  return c >= 'a' && c <= 'z';
}
bool upper(char c) {
  return c >= 'A' && c <= 'Z';
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}

// The characters of a selection, read token by token.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  [[noreturn]] void fail(const std::string& why) const {
    throw std::invalid_argument("selection \"" + selection_excerpt(text_) + "\": " + why);
  }
  void blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  // The next character after blanks; '\0' at the end (a NUL in the text is
  // not the end: see at_end()).
  char peek() {
    blanks();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  bool at_end() {
    blanks();
    return pos_ == text_.size();
  }
  bool eat(char c) {
    if (at_end() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  // The longest run of characters for which `in(c)` holds.
  template <typename In>
  std::string_view run(In in) {
    blanks();
    const std::size_t start = pos_;
    while (pos_ < text_.size() && in(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }
  // What stands at the current place, quoted for messages.
  std::string rest() const { return quoted(text_.substr(pos_)); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::int64_t atom_number(Scanner& in, std::string_view after) {
  const std::string_view digits = in.run(digit);
  if (digits.empty()) in.fail("an atom number must follow " + std::string(after));
  const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size());
  const std::string_view value = digits.substr(first);  // leading zeros do not count
  std::int64_t n = value.empty() ? 0 : kMaxAtom + 1;
  if (!value.empty() && value.size() <= 6) {
    std::from_chars(value.data(), value.data() + value.size(), n);
  }
  if (n > kMaxAtom) in.fail("atom " + selection_excerpt(digits) + " is above 999999");
  if (n < 1) in.fail("atom numbers count from 1");
  return n;
}

// The ranges as written, then sorted and merged: ascending, disjoint and
// not adjacent.
std::vector<Selection::Range> parse_atoms(Scanner& in) {
  std::vector<Selection::Range> ranges;
  std::string_view after = "the start";
  do {
    const std::int64_t first = atom_number(in, after);
    std::int64_t last = first;
    if (in.eat('-')) last = atom_number(in, "\"-\"");
    if (last < first) {
      in.fail("the range " + std::to_string(first) + "-" + std::to_string(last) +
              " runs downwards: write " + std::to_string(last) + "-" + std::to_string(first));
    }
    ranges.push_back({first, last});
    after = "\",\"";
  } while (in.eat(','));
  std::sort(ranges.begin(), ranges.end());
  std::vector<Selection::Range> merged;
  for (const Selection::Range& r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second + 1) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

std::vector<std::string> parse_orbitals(Scanner& in) {
  std::vector<std::string> orbitals;
  std::string_view after = "\"(\"";
  do {
    const std::string_view word = in.run([](char c) { return lower(c) || digit(c) || c == '-'; });
    if (word.empty()) in.fail("an orbital must follow " + std::string(after));
    if (!find_orbital(word)) {
      in.fail("unknown orbital " + quoted(word) +
              ": orbitals are s p d f t2g eg and the l,m columns py pz px dxy dyz dz2 dxz "
              "x2-y2 fy3x2 fxyz fyz2 fz3 fxz2 fzx2 fx3");
    }
    if (std::find(orbitals.begin(), orbitals.end(), word) == orbitals.end()) {
      orbitals.emplace_back(word);
    }
    after = "\",\"";
  } while (in.eat(','));
  if (!in.eat(')')) in.fail("\")\" expected after the orbitals");
  return orbitals;
}

bool element_word(std::string_view word) {
  return !word.empty() && upper(word[0]) && word.size() <= 3 &&
         std::all_of(word.begin() + 1, word.end(), lower);
}

// Elements after the first, `word`: each once, in the order first written.
std::vector<std::string> parse_elements(Scanner& in, std::string_view word) {
  std::vector<std::string> elements;
  while (true) {
    if (word.empty()) in.fail("an element must follow \",\"");
    if (!element_word(word)) in.fail(quoted(word) + " is not an element symbol (O, Fe)");
    if (std::find(elements.begin(), elements.end(), word) == elements.end()) {
      elements.emplace_back(word);
    }
    if (!in.eat(',')) return elements;
    if (digit(in.peek())) {
      in.fail(
          "elements and atom numbers do not mix: write elements (Fe,Co) or atom numbers "
          "(1-3,7)");
    }
    word = in.run([](char c) { return lower(c) || upper(c); });
  }
}

void parse_target(Scanner& in, Selection& s) {
  if (digit(in.peek())) {
    s.target = Selection::Target::kAtoms;
    s.ranges = parse_atoms(in);
    return;
  }
  const std::string_view word = in.run([](char c) { return lower(c) || upper(c); });
  if (word == "total") {
    s.target = Selection::Target::kTotal;
  } else if (word == "all") {
    s.target = Selection::Target::kAll;
  } else if (element_word(word)) {
    s.target = Selection::Target::kElements;
    s.elements = parse_elements(in, word);
  } else if (word.empty()) {
    in.fail(in.at_end() ? "empty: name an element, atom numbers, all or total"
                        : in.rest() + " is not an element, atom numbers, all or total");
  } else {
    in.fail(quoted(word) + " is not an element symbol (O, Fe), atom numbers (1-3,7), all or total");
  }
}

// The orbitals of a file of kind `k`, without spin or magnetisation suffix,
// in file order.
std::vector<std::string> file_orbitals(const DoscarKind& k) {
  DoscarKind plain = k;
  plain.spin = false;
  plain.noncollinear = false;
  return atom_columns(plain);
}

// Which of `orbitals` (the file's) the words select; all without words.
std::vector<bool> chosen_orbitals(const std::vector<std::string>& words, const DoscarKind& k,
                                  const std::vector<std::string>& orbitals) {
  std::vector<bool> chosen(orbitals.size(), words.empty());
  for (const std::string& word : words) {
    const OrbitalWord* w = find_orbital(word);
    const std::vector<std::string_view>& members = k.lm ? w->lm : w->l;
    const std::string has = "the file's orbitals are " + joined(orbitals) +
                            (k.lm ? " (l,m-projected)" : " (l-projected)");
    if (members.empty()) throw std::invalid_argument(word + " needs l,m-projected columns: " + has);
    for (std::string_view m : members) {
      const auto at = std::find(orbitals.begin(), orbitals.end(), m);
      if (at == orbitals.end()) throw std::invalid_argument(word + " is not in the file: " + has);
      chosen[static_cast<std::size_t>(at - orbitals.begin())] = true;
    }
  }
  return chosen;
}

// The atoms of `wanted` (elements), ascending; each element must have some.
std::vector<std::int64_t> atoms_of(const std::vector<std::string>& wanted,
                                   const std::vector<std::string>* symbols) {
  if (symbols == nullptr) {
    throw std::invalid_argument("naming an element (" + joined(wanted, ",") +
                                ") needs the element of every atom: no structure is known");
  }
  std::vector<std::int64_t> atoms;
  std::vector<std::string> elements;
  for (std::size_t i = 0; i < symbols->size(); ++i) {
    const std::string& e = (*symbols)[i];
    if (std::find(wanted.begin(), wanted.end(), e) != wanted.end()) {
      atoms.push_back(static_cast<std::int64_t>(i) + 1);
    }
    if (std::find(elements.begin(), elements.end(), e) == elements.end()) elements.push_back(e);
  }
  for (const std::string& w : wanted) {
    if (std::find(elements.begin(), elements.end(), w) == elements.end()) {
      throw std::invalid_argument("no atom of element " + w + ": the structure has " +
                                  joined(elements, ", "));
    }
  }
  return atoms;
}

// The atoms of a selection that names atoms, ascending; the bounds are
// checked before the ranges are spelt out.
std::vector<std::int64_t> selected_atoms(const Selection& s, std::int64_t natoms,
                                         const std::vector<std::string>* symbols) {
  if (s.target == Selection::Target::kElements) return atoms_of(s.elements, symbols);
  if (natoms < 1) throw std::invalid_argument("the file has no atoms");
  const std::vector<Selection::Range> ranges =
      s.target == Selection::Target::kAll ? std::vector<Selection::Range>{{1, natoms}} : s.ranges;
  const std::int64_t last = ranges.back().second;
  if (last > natoms) {
    throw std::invalid_argument("atom " + std::to_string(last) + " is not in the file, which has " +
                                std::to_string(natoms) + (natoms == 1 ? " atom" : " atoms"));
  }
  std::vector<std::int64_t> atoms;
  for (const Selection::Range& r : ranges) {
    for (std::int64_t a = r.first; a <= r.second; ++a) atoms.push_back(a);
  }
  return atoms;
}

// The channels of the total block: the DOS, or each spin's.
void plan_total(const DoscarKind& k, SelectionPlan& p) {
  p.total = true;
  if (k.spin) {
    p.channels = {{0}, {1}};
    p.suffixes = {"_up", "_down"};
  } else {
    p.channels = {{0}};
    p.suffixes = {""};
  }
}

}  // namespace

Selection parse_selection(std::string_view text) {
  Scanner in(text);
  Selection s;
  parse_target(in, s);
  if (in.eat('(')) {
    if (s.target == Selection::Target::kTotal) in.fail("total takes no orbitals");
    s.orbitals = parse_orbitals(in);
  }
  if (!in.at_end()) in.fail("unexpected " + in.rest());
  return s;
}

SelectionPlan plan_selection(const Selection& s, const DoscarKind& k, std::int64_t natoms,
                             const std::vector<std::string>* symbols) {
  SelectionPlan p;
  if (s.target == Selection::Target::kTotal) {
    plan_total(k, p);
    return p;
  }
  p.atoms = selected_atoms(s, natoms, symbols);
  if (!k.known_atoms) {
    throw std::invalid_argument("the per-atom columns of the file are of no known kind");
  }
  const std::vector<std::string> orbitals = file_orbitals(k);
  const std::vector<bool> chosen = chosen_orbitals(s.orbitals, k, orbitals);
  p.suffixes = k.noncollinear ? std::vector<std::string>{"", "_mx", "_my", "_mz"}
               : k.spin       ? std::vector<std::string>{"_up", "_down"}
                              : std::vector<std::string>{""};
  const std::int64_t per = static_cast<std::int64_t>(p.suffixes.size());
  p.channels.resize(p.suffixes.size());
  for (std::int64_t c = 0; c < per; ++c) {
    for (std::size_t i = 0; i < orbitals.size(); ++i) {
      if (chosen[i])
        p.channels[static_cast<std::size_t>(c)].push_back(static_cast<std::int64_t>(i) * per + c);
    }
  }
  return p;
}

void add_selection(double* out, const SelectionBlocks& in,
                   const std::vector<std::vector<std::int64_t>>& channels) {
  const std::size_t w = channels.size() + 1;
  for (std::int64_t r = 0; r < in.rows; ++r) {
    double* row = out + static_cast<std::size_t>(r) * w;
    row[0] = in.energy[r * in.energy_stride];
    std::fill(row + 1, row + w, 0.0);
  }
  // For each output value: atoms in order, then its columns in file order.
  for (const double* block : in.blocks) {
    for (std::int64_t r = 0; r < in.rows; ++r) {
      const double* values = block + r * in.width + 1;
      double* row = out + static_cast<std::size_t>(r) * w + 1;
      for (std::size_t c = 0; c < channels.size(); ++c) {
        for (std::int64_t col : channels[c]) row[c] += values[col];
      }
    }
  }
}

std::string column_header(const std::vector<std::string>& names) {
  std::string line = "#";
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (name.empty() || std::any_of(name.begin(), name.end(),
                                    [](unsigned char c) { return c <= ' ' || c == 0x7f; })) {
      throw std::invalid_argument("column name \"" + name +
                                  "\": a name is one word without blanks or control characters");
    }
    // The energy field is 11 wide (the '#' included), each value field 12
    // wide, its first character a blank.
    const std::size_t room = i == 0 ? 10 : 11;
    if (i > 0) line += ' ';
    if (name.size() < room) line.append(room - name.size(), ' ');
    line += name;
  }
  return line;
}

void write_labelled(std::string_view filename, const std::vector<std::string>& names, double shift,
                    const double* block, std::int64_t rows, int n) {
  if (names.size() != static_cast<std::size_t>(n) + 1) {
    throw std::invalid_argument("the header names " + std::to_string(names.size()) +
                                " columns; the block has " + std::to_string(n + 1) +
                                " (the energy included)");
  }
  const std::string header = column_header(names) + '\n';
  if (!LineFormat::data_out(n).valid()) {
    throw std::invalid_argument("a block has 1 to 99 value columns");
  }
  writedos(filename, shift, block, rows, n, header);
}

}  // namespace pds
