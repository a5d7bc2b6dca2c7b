// vaspout.h5: small files written here with libhdf5 in VASP's layout (the
// shapes of results/electron_dos, projector labels, ion types), read back as
// the blocks of a DOSCAR; damaged files and their failures; the real sample.
#include <hdf5.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "vaspout/vaspout.h"

namespace {

constexpr hsize_t kPoints = 7;
const std::vector<std::string> kLm = {"s", "py", "pz", "px", "dxy", "dyz", "dz2", "dxz", "x2-y2"};

// A run as written: spin components of dos and dospar (0: no dospar), the
// projector labels in the file's order, the ion types and their counts.
struct Run {
  hsize_t totals = 1, partial = 1;
  std::vector<std::string> labels = kLm;
  std::vector<std::string> types = {"Ga", "Sb"};
  std::vector<std::int64_t> counts = {1, 1};
  bool single = false;     // values stored as 32-bit floats
  bool incar_ncl = false;  // input/incar/LSORBIT = 1
  hsize_t dos_points = kPoints;
  bool electron_dos = true;  // results/electron_dos written at all
};

// The value of component c of ion i, projector q (file order), point j; the
// total DOS is that of ion -1, projector 0, the integrated one projector 1.
double value(const Run& r, hsize_t c, int i, hsize_t q, hsize_t j) {
  const double v = 0.5 + 0.25 * c + 10.0 * i + 100.0 * q + 0.001 * j;
  return r.single ? static_cast<double>(static_cast<float>(v)) : v;
}

pds::ReadOptions keeping(const std::vector<std::int64_t>* kept, bool atoms = true) {
  pds::ReadOptions o;
  o.kept = kept;
  o.atoms = atoms;
  return o;
}

// Writes datasets, intermediate groups included.
class Writer {
 public:
  explicit Writer(const std::string& path)
      : file_(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT)),
        links_(H5Pcreate(H5P_LINK_CREATE)) {
    H5Pset_create_intermediate_group(links_, 1);
  }
  ~Writer() {
    H5Pclose(links_);
    H5Fclose(file_);
  }
  void numbers(const std::string& path, const std::vector<hsize_t>& dims, const void* data,
               hid_t file_type, hid_t memory_type) {
    const hid_t space = dims.empty()
                            ? H5Screate(H5S_SCALAR)
                            : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    const hid_t d =
        H5Dcreate2(file_, path.c_str(), file_type, space, links_, H5P_DEFAULT, H5P_DEFAULT);
    H5Dwrite(d, memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data);
    H5Dclose(d);
    H5Sclose(space);
  }
  void doubles(const std::string& path, const std::vector<hsize_t>& dims,
               const std::vector<double>& v, bool single = false) {
    numbers(path, dims, v.data(), single ? H5T_IEEE_F32LE : H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE);
  }
  void integers(const std::string& path, const std::vector<std::int64_t>& v) {
    numbers(path, {v.size()}, v.data(), H5T_STD_I64LE, H5T_NATIVE_INT64);
  }
  // Fixed-length texts of 5 characters, right-aligned and NUL-padded (no
  // NUL after a text of 5), as VASP writes lchar.
  void texts(const std::string& path, const std::vector<std::string>& v) {
    std::string all;
    for (const std::string& s : v) all += std::string(5 - s.size(), ' ') + s;
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, 5);
    H5Tset_strpad(type, H5T_STR_NULLPAD);
    numbers(path, {v.size()}, all.data(), type, type);
    H5Tclose(type);
  }

 private:
  hid_t file_, links_;
};

// The arrays of `r`, as VASP lays them out, in the file `path`.
void write_run(const Run& r, const std::string& path) {
  Writer w(path);
  std::int64_t ions = 0;
  for (std::int64_t n : r.counts) ions += n;
  w.texts("results/positions/ion_types", r.types);
  w.integers("results/positions/number_ion_types", r.counts);
  w.integers("input/incar/LSORBIT", {r.incar_ncl ? 1 : 0});
  if (!r.electron_dos) return;
  const std::string e = "results/electron_dos/";
  std::vector<double> energies, dos, dosi, par;
  for (hsize_t j = 0; j < kPoints; ++j) energies.push_back(-3.0 + 0.5 * j);
  for (hsize_t c = 0; c < r.totals; ++c) {
    for (hsize_t j = 0; j < r.dos_points; ++j) {
      dos.push_back(value(r, c, -1, 0, j));
      dosi.push_back(value(r, c, -1, 1, j));
    }
  }
  w.doubles(e + "energies", {kPoints}, energies);
  w.integers(e + "nedos", {static_cast<std::int64_t>(kPoints)});
  w.doubles(e + "efermi", {}, {1.2345678901234567});
  w.doubles(e + "dos", {r.totals, r.dos_points}, dos, r.single);
  w.doubles(e + "dosi", {r.totals, r.dos_points}, dosi, r.single);
  if (r.partial == 0) return;
  const hsize_t nq = r.labels.size();
  for (hsize_t c = 0; c < r.partial; ++c) {
    for (int i = 0; i < ions; ++i) {
      for (hsize_t q = 0; q < nq; ++q) {
        for (hsize_t j = 0; j < kPoints; ++j) par.push_back(value(r, c, i, q, j));
      }
    }
  }
  w.doubles(e + "dospar", {r.partial, static_cast<hsize_t>(ions), nq, kPoints}, par, r.single);
  w.texts("results/projectors/lchar", r.labels);
}

