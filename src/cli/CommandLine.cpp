#include "cli/CommandLine.h"

#include <algorithm>

namespace vexav::cli {
namespace {

const OptionDef OptionTable[] = {
    {"probe", 0, nullptr,
     "tell what each FILE holds instead of converting it: one JSON object a line on "
     "standard output",
     [](CommandLine& L, const std::string&) {
       L.Probe = true;
       return std::string();
     }},
    {"verbose", 'v', nullptr, "let the media libraries' own messages through to standard error",
     [](CommandLine& L, const std::string&) {
       L.Verbose = true;
       return std::string();
     }},
    {"help", 'h', nullptr, "show this help and exit",
     [](CommandLine& L, const std::string&) {
       L.Help = true;
       return std::string();
     }},
    {"version", 'V', nullptr, "show the program's version and exit",
     [](CommandLine& L, const std::string&) {
       L.Version = true;
       return std::string();
     }},
};

const OptionDef* FindLong(const std::string& Name) {
  for (const OptionDef& O : OptionTable)
    if (Name == O.LongName) return &O;
  return nullptr;
}

const OptionDef* FindShort(char Name) {
  for (const OptionDef& O : OptionTable)
    if (O.ShortName != 0 && O.ShortName == Name) return &O;
  return nullptr;
}

std::string Spelling(const OptionDef& O) {
  std::string Text = O.ShortName ? std::string("-") + O.ShortName + ", " : std::string("    ");
  Text += "--";
  Text += O.LongName;
  if (O.ValueName) {
    Text += ' ';
    Text += O.ValueName;
  }
  return Text;
}

// Breaks Text into lines of at most Width characters at spaces.
std::vector<std::string> Wrap(const std::string& Text, std::size_t Width) {
  std::vector<std::string> Lines;
  std::string Line;
  std::size_t Pos = 0;
  while (Pos < Text.size()) {
    std::size_t End = Text.find(' ', Pos);
    if (End == std::string::npos) End = Text.size();
    std::string Word = Text.substr(Pos, End - Pos);
    if (!Line.empty() && Line.size() + 1 + Word.size() > Width) {
      Lines.push_back(Line);
      Line.clear();
    }
    if (!Line.empty()) Line += ' ';
    Line += Word;
    Pos = End + 1;
  }
  if (!Line.empty()) Lines.push_back(Line);
  return Lines;
}

}  // namespace

std::span<const OptionDef> Options() {
  return OptionTable;
}

ParseResult ParseCommandLine(const std::vector<std::string>& Args) {
  ParseResult Result;
  bool OptionsEnded = false;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.size() < 2 || Arg[0] != '-') {
      Result.Line.Files.push_back(Arg);
      continue;
    }
    if (Arg == "--") {
      OptionsEnded = true;
      continue;
    }

    const OptionDef* Found;
    std::string Value;
    bool HasInlineValue = false;
    if (Arg[1] == '-') {
      std::string Name = Arg.substr(2);
      std::size_t Equals = Name.find('=');
      if (Equals != std::string::npos) {
        Value = Name.substr(Equals + 1);
        Name.resize(Equals);
        HasInlineValue = true;
      }
      Found = FindLong(Name);
    } else {
      Found = Arg.size() == 2 ? FindShort(Arg[1]) : nullptr;
    }
    if (!Found) {
      Result.Error = "unknown option '" + Arg + "'";
      return Result;
    }

    if (Found->ValueName && !HasInlineValue) {
      if (I + 1 >= Args.size()) {
        Result.Error = "option '" + Arg + "' needs a value";
        return Result;
      }
      Value = Args[++I];
    } else if (!Found->ValueName && HasInlineValue) {
      Result.Error = std::string("option '--") + Found->LongName + "' takes no value";
      return Result;
    }
    std::string Error = Found->Apply(Result.Line, Value);
    if (!Error.empty()) {
      Result.Error = Error;
      return Result;
    }
  }
  return Result;
}

std::string UsageText(const std::string& ProgramName) {
  std::string Text = "Usage: " + ProgramName + " --probe FILE...\n" +
                     "Tells what the media files hold: their format, streams, codecs, sizes,\n"
                     "rates and durations.\n\nOptions:\n";
  std::size_t Column = 0;
  for (const OptionDef& O : OptionTable) Column = std::max(Column, Spelling(O).size());
  Column += 4;  // two spaces in front, at least two after
  for (const OptionDef& O : OptionTable) {
    std::string Head = "  " + Spelling(O);
    std::vector<std::string> Lines = Wrap(O.Help, Column < 60 ? 78 - Column : 40);
    for (std::size_t L = 0; L < Lines.size(); ++L) {
      std::string Prefix = L == 0 ? Head : std::string();
      Prefix.resize(Column, ' ');
      Text += Prefix + Lines[L] + "\n";
    }
  }
  Text +=
      "\nThe exit status is 0 when every file could be read, 1 when one could not\n"
      "(its reason goes to standard error, the other files are still read), and 2\n"
      "when the command line is wrong.\n";
  return Text;
}

}  // namespace vexav::cli
