// Fuzz target: the whole program, in-process, on a fuzzed DOSCAR with a
// fuzzed command line.
//
// Input: the first line (up to the first LF) is the command line, arguments
// separated by tabs (an empty line: no argument at all); the rest of the
// input is the DOSCAR. A command line that starts with "#" runs without a
// DOSCAR, one that starts with "##" with a directory named DOSCAR. Argument
// bytes outside printable ASCII are dropped and "/" becomes "_", except for
// a few fixed names that reach into a missing or non-directory path, so that
// no run can write outside its private directory.
//
// Each run happens in a private directory made once, emptied after the run.
// Properties after every run:
//  - the exit status is 0, 1 or a run-time failure number (9, 24, 29, 30,
//    38, 39, 43, 62, 64, 66); anything else (or a crash) is a finding;
//  - standard error is empty after status 0; after status 1 it is empty or
//    one of the two allocation stop texts; after a failure it ends in the
//    line "pdsplit: severe (N): ..." with N the status;
//  - DOSCAR is unchanged, and no file exists besides DOSCAR and the output
//    names the command line can produce (iDOS, iSUMDOS, iLDOS + digits, an
//    argument cut to 40 characters without trailing blanks, with or without
//    digits behind it);
//  - every output file is made of lines of one length, 11 + 12n + LF.
//
// Memory: a header may claim arrays of up to 4 GiB, which the program
// reserves before it reads the data (the size rule); run with
// -malloc_limit_mb=4097 so that only a reservation beyond the rule is
// reported.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "pdsplit.h"

