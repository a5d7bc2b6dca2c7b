// Hdf5File: the datasets of an HDF5 file through libhdf5's C API, read into
// plain vectors; every problem a Failure of the file with a sentence. In a
// build without libhdf5 (PDSPLIT_HDF5 undefined) opening refuses every file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "vaspout/vaspout.h"

#ifdef PDSPLIT_HDF5
#include <hdf5.h>
#endif

namespace pds {

void Hdf5File::refuse(int number, const std::string& text, std::string cause) const {
  Failure f(number, kUnitVaspout, file_);
  f.detail().text = file_ + ": " + text;
  if (cause.empty()) cause = number == kEndOfFile ? "truncated" : "unknown-columns";
  f.set_cause(std::move(cause));
  throw f;
}

namespace {

// Refuses what open(2) refuses (a folder too), with the OS error.
void check_openable(const std::string& file) {
  int err = 0;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) {
    err = errno;
  } else {
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) err = EISDIR;
    ::close(fd);
  }
  if (err == 0) return;
  Failure f(open_failure_number(err), kUnitVaspout, file, err);
  f.detail().text = file + ": cannot be opened: " + std::strerror(err);
  throw f;
}

}  // namespace

#ifndef PDSPLIT_HDF5

Hdf5File::Hdf5File(const std::string& file) : file_(file) {
  check_openable(file);
  refuse(kNothingDone,
         "pdsplit was built without HDF5 (libhdf5) and cannot read vaspout.h5: install "
         "libhdf5-dev (Debian) and build it again",
         "no-hdf5");
}
Hdf5File::~Hdf5File() = default;
bool Hdf5File::has(const std::string&) const {
  return false;
}
std::vector<std::int64_t> Hdf5File::shape(const std::string&) const {
  return {};
}
std::vector<double> Hdf5File::doubles(const std::string&) const {
  return {};
}
std::vector<std::int64_t> Hdf5File::integers(const std::string&) const {
  return {};
}
std::vector<double> Hdf5File::slab(const std::string&, int, std::int64_t) const {
  return {};
}
std::vector<std::string> Hdf5File::texts(const std::string&) const {
  return {};
}
bool Hdf5File::holds_texts(const std::string&) const {
  return false;
}

#else

namespace {

// A library without its thread-safe lock takes one call at a time.
#ifdef H5_HAVE_THREADSAFE
struct Serial {
  Serial() {}
};
#else
std::mutex hdf5_mutex;
struct Serial {
  std::lock_guard<std::mutex> lock{hdf5_mutex};
};
#endif

// An identifier closed by `close` when it goes.
template <herr_t (*Close)(hid_t)>
class Id {
 public:
  explicit Id(hid_t id) : id_(id) {}
  ~Id() {
    if (id_ >= 0) Close(id_);
  }
  Id(const Id&) = delete;
  Id& operator=(const Id&) = delete;
  hid_t get() const { return id_; }

