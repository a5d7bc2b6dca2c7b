// End-to-end harness: runs the built pdsplit binary in a fresh scratch
// directory and gives the tests its console output, exit status and files.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace e2e {

// What one run of the binary produced.
struct Result {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error, byte for byte
  int status = -1;  // exit status; minus the signal number when killed
};

// A scratch directory under $TMPDIR (or /tmp), removed with its contents
// when the object goes away. Every run uses it as working directory.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute, symlink-free path, as the binary sees its working directory.
  const std::string& path() const { return path_; }
  std::string at(const std::string& name) const { return path_ + "/" + name; }

  void write(const std::string& name, const std::string& bytes) const;
  void writeDoscar(const std::string& bytes) const { write("DOSCAR", bytes); }
  // Copies one of the real DOSCAR samples of tests/data.
  void copySample(const std::string& sample, const std::string& as = "DOSCAR") const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;
  // Names in the directory, sorted, without "." and "..".
  std::vector<std::string> entries() const;

  // Runs pdsplit with exactly these arguments (argv[1] onwards). With
  // `merged`, standard error goes where standard output goes (as `2>&1`
  // does) and the result holds both in `out`.
  Result run(const std::vector<std::string>& args, bool merged = false) const;

 private:
  std::string path_;
};

// Contents of a file of tests/data.
std::string readSample(const std::string& sample);

using Lines = std::vector<std::string>;
// Splits text at line feeds; a final line feed does not open a new line.
Lines splitLines(const std::string& text);
std::string joinLines(const Lines& lines);
Lines concat(std::initializer_list<Lines> parts);
std::string lastLine(const std::string& text);

// Console helpers. A "CPU time" line (" CPU time (s): " and an 8-character
// figure) is replaced by kCpu so that transcripts can be compared exactly.
inline const std::string kCpu = "<CPU time line>";
std::vector<std::string> maskCpu(std::vector<std::string> lines);
// Console lines after the nine banner lines, CPU line masked.
std::vector<std::string> afterBanner(const Result& r);
std::vector<std::string> errorBox(const std::string& reason);
std::vector<std::string> successEnd();  // CPU line, success box
// The last line of a run-time diagnostic on standard error.
std::string severe(int number, const std::string& message, const std::string& unit,
                   const std::string& file);

// DOSCAR building blocks, in the layout VASP writes.
// A 12-character value field as "  0.1234E+01" (4 significant digits).
std::string eField(double v);
// An energy as "%11.3f" followed by one eField per value: the layout of both a
// DOSCAR data line and an output line. Values must round to 4 digits exactly
// as intended; a negative energy that rounds to zero is written unsigned.
std::string dataLine(double energy, const std::vector<double>& values);
// Line 6 (and each block-header line): EMAX, EMIN, NPOINTS, EFERMI, weight.
std::string energyLine(double emax, double emin, int npoints, double efermi);

// A synthetic DOSCAR: header, total block of ntcol values and natoms
// per-atom blocks of npcol values, every value produced by the functions.
struct Crafted {
  int natoms = 2;
  int npoints = 3;
  double emax = 10.0;
  double emin = -5.0;
  double efermi = 0.5;
  int ntcol = 2;
  int npcol = 9;
  std::string system = "crafted";
  std::function<double(int j)> totalEnergy = [](int j) { return -2.0 + j; };
  std::function<double(int j, int k)> totalValue = [](int j, int k) { return j * 10.0 + k; };
  std::function<double(int a, int j)> atomEnergy = [](int a, int j) { return -2.0 + j + 0.01 * a; };
  std::function<double(int a, int j, int k)> atomValue = [](int a, int j, int k) {
    return a * 100.0 + j * 10.0 + k;
  };

  std::vector<std::string> headerLines() const;     // lines 1 to 6
  std::vector<std::string> totalLines() const;      // the total block
  std::vector<std::string> atomLines(int a) const;  // data lines of atom a
  std::string text() const;                         // the whole file, LF lines
};

}  // namespace e2e