namespace {

std::string g_dir;          // the private working directory
int g_home = -1;            // the directory the fuzzer was started in
char* g_err_buf = nullptr;  // standard error of the program, per run
std::size_t g_err_size = 0;

constexpr int kAllowed[] = {0, 1, 9, 24, 29, 30, 38, 39, 43, 62, 64, 66};

void remove_tree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::vector<std::string> entries() {
  std::vector<std::string> out;
  if (DIR* d = opendir(g_dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") out.push_back(name);
    }
    closedir(d);
  }
  return out;
}

std::string read_file(const std::string& path) {
  std::string out;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

void write_file(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  std::fclose(f);
}

std::string safe_argument(std::string_view raw) {
  static const std::set<std::string_view> kPaths = {"sub/x", "DOSCAR/x", "./DOSCAR", "./iDOS"};
  if (kPaths.count(raw)) return std::string(raw);
  std::string a;
  for (char c : raw.substr(0, 60)) {
    if (c < 0x20 || c > 0x7e) continue;
    a += c == '/' ? '_' : c;
  }
  return a;
}

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool all_digits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// Could the command line have produced this file name?
bool expected_output(const std::string& name, const std::vector<std::string>& args) {
  if (name == "iDOS" || name == "iSUMDOS") return true;
  if (name.rfind("iLDOS", 0) == 0 && all_digits(std::string_view(name).substr(5))) return true;
  for (const std::string& a : args) {
    const std::string_view stem = trim_right(std::string_view(a).substr(0, 40));
    if (name.compare(0, stem.size(), stem) != 0) continue;
    const std::string_view rest = std::string_view(name).substr(stem.size());
    if (rest.empty() || all_digits(rest)) return true;
  }
  return false;
}

// Every output line has the same length: an energy field of 11 and value
// fields of 12 characters, and the LF.
void check_output_file(const std::string& content) {
  if (content.empty()) return;
  FUZZ_CHECK(content.back() == '\n');
  const std::size_t len = content.find('\n') + 1;
  FUZZ_CHECK(len >= 12 && (len - 12) % 12 == 0);
  FUZZ_CHECK(content.size() % len == 0);
  for (std::size_t p = len - 1; p < content.size(); p += len) FUZZ_CHECK(content[p] == '\n');
}

void check_stderr(int status, std::string_view err) {
  if (status == 0) {
    FUZZ_CHECK(err.empty());
  } else if (status == 1) {
    FUZZ_CHECK(err.empty() || err == "Allocate input array failed!\n" ||
               err == "Allocate output array failed!\n");
  } else {
    FUZZ_CHECK(!err.empty() && err.back() == '\n');
    const std::size_t start = err.rfind('\n', err.size() - 2);
    const std::string_view last = err.substr(start == std::string_view::npos ? 0 : start + 1);
    const std::string want = "pdsplit: severe (" + std::to_string(status) + "): ";
    FUZZ_CHECK(last.rfind(want, 0) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)fuzz_report_stream();  // keep the real standard error for reports
  char tmpl[] = "/tmp/pdsplit-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(tmpl) != nullptr);
  g_dir = tmpl;
  g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FUZZ_CHECK(g_home >= 0);
  std::atexit([] { remove_tree(g_dir); });

  // The console goes nowhere; the program's stderr goes into a buffer.
  // libFuzzer and the sanitizers keep writing to file descriptor 2.
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  FUZZ_CHECK(null >= 0 && dup2(null, 1) == 1);
  close(null);

  // Crash files would otherwise land in the private directory, which is the
  // working directory while a run is on: name the start directory instead.
  bool has_prefix = false;
  for (int i = 1; i < *argc; ++i) {
    const std::string_view a = (*argv)[i];
    has_prefix |= a.rfind("-artifact_prefix=", 0) == 0 || a.rfind("-exact_artifact_path=", 0) == 0;
  }
  if (!has_prefix) {
    char cwd[4096];
    FUZZ_CHECK(getcwd(cwd, sizeof cwd) != nullptr);
    static std::string prefix = std::string("-artifact_prefix=") + cwd + "/";
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.push_back(prefix.data());
    args.push_back(nullptr);
    *argv = args.data();
    *argc += 1;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t nl = all.find('\n');
  if (nl == std::string_view::npos || nl > 400) return 0;
  std::string_view line = all.substr(0, nl);
  const std::string_view doscar = all.substr(nl + 1);

  int mode = 0;  // 0: DOSCAR file, 1: none, 2: a directory
  if (line.rfind("##", 0) == 0) {
    mode = 2;
    line.remove_prefix(2);
  } else if (line.rfind("#", 0) == 0) {
    mode = 1;
    line.remove_prefix(1);
  }
  std::vector<std::string> args;
  if (!line.empty()) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', start);
      args.push_back(safe_argument(line.substr(start, tab - start)));
      if (tab == std::string_view::npos || args.size() == 120) break;
      start = tab + 1;
    }
  }

  const std::string doscar_path = g_dir + "/DOSCAR";
  if (mode == 0) write_file(doscar_path, doscar);
  if (mode == 2) FUZZ_CHECK(mkdir(doscar_path.c_str(), 0755) == 0);

  std::FILE* const saved_err = stderr;
  std::FILE* err = open_memstream(&g_err_buf, &g_err_size);
  FUZZ_CHECK(err != nullptr);
  stderr = err;
  FUZZ_CHECK(chdir(g_dir.c_str()) == 0);
  const int status = pds::run(args);
  FUZZ_CHECK(fchdir(g_home) == 0);
  stderr = saved_err;
  std::fclose(err);
  const std::string err_text(g_err_buf, g_err_size);
  std::free(g_err_buf);
  g_err_buf = nullptr;

  bool allowed = false;
  for (int s : kAllowed) allowed |= s == status;
  if (!allowed) std::fprintf(fuzz_report_stream(), "exit status %d\n", status);
  FUZZ_CHECK(allowed);
  check_stderr(status, err_text);

  for (const std::string& name : entries()) {
    if (name == "DOSCAR") continue;
    if (!expected_output(name, args)) {
      std::fprintf(fuzz_report_stream(), "unexpected file \"%s\"\n", name.c_str());
      FUZZ_CHECK(!"unexpected file");
    }
    check_output_file(read_file(g_dir + "/" + name));
  }
  if (mode == 0) FUZZ_CHECK(read_file(doscar_path) == doscar);

  for (const std::string& name : entries()) remove_tree(g_dir + "/" + name);
  return 0;
}
