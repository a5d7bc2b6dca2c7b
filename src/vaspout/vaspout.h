// vaspout: the DOS of VASP 6's HDF5 output, vaspout.h5, read into the same
// DoscarData as a DOSCAR of the same run.
//
// What is read (arrays in C order, the energy axis last):
//   results/electron_dos/energies   (NEDOS)
//   results/electron_dos/dos, dosi  (components, NEDOS): DOS and integrated DOS
//   results/electron_dos/dospar     (components, ions, projectors, NEDOS), when
//                                   VASP projected the DOS (LORBIT set)
//   results/electron_dos/efermi, emin, emax, nedos, ncdij, system
//   results/projectors/lchar        projector labels ("    s", "   py", "x2-y2" ...)
//   results/positions/ion_types, number_ion_types: the elements, in atom order
//   input/incar/LNONCOLLINEAR, LSORBIT
// Components are 1 (no spin), 2 (up, down) or 4 in a non-collinear run (the
// DOS, then the magnetisation mx, my, mz; the total DOS may hold the first
// only). Values are read as doubles whatever the file stores (float to
// double is exact).
//
// The library pdsplit_vaspout links libhdf5 where CMake finds it
// (PDSPLIT_HDF5); built without it, read_vaspout() refuses every file. The
// program pdsplit never links it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "doscar/doscar.h"

namespace pds {

// The stream number that failures of vaspout.h5 name.
constexpr int kUnitVaspout = 13;

// Reads the DOS of the vaspout.h5 `file`, laid out as DOSCAR lays out that
// run: one total block (dos, int; or up, down, int_up, int_down; the first
// component only in a non-collinear run), the per-atom blocks of the atoms
// o.kept (all when null; none when o.atoms is unset) with their orbitals in
// DOSCAR's order (labels matched by name), E_F, and the element of every
// atom; source "vaspout". Spin and non-collinearity come from the file, so
// o.noncollinear and o.folder are not used. Throws Failure with a sentence
// in detail().text: an OS error of the open; kNothingDone for a file that
// is not HDF5, one without results/electron_dos, arrays of other shapes than
// a run writes or labels of no known layout; 24 for a file cut short or
// arrays shorter than NEDOS or the atom count; 24 too for atoms kept in a
// file without projected DOS; kNothingDone ("built without HDF5") in a build
// without libhdf5.
DoscarData read_vaspout(const std::string& file, const ReadOptions& o);

// An HDF5 file opened read-only, its datasets named by path
// ("results/electron_dos/dos"). Every problem throws Failure of `file`
// (stream kUnitVaspout) with a sentence. HDF5 prints nothing: its automatic
// error report is switched off.
class Hdf5File {
 public:
  // Failures: the OS error of open(2); kNothingDone for a file that is not
  // HDF5 (or a build without libhdf5); 24 for an HDF5 file that cannot be
  // opened (cut short).
  explicit Hdf5File(const std::string& file);
  ~Hdf5File();
  Hdf5File(const Hdf5File&) = delete;
  Hdf5File& operator=(const Hdf5File&) = delete;

  // Whether every link of `path` exists (a group or a dataset).
  bool has(const std::string& path) const;
  // The extents of the dataset `path` (empty for a scalar).
  std::vector<std::int64_t> shape(const std::string& path) const;
  // Every value of the dataset `path` as doubles (or integers), in C order.
  std::vector<double> doubles(const std::string& path) const;
  std::vector<std::int64_t> integers(const std::string& path) const;
  // The values whose index along dimension `dim` is `index`: the slab of
  // one ion of dospar, say, without reading the others.
  std::vector<double> slab(const std::string& path, int dim, std::int64_t index) const;
  // The strings of the dataset `path` (fixed-length or variable-length),
  // each cut at its first NUL, without the blanks around it.
  std::vector<std::string> texts(const std::string& path) const;
  // The dataset holds strings.
  bool holds_texts(const std::string& path) const;

  const std::string& file() const { return file_; }
  // Throws the failure `number` of this file with the sentence `text` and
  // its cause; without one, "truncated" for kEndOfFile, else
  // "unknown-columns" (arrays or labels of no layout VASP writes).
  [[noreturn]] void refuse(int number, const std::string& text, std::string cause = {}) const;

 private:
  std::string file_;
  std::int64_t id_ = -1;  // hid_t
};

}  // namespace pds
