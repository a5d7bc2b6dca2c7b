// The DOS files of a run: which one a folder offers (a DOSCAR first, for
// its four significant digits, then vasprun.xml, then vaspout.h5), what a
// file or a stream holds (told by its first bytes), and the EIGENVAL beside
// a DOSCAR.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "vaspout/vaspout.h"
#include "vasprun/vasprun.h"

namespace pds {

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool is_folder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string folder_of(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
}

// The names a folder is searched for, in order, for `format` ("" all).
std::vector<std::string> candidates(const std::string& format) {
  std::vector<std::string> names;
  if (format.empty() || format == "doscar") {
    names.insert(names.end(), std::begin(kDoscarNames), std::end(kDoscarNames));
    names.insert(names.end(), std::begin(kDoscarStaticNames), std::end(kDoscarStaticNames));
  }
  if (format.empty() || format == "vasprun") {
    names.insert(names.end(), std::begin(kVasprunNames), std::end(kVasprunNames));
  }
  if (format.empty() || format == "vaspout") names.emplace_back(kVaspoutName);
  return names;
}

// The state a Recorded source shares with its reader: the raw bytes read
// while `on`, so that they can be read again from the start.
struct Record {
  std::atomic<bool> on{true};
  std::string bytes;
};

class Recorded final : public ByteSource {
 public:
  Recorded(std::shared_ptr<ByteSource> raw, std::shared_ptr<Record> record)
      : raw_(std::move(raw)), record_(std::move(record)) {}
  std::size_t read(char* buf, std::size_t n) override {
    const std::size_t got = raw_->read(buf, n);
    if (record_->on.load(std::memory_order_relaxed)) record_->bytes.append(buf, got);
    return got;
  }

 private:
  std::shared_ptr<ByteSource> raw_;
  std::shared_ptr<Record> record_;
};

class Shared final : public ByteSource {
 public:
  explicit Shared(std::shared_ptr<ByteSource> raw) : raw_(std::move(raw)) {}
  std::size_t read(char* buf, std::size_t n) override { return raw_->read(buf, n); }

 private:
  std::shared_ptr<ByteSource> raw_;
};

// What a source holds: a vasprun.xml (its text, decompressed, from the
// start), or else its raw bytes again from the start.
struct Sniffed {
  bool xml = false;
  std::string compression;
  std::unique_ptr<ByteSource> bytes;
};

Sniffed sniff(std::unique_ptr<ByteSource> raw, const std::string& name) {
  std::shared_ptr<ByteSource> shared(std::move(raw));
  auto record = std::make_shared<Record>();
  Sniffed out;
  std::unique_ptr<ByteSource> text;
  std::string head(64, '\0');
  std::size_t got = 0;
  try {
    text = decompressed(std::make_unique<Recorded>(shared, record), &out.compression);
  } catch (const Failure& f) {
    throw for_stream(f, kUnitDoscar, name);
  }
  try {
    for (std::size_t n; got < head.size() && (n = text->read(&head[got], head.size() - got)) > 0;) {
      got += n;
    }
  } catch (const Failure&) {
    // Damaged data at its start: the DOSCAR reader meets it again, and says
    // where.
    got = 0;
  }
  head.resize(got);
  std::size_t first = head.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  first = head.find_first_not_of(" \t\r\n", first);
  out.xml = first != std::string::npos && head[first] == '<';
  if (out.xml) {
    record->on = false;
    out.bytes = replayed(std::move(head), std::move(text));
  } else {
    text.reset();  // the decoder's thread has ended: the record is whole
    out.bytes = replayed(std::move(record->bytes), std::make_unique<Shared>(shared));
  }
  return out;
}

DoscarData vasprun_of(Sniffed& s, const std::string& name, const ReadOptions& o) {
  DoscarData d = read_vasprun(std::move(s.bytes), name, o);
  d.compression = s.compression;
  return d;
}

// The EIGENVAL beside the DOSCAR `file` (EIGENVAL.static beside
// DOSCAR.static), in any of its forms; "" when there is none.
std::string eigenval_beside(const std::string& file) {
  const std::string folder = folder_of(file) + "/";
  // AFLOW names the files of its static run DOSCAR.static, EIGENVAL.static.
  const bool aflow = file.find("DOSCAR.static") != std::string::npos;
  for (const char* stem : {"EIGENVAL.static", "EIGENVAL"}) {
    if (!aflow && stem[8] == '.') continue;
    for (const char* ext : {"", ".gz", ".xz", ".bz2"}) {
      if (exists(folder + stem + ext)) return folder + stem + ext;
    }
  }
  return "";
}

// An open descriptor closed on leaving.
struct Opened {
  int fd;
  explicit Opened(int descriptor) : fd(descriptor) {}
  ~Opened() { ::close(fd); }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
};

// read(text) of the regular file `file` (plain or compressed), its
// failures named for the file.
template <typename Read>
auto read_regular(const std::string& file, Read read) {
  const Opened opened(open_input(file, file, true));  // a regular file only
  try {
    return read(decompressed(positioned_source(opened.fd, 0)));
  } catch (const Failure& f) {
    if (f.file() == file) throw;
    throw for_stream(f, kUnitDoscar, file);
  }
}

// The vasprun.xml of `folder` (the first of its names there), "" for none.
std::string vasprun_in(const std::string& folder) {
  try {
    return dos_file(folder, "vasprun");
  } catch (const Failure&) {
    return "";
  }
}

// The file whose eigenvalues give the band edges of the DOSCAR `file`: the
// EIGENVAL beside it, else the vasprun.xml of its folder; "" for neither.
std::string eigenvalues_beside(const std::string& file) {
  const std::string eigenval = eigenval_beside(file);
  return eigenval.empty() ? vasprun_in(folder_of(file)) : eigenval;
}

// The band edges of `source`, an EIGENVAL or a vasprun.xml
// (eigenvalues_beside()).
BandEdges edges_of(const std::string& source) {
  if (source.substr(source.rfind('/') + 1).starts_with("vasprun.xml")) {
    return read_band_edges(source, "vasprun");
  }
  return read_regular(source, [&](std::unique_ptr<ByteSource> text) {
    return eigenval_edges(std::move(text), source);
  });
}

}  // namespace

