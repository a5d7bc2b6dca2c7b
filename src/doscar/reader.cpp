// The library reader: a DOSCAR from a file, a pipe, memory or compressed
// data, with the layouts that only programs other than the command line
// take: non-collinear runs (four columns per orbital, 64 values wrapped on
// two lines per grid point), files without per-atom blocks, and further
// total blocks after the first (an MD run's DOSCAR).
//
// A regular file is read by two threads, each through its own position in
// one descriptor; anything else in one pass, its arrays growing as the
// blocks arrive, so that a header that claims more than the data holds
// costs no memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

namespace {

// The lines of an InFile, with lines put back in front: the first lines of
// atom 1 are looked at before the layout of the blocks is known.
class Lines {
 public:
  explicit Lines(InFile& in) : in_(in), number_(in.lines()) {}

  std::string_view line() {
    ++number_;
    if (back_.empty()) return in_.line();
    current_ = std::move(back_.back());
    back_.pop_back();
    return current_;
  }
  // The next line, or false at the end of the data.
  bool next(std::string_view& l) {
    if (!back_.empty()) {
      l = line();
      return true;
    }
    if (!in_.next(l)) return false;
    ++number_;
    return true;
  }
  void skip() { line(); }
  // Whether no line follows the last one read (a failure of the data after
  // it counts as none).
  bool at_end() {
    std::string_view l;
    try {
      return back_.empty() && !in_.next(l);
    } catch (const Failure&) {
      return true;
    }
  }
  // Puts back `lines`, the last lines read, in the order they were read.
  void put_back(std::vector<std::string> lines) {
    number_ -= static_cast<std::int64_t>(lines.size());
    for (auto l = lines.rbegin(); l != lines.rend(); ++l) back_.push_back(std::move(*l));
  }
  std::int64_t number() const { return number_; }
  const Stream& stream() const { return in_.stream(); }

