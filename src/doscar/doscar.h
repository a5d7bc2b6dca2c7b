// doscar: the layout of DOSCAR as read, the header reader and the readers of
// the total block and of the per-atom blocks: the command line's (DOSCAR of
// the working directory, with console lines and stops) and those for other
// programs (any file, values as doubles, failures only).
//
// Lines of DOSCAR (counted from 1):
//   1        NATOMS in columns 1-4 (I4)
//   2-4      passed over
//   5        system name, columns 1-40 (A40)
//   6        EMAX, EMIN, NPOINTS, EFERMI: (2F16.8,I5,F16.8)
//   7..      total block: NPOINTS data lines of NTCOL values
//   then per atom: one block-header line (never read) and NPOINTS data lines
//            of NPCOL values
// A data line is the energy in columns 1-11 (F11.3) and 12-character value
// fields from column 12 on (E12.4e2). The column counts are not stored in the
// file: they are the number of upper-case "E" in the first 395 characters of
// the first data line of the block (11 + 32 * 12 = 395).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "textio/textio.h"

namespace pds {

struct DoscarHeader {
  std::int32_t NATOMS = 0;
  std::int32_t NPOINTS = 0;
  double EFERMI = 0.0;
  std::int32_t NTCOL = 0;
  std::int32_t NPCOL = 0;
  double EMAX = 0.0;
  double EMIN = 0.0;
  std::string SYSTEM;     // line 5, columns 1-40, without trailing blanks
  bool has_atoms = true;  // false: the file ends before the first data line of atom 1
  // Line 1, columns 9-12: 1 when per-atom blocks follow the total block, 0
  // when they do not; -1 when the field is blank or not a number.
  std::int32_t pdos_flag = -1;
};

// The input file's name: DOSCAR in the working directory.
inline constexpr const char* kDoscar = "DOSCAR";

// Calls read(), which reads `line`, line `number` of its file, with `fmt`;
// the malformed number that it may throw is located in the line.
template <typename Read>
void read_located(std::string_view line, std::int64_t number, const LineFormat& fmt, Read read) {
  try {
    read();
  } catch (Failure& f) {
    locate_malformed_field(f, line, fmt, number);
    throw;
  }
}

// Hands the next line of `in` to read(line), which reads it with `fmt`; the
// malformed number that it may throw is located in the line.
template <typename Read>
void read_located(InFile& in, const LineFormat& fmt, Read read) {
  const std::string_view line = in.line();
  read_located(line, in.lines(), fmt, [&] { read(line); });
}

// Reads lines 1-6 into `h`: NATOMS and pdos_flag, SYSTEM, and line 6.
void read_header_lines(InFile& in, DoscarHeader& h);
// The layout of line 6, which also heads every further block:
// (2F16.8,I5,F16.8), EMAX, EMIN, NPOINTS, EFERMI.
const LineFormat& line6_format();
// Reads `line`, line `number` of its file, with `fmt`; a malformed number
// is located in the line.
void read_located_line(std::string_view line, std::int64_t number, const LineFormat& fmt,
                       const std::vector<Target>& targets, const Stream& where);

// Reads the header lines and measures the column counts from the first line
// of `in`, filling `h` as it goes (what was read before a failure stays).
// Throws Failure: 24 when the file ends early, 64 for a malformed number in
// line 1 or 6, both with their line (and field). With `atoms` false the file
// may end after the total block: has_atoms is then false and NPCOL 0.
void read_header(InFile& in, DoscarHeader& h, bool atoms = true);

// The command line's header step: opens DOSCAR, reads the header, prints the
// summary and returns it. Stops the run (status 1) when DOSCAR cannot be
// opened or its per-atom columns cannot be classified; read failures end the
// run with their diagnostic.
DoscarHeader readheader();

// What the column counts tell. Total lines carry 2 values (DOS, integrated
// DOS) or 4 (each spin up, then down). Per-atom lines carry one value per
// orbital, s p d (l-projected: 3) or s py pz px dxy dyz dz2 dxz x2-y2 (l,m:
// 9), f orbitals added (4, 16), each up and down when spin-polarised.
struct DoscarKind {
  bool known_total = false;  // NTCOL is 2 or 4
  bool spin = false;         // NTCOL is 4
  bool known_atoms = false;  // NPCOL is one of the counts above
  bool lm = false;           // l,m-projected, else l-projected
  bool f = false;            // f orbitals
  // Non-collinear run: four columns per orbital (the DOS, then the
  // magnetisation mx, my, mz); the total block has the non-spin columns.
  bool noncollinear = false;
};
DoscarKind classify(int ntcol, int npcol);

// Names of the value columns in file order: ("dos", "int") or ("up", "down",
// "int_up", "int_down"); orbitals with "_up" and "_down" when spin-polarised,
// each orbital as itself, then "_mx", "_my", "_mz" when non-collinear.
// Empty for a count of no known kind.
std::vector<std::string> total_columns(const DoscarKind& k);
std::vector<std::string> atom_columns(const DoscarKind& k);

// Loads the total block: NPOINTS rows of NTCOL + 1 values (energy first),
// row after row, into tdos. Prints "Closing DOSCAR file...".
void readtdos(const DoscarHeader& h, double* tdos);

// The per-atom blocks as loaded: for each atom kept, NPOINTS rows of the
// energy and NPCOL value codes (see ValueCode), so that a value written out
// again is its field copied, and its double is computed only for sums. The
// blocks of atoms not kept are read and checked all the same.
struct AtomBlocks {
  std::int64_t rows = 0, n = 0;
  std::vector<std::int64_t> slot;      // atom -> its place among those kept, or -1
  std::unique_ptr<double[]> energy;    // kept atoms x rows
  std::unique_ptr<ValueCode[]> codes;  // kept atoms x rows x n
  std::vector<double> specials;        // values of fields in other shapes
  // Atoms first_summed ... last_summed are added, as they are read (so in
  // ascending order), into `sum`: rows of n values `sum_stride` apart.
  std::int64_t first_summed = 1, last_summed = 0;
  double* sum = nullptr;
  std::int64_t sum_stride = 0;

