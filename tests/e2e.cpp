#include "e2e.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/pdsplit-e2e-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) fail("mkdtemp");
  char real[PATH_MAX];
  if (realpath(buf.data(), real) == nullptr) fail("realpath");
  path_ = real;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions that a test may have taken away, then remove.
  chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(at(name), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + at(name));
  out << bytes;
}

void TempDir::copySample(const std::string& sample, const std::string& as) const {
  write(as, readSample(sample));
}

std::string TempDir::read(const std::string& name) const {
  return slurp(at(name));
}

bool TempDir::exists(const std::string& name) const {
  struct stat st;
  return lstat(at(name).c_str(), &st) == 0;
}

std::vector<std::string> TempDir::entries() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(path_)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Result TempDir::run(const std::vector<std::string>& args, bool merged) const {
  // Output goes to anonymous memory files, read back once the child is gone.
  int out = memfd_create("pdsplit-out", 0), err = memfd_create("pdsplit-err", 0);
  if (out < 0 || err < 0) fail("memfd_create");
    // A cross-built binary runs under its emulator (qemu-user), which the
    // cross-built tests start as a program of the build machine.
#ifdef PDSPLIT_EMULATOR
  std::vector<std::string> storage = {PDSPLIT_EMULATOR, PDSPLIT_BIN};
#else
  std::vector<std::string> storage = {PDSPLIT_BIN};
#endif
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(out, 1) < 0 ||
        dup2(merged ? out : err, 2) < 0 || chdir(path_.c_str()) != 0) {
      _exit(126);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  Result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus);
  for (auto [fd, sink] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
    lseek(fd, 0, SEEK_SET);
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) sink->append(buf, size_t(n));
    close(fd);
  }
  return r;
}

std::string readSample(const std::string& sample) {
  return slurp(std::string(PDSPLIT_SAMPLES) + "/" + sample);
}

Lines splitLines(const std::string& text) {
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::string joinLines(const Lines& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

Lines concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::string lastLine(const std::string& text) {
  Lines l = splitLines(text);
  return l.empty() ? "" : l.back();
}

// " CPU time (s): " and a right-aligned F8.3 figure, 23 characters: blanks
// or digits, a digit, the point and three digits.
bool isCpuLine(const std::string& l) {
  const std::string label = " CPU time (s): ";
  if (l.size() != 23 || l.compare(0, label.size(), label) != 0) return false;
  auto digit = [&](std::size_t i) { return l[i] >= '0' && l[i] <= '9'; };
  for (std::size_t i = 15; i < 18; ++i) {
    if (l[i] != ' ' && !digit(i)) return false;
  }
  return digit(18) && l[19] == '.' && digit(20) && digit(21) && digit(22);
}

std::vector<std::string> maskCpu(std::vector<std::string> lines) {
  for (auto& l : lines) {
    if (isCpuLine(l)) l = kCpu;
  }
  return lines;
}

std::vector<std::string> afterBanner(const Result& r) {
  std::vector<std::string> lines = splitLines(r.out);
  if (lines.size() < 9) return {"<fewer than nine banner lines>"};
  return maskCpu(std::vector<std::string>(lines.begin() + 9, lines.end()));
}

std::vector<std::string> errorBox(const std::string& reason) {
  return {" ::: ERROR :::", " Nothing has been done!", " " + reason,
          " Please use -h option for more information", " "};
}

std::vector<std::string> successEnd() {
  return {kCpu, " D O N E! S U C C E S S F U L L Y", " "};
}

std::string severe(int number, const std::string& message, const std::string& unit,
                   const std::string& file) {
  return "pdsplit: severe (" + std::to_string(number) + "): " + message + ", unit " + unit +
         ", file " + file;
}

std::string eField(double v) {
  if (v == 0.0) return "  0.0000E+00";
  // "%.3E" rounds the exact binary value to 4 significant digits, ties to
  // even: d.dddE±x. Rewritten as 0.ddddE±(x+1).
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3E", v);
  std::string s = buf;
  bool neg = s[0] == '-';
  if (neg) s.erase(0, 1);
  std::string digits = s.substr(0, 1) + s.substr(2, 3);
  int exponent = std::atoi(s.c_str() + 6) + 1;
  // Exponents of three digits drop the letter: "0.1000-149".
  const bool wide = exponent < -99 || exponent > 99;
  std::snprintf(buf, sizeof buf, wide ? "%c%03d" : "E%c%02d", exponent < 0 ? '-' : '+',
                std::abs(exponent));
  std::string field = std::string(neg ? "-" : "") + "0." + digits + buf;
  return std::string(12 - field.size(), ' ') + field;
}

std::string dataLine(double energy, const std::vector<double>& values) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%11.3f", energy);
  std::string line = buf;
  if (line == "     -0.000") line = "      0.000";
  for (double v : values) line += eField(v);
  return line;
}

std::string energyLine(double emax, double emin, int npoints, double efermi) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%16.8f%16.8f%5d%16.8f%16.8f", emax, emin, npoints, efermi, 1.0);
  return buf;
}

std::vector<std::string> Crafted::headerLines() const {
  char line1[64];
  std::snprintf(line1, sizeof line1, "%4d%4d%4d%4d", natoms, natoms, 1, 0);
  return {line1,
          "  0.1648482E+02  0.4040000E-09  0.4040000E-09  0.4040000E-09  0.1000000E-15",
          "  1.000000000000000E-004",
          "  CAR",
          system,
          energyLine(emax, emin, npoints, efermi)};
}

std::vector<std::string> Crafted::totalLines() const {
  std::vector<std::string> lines;
  for (int j = 1; j <= npoints; ++j) {
    std::vector<double> v;
    for (int k = 1; k <= ntcol; ++k) v.push_back(totalValue(j, k));
    lines.push_back(dataLine(totalEnergy(j), v));
  }
  return lines;
}

std::vector<std::string> Crafted::atomLines(int a) const {
  std::vector<std::string> lines;
  for (int j = 1; j <= npoints; ++j) {
    std::vector<double> v;
    for (int k = 1; k <= npcol; ++k) v.push_back(atomValue(a, j, k));
    lines.push_back(dataLine(atomEnergy(a, j), v));
  }
  return lines;
}

std::string Crafted::text() const {
  std::string s = joinLines(headerLines()) + joinLines(totalLines());
  for (int a = 1; a <= natoms; ++a) {
    s += energyLine(emax, emin, npoints, efermi) + "\n";
    s += joinLines(atomLines(a));
  }
  return s;
}

}  // namespace e2e