 private:
  InFile& in_;
  std::vector<std::string> back_;
  std::string current_;
  std::int64_t number_;
};

const std::vector<std::int64_t> kNoAtoms;

int count_values(std::string_view line) {
  return static_cast<int>(std::count(line.begin(), line.end(), 'E'));
}

// The first 395 characters of a line (the energy and 32 value fields): where
// the command line counts the values of the total block.
std::string_view counted_part(std::string_view line) {
  return line.substr(0, std::min<std::size_t>(line.size(), 11 + 32 * 12));
}

// The next line of a block, where a data line must stand: a blank one is
// refused (24), since VASP writes none inside its blocks, so that blank
// lines (a file padded, a stream of line feeds) never pile up as rows of
// zeros. `where` names the block.
std::string_view data_line(Lines& in, const std::string& where) {
  const std::string_view line = in.line();
  if (line.find_first_not_of(" \t\r") != std::string_view::npos) return line;
  const std::string& file = in.stream().name;
  refuse(kEndOfFile, file, in.number(),
         file + ": line " + std::to_string(in.number()) + " is blank, inside " + where +
             ", where a data line stands: the data stops before it (the file is damaged: lines "
             "lost, or a file cut short and padded)",
         "truncated");
}

// Reads `line`, the last line of `in`, with read() and `fmt`. A field that
// is not a number because the data ends inside it (the last line ends
// before the field does, cut right after the E of its exponent, say: a
// killed job) is a cut ("truncated"), not damage; the number stays the
// command line's.
template <typename Read>
void read_row(Lines& in, std::string_view line, const LineFormat& fmt, Read read) {
  const std::size_t end = line.size();
  try {
    read_located(line, in.number(), fmt, read);
  } catch (Failure& f) {
    const FailureDetail& d = f.detail();
    if (f.number() == kConversion && d.first_column > 0 &&
        end < static_cast<std::size_t>(d.last_column) && in.at_end()) {
      f.set_cause("truncated");
    }
    throw;
  }
}

// The total block's column count, as the command line meets it in the
// first 395 characters of `line7`: no upper-case E (a file in another
// layout) makes its line format invalid, 100 or more overflow the count's
// two characters; other counts than 2 and 4 the command line splits as they
// are, but this reader refuses.
void check_total_columns(const std::string& file, std::string_view line7, int ntcol) {
  const std::string at = file + ": line 7 ";
  if (ntcol == 0) {
    refuse(kFormatSyntax, file, 7,
           at + "has no value field with an upper-case E: this is not a DOSCAR in VASP's "
                "fixed layout (LOBSTER's DOSCAR.lobster, or a file whose numbers were rewritten, "
                "is not read)",
           "not-vasp-layout");
  }
  if (ntcol >= 100) {
    refuse(kRecordOverflow, file, 7,
           at + "has " + std::to_string(ntcol) + " value fields: this is not a VASP DOSCAR",
           "too-many-values");
  }
  if (ntcol != 2 && ntcol != 4) {
    refuse(kNothingDone, file, 7,
           at + "has " + std::to_string(count_values(line7)) +
               " value fields; the total block of a DOSCAR has 2 (non-spin-polarised or "
               "non-collinear) or 4 (spin-polarised)",
           "unknown-columns");
  }
}

// The kind of the per-atom lines from the values of a grid point. 16
// values are both a collinear l,m-projected line with f orbitals and a
// non-collinear l-projected one: `noncollinear` decides (-1: undecided, so
// of no known kind); every other count tells by itself (12, 36 and 64 only
// non-collinear runs write). Non-collinear runs have the non-spin total
// block.
DoscarKind atom_kind(int ntcol, int values, int noncollinear) {
  if (ntcol != 2) return classify(ntcol, values);
  if (values == 16 && noncollinear == -1) return classify(ntcol, -1);
  const bool ncl = values == 16 ? noncollinear == 1 : values == 12 || values == 36 || values == 64;
  if (!ncl) return classify(ntcol, values);
  DoscarKind k = classify(ntcol, values / 4);
  k.noncollinear = k.known_atoms;
  return k;
}

// What INCAR in `folder` says of a non-collinear run: 1, 0, or -1 when
// there is no INCAR to ask.
int incar_says(const std::string& folder) {
  if (folder.empty()) return -1;
  std::unique_ptr<InFile> in;
  int err = 0;
  unsigned mode = 0;
  const int fd = open_regular(folder + "/INCAR", err, mode);  // never a FIFO's wait
  if (fd < 0) return -1;
  in = std::make_unique<InFile>(kUnitDoscar, folder + "/INCAR", descriptor_source(fd, true));
  in->set_limits({kMaxTextLine, 0, kNothingDone});
  std::string text;
  std::string_view line;
  try {
    while (in->next(line)) text.append(line).push_back('\n');
  } catch (const Failure&) {
    return -1;  // not text: as if there were no INCAR
  }
  return incar_noncollinear(text) ? 1 : 0;
}

// The layout of the per-atom lines, from the first data line of atom 1 and
// the line after it (which continues the grid point when it is wrapped).
void atom_layout(DoscarData& d, const std::string& file, std::int64_t line, std::string_view first,
                 const std::string* second, const ReadOptions& o) {
  int values = count_values(first);
  if (values == 36 && d.h.NTCOL == 2 && second != nullptr && count_values(*second) == 27) {
    d.wrap = 36;
    values = 64;
  }
  int noncollinear = o.noncollinear;
  if (noncollinear == -1 && values == 16 && d.h.NTCOL == 2) noncollinear = incar_says(o.folder);
  d.h.NPCOL = values;
  d.kind = atom_kind(d.h.NTCOL, values, noncollinear);
  if (!o.atoms) return;
  const std::string at = file + ": line " + std::to_string(line) + " has " +
                         std::to_string(values) + " values per grid point";
  if (noncollinear == -1 && values == 16 && d.h.NTCOL == 2) {
    refuse(kNothingDone, file, line,
           at + ", which a collinear l,m-projected run with f orbitals writes, and a "
                "non-collinear l-projected run with f orbitals too; no INCAR beside it tells "
                "which: read it with noncollinear=True or noncollinear=False",
           "ambiguous-columns");
  }
  if (!d.kind.known_atoms) {
    refuse(kNothingDone, file, line,
           at + ", a per-atom column count of no known kind (" +
               (d.kind.spin ? "6, 8, 18 or 32 when spin-polarised"
                            : "3, 4, 9 or 16 without spin, 12, 16, 36 or 64 non-collinear") +
               ")",
           "unknown-columns");
  }
}

// The doubles of a per-atom data line read as codes: the energy, then the
// value of each code. Starting from -0.0 keeps the sign of every value that
// a code gives: -0.0 + v is v for every v, -0.0 included.
void code_row(double* row, double energy, const ValueCode* codes, std::size_t n,
              const std::vector<double>& specials) {
  row[0] = energy;
  std::fill(row + 1, row + 1 + n, -0.0);
  add_code_values(row + 1, codes, n, specials);
  for (std::size_t k = 0; k < n; ++k) {
    if (codes[k] & kSpecialCode) row[k + 1] = code_value(codes[k], specials);
  }
}

// Reads the grid points of per-atom blocks, one line or, wrapped, two.
class AtomRows {
 public:
  explicit AtomRows(const DoscarData& d)
      : n_(static_cast<std::size_t>(d.wrap != 0 ? d.wrap : d.h.NPCOL)),
        wrap_(d.wrap),
        first_(LineFormat::data_in(static_cast<int>(n_))),
        rest_(d.wrap != 0 ? LineFormat::data_in(d.h.NPCOL - d.wrap - 1) : LineFormat()),
        codes_(n_),
        scratch_(static_cast<std::size_t>(d.h.NPCOL) + 1) {}

