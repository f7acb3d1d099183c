// The command line of vexav-convert: one table of options from which both
// the parsing and the --help text come.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace vexav::cli {

// What the command line asks for.
struct CommandLine {
  bool Help = false;
  bool Version = false;
  bool Probe = false;
  bool Verbose = false;
  std::vector<std::string> Files;
};

struct OptionDef {
  const char* LongName;   // used as --LongName
  char ShortName;         // used as -ShortName; 0 when there is none
  const char* ValueName;  // the value's name in the help; nullptr for a switch
  const char* Help;
  // Stores the option in Line; returns an error text, or an empty one.
  std::string (*Apply)(CommandLine& Line, const std::string& Value);
};

std::span<const OptionDef> Options();

struct ParseResult {
  CommandLine Line;
  std::string Error;  // empty when the command line is well-formed
};

// Reads Args (without the program's name). Options and files may be mixed;
// "--" ends the options. A value follows its option as the next argument or,
// for a long name, after "=".
ParseResult ParseCommandLine(const std::vector<std::string>& Args);

// The --help text, ending with a line break.
std::string UsageText(const std::string& ProgramName);

}  // namespace vexav::cli