std::string dos_file(const std::string& path, const std::string& format) {
  if (!is_folder(path)) return path;
  const std::string folder = path.ends_with('/') ? path : path + "/";
  const std::vector<std::string> names = candidates(format);
  // The first regular file (or link to one); else the first there is of
  // another kind, which the reader refuses unopened.
  std::string other;
  for (const std::string& name : names) {
    struct stat st {};
    if (stat((folder + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return folder + name;
    if (other.empty() && lstat((folder + name).c_str(), &st) == 0) other = folder + name;
  }
  if (!other.empty()) return other;
  Failure f(open_failure_number(ENOENT), kUnitDoscar, folder + names.front(), ENOENT);
  std::string list;
  for (const std::string& name : names) {
    if (!list.empty()) list += ", ";
    list += name;
  }
  f.detail().text = path + " holds none of " + list;
  throw f;
}

DoscarData read_dos(const std::string& path, const ReadOptions& options) {
  const std::string file = dos_file(path, options.format);
  ReadOptions o = options;
  if (o.folder.empty()) o.folder = folder_of(file);
  if (file != path) o.regular_only = true;  // found in a folder: never a FIFO or device
  const bool vaspout =
      options.format == "vaspout" || (options.format.empty() && file.ends_with(kVaspoutName));
  if (vaspout) {
    ::close(open_input(path, file, o.regular_only));  // never a FIFO or device
    return read_vaspout(file, o);
  }
  DoscarData d;
  bool xml = options.format == "vasprun";
  if (options.format != "doscar") {
    const Opened opened(open_input(path, file, o.regular_only));
    struct stat st {};
    const bool regular = fstat(opened.fd, &st) == 0 && S_ISREG(st.st_mode);
    Sniffed s = sniff(
        regular ? positioned_source(opened.fd, 0) : descriptor_source(opened.fd, false), file);
    xml = xml || s.xml;
    if (xml) {
      d = vasprun_of(s, file, o);
    } else if (!regular) {
      // A pipe cannot be read again: its first bytes are replayed.
      d = read_doscar(std::move(s.bytes), file, o);
      d.folder = o.folder;
      return d;
    }
  }
  if (!xml) {
    d = read_doscar(file, o);
    if (o.eigenvalues) {
      const std::string source = eigenvalues_beside(d.file);
      if (!source.empty()) {
        d.edges = edges_of(source);
        d.has_edges = true;
      }
    }
  }
  d.folder = o.folder;
  return d;
}

DoscarData read_dos(std::unique_ptr<ByteSource> source, const std::string& name,
                    const ReadOptions& o) {
  if (o.format == "vaspout") {
    refuse(kNothingDone, name, 0, name + ": a vaspout.h5 is read from its file only",
           "refused-source");
  }
  Sniffed s = sniff(std::move(source), name);
  if (s.xml || o.format == "vasprun") {
    DoscarData d = vasprun_of(s, name, o);
    d.folder = o.folder;
    return d;
  }
  return read_doscar(std::move(s.bytes), name, o);
}

std::vector<std::string> vasprun_symbols(const std::string& folder) {
  const std::string file = vasprun_in(folder);
  if (file.empty()) return {};
  return read_regular(file, [&](std::unique_ptr<ByteSource> text) {
    return read_vasprun_symbols(std::move(text), file);
  });
}

BandEdges read_band_edges(const std::string& file, const std::string& format) {
  if (format == "vasprun") {
    ReadOptions o;
    o.atoms = false;
    o.eigenvalues = true;
    o.format = "vasprun";
    const DoscarData d = read_dos(file, o);
    if (!d.has_edges) {
      refuse(kEndOfFile, file, 0,
             file +
                 " has no <eigenvalues> with occupations before its <dos>: the band edges "
                 "need them",
             "no-eigenvalues");
    }
    return d.edges;
  }
  if (format != "doscar") {
    refuse(kNothingDone, file, 0,
           file +
               ": band edges are read from a vasprun.xml or the "
               "EIGENVAL beside a DOSCAR",
           "no-eigenvalues");
  }
  const std::string source = eigenvalues_beside(file);
  if (source.empty()) {
    Failure f(open_failure_number(ENOENT), kUnitDoscar, folder_of(file) + "/EIGENVAL", ENOENT);
    f.detail().text = "there is no EIGENVAL (plain, .gz, .xz or .bz2) nor vasprun.xml beside " +
                      file + ": the band edges need the eigenvalues";
    throw f;
  }
  return edges_of(source);
}

}  // namespace pds