struct LayoutRow {
  const char* name;
  Run run;
  std::vector<int> counts;  // NTCOL, NPCOL, non-collinear
  std::vector<std::string> first_columns, symbols;
};

void check_values(const Run& r, const pds::DoscarData& d) {
  const std::vector<std::string> names = pds::atom_columns(d.kind);
  ASSERT_EQ(d.width, std::ssize(names) + 1);
  const int spins = d.h.NTCOL / 2;
  for (hsize_t j = 0; j < kPoints; ++j) {
    const double* t = d.totals[0].data() + j * (d.h.NTCOL + 1);
    EXPECT_EQ(t[0], -3.0 + 0.5 * j);
    for (int c = 0; c < spins; ++c) {
      EXPECT_EQ(t[1 + c], value(r, c, -1, 0, j)) << "point " << j;
      EXPECT_EQ(t[1 + spins + c], value(r, c, -1, 1, j)) << "point " << j;
    }
    for (std::int64_t a = 0; a < d.h.NATOMS && d.has_pdos; ++a) {
      const double* row = d.pdos.data() + (a * kPoints + j) * d.width;
      EXPECT_EQ(row[0], -3.0 + 0.5 * j);
      // Column k: orbital k / components ("py" of "py_down"), component k % components.
      for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string orbital = names[k].substr(0, names[k].find('_'));
        const auto q = std::find(r.labels.begin(), r.labels.end(), orbital) - r.labels.begin();
        EXPECT_EQ(row[k + 1], value(r, k % r.partial, static_cast<int>(a), q, j)) << names[k];
      }
    }
  }
}

// Labels in another order than DOSCAR's are found by name.
TEST(Vaspout, LaysOutEachRunAsItsDoscar) {
  const std::vector<std::string> shuffled = {"dxy",   "s",   "px",  "pz", "py",
                                             "x2-y2", "dz2", "dyz", "dxz"};
  const std::vector<std::string> gasb = {"Ga", "Sb"};
  const LayoutRow rows[] = {
      {"non-spin l,m, labels shuffled", {.labels = shuffled}, {2, 9, 0}, {"s", "py", "pz"}, gasb},
      {"spin l,m, stored as floats",
       {.totals = 2, .partial = 2, .types = {"Fe_pv"}, .counts = {2}, .single = true},
       {4, 18, 0},
       {"s_up", "s_down", "py_up"},
       {"Fe", "Fe"}},
      {"non-collinear: 4 components",
       {.totals = 4, .partial = 4},
       {2, 36, 1},
       {"s", "s_mx", "s_my", "s_mz", "py"},
       gasb},
      {"non-collinear by INCAR, total DOS of one component",
       {.totals = 1, .partial = 4, .incar_ncl = true},
       {2, 36, 1},
       {"s", "s_mx"},
       gasb},
      {"l-projected with f",
       {.labels = {"s", "p", "d", "f"}},
       {2, 4, 0},
       {"s", "p", "d", "f"},
       gasb},
      {"total only",
       {.partial = 0, .types = {"O", "Ti"}, .counts = {2, 1}},
       {2, 0, 0},
       {},
       {"O", "O", "Ti"}},
  };
  for (const LayoutRow& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path = testing::TempDir() + "layout.vaspout.h5";
    write_run(r.run, path);
    const pds::DoscarData d = pds::read_vaspout(path, {});
    EXPECT_EQ(d.source, "vaspout");
    EXPECT_EQ(d.symbols, r.symbols);
    EXPECT_EQ(d.h.NATOMS, std::ssize(r.symbols));
    EXPECT_EQ(d.h.NPOINTS, static_cast<int>(kPoints));
    EXPECT_EQ(d.h.EFERMI, 1.2345678901234567);
    EXPECT_EQ((std::vector<int>{d.h.NTCOL, d.h.NPCOL, d.kind.noncollinear}), r.counts);
    EXPECT_EQ(d.has_pdos, r.counts[1] > 0);
    EXPECT_EQ(d.kind.known_atoms, r.counts[1] > 0);
    const std::vector<std::string> names = pds::atom_columns(d.kind);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + std::ssize(r.first_columns)),
              r.first_columns);
    check_values(r.run, d);
  }
}

