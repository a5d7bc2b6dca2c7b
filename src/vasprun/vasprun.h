// vasprun: the density of states of a vasprun.xml, read as a DOSCAR of the
// same run reads, and the band edges of its eigenvalues (or of an EIGENVAL);
// the choice of the DOS file of a folder.
//
// vasprun.xml, as VASP writes it (the parts read):
//   <modeling>
//    <parameters> ... <i type="int" name="ISPIN"> 2</i> ... LNONCOLLINEAR,
//                 LSORBIT (<i type="logical"> T / F) ... </parameters>
//    <atominfo> <atoms> N </atoms> ... <array name="atoms"> ... <set>
//               <rc><c>Fe</c><c> 1</c></rc> (one per atom) </set> ... </atominfo>
//    <calculation> (one per ionic step) ... <structure> <crystal>
//      <varray name="basis"> 3 <v> </varray> ... </crystal>
//      <varray name="positions"> N <v> </varray> </structure> ...
//      <eigenvalues> <array> ... <set> <set comment="spin 1">
//        <set comment="kpoint 1"> <r> energy occupation </r> ... </eigenvalues>
//      <dos comment="kpoints_opt"> (VASP 6.3 and later, with KPOINTS_OPT)
//      <dos> <i name="efermi"> E_F </i>
//        <total> <array> <field>energy</field> <field>total</field>
//          <field>integrated</field> <set> <set comment="spin 1"> <r> rows
//          </set> ... (1, 2 or 4 spin sets) </set> </array> </total>
//        <partial> (LORBIT set) <array> <field>energy</field> <field>s</field>
//          ... <set> <set comment="ion 1"> <set comment="spin 1"> <r> rows
//          ... </partial>
//      </dos>
//      <projected> (large: per band and k-point; never read) ...
//    </calculation> ...
// The file is scanned as bytes: a byte search skips to the blocks above, the
// rows of the DOS go straight into the arrays, and reading stops at </dos>.
// In a large file the spin sets of <partial> are copied out as pieces and
// parsed on worker threads while the scan goes on.
// No DTD is read and no entity expanded: a file that declares one is
// refused.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "doscar/doscar.h"
#include "textio/textio.h"

namespace pds {

// ---------------------------------------------------------------------------
// Reading

// The DOS of the vasprun.xml text `text` (already decompressed), named
// `name` in failures: the first <dos> without a comment (with
// o.kpoints_opt, the one of KPOINTS_OPT), in the layout a DOSCAR of the
// same run has: total rows of (energy, DOS, integrated) or (energy, up,
// down, integrated up, integrated down); per atom the orbitals in DOSCAR's
// order, each up and down, or DOS, mx, my, mz (non-collinear: the total
// block then holds the first spin set). Throws Failure with its sentence,
// line and cause().
DoscarData read_vasprun(std::unique_ptr<ByteSource> text, const std::string& name,
                        const ReadOptions& o);

// The element of every atom that the <atominfo> of the vasprun.xml text
// `text` names (empty when it has none); only the blocks before the first
// <calculation> are read. Throws Failure as read_vasprun().
std::vector<std::string> read_vasprun_symbols(std::unique_ptr<ByteSource> text,
                                              const std::string& name);
// The same for the vasprun.xml of `folder` (the first of kVasprunNames
// there, a regular file only, in any of its forms): empty when there is
// none. For the elements of a DOSCAR's atoms where no structure file is.
std::vector<std::string> vasprun_symbols(const std::string& folder);

// ---------------------------------------------------------------------------
// Any DOS file

// The folder names tried in order, for each format.
inline constexpr const char* kVasprunNames[] = {"vasprun.xml",           "vasprun.xml.gz",
                                                "vasprun.xml.xz",        "vasprun.xml.bz2",
                                                "vasprun.xml.static",    "vasprun.xml.static.gz",
                                                "vasprun.xml.static.xz", "vasprun.xml.static.bz2"};
inline constexpr const char* kDoscarStaticNames[] = {"DOSCAR.static", "DOSCAR.static.gz",
                                                     "DOSCAR.static.xz", "DOSCAR.static.bz2"};
inline constexpr const char* kVaspoutName = "vaspout.h5";

// The file that `path` names: `path` itself, or for a folder the first
// there is of the DOSCAR names (kDoscarNames, then kDoscarStaticNames), the
// vasprun.xml names and vaspout.h5, of `format` alone when it is not "".
// Throws Failure (ENOENT) naming what was looked for when a folder has none.
std::string dos_file(const std::string& path, const std::string& format);

// Reads the DOS file `path` names (dos_file): a DOSCAR, a vasprun.xml or a
// vaspout.h5, each plain or compressed, told apart by its content (a
// vasprun.xml starts with "<"; vaspout.h5 by its name).
DoscarData read_dos(const std::string& path, const ReadOptions& o);
// The same for data from `source`, named `name` in failures: a DOSCAR or a
// vasprun.xml, plain or compressed.
DoscarData read_dos(std::unique_ptr<ByteSource> source, const std::string& name,
                    const ReadOptions& o);

// ---------------------------------------------------------------------------
// Band edges

// Adds eigenvalues in the order pymatgen visits them (spin up before down,
// k-points in order, bands in order) and gives the edges.
class EdgeFinder {
 public:
  void add(std::int64_t kpoint, double energy, double occupation);
  BandEdges edges() const;

