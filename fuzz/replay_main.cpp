// A plain main for the fuzz targets: runs every file named on the command
// line, and every file inside a named directory, once through
// LLVMFuzzerTestOneInput. Lets any compiler replay the corpus (and the crash
// files kept as regression inputs) without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

void collect(const std::string& path, std::vector<std::string>& files) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) collect(path + "/" + n, files);
}

std::vector<std::uint8_t> read_all(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  // Progress goes to a copy of standard error: a target may redirect it.
  std::FILE* log = fdopen(dup(2), "w");
  if (log == nullptr) log = stderr;
  if (LLVMFuzzerInitialize != nullptr) {
    // The target may rewrite its argument list (libFuzzer flags); the
    // replay keeps its own.
    std::vector<char*> copy(argv, argv + argc);
    copy.push_back(nullptr);
    int n = argc;
    char** p = copy.data();
    LLVMFuzzerInitialize(&n, &p);
  }
  for (const std::string& f : files) {
    std::vector<std::uint8_t> bytes = read_all(f);
    std::fprintf(log, "replay: %s (%zu bytes)\n", f.c_str(), bytes.size());
    std::fflush(log);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(log, "replay: %zu inputs, no property broken\n", files.size());
  return 0;
}
