// The console texts. Each message line is a free-form write: one blank, then
// the text as stored, so no console line of the program is empty.
#include "console/console.h"

#include "textio/textio.h"

namespace pds {

void banner() {
  say();
  say("P D S P L I T");
  say("For 32-bit Linux");
  say("Version 1.0.0");
  say();
  say("Splits a VASP DOSCAR into total, projected and");
  say("summed density-of-states column files.");
  say("Licence: MIT");
  say();
}

void help() {
  static constexpr std::string_view kLines[] = {
      "::: HELP :::",
      "This program is to split DOSCAR file created by VASP and/or",
      "sum up the atomic projected DOS (pro-DOS) over some groups of atoms",
      "REQUIREMENTS:",
      " DOSCAR file from VASP static calculation",
      "USAGE:",
      " pdsplit -h                       : Display program help",
      " pdsplit -[f]t [output]           : Get total DOS",
      " pdsplit -[f]a [output]           : Get pro-DOS for all atoms",
      " pdsplit -[f]p N [output]         : Get pro-DOS for one atom",
      " pdsplit -[f]s1 N1 N2 [output]    : Sum up pro-DOS of sequential atoms",
      " pdsplit -[f]s2 N1 N2... [output] : Sum up pro-DOS of discrete atoms",
      "NOTES:",
      " Avoid using number only for 'output' since it might give",
      " unexpected result for 's2'. If no 'output' is set, program will write",
      " to default file with prefix 'i'. Fermi level is shifted by default,",
      " it can be switched off by using 'f' option.",
      "EXAMPLES:",
      " Get total DOS of the system, not shift the Fermi level:",
      "   pdsplit -ft                    -> output is iDOS",
      "   pdsplit -ft TDOS               -> output is TDOS",
      " Get projected DOS of the 2nd atom, shift the Fermi level:",
      "   pdsplit -p 2                   -> output is iLDOS002",
      "   pdsplit -p 2 LDOS2             -> output is LDOS2",
      "PLEASE CONTACT ME IF THERE IS ANY PROBLEM.",
  };
  for (std::string_view line : kLines) say(line);
  say();
}

void error_box(std::string_view reason) {
  say("::: ERROR :::");
  say("Nothing has been done!");
  say(reason);
  say("Please use -h option for more information");
  say();
}

void refuse(std::string_view reason) {
  error_box(reason);
  throw Stop{1, {}};
}

void cpu_line(double seconds) {
  static const LineFormat kCpu = LineFormat::compile("(1X,A14,F8.3)");
  say_formatted(kCpu, {"CPU time (s): ", seconds});
}

void success_box() {
  say("D O N E! S U C C E S S F U L L Y");
  say();
}

}  // namespace pds