 private:
  hid_t id_;
};
using Dataset = Id<H5Dclose>;
using Space = Id<H5Sclose>;
using Type = Id<H5Tclose>;

// HDF5's automatic error report (printed to standard error) off on this
// thread while a file is read, and put back after.
class QuietErrors {
 public:
  QuietErrors() {
    H5Eget_auto2(H5E_DEFAULT, &func_, &data_);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, func_, data_); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  H5E_auto2_t func_ = nullptr;
  void* data_ = nullptr;
};

// What every call into the library holds: the lock where one is needed,
// and the error report off.
struct Call {
  Serial serial;
  QuietErrors quiet;
};

// The HDF5 signature, at offset 0 or, after a user block, at 512, 1024,
// 2048 ... bytes.
bool has_signature(const std::string& file) {
  static constexpr char kSignature[8] = {'\x89', 'H', 'D', 'F', '\r', '\n', '\x1a', '\n'};
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<char, 8> head{};
  bool found = false;
  for (off_t at = 0; !found && at <= (off_t{1} << 40); at = at == 0 ? 512 : at * 2) {
    if (pread(fd, head.data(), head.size(), at) != static_cast<ssize_t>(head.size())) break;
    found = std::memcmp(head.data(), kSignature, head.size()) == 0;
  }
  ::close(fd);
  return found;
}

std::vector<hsize_t> extents(hid_t space) {
  const int rank = H5Sget_simple_extent_ndims(space);
  std::vector<hsize_t> dims(static_cast<std::size_t>(rank > 0 ? rank : 0));
  if (rank > 0) H5Sget_simple_extent_dims(space, dims.data(), nullptr);
  return dims;
}

hsize_t count(const std::vector<hsize_t>& dims) {
  hsize_t n = 1;
  for (hsize_t d : dims) n *= d;
  return n;
}

// File access as for any file read: the lock that HDF5 takes by default,
// skipped where the file system has none (Lustre and NFS mounts of
// clusters often have none, and the open would fail).
hid_t open_file(const std::string& file) {
  const hid_t access = H5Pcreate(H5P_FILE_ACCESS);
#if (H5_VERS_MAJOR == 1 && H5_VERS_MINOR == 10 && H5_VERS_RELEASE >= 7) || H5_VERSION_GE(1, 12, 1)
  H5Pset_file_locking(access, true, true);
#endif
  const hid_t id = H5Fopen(file.c_str(), H5F_ACC_RDONLY, access);
  H5Pclose(access);
  return id;
}

}  // namespace

Hdf5File::Hdf5File(const std::string& file) : file_(file) {
  check_openable(file);
  const Call call;
  id_ = open_file(file);
  if (id_ >= 0) return;
  if (!has_signature(file))
    refuse(kNothingDone, "is not an HDF5 file (no HDF5 signature)", "not-hdf5");
  refuse(kEndOfFile, "is an HDF5 file that cannot be opened: it is truncated or damaged");
}

Hdf5File::~Hdf5File() {
  const Serial serial;
  if (id_ >= 0) H5Fclose(id_);
}

bool Hdf5File::has(const std::string& path) const {
  const Call call;
  for (std::size_t end = path.find('/');; end = path.find('/', end + 1)) {
    if (H5Lexists(id_, path.substr(0, end).c_str(), H5P_DEFAULT) <= 0) return false;
    if (end == std::string::npos) return true;
  }
}

namespace {

// The dataset `path` of `f`, refused when it is missing.
hid_t open_dataset(const Hdf5File& f, hid_t file, const std::string& path) {
  const hid_t d = H5Dopen2(file, path.c_str(), H5P_DEFAULT);
  if (d < 0) f.refuse(kNothingDone, "has no dataset " + path, "no-dos");
  return d;
}

// Reads the selection `file_space` of `d` as `type` into out; a failure of
// the read itself is the file's damage.
template <typename T>
void read_into(const Hdf5File& f, hid_t d, hid_t type, hid_t mem_space, hid_t file_space,
               const std::string& path, T* out) {
  const Type t(H5Dget_type(d));
  const H5T_class_t c = H5Tget_class(t.get());
  if (c != H5T_FLOAT && c != H5T_INTEGER) f.refuse(kNothingDone, path + " holds no numbers");
  if (H5Dread(d, type, mem_space, file_space, H5P_DEFAULT, out) < 0) {
    f.refuse(kEndOfFile, path + " cannot be read: the file is truncated or damaged");
  }
}

template <typename T>
std::vector<T> read_all(const Hdf5File& f, hid_t file, const std::string& path, hid_t type) {
  const Dataset d(open_dataset(f, file, path));
  const Space space(H5Dget_space(d.get()));
  std::vector<T> out(static_cast<std::size_t>(count(extents(space.get()))));
  if (!out.empty()) read_into(f, d.get(), type, H5S_ALL, H5S_ALL, path, out.data());
  return out;
}

}  // namespace