  // Storage for the atoms with keep[atom] set (keep[0] unused), not
  // zero-filled; throws std::bad_alloc.
  void allocate(const std::vector<bool>& keep, std::int64_t npoints, std::int64_t npcol);
  bool kept(std::int64_t atom) const { return slot[static_cast<std::size_t>(atom)] >= 0; }
  double* energies(std::int64_t atom) const {
    return energy.get() + slot[static_cast<std::size_t>(atom)] * rows;
  }
  ValueCode* values(std::int64_t atom) const {
    return codes.get() + slot[static_cast<std::size_t>(atom)] * rows * n;
  }
};

// Reads every atom's block, keeping those that ldos (allocated by the
// caller) has room for. Prints "Closing DOSCAR file...".
void readdos(const DoscarHeader& h, AtomBlocks& ldos);

// Extents that would be negative count as zero.
inline std::int64_t extent(std::int64_t n) {
  return n < 0 ? 0 : n;
}

// ---------------------------------------------------------------------------
// Reading for other programs (the Python module): any file name, values as
// doubles, nothing printed, no stop. Every problem throws Failure, whose
// detail says in a sentence (detail().text) what went wrong and where.

// The number these readers give the problems for which the command line
// stops with status 1 having done nothing: column counts of no known kind,
// an atom number that is not in the file, an output name that is DOSCAR.
inline constexpr int kNothingDone = 1;

// Throws the refusal `number` of `file` at `line` (0: none), with its
// sentence and its cause (Failure::cause()).
[[noreturn]] void refuse(int number, const std::string& file, std::int64_t line, std::string text,
                         std::string cause = {});

// The DOSCAR that `path` names: `path` itself, or for a folder the first of
// DOSCAR, DOSCAR.gz, DOSCAR.xz, DOSCAR.bz2 in it that is a regular file (a
// link to one too); when none is, the first that exists (which the reader
// refuses); DOSCAR when there is none.
std::string doscar_file(std::string_view path);

// The longest line the library readers take (no line of a DOSCAR, POSCAR or
// INCAR comes near it): a longer one, a file of NUL bytes without end or
// binary data, is refused without being read further.
inline constexpr std::size_t kMaxTextLine = std::size_t{1} << 20;
// The descriptor of `file`, found for `path` (the two differ when `path` is
// a folder): then, or with `regular_only`, only a regular file (or a link
// to one) is opened, anything else refused unopened ("not-a-regular-file");
// otherwise a FIFO is opened and waits for its writer. A missing file in a
// folder is refused naming the files looked for.
int open_input(const std::string& path, const std::string& file, bool regular_only);
// The names doscar_file() tries in a folder, in order.
inline constexpr const char* kDoscarNames[] = {"DOSCAR", "DOSCAR.gz", "DOSCAR.xz", "DOSCAR.bz2"};

// For each atom 0 ... NATOMS (0 unused) its place among the atoms `kept`, or
// -1; every atom when `kept` is null. Refuses an atom not in `file`.
std::vector<std::int64_t> atom_slots(const std::vector<std::int64_t>* kept, std::int32_t natoms,
                                     const std::string& file);

// Doubles in memory mapped for them alone (a heap block while small): grown
// without copying (the pages move), so that a block can grow as its lines
// arrive; untouched pages cost nothing, and large arrays take huge pages.
// Handed over with release() and given back with free_doubles().
class Doubles {
 public:
  Doubles() = default;
  ~Doubles();
  Doubles(Doubles&& o) noexcept;
  Doubles& operator=(Doubles&& o) noexcept;
  Doubles(const Doubles&) = delete;
  Doubles& operator=(const Doubles&) = delete;

