// debian/ against the build: the packages' version is the project's, and the
// packages that load the media libraries at run time depend on the Debian
// packages of exactly the files the binding loads (dpkg-shlibdeps cannot see
// libraries opened with dlopen, so debian/control names them).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "binding/AVCodecHlpr.h"
#include "binding/AVFilterHlpr.h"
#include "binding/AVFormatHlpr.h"
#include "binding/AVUtilHlpr.h"
#include "binding/LibModule.h"
#include "binding/SwResampleHlpr.h"
#include "binding/SwScaleHlpr.h"

namespace vexav {
namespace {

const std::string Debian = std::string(VEXAV_SOURCE_FOLDER) + "/debian/";

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// The fields of one binary package's paragraph of debian/control, folded
// lines joined.
std::map<std::string, std::string> PackageFields(const std::string& Package) {
  std::istringstream In(ReadFile(Debian + "control"));
  std::map<std::string, std::string> Fields;
  std::map<std::string, std::string> Current;
  std::string Line, Name;
  auto EndParagraph = [&] {
    auto Found = Current.find("Package");
    if (Found != Current.end() && Found->second == Package) Fields = Current;
    Current.clear();
  };
  while (std::getline(In, Line)) {
    if (Line.empty()) {
      EndParagraph();
      continue;
    }
    if (Line[0] == ' ' || Line[0] == '\t') {
      Current[Name].append(1, ' ').append(Line, Line.find_first_not_of(" \t"));
      continue;
    }
    const std::size_t Colon = Line.find(':');
    if (Colon == std::string::npos) continue;
    Name = Line.substr(0, Colon);
    const std::size_t Value = Line.find_first_not_of(" \t", Colon + 1);
    Current[Name] = Value == std::string::npos ? "" : Line.substr(Value);
  }
  EndParagraph();
  return Fields;
}

// The package names of a relation field, without versions or alternatives.
std::vector<std::string> Names(const std::string& Relations) {
  std::vector<std::string> Result;
  std::istringstream In(Relations);
  std::string Item;
  while (std::getline(In, Item, ',')) {
    Item = Item.substr(0, Item.find_first_of("(|"));
    Item.erase(std::remove_if(Item.begin(), Item.end(), ::isspace), Item.end());
    if (!Item.empty()) Result.push_back(Item);
  }
  return Result;
}

std::vector<std::string> MediaLibraryPackages() {
  std::vector<std::string> Packages;
  for (binding::LibModule* M :
       {&AVCodecHlpr::Module(), &AVFilterHlpr::Module(), &AVFormatHlpr::Module(),
        &AVUtilHlpr::Module(), &SwScaleHlpr::Module(), &SwResampleHlpr::Module()}) {
    Packages.push_back(binding::DebianPackageOf(M->LibFileName()));
    EXPECT_NE(Packages.back(), "") << M->LibFileName();
  }
  return Packages;
}

TEST(DebianPackaging, TheChangelogIsAtTheProjectVersion) {
  std::istringstream In(ReadFile(Debian + "changelog"));
  std::string First;
  ASSERT_TRUE(std::getline(In, First)) << "no debian/changelog";
  EXPECT_EQ(First.rfind(std::string("vexav (") + VEXAV_PROJECT_VERSION + ") ", 0), 0u)
      << "debian/changelog starts: " << First << "\nthe project's version is "
      << VEXAV_PROJECT_VERSION << " (CMakeLists.txt): give the changelog an entry for it";
}

TEST(DebianPackaging, ThePackagesThatLoadTheMediaLibrariesDependOnThem) {
  const std::vector<std::string> Needed = MediaLibraryPackages();
  for (const char* Package : {"vexav", "libvexav0"}) {
    const auto Fields = PackageFields(Package);
    ASSERT_FALSE(Fields.empty()) << "no package " << Package << " in debian/control";
    ASSERT_EQ(Fields.count("Depends"), 1u) << Package;
    const std::vector<std::string> Depends = Names(Fields.at("Depends"));
    for (const std::string& Library : Needed)
      EXPECT_NE(std::find(Depends.begin(), Depends.end(), Library), Depends.end())
          << Package << " does not depend on " << Library;
    for (const char* Substitution : {"${shlibs:Depends}", "${misc:Depends}"})
      EXPECT_NE(std::find(Depends.begin(), Depends.end(), Substitution), Depends.end())
          << Package << " lacks " << Substitution;
  }
  // The development package takes the library at its own version.
  const auto Dev = PackageFields("libvexav-dev");
  ASSERT_EQ(Dev.count("Depends"), 1u) << "no package libvexav-dev in debian/control";
  EXPECT_NE(Dev.at("Depends").find("libvexav0 (= ${binary:Version})"), std::string::npos)
      << Dev.at("Depends");
}

}  // namespace
}  // namespace vexav
