#include "binding/LibModule.h"

#include "binding/LibraryLoader.h"
#include "binding/Text.h"

namespace vexav::binding {

std::string DebianPackageOf(const std::string& LibraryFileName) {
  const std::size_t So = LibraryFileName.find(".so");
  if (So == 0 || So == std::string::npos || LibraryFileName.compare(0, 3, "lib") != 0)
    return std::string();
  const std::string Base = LibraryFileName.substr(0, So);
  const std::string Rest = LibraryFileName.substr(So + 3);
  if (Rest.empty()) return Base + "-dev";
  if (Rest[0] != '.') return std::string();
  const std::string Major = Rest.substr(1, Rest.find('.', 1) - 1);
  if (Major.empty() || Major.find_first_not_of("0123456789") != std::string::npos)
    return std::string();
  const bool EndsInDigit = Base.back() >= '0' && Base.back() <= '9';
  return Base + (EndsInDigit ? "-" : "") + Major;
}

LibModule::LibModule(const char* VersionedName, const char* PlainName, const EntrySlot* Entries,
                     std::size_t EntryCount)
    : VersionedName(VersionedName), PlainName(PlainName), Entries(Entries), Count(EntryCount) {}

std::string LibModule::LibFileName() const { return Versioned ? VersionedName : PlainName; }

bool LibModule::LoadLib(std::string& ErrorText, const std::string& Folder, bool AVersioned) {
  Versioned = AVersioned;
  if (!Handle) {
    std::string LoaderText;
    Handle = LoadLibraryFromFolder(Folder, LibFileName(), LoaderText);
    if (!Handle) {
      const std::string Package = DebianPackageOf(LibFileName());
      const std::string Named =
          Package.empty() ? LibFileName() : LibFileName() + " (Debian package " + Package + ")";
      Error = Format("Load libraray %s error: %s", Named.c_str(), LoaderText.c_str());
      ErrorText = Error;
      return false;
    }
  }
  if (!Resolved) {
    for (std::size_t I = 0; I < Count; ++I) {
      std::string LoaderText;
      void* Address = ResolveSymbol(Handle, Entries[I].Name, LoaderText);
      if (!Address) {
        Error = Format("Load function %s@%s error: %s", Entries[I].Name, LibFileName().c_str(),
                       LoaderText.c_str());
        ErrorText = Error;
        return false;
      }
      *Entries[I].Address = Address;
    }
    Resolved = true;
  }
  return true;
}

void LibModule::UnloadLib() {
  if (Handle) FreeLibrary(Handle);
  Handle = nullptr;
  Resolved = false;
}

}  // namespace vexav::binding
