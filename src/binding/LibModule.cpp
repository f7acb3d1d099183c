#include "binding/LibModule.h"

#include "binding/LibraryLoader.h"
#include "binding/Text.h"

namespace vexav::binding {

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
      Error = Format("Load libraray %s error: %s", LibFileName().c_str(), LoaderText.c_str());
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
