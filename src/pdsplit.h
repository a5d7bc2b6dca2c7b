// pdsplit: splits DOSCAR into total, projected and summed DOS column files.
#pragma once

#include <string>
#include <vector>

namespace pds {

// Runs the program once with the arguments after the command name, writing
// the console to standard output and diagnostics to standard error; returns
// the exit status. main() is a call of this; tests and fuzzers call it too.
int run(const std::vector<std::string>& args);

}  // namespace pds
