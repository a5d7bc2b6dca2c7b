// console: the fixed texts the user sees: banner, help screen, error boxes,
// CPU time line and success box.
#pragma once

#include <string_view>

namespace pds {

// Reasons of the error box.
inline constexpr std::string_view kNoArgument = "No input argument found";
inline constexpr std::string_view kWrongArgument = "Wrong input argument(s)";
inline constexpr std::string_view kTooMany = "Too many input argument(s)";
inline constexpr std::string_view kTooFew = "Too few input argument(s)";
inline constexpr std::string_view kNoAtom = "No atom specified";
inline constexpr std::string_view kWrongIndex = "Wrong atomic index(es)";
inline constexpr std::string_view kOverwritesDoscar = "Output file would overwrite DOSCAR";

void banner();
void help();
// The five lines of the error box around `reason`.
void error_box(std::string_view reason);
inline void noatom() {
  error_box(kNoAtom);
}
inline void wrongindex() {
  error_box(kWrongIndex);
}
inline void manarg() {
  error_box(kTooMany);
}
// Prints the error box, then stops the run with exit status 1.
[[noreturn]] void refuse(std::string_view reason);
// " CPU time (s): " and the seconds in F8.3.
void cpu_line(double seconds);
void success_box();

}  // namespace pds