// Atoms kept, and the total block alone.
TEST(Vaspout, KeepsTheAtomsAsked) {
  const std::string path = testing::TempDir() + "kept.vaspout.h5";
  write_run({.types = {"O"}, .counts = {3}}, path);
  const std::vector<std::int64_t> kept = {3};
  const pds::DoscarData d = pds::read_vaspout(path, keeping(&kept));
  EXPECT_EQ(d.slot, (std::vector<std::int64_t>{-1, -1, -1, 0}));
  EXPECT_EQ(d.pdos.data()[1], value({}, 0, 2, 0, 0));  // atom 3, s, first point
  const pds::DoscarData t = pds::read_vaspout(path, keeping(nullptr, false));
  EXPECT_FALSE(t.has_pdos);
  EXPECT_EQ(t.h.NPCOL, 9);
}

struct FailureRow {
  const char* name;
  Run run;
  std::function<void(const std::string&)> damage;  // done to the file written
  const std::vector<std::int64_t>* kept;
  int number;
  const char* words;  // in the sentence
  const char* cause;  // carried by the failure ("" an OS error)
};

TEST(Vaspout, RefusesDamagedFiles) {
  const std::vector<std::int64_t> atom1 = {1}, atom9 = {9};
  const auto text = [](const std::string& path) { std::ofstream(path) << "not HDF5\n"; };
  const auto cut = [](const std::string& path) {
    std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
  };
  const auto remove = [](const std::string& path) { std::filesystem::remove(path); };
  const FailureRow rows[] = {
      {"not HDF5", {}, text, nullptr, 1, "not an HDF5 file", "not-hdf5"},
      {"cut in half", {}, cut, nullptr, 24, "truncated", "truncated"},
      {"missing", {}, remove, nullptr, 29, "No such file", ""},
      {"no results/electron_dos",
       {.electron_dos = false},
       {},
       nullptr,
       1,
       "no results/electron",
       "no-dos"},
      {"dos shorter than NEDOS", {.dos_points = 5}, {}, nullptr, 24, "truncated", "truncated"},
      {"7 projectors",
       {.labels = {"s", "py", "pz", "px", "dxy", "dyz", "dz2"}},
       {},
       nullptr,
       1,
       "7 projectors",
       "unknown-columns"},
      {"labels of no layout",
       {.labels = {"s", "p", "d", "g"}},
       {},
       nullptr,
       1,
       "without f",
       "unknown-columns"},
      {"spin DOS, non-spin dospar",
       {.totals = 2},
       {},
       nullptr,
       1,
       "spin components",
       "unknown-columns"},
      {"atoms of a file without dospar",
       {.partial = 0},
       {},
       &atom1,
       24,
       "no projected DOS",
       "no-pdos"},
      {"an atom not in the file", {}, {}, &atom9, 1, "atom 9 is not in", "atom-not-in-file"},
  };
  for (const FailureRow& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path = testing::TempDir() + "damaged.vaspout.h5";
    write_run(r.run, path);
    if (r.damage) r.damage(path);
    try {
      pds::read_vaspout(path, keeping(r.kept));
      ADD_FAILURE() << "read";
    } catch (const pds::Failure& f) {
      EXPECT_EQ(f.number(), r.number) << f.detail().text;
      EXPECT_NE(f.detail().text.find(r.words), std::string::npos) << f.detail().text;
      EXPECT_EQ(f.cause(), r.cause);
    }
  }
}

// The real file, its values as h5py (HDF5 1.10.8) prints them with repr(),
// which round-trips: results/electron_dos at point 14 and the Fermi level.
TEST(Vaspout, ReadsTheRealSample) {
  const pds::DoscarData d =
      pds::read_vaspout(PDSPLIT_SAMPLES "/vaspout/nonspin-lm-GaSb-bands.vaspout.h5", {});
  EXPECT_EQ((std::vector<int>{d.h.NATOMS, d.h.NPOINTS, d.h.NTCOL, d.h.NPCOL}),
            (std::vector<int>{2, 301, 2, 9}));
  EXPECT_TRUE(d.kind.lm);
  EXPECT_EQ(d.symbols, (std::vector<std::string>{"Ga", "Sb"}));
  EXPECT_EQ(d.h.EFERMI, 4.440287798950607);
  EXPECT_EQ(d.h.EMIN, -15.066087502882189);
  EXPECT_EQ(d.h.EMAX, 23.370119988413958);  // emax; the last energy is 23.37011998841396
  const double* t = d.totals[0].data() + 14 * 3;
  EXPECT_EQ(t[0], -13.272397819955035);
  EXPECT_EQ(t[1], 33.73066406642927);
  EXPECT_EQ(t[2], 4.321596009588275);
  EXPECT_EQ(d.totals[0].data()[300 * 3 + 2], 40.0);
  const double* ga = d.pdos.data() + 14 * 10;
  EXPECT_EQ(ga[1], 0.0006533434358896692);                             // s
  EXPECT_EQ(ga[3], 0.0007744009438950504);                             // pz
  EXPECT_EQ(ga[9], 7.381617345581927);                                 // x2-y2
  EXPECT_EQ(d.pdos.data()[(301 + 14) * 10 + 1], 0.06914979005206284);  // Sb, s
}

}  // namespace