std::vector<std::int64_t> Hdf5File::shape(const std::string& path) const {
  const Call call;
  const Dataset d(open_dataset(*this, id_, path));
  const Space space(H5Dget_space(d.get()));
  const std::vector<hsize_t> dims = extents(space.get());
  return {dims.begin(), dims.end()};
}

std::vector<double> Hdf5File::doubles(const std::string& path) const {
  const Call call;
  return read_all<double>(*this, id_, path, H5T_NATIVE_DOUBLE);
}

std::vector<std::int64_t> Hdf5File::integers(const std::string& path) const {
  const Call call;
  return read_all<std::int64_t>(*this, id_, path, H5T_NATIVE_INT64);
}

std::vector<double> Hdf5File::slab(const std::string& path, int dim, std::int64_t index) const {
  const Call call;
  const Dataset d(open_dataset(*this, id_, path));
  const Space space(H5Dget_space(d.get()));
  std::vector<hsize_t> dims = extents(space.get());
  std::vector<hsize_t> start(dims.size(), 0);
  start[static_cast<std::size_t>(dim)] = static_cast<hsize_t>(index);
  dims[static_cast<std::size_t>(dim)] = 1;
  H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, dims.data(), nullptr);
  const hsize_t n = count(dims);
  const Space memory(H5Screate_simple(1, &n, nullptr));
  std::vector<double> out(static_cast<std::size_t>(n));
  read_into(*this, d.get(), H5T_NATIVE_DOUBLE, memory.get(), space.get(), path, out.data());
  return out;
}

bool Hdf5File::holds_texts(const std::string& path) const {
  const Call call;
  const Dataset d(open_dataset(*this, id_, path));
  const Type t(H5Dget_type(d.get()));
  return H5Tget_class(t.get()) == H5T_STRING;
}

namespace {

std::string stripped(const char* s, std::size_t max) {
  std::string t(s, strnlen(s, max));
  const std::size_t first = t.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return t.substr(first, t.find_last_not_of(' ') + 1 - first);
}

std::vector<std::string> variable_texts(hid_t d, hid_t space, std::size_t n, bool& ok) {
  const Type mem(H5Tcopy(H5T_C_S1));
  H5Tset_size(mem.get(), H5T_VARIABLE);
  std::vector<char*> p(n, nullptr);
  ok = H5Dread(d, mem.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, p.data()) >= 0;
  std::vector<std::string> out;
  for (char* s : p) out.push_back(s != nullptr ? stripped(s, std::string::npos) : std::string());
#if H5_VERSION_GE(1, 12, 0)
  if (ok) H5Treclaim(mem.get(), space, H5P_DEFAULT, p.data());
#else
  if (ok) H5Dvlen_reclaim(mem.get(), space, H5P_DEFAULT, p.data());
#endif
  return out;
}

// Read in the file's own type, so that no conversion cuts a text that
// fills its length (without a NUL at its end).
std::vector<std::string> fixed_texts(hid_t d, hid_t type, std::size_t n, bool& ok) {
  const std::size_t size = H5Tget_size(type);
  std::vector<char> buf(size * n, '\0');
  ok = H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()) >= 0;
  std::vector<std::string> out;
  for (std::size_t k = 0; k < n; ++k) out.push_back(stripped(buf.data() + k * size, size));
  return out;
}

}  // namespace

std::vector<std::string> Hdf5File::texts(const std::string& path) const {
  const Call call;
  const Dataset d(open_dataset(*this, id_, path));
  const Type t(H5Dget_type(d.get()));
  if (H5Tget_class(t.get()) != H5T_STRING) refuse(kNothingDone, path + " holds no text");
  const Space space(H5Dget_space(d.get()));
  const auto n = static_cast<std::size_t>(count(extents(space.get())));
  bool ok = true;
  std::vector<std::string> out = H5Tis_variable_str(t.get()) > 0
                                     ? variable_texts(d.get(), space.get(), n, ok)
                                     : fixed_texts(d.get(), t.get(), n, ok);
  if (!ok) refuse(kEndOfFile, path + " cannot be read: the file is truncated or damaged");
  return out;
}

#endif

}  // namespace pds