 private:
  double vbm_ = -1.0 / 0.0, cbm_ = 1.0 / 0.0;
  std::int64_t vbm_k_ = -1, cbm_k_ = -1;
};

// The band edges of the file `file` of format `format` ("vasprun": its
// eigenvalues before the DOS; "doscar": the EIGENVAL beside it, in any of
// its compressed forms). Throws Failure: no eigenvalues, an EIGENVAL without
// occupations, a damaged file.
BandEdges read_band_edges(const std::string& file, const std::string& format);
// The edges of the text of an EIGENVAL, named `name` in failures.
BandEdges eigenval_edges(std::unique_ptr<ByteSource> text, const std::string& name);

// The orbital (its column in a DOSCAR line, from 0: s py pz px dxy dyz dz2
// dxz x2-y2, then the f's; or s p d f) of a <field> name of <partial>, -1
// for none; `lm` tells the two numberings apart.
int orbital_of_field(std::string_view name, bool& lm);

// ---------------------------------------------------------------------------
// The scanner (scan.cpp): a window of bytes over a source, with the line
// number of its position.

struct XmlTag {
  std::string_view name, attributes;
  bool closing = false, empty = false;
};

// A copy of the bytes of one block, for a scanner of its own on another
// thread: from the start of the line of the position through the block's
// end, with that line's number.
struct XmlPiece {
  std::unique_ptr<char[]> text;
  std::size_t size = 0;
  std::size_t skip = 0;   // the bytes of the line before the position
  std::int64_t line = 1;  // the line of the position
  bool dropped = false;   // the line starts before the bytes held
};

class XmlScan {
 public:
  XmlScan(std::unique_ptr<ByteSource> source, std::string name);
  // A scanner over a piece taken by another (take()), at its position: it
  // reads, counts lines and refuses as that one would have there.
  XmlScan(XmlPiece piece, std::string name);

  // Moves to the first of `patterns` at or after the position and returns
  // its index; -1 at the end of the data (the position then at the end).
  int find(std::initializer_list<std::string_view> patterns);
  // The bytes from the position through the first `close` after it, which
  // stay valid until the scanner moves on; truncated when there is none.
  std::string_view block(std::string_view close, const char* what);
  // Copies the bytes from the position through the first `close` after
  // it into `piece` and moves past them; false (the position unchanged)
  // when there is no `close` within the longest block held whole.
  bool take(std::string_view close, XmlPiece& piece);
  // Moves on by n bytes (within the window).
  void advance(std::size_t n);
  // At least n bytes from the position in the window unless the data ends
  // first; the bytes there.
  std::string_view window(std::size_t n);
  // Passes over blanks and line ends.
  void skip_blanks();
  // The tag at the position (after blanks): <name attributes>, </name> or
  // <name/>; refuses text where a tag stands.
  XmlTag tag(const char* what);
  // The tag `name` (opening, or closing with `closing`) or a refusal.
  XmlTag expect(std::string_view name, bool closing, const char* what);
  // The text up to the next '<' (at most a line), without the blanks around.
  std::string_view text(const char* what);
  // Passes over the element whose opening tag `t` was just read.
  void skip_element(const XmlTag& t, const char* what);
  // Reads a row <r> v v ... </r> of at most `max` values into `out`;
  // returns how many, or -1 when the position is at `</set>` instead (then
  // passed over). Blanks before the row are passed over.
  int row(double* out, int max, const char* what);