  double* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Room for n doubles (the first size() kept); throws std::bad_alloc.
  // Grows the mapping by at least half, so that growing row by row is cheap.
  void resize(std::size_t n);
  // The memory and its mapped length in bytes, for free_doubles(); the
  // object is empty afterwards.
  double* release(std::size_t& bytes);

 private:
  double* data_ = nullptr;
  std::size_t size_ = 0, bytes_ = 0;
};
void free_doubles(double* data, std::size_t bytes);

// How the library reader takes a DOSCAR.
struct ReadOptions {
  bool atoms = true;                                // per-atom blocks, or total blocks only
  const std::vector<std::int64_t>* kept = nullptr;  // atoms whose blocks are kept; null: all
  int noncollinear = -1;                            // 16 values per point: 1 non-collinear, 0 not,
                                                    // -1 decided by INCAR in `folder`
  std::string folder;                               // where INCAR is; "" none (data, streams)
  // A regular file's later atoms read by a second thread where that pays
  // (a large vasprun.xml's spin sets, by worker threads, from any source);
  // off where the caller reads many files at once, one a thread.
  bool second_thread = true;
  // Regular files only (a collection's): a FIFO, device, socket or folder
  // is refused unopened (cause "not-a-regular-file"). A file found in a
  // folder is always taken so; a FIFO named by the caller is read as a
  // stream unless this is set.
  bool regular_only = false;
  // Which file of a folder (src/vasprun/vasprun.h, read_dos): "" the first
  // there is of a DOSCAR, a vasprun.xml and a vaspout.h5; "doscar",
  // "vasprun" or "vaspout" only that one.
  std::string format;
  // vasprun.xml: the DOS of KPOINTS_OPT (VASP 6.3 and later) instead of the
  // main one.
  bool kpoints_opt = false;
  // The band edges from the eigenvalues too (vasprun.xml's <eigenvalues>,
  // EIGENVAL beside a DOSCAR): DoscarData::edges.
  bool eigenvalues = false;
};

// The band edges of the eigenvalues and occupations of a run, as pymatgen's
// Vasprun.eigenvalue_band_properties gives them: the valence band maximum is
// the highest eigenvalue with an occupation above 1e-8, the conduction band
// minimum the lowest at or below it, the gap max(cbm - vbm, 0), and the gap
// direct when the k-points where each was first met (spin up first) agree.
struct BandEdges {
  double gap = 0.0, cbm = 0.0, vbm = 0.0;
  bool direct = false;
};

// A DOSCAR as the library reader returns it. Blocks are rows of doubles,
// the energy first, as in the file.
struct DoscarData {
  std::string file;    // the file read, or the name given to the data
  std::string folder;  // where INCAR was looked for: the file's folder; "" for data
  DoscarHeader h;  // NPCOL: values per grid point of an atom, over both lines of a wrapped point
  DoscarKind kind;
  bool has_pdos = false;           // per-atom blocks read
  int wrap = 0;                    // values on the first line of a point written on two lines
  std::vector<std::int64_t> slot;  // atom -> its block in pdos, or -1
  std::int64_t width = 1;          // doubles per row of pdos
  std::vector<Doubles> totals;     // total blocks: rows x (NTCOL + 1)
  std::vector<std::int64_t> total_rows;
  std::vector<double> efermis;  // the Fermi level of each total block
  Doubles pdos;                 // kept atoms x NPOINTS x width
  Doubles energy1;              // atom 1's energies, for sums
  std::string compression;      // "gzip", "xz", "bzip2" or ""
  // Where the DOS came from: "doscar", "vasprun" (vasprun.xml) or "vaspout"
  // (vaspout.h5). The last two name every atom's element (symbols, in atom
  // order; empty when the file does not say, as a vasprun.xml trimmed to its
  // <calculation>).
  std::string source = "doscar";
  std::vector<std::string> symbols;
  // vasprun.xml: the cell of the last structure before the DOS (3 rows a, b,
  // c in Angstrom: 9 values) and the fractional positions of its atoms (3
  // per atom); empty when the file has none.
  std::vector<double> lattice, positions;
  bool has_edges = false;  // edges read (ReadOptions::eigenvalues, and the file has them)
  BandEdges edges;
};

// Reads the DOSCAR `file` (see doscar_file()): a regular file by two
// threads, anything else (pipe, FIFO, compressed data) in one pass. Every
// value is exactly the double of its field. Throws Failure with its
// detail().text set: what is wrong, where, and what to do; its cause() says
// it in a word. Beyond the command line's checks: a line longer than
// kMaxTextLine, or a NUL byte in lines 1-6, is refused (1, "not-text"); a
// file whose data ends in NUL bytes, or in a number cut short, is cut
// ("truncated"; the number stays the command line's).
DoscarData read_doscar(const std::string& file, const ReadOptions& options);
// The same for data from `source`, named `name` in failures; in one pass.
DoscarData read_doscar(std::unique_ptr<ByteSource> source, const std::string& name,
                       const ReadOptions& options);

// Calls f(TAG, value) for each statement "TAG = value" of the text of an
// INCAR, in order: comments after ! or # cut off, several statements on a
// line separated by ';', the tag upper-cased, both without the blanks
// around them.
void incar_statements(std::string_view incar,
                      const std::function<void(std::string_view, std::string_view)>& f);

// LNONCOLLINEAR or LSORBIT set true in the text of an INCAR (.TRUE., T,
// .T., any case; comments after ! or #; several tags on a line with ;).
bool incar_noncollinear(std::string_view incar);

// A sum block (rows of n + 1 values): the energy column `energy`, then the
// values of `blocks` (rows of n + 1, the energy first) added up from zero in
// the order given, as the command line's sums add them.
void add_blocks(double* out, const double* energy, const std::vector<const double*>& blocks,
                std::int64_t rows, std::int64_t n);

// How the lines of a DOSCAR follow each other after its header: lines per
// grid point of an atom's block (2 when a point's values are wrapped), and
// whether per-atom blocks follow the total block.
struct LineLayout {
  int per_point = 1;
  bool atoms = true;
};

// Sets f.detail().text, unless a reader set it already: the failure in the
// words of the layout of the DOSCAR whose header (as far as read) is `h`,
// and what to do about it.
void explain(Failure& f, const DoscarHeader& h, LineLayout layout = {});

// ---------------------------------------------------------------------------
// Selections and structures: what to add up, named by element, atom numbers
// and orbitals (selection.cpp, where the grammar is), and the element of
// every atom from the run's structure file (structure.cpp).

// A selection as written. Atoms, elements and orbitals are sets: each once.
struct Selection {
  enum class Target { kTotal, kAll, kElements, kAtoms };
  using Range = std::pair<std::int64_t, std::int64_t>;  // first, last atom
  Target target = Target::kTotal;
  std::vector<std::string> elements;  // kElements: "O"; "Fe", "Co" in the order first written
  std::vector<Range> ranges;          // kAtoms: ascending, disjoint, not adjacent
  std::vector<std::string> orbitals;  // names and groups in the order first written; empty: all
  bool operator==(const Selection&) const = default;
};

// Parses `text`, in time linear in its length. Throws std::invalid_argument
// with a sentence that quotes `text` (selection_excerpt) and says what is
// wrong.
Selection parse_selection(std::string_view text);

// `text` for a message: its first 40 bytes, then "..." when there are more;
// control characters, backslashes, quotes and bytes that are not UTF-8
// escaped (\t, \x00, \\, \", \xff).
std::string selection_excerpt(std::string_view text);

// What a selection adds up in a file of kind `k`: the total block, or the
// blocks of `atoms`; for each channel (the DOS; up, down; the DOS, mx, my,
// mz) its value columns (from 0, in file order) and the suffix of its name.
struct SelectionPlan {
  bool total = false;
  std::vector<std::int64_t> atoms;  // ascending
  std::vector<std::vector<std::int64_t>> channels;
  std::vector<std::string> suffixes;  // "", or "_up" "_down", or "" "_mx" "_my" "_mz"
};

// Resolves `s` in a file of kind `k` with `natoms` atoms whose elements are
// `symbols` (null when not known). Throws std::invalid_argument: an element
// without symbols or not among them, an atom above natoms (checked before
// ranges are spelt out), an orbital the file does not have (the sentence
// lists the file's orbitals or elements).
SelectionPlan plan_selection(const Selection& s, const DoscarKind& k, std::int64_t natoms,
                             const std::vector<std::string>* symbols);

// Where add_selection takes its values: `rows` energies `energy_stride`
// apart, and blocks of rows of `width` doubles (the energy first).
struct SelectionBlocks {
  const double* energy = nullptr;
  std::int64_t energy_stride = 1;
  std::vector<const double*> blocks;
  std::int64_t rows = 0, width = 1;
};

// Rows of 1 + channels.size() values into `out`: the energy, then for each
// channel, from 0.0, the blocks in the order given and within each block
// the channel's columns in the order given, added one by one.
void add_selection(double* out, const SelectionBlocks& in,
                   const std::vector<std::vector<std::int64_t>>& channels);

// The header line of a labelled column file (no LF): "#", the first name
// right-aligned to column 11 (the energy field), then each further name
// right-aligned in a field of 12 after at least one blank, so that names up
// to 10 and 11 characters stand over their columns. Throws
// std::invalid_argument for an empty name or one with blanks or control
// characters.
std::string column_header(const std::vector<std::string>& names);

// writedos() with column_header(names) as the first line; `names` has one
// name per column of the block, the energy included.
void write_labelled(std::string_view filename, const std::vector<std::string>& names, double shift,
                    const double* block, std::int64_t rows, int n);

// The element symbol that `word` starts with: its leading letters (1 to 3),
// capitalised: "Fe_pv", "Fe/3a4b2c", "fe", "H.5" -> "Fe", "Fe", "Fe", "H";
// "" when there are none or more than 3.
std::string element_symbol(std::string_view word);

// The elements of a POTCAR in order, one per potential: from its TITEL lines
// ("TITEL  = PAW_PBE Fe_pv 06Sep2000" -> "Fe"), else its VRHFIN lines.
std::vector<std::string> potcar_elements(InFile& in);

// The element of every atom of the structure file `file` (POSCAR, CONTCAR;
// plain, gzip, xz or bzip2): from its line 6, else from the POTCAR beside
// it. Throws Failure: OS errors, 24 when it ends before its counts, else
// kNothingDone with its line and a sentence.
std::vector<std::string> read_structure(const std::string& file);

// The structure file in `folder`: the first of CONTCAR, CONTCAR.gz,
// CONTCAR.xz, CONTCAR.bz2, POSCAR, POSCAR.gz, POSCAR.xz, POSCAR.bz2 that is
// a regular file and not empty (a run that stops early leaves an empty
// CONTCAR); "" when there is none.
std::string find_structure(const std::string& folder);

// Throws Failure (kNothingDone) naming both counts when the structure `name`
// has other than `natoms` atoms, the count of the DOSCAR `doscar`.
void check_structure(std::size_t atoms, const std::string& name, std::int64_t natoms,
                     const std::string& doscar);

}  // namespace pds
