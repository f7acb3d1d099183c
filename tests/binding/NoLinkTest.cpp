// No program or shared object of the project is linked against a media
// library: each one's dynamic section is read and its needed libraries
// checked.
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

// In one read: the sanitizer build's binaries come to several hundred
// megabytes, which a character-by-character copy takes most of a minute over.
std::vector<char> ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary | std::ios::ate);
  std::vector<char> Data;
  if (!In) return Data;
  Data.resize(static_cast<std::size_t>(In.tellg()));
  In.seekg(0);
  if (!In.read(Data.data(), static_cast<std::streamsize>(Data.size()))) Data.clear();
  return Data;
}

// The DT_NEEDED names of a 64-bit ELF file, found through its section
// headers (the dynamic section and the string table it links to).
std::vector<std::string> NeededLibraries(const std::string& Path, std::string& Error) {
  std::vector<std::string> Needed;
  std::vector<char> Data = ReadFile(Path);
  if (Data.size() < sizeof(Elf64_Ehdr)) {
    Error = "too short for an ELF file";
    return Needed;
  }
  const auto* Header = reinterpret_cast<const Elf64_Ehdr*>(Data.data());
  if (std::string(reinterpret_cast<const char*>(Header->e_ident), 4) != ELFMAG ||
      Header->e_ident[EI_CLASS] != ELFCLASS64) {
    Error = "not a 64-bit ELF file";
    return Needed;
  }
  if (Header->e_shoff + std::size_t(Header->e_shnum) * sizeof(Elf64_Shdr) > Data.size()) {
    Error = "section headers out of range";
    return Needed;
  }
  const auto* Sections = reinterpret_cast<const Elf64_Shdr*>(Data.data() + Header->e_shoff);
  for (int I = 0; I < Header->e_shnum; ++I) {
    if (Sections[I].sh_type != SHT_DYNAMIC) continue;
    const Elf64_Shdr& Strings = Sections[Sections[I].sh_link];
    const auto* Entry = reinterpret_cast<const Elf64_Dyn*>(Data.data() + Sections[I].sh_offset);
    std::size_t Count = Sections[I].sh_size / sizeof(Elf64_Dyn);
    for (std::size_t J = 0; J < Count && Entry[J].d_tag != DT_NULL; ++J)
      if (Entry[J].d_tag == DT_NEEDED)
        Needed.emplace_back(Data.data() + Strings.sh_offset + Entry[J].d_un.d_val);
  }
  return Needed;
}

std::vector<std::string> ProjectBinaries() {
  std::vector<std::string> Result;
  std::ifstream In(VEXAV_BINARY_LIST);
  for (std::string Line; std::getline(In, Line);)
    if (!Line.empty()) Result.push_back(Line);
  return Result;
}

}  // namespace

TEST(NoLink, TheReaderSeesTheNeededLibrariesOfThisTest) {
  char Self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", Self, sizeof Self - 1), 0);
  std::string Error;
  std::vector<std::string> Needed = NeededLibraries(Self, Error);
  ASSERT_EQ(Error, "");
  EXPECT_NE(std::find(Needed.begin(), Needed.end(), "libc.so.6"), Needed.end());
}

TEST(NoLink, NoBinaryOfTheProjectNeedsAMediaLibrary) {
  const std::vector<std::string> Binaries = ProjectBinaries();
  ASSERT_FALSE(Binaries.empty()) << "no binary list at " << VEXAV_BINARY_LIST;
  const std::regex Media("^lib(avcodec|avformat|avutil|avfilter|avdevice|swscale|swresample|"
                         "postproc)\\.so.*");
  int Checked = 0;
  bool SawConverter = false;
  for (const std::string& Path : Binaries) {
    if (::access(Path.c_str(), R_OK) != 0) continue;  // a target not built in this tree
    std::string Error;
    std::vector<std::string> Needed = NeededLibraries(Path, Error);
    ASSERT_EQ(Error, "") << Path;
    for (const std::string& Name : Needed)
      EXPECT_FALSE(std::regex_match(Name, Media)) << Path << " needs " << Name;
    ++Checked;
    if (Path.ends_with("/vexav-convert")) SawConverter = true;
  }
  EXPECT_GT(Checked, 1);
  EXPECT_TRUE(SawConverter) << "the command-line program was not among the binaries checked";
}