  std::int64_t line() const { return line_; }
  // The line of the byte at `offset` from the position.
  std::int64_t line_at(std::size_t offset) const;
  bool at_end();
  const std::string& name() const { return name_; }

  // Refusals, with the line of the position (or of `offset` from it).
  [[noreturn]] void fail(int number, const char* kind, const std::string& what,
                         std::size_t offset = 0) const;
  [[noreturn]] void truncated(const char* what);
  [[noreturn]] void not_a_number(const char* at, std::size_t length, const char* what) const;

 private:
  bool more(std::size_t want);
  // The end of the first `close` after the position, the window grown to
  // hold it; null when the data or the longest block held whole ends first.
  const char* through(std::string_view close);
  // The value of a row at p (before e, the end of the window) into *out,
  // or the refusal of the row (out null: one more than `max`); its end.
  const char* value(const char* p, const char* e, double* out, int max, const char* what);
  std::size_t available() const { return end_ - pos_; }
  void count(const char* from, const char* to);

  std::unique_ptr<ByteSource> source_;
  std::string name_;
  std::unique_ptr<char[]> buf_;
  std::size_t size_ = 0, pos_ = 0, end_ = 0;
  bool dropped_ = false;  // bytes before the window were let go
  bool eof_ = false;
  bool piece_ = false;  // the bytes are a piece: none follow
  std::int64_t line_ = 1;
};

// Pieces (the spin sets of <partial>) read on worker threads, each by a
// scanner of its own into places of the arrays no other piece writes. The
// calling thread reads the oldest queued pieces itself while more than a
// few MiB wait, so that the copies held stay small. A failure is kept with
// the order of its piece: finish() throws the first in the file, the one a
// reading by one thread meets.
class PieceReaders {
 public:
  using Work = std::function<void(XmlScan&)>;
  PieceReaders(int workers, std::string name);
  ~PieceReaders();  // drops the queued pieces; waits for those being read
  PieceReaders(const PieceReaders&) = delete;
  PieceReaders& operator=(const PieceReaders&) = delete;

  void add(XmlPiece piece, Work work);
  // Reads or waits for every piece queued; throws the first failure.
  void finish();

 private:
  struct Job {
    std::uint64_t order;
    XmlPiece piece;
    Work work;
  };
  void run(Job& job);
  bool next(Job& job);  // takes the oldest queued job (the lock held)
  void work();

  std::string name_;
  std::mutex mutex_;
  std::condition_variable queued_, done_;
  std::deque<Job> queue_;
  std::size_t queued_bytes_ = 0;
  int running_ = 0;
  bool stop_ = false;
  std::uint64_t added_ = 0, failed_order_ = ~std::uint64_t{0};
  std::exception_ptr failure_;
  std::vector<std::thread> threads_;
};

// What the parts of a vasprun.xml before its DOS say (the reader's parts:
// header.cpp, eigen.cpp, dos.cpp).
struct VasprunRun {
  int spin_sets = 0;         // 1, 2 or 4 from <parameters>; 0 when it does not say
  std::int64_t natoms = -1;  // <atominfo>'s <atoms>; -1 when absent
  std::vector<std::string> symbols;
  std::vector<double> lattice, positions;
  bool has_edges = false;
  BandEdges edges;
};

// Each reads the block whose opening tag is at the scanner's position and
// moves past it.
void read_parameters(XmlScan& s, VasprunRun& r);
void read_atominfo(XmlScan& s, VasprunRun& r);
void read_cell(XmlScan& s, VasprunRun& r);
// <eigenvalues>: sets r.edges, or clears r.has_edges when its rows carry no
// occupations (those of KPOINTS_OPT).
void read_eigenvalues(XmlScan& s, VasprunRun& r);
// <dos ...>: the DOS into d, laid out as described at read_vasprun().
void read_dos_block(XmlScan& s, const VasprunRun& r, DoscarData& d, const ReadOptions& o);

// A number of vasprun.xml's text as Python's float() reads it (the nearest
// double; a field of asterisks, a Fortran overflow, is NaN as pymatgen takes
// it). False when the text is not a number.
bool parse_xml_number(std::string_view text, double& out);

}  // namespace pds
