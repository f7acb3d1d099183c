// libFuzzer target: config.ini as the window reads it. The bytes are the
// file (any bytes: long lines, no section, duplicate keys, other encodings).
// The window's settings are read from it, must be in their ranges, and are
// written back into it; the file is then read again and must give what was
// written, so that a strange file never loses the user's settings. The same
// holds for the INI text itself: a key set is the key read.
//
// VEXAV_FUZZ_WRITE_SEEDS=DIR writes the seed inputs into DIR and exits.
#include <QByteArray>
#include <QDir>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "TextTarget.h"
#include "window/ConfigFile.h"

namespace {

using namespace vexav;
namespace fs = std::filesystem;

std::string Folder;

void WriteSeeds(const fs::path& Dir) {
  fs::create_directories(Dir);
  auto Seed = [&](const char* Name, const std::string& Text) {
    std::ofstream(Dir / Name, std::ios::binary) << Text;
  };
  Seed("plain", "[Main]\nstrOutput=/home/user/KorvelVideo\nbooSameFolder=0\nintJobs=1\n");
  Seed("crlf-bom",
       "\xEF\xBB\xBF; comment\r\n[main]\r\n  STROUTPUT = \" /a b/ \" \r\nintJobs=99\r\n");
  Seed("duplicates", "[Main]\nintJobs=2\nintJobs=3\n[Other]\nx=1\n[Main]\nbooSameFolder=true\n");
  Seed("no-section", "strOutput=/x\nintJobs=-5\n# note\n");
  Seed("latin1", "[Main]\nstrOutput=/home/J\xF6rg/Vid\xE9o\nbooSameFolder=2\n");
  Seed("quotes", "[Main]\nstrOutput='\"'\nintJobs=0x10\n[\n]\n=\n");
  Seed("long", "[Main]\nstrOutput=/" + std::string(5000, 'a') + "\n");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Folder = vexav::fuzz::StartTextTarget(WriteSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const QByteArray Bytes(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));

  // The INI text: a value set is the value read, after a write and a read.
  TIniText Text = TIniText::Parse(Bytes);
  const QString Value = QString::fromUtf8(Bytes.left(64)).remove('\n').remove('\r');
  if (Text.SetValue("Main", "strOutput", Value)) {
    const TIniText Again = TIniText::Parse(Text.ToBytes());
    if (Again.Value("Main", "strOutput") != Value) std::abort();
  }

  // The file: read, held to range, written back and read again.
  const QString Path = QString::fromStdString(Folder) + "/config.ini";
  {
    std::ofstream Out(Path.toStdString(), std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
  }
  TWindowConfig Read = ReadConfig(Path, "/home/fuzz");
  if (Read.Jobs < kMinJobs || Read.Jobs > kMaxJobs) std::abort();
  Read.Jobs = ClampJobs(Read.Jobs % kMaxJobs + 2);
  Read.SameFolder = !Read.SameFolder;
  if (WriteConfig(Path, Read) && !(ReadConfig(Path, "/home/fuzz") == Read)) std::abort();
  return 0;
}