  // Reads one grid point of `where` into row (NPCOL + 1 doubles), or only
  // checks it when row is null; returns its energy.
  double read(Lines& in, double* row, const std::string& where) {
    double energy = 0.0;
    std::string_view line = data_line(in, where);
    read_row(in, line, first_,
             [&] { read_coded_line(line, first_, energy, codes_.data(), specials_, in.stream()); });
    if (row != nullptr) {
      code_row(row, energy, codes_.data(), n_, specials_);
      signed_zeros(line, row);
    }
    specials_.clear();
    if (wrap_ != 0) {
      // The continuation line: its first value is written like an energy.
      line = data_line(in, where);
      double* rest = (row != nullptr ? row : scratch_.data()) + 1 + wrap_;
      read_row(in, line, rest_, [&] { read_data_line(line, rest_, rest, in.stream()); });
    }
    return energy;
  }

 private:
  // A zero keeps its code 0 whatever its sign (the command line writes it
  // without one); the sign of a " -0.0000E+00" field is taken from its text.
  // A code of 0 is only given to a field wholly inside the line.
  void signed_zeros(std::string_view line, double* row) const {
    const auto fw = static_cast<std::size_t>(first_.codes()[0].w);
    for (std::size_t k = 0; k < n_; ++k) {
      if (codes_[k] == 0 && line[fw + 12 * k + 1] == '-') row[k + 1] = -0.0;
    }
  }

