// The names that the library's writers refuse: nothing is ever written over
// a DOSCAR, in any of its compressed forms, or over the file being read,
// whether it is named as such or reached through a link.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <string>

#include "doscar/doscar.h"
#include "output/output.h"
#include "textio/textio.h"

namespace pds {

namespace {

constexpr std::array<std::string_view, 4> kDoscarNames = {"DOSCAR", "DOSCAR.gz", "DOSCAR.xz",
                                                          "DOSCAR.bz2"};

std::string_view last_component(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return path.substr(slash == std::string_view::npos ? 0 : slash + 1);
}

std::string folder_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

bool is_doscar_name(std::string_view path) {
  const std::string_view last = last_component(path);
  for (std::string_view n : kDoscarNames) {
    if (last == n) return true;
  }
  return false;
}

bool same_inode(const struct stat& a, const std::string& path) {
  struct stat b {};
  return stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The DOSCAR in `folder` that the file `st` is, or "".
std::string doscar_in(const std::string& folder, const struct stat& st) {
  for (std::string_view n : kDoscarNames) {
    const std::string path = folder + std::string(n);
    if (same_inode(st, path)) return path;
  }
  return {};
}

[[noreturn]] void refuse(const std::string& name, const std::string& why) {
  Failure f(kNothingDone, kUnitOutput, name);
  f.detail().text = why;
  f.set_cause("refused-output");
  throw f;
}

}  // namespace

void refuse_output(std::string_view filename, std::string_view input) {
  const std::string name(trimmed(filename));
  if (name.empty()) refuse(name, "an empty output name: name the file to write");
  if (is_doscar_name(name)) {
    refuse(name, name + ": a file named DOSCAR (or DOSCAR.gz, .xz, .bz2) is never written");
  }
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return;  // a new file
  if (!input.empty() && same_inode(st, std::string(trimmed(input)))) {
    refuse(name, name + ": is the DOSCAR being read, " + std::string(input) +
                     " (the same file): it is never written");
  }
  char resolved[PATH_MAX];
  const std::string real = realpath(name.c_str(), resolved) != nullptr ? resolved : name;
  std::string doscar = is_doscar_name(real) ? real : doscar_in(folder_of(real), st);
  if (doscar.empty()) doscar = doscar_in(folder_of(name), st);
  if (!doscar.empty()) {
    refuse(name, name + ": is " + doscar +
                     " under another name (a link: the same file), and a DOSCAR is never written");
  }
}

}  // namespace pds
