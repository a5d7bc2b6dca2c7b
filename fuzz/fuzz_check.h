// Checks for fuzz targets: a broken property prints where and aborts, so that
// libFuzzer (or the replay main) reports the input as a crash.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// Where FUZZ_CHECK writes: a copy of standard error as it stood at the first
// call, so that it still works after a target has pointed stderr
// elsewhere to keep the program's own diagnostics quiet.
inline std::FILE* fuzz_report_stream() {
  static std::FILE* const stream = [] {
    const int fd = dup(2);
    std::FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (f != nullptr) setvbuf(f, nullptr, _IONBF, 0);
    return f != nullptr ? f : stderr;
  }();
  return stream;
}

#define FUZZ_CHECK(cond)                                                                     \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      std::fprintf(fuzz_report_stream(), "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                   #cond);                                                                   \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)