  std::size_t n_;
  int wrap_;
  LineFormat first_, rest_;
  std::vector<ValueCode> codes_;
  std::vector<double> specials_;
  std::vector<double> scratch_;
};

// Reads the blocks of atoms first ... last (the first block-header line
// next in `in`) into the kept blocks of d.pdos; `grow`: d.pdos grows as a
// kept block arrives.
void read_atoms(Lines& in, DoscarData& d, std::int32_t first, std::int32_t last, bool grow) {
  const std::int64_t rows = extent(d.h.NPOINTS);
  AtomRows reader(d);
  for (std::int32_t a = first; a <= last; ++a) {
    in.skip();  // the block-header line of the atom
    const std::string where = "the block of atom " + std::to_string(a);
    const std::int64_t slot = d.slot[static_cast<std::size_t>(a)];
    if (grow && slot >= 0) d.pdos.resize(static_cast<std::size_t>((slot + 1) * rows * d.width));
    for (std::int64_t j = 0; j < rows; ++j) {
      double* row = slot >= 0 ? d.pdos.data() + (slot * rows + j) * d.width : nullptr;
      const double energy = reader.read(in, row, where);
      if (a == 1) d.energy1.data()[j] = energy;
    }
  }
}

// Reads `rows` rows of the total block `where` into out; `grow`: out grows
// row by row, else it is sized first.
void read_total(Lines& in, int ntcol, std::int64_t rows, Doubles& out, bool grow,
                const std::string& where) {
  const LineFormat fmt = LineFormat::data_in(ntcol);
  const auto w = static_cast<std::size_t>(ntcol) + 1;
  if (!grow) out.resize(static_cast<std::size_t>(rows) * w);
  for (std::int64_t j = 0; j < rows; ++j) {
    if (grow) out.resize(static_cast<std::size_t>(j + 1) * w);
    double* row = out.data() + static_cast<std::size_t>(j) * w;
    const std::string_view line = data_line(in, where);
    read_row(in, line, fmt, [&] { read_data_line(line, fmt, row, in.stream()); });
  }
}

// Further total blocks, each headed by a line in the layout of line 6,
// until the data ends (or only blank lines are left).
void read_more_totals(Lines& in, DoscarData& d) {
  std::string_view line;
  while (in.next(line)) {
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    DoscarHeader b;
    read_located_line(line, in.number(), line6_format(),
                      {Target::Real(b.EMAX), Target::Real(b.EMIN), Target::Int(b.NPOINTS),
                       Target::Real(b.EFERMI)},
                      in.stream());
    const std::int64_t rows = extent(b.NPOINTS);
    Doubles block;
    read_total(in, d.h.NTCOL, rows, block, true,
               "total block " + std::to_string(d.totals.size() + 1));
    d.totals.push_back(std::move(block));
    d.total_rows.push_back(rows);
    d.efermis.push_back(b.EFERMI);
  }
}

// Whether a file of `size` bytes can hold the lines its header announces
// (each line takes one character at least). One that cannot is cut short:
// it is read in one pass, its arrays growing with its lines, so that it
// costs no more than it holds and ends with the line where it stops.
bool holds_lines(const DoscarData& d, std::int64_t size, bool atoms) {
  const std::int64_t rows = extent(d.h.NPOINTS);
  return size >= 6 + rows + (atoms ? extent(d.h.NATOMS) * (rows + 1) : 0);
}

// A failure of the text of compressed data: when the rest of the data is
// damaged, that is the cause (a flipped bit gives a field that is not a
// number long before the CRC at the end tells), and it replaces `f`, at
// the line where the text failed.
void blame_compressed_data(ByteSource& rest, Failure& f) {
  if (!f.detail().cause.empty()) return;
  std::vector<char> buf(std::size_t{1} << 20);
  try {
    while (rest.read(buf.data(), buf.size()) > 0) {
    }
  } catch (const Failure& g) {
    if (g.detail().cause.empty()) return;
    const std::int64_t line = f.detail().line;
    f = for_stream(g, f.unit(), f.file());
    f.detail().line = line;
  } catch (...) {
    // Nothing more can be learnt from the data: the text's failure stands.
  }
}

// The blocks of a file without per-atom blocks: further total blocks.
void read_without_atoms(Lines& in, DoscarData& d, const std::string& file, const ReadOptions& o) {
  if (o.atoms && o.kept != nullptr && !o.kept->empty()) {
    refuse(kEndOfFile, file, 1,
           file +
               " has no projected DOS (line 1 says so: its third number is 0); VASP writes "
               "the per-atom blocks when LORBIT is set in INCAR (LORBIT = 11: l,m-projected)",
           "no-pdos");
  }
  d.kind = classify(d.h.NTCOL, -1);
  d.slot.assign(static_cast<std::size_t>(extent(d.h.NATOMS)) + 1, -1);
  read_more_totals(in, d);
}

// Atom 1's block-header line, its first data line and the line after it,
// read to learn the layout (and put back); false when the data ends before
// the first data line and `required` is unset.
bool peek_atom_lines(Lines& in, std::vector<std::string>& lines, bool required) {
  std::string_view l;
  for (int i = 0; i < 2; ++i) {
    if (required) {
      l = in.line();
    } else if (!in.next(l)) {
      return false;
    }
    lines.emplace_back(l);
  }
  if (in.next(l)) lines.emplace_back(l);
  return true;
}

// Reads the blocks of atoms 1 ... NATOMS; with `fd` >= 0 (a regular file) a
// second thread reads the later atoms through its own position in fd. It
// passes over the lines before them meanwhile, which takes about a fifth of
// the time of reading them, so it takes 4/9 of the atoms for the two to end
// together. A failure in the first part comes first in the file, so it is
// the one reported. Blocks of less than half a MiB in all are read by one
// thread: starting the second costs more than it saves there.
void read_atom_blocks(Lines& in, DoscarData& d, int fd, bool second_thread) {
  static const bool cores = std::thread::hardware_concurrency() > 1;
  constexpr std::int64_t kSecondThreadBytes = 512 * 1024;
  const std::int32_t natoms = d.h.NATOMS;
  const std::int64_t rows = extent(d.h.NPOINTS);
  const std::int64_t per_atom = rows * (d.wrap != 0 ? 2 : 1) + 1;
  const std::int64_t bytes = std::int64_t{natoms} * rows * (11 + 12 * std::int64_t{d.h.NPCOL});
  std::int32_t split =
      fd >= 0 && second_thread && natoms >= 2 && cores && bytes >= kSecondThreadBytes
          ? static_cast<std::int32_t>(std::int64_t{natoms} * 5 / 9) + 1
          : natoms + 1;
  std::exception_ptr second_failure;
  std::thread second;
  if (split <= natoms) {
    try {
      second = std::thread([&, split] {
        try {
          InFile file(in.stream().unit, in.stream().name, positioned_source(fd, 0));
          file.set_limits({kMaxTextLine, 0, kNothingDone});
          for (std::int64_t i = 6 + rows + (split - 1) * per_atom; i > 0; --i) file.skip();
          Lines rest(file);
          read_atoms(rest, d, split, natoms, false);
        } catch (...) {
          second_failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      split = natoms + 1;  // no second thread: this one reads every block
    }
  }
  struct Join {
    std::thread& t;
    ~Join() {
      if (t.joinable()) t.join();
    }
  } join{second};
  read_atoms(in, d, 1, split - 1, fd < 0);
  if (second.joinable()) second.join();
  if (second_failure) std::rethrow_exception(second_failure);
}

// The per-atom blocks of a file that has them (or, with o.atoms unset,
// only their layout, when the data holds it).
void read_with_atoms(Lines& in, DoscarData& d, const std::string& file, const ReadOptions& o,
                     int fd) {
  std::vector<std::string> lines;
  const std::int64_t first_line = in.number() + 2;
  if (d.h.NATOMS <= 0 || !peek_atom_lines(in, lines, o.atoms)) {
    d.kind = classify(d.h.NTCOL, -1);
    d.slot.assign(static_cast<std::size_t>(extent(d.h.NATOMS)) + 1, -1);
    return;
  }
  atom_layout(d, file, first_line, lines[1], lines.size() > 2 ? &lines[2] : nullptr, o);
  d.slot = atom_slots(o.atoms ? o.kept : &kNoAtoms, d.h.NATOMS, file);
  if (d.kind.known_atoms) d.width = std::int64_t{d.h.NPCOL} + 1;
  if (!o.atoms) return;
  in.put_back(std::move(lines));
  d.has_pdos = true;
  const std::int64_t rows = extent(d.h.NPOINTS);
  d.energy1.resize(static_cast<std::size_t>(rows));
  if (fd >= 0) {
    std::int64_t kept = 0;
    for (std::int64_t s : d.slot) kept += s >= 0;
    d.pdos.resize(static_cast<std::size_t>(kept * rows * d.width));
  }
  read_atom_blocks(in, d, fd, o.second_thread);
}

// The reading itself; `fd` >= 0: a regular file of `size` bytes, whose later
// atoms a second thread reads through this descriptor. `compressed`: the
// decoder under file_in, when the data is compressed; it is read to its end,
// where its checksum is, even when the lines there are not needed.
DoscarData read_all(InFile& file_in, const ReadOptions& o, int fd, std::int64_t size,
                    ByteSource* compressed) {
  DoscarData d;
  const std::string file = file_in.stream().name;
  LineLayout layout;
  file_in.set_limits({kMaxTextLine, 6, kNothingDone});
  try {
    read_header_lines(file_in, d.h);
    if (d.h.NPOINTS <= 0) {
      refuse(kNothingDone, file, 6,
             file + ": line 6 gives " + std::to_string(d.h.NPOINTS) +
                 " grid points (columns 33-37); a DOSCAR has at least one",
             "no-grid-points");
    }
    Lines in(file_in);
    layout.atoms = d.h.pdos_flag != 0;
    const std::int64_t rows = extent(d.h.NPOINTS);
    const std::string line7(in.line());
    d.h.NTCOL = count_values(counted_part(line7));
    check_total_columns(file, line7, d.h.NTCOL);
    if (fd >= 0 && !holds_lines(d, size, layout.atoms && o.atoms)) fd = -1;
    in.put_back({line7});
    d.totals.emplace_back();
    read_total(in, d.h.NTCOL, rows, d.totals[0], fd < 0, "the total block");
    d.total_rows.push_back(rows);
    d.efermis.push_back(d.h.EFERMI);
    if (!layout.atoms) {
      read_without_atoms(in, d, file, o);
    } else {
      read_with_atoms(in, d, file, o, fd);
    }
    std::string_view rest;
    while (compressed != nullptr && in.next(rest)) {
    }
  } catch (Failure& f) {
    layout.per_point = d.wrap != 0 ? 2 : 1;
    if (compressed != nullptr) blame_compressed_data(*compressed, f);
    explain(f, d.h, layout);
    throw;
  }
  return d;
}

// The failure of an open: for a folder, it names the files looked for.
[[noreturn]] void refuse_missing(const std::string& path, const std::string& file, int err) {
  Failure f(open_failure_number(err), kUnitDoscar, file, err);
  struct stat st {};
  if (err == ENOENT && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string names;
    for (const char* name : kDoscarNames) names += std::string(names.empty() ? "" : ", ") + name;
    f.detail().text = path + " holds none of " + names;
  }
  throw f;
}

// The refusal of `file`, a file of st_mode `mode` that is not a regular
// file (a link to one included), where only regular files are read.
[[noreturn]] void refuse_irregular(const std::string& file, unsigned mode, bool asked) {
  struct stat st {};
  const bool link = lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  refuse(kNothingDone, file, 0,
         file + " is " + (link ? "a link to " : "") + std::string(file_kind(mode)) +
             ", not a regular file: it is not opened" +
             (asked || !S_ISFIFO(mode) ? "" : " (name the FIFO itself to read a stream from it)"),
         "not-a-regular-file");
}

}  // namespace

int open_input(const std::string& path, const std::string& file, bool regular_only) {
  int err = 0;
  if (regular_only || file != path) {
    unsigned mode = 0;
    const int fd = open_regular(file, err, mode);
    if (fd < 0 && err == 0) refuse_irregular(file, mode, regular_only);
    if (fd < 0) refuse_missing(path, file, err);
    return fd;
  }
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);  // a FIFO waits for its writer
  if (fd < 0) refuse_missing(path, file, errno);
  return fd;
}

DoscarData read_doscar(const std::string& path, const ReadOptions& options) {
  const std::string file = doscar_file(path);
  const int fd = open_input(path, file, options.regular_only);
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } close{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) refuse_missing(path, file, EISDIR);
  ReadOptions o = options;
  if (o.folder.empty()) {
    const std::size_t slash = file.rfind('/');
    o.folder = slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
  }
  const bool regular = S_ISREG(st.st_mode);
  std::string compression;
  std::unique_ptr<ByteSource> source;
  try {
    source = decompressed(regular ? positioned_source(fd, 0) : descriptor_source(fd, false),
                          &compression);
  } catch (const Failure& f) {
    throw for_stream(f, kUnitDoscar, file);  // met outside its InFile
  }
  ByteSource* const decoder = compression.empty() ? nullptr : source.get();
  InFile in(kUnitDoscar, file, std::move(source));
  const bool parallel = regular && compression.empty();
  DoscarData d = read_all(in, o, parallel ? fd : -1, parallel ? st.st_size : -1, decoder);
  d.file = file;
  d.folder = o.folder;
  d.compression = compression;
  return d;
}

DoscarData read_doscar(std::unique_ptr<ByteSource> source, const std::string& name,
                       const ReadOptions& options) {
  std::string compression;
  std::unique_ptr<ByteSource> text;
  try {
    text = decompressed(std::move(source), &compression);
  } catch (const Failure& f) {
    throw for_stream(f, kUnitDoscar, name);
  }
  ByteSource* const decoder = compression.empty() ? nullptr : text.get();
  InFile in(kUnitDoscar, name, std::move(text));
  DoscarData d = read_all(in, options, -1, -1, decoder);
  d.file = name;
  d.folder = options.folder;
  d.compression = compression;
  return d;
}

}  // namespace pds
