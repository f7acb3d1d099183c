// One media library bound at run time: its handle, the file name it is
// loaded under, and the table of entry variables filled by name.
#pragma once

#include <cstddef>
#include <string>

namespace vexav::binding {

// One entry of a module: the exported name and the variable that receives
// its address.
struct EntrySlot {
  const char* Name;
  void** Address;
};

// The Debian package that holds a library file, by Debian's naming of
// library packages: "libavcodec.so.59" is in "libavcodec59" (a name ending in
// a digit gets a '-' before the version, as "libfoo2.so.1" in "libfoo2-1"),
// and the unversioned "libavcodec.so" in "libavcodec-dev". Empty for a name
// that does not have that form.
std::string DebianPackageOf(const std::string& LibraryFileName);

class LibModule {
 public:
  // VersionedName is the file name with the major version of the headers
  // the entry list was written against; PlainName the unversioned one.
  LibModule(const char* VersionedName, const char* PlainName, const EntrySlot* Entries,
            std::size_t EntryCount);

  std::string LibFileName() const;
  // Loads the library (unless a handle is in place) and resolves every entry
  // in list order. A missing entry leaves the library loaded but the module
  // unresolved. Returns the resolved state; on false ErrorText receives the
  // module's last error. A library that cannot be loaded is named with the
  // Debian package that holds it, so that a user knows what to install.
  bool LoadLib(std::string& ErrorText, const std::string& Folder, bool Versioned);
  // Frees the library if it is loaded and clears the resolved state.
  void UnloadLib();
  bool LibLoaded() const { return Resolved; }
  bool HasHandle() const { return Handle != nullptr; }
  const std::string& LastError() const { return Error; }
  std::size_t EntryCount() const { return Count; }
  const EntrySlot& Entry(std::size_t Index) const { return Entries[Index]; }

 private:
  const char* VersionedName;
  const char* PlainName;
  const EntrySlot* Entries;
  std::size_t Count;
  void* Handle = nullptr;
  bool Versioned = true;
  bool Resolved = false;
  std::string Error;
};

}  // namespace vexav::binding

// Declares the entry variables of a module inside its namespace: one
// variable per entry, typed from the installed header's own declaration.
#define VEXAV_DECLARE_ENTRY(Name) extern decltype(&::Name) Name;
// Defines them (in the module's .cpp) together with the lookup table.
#define VEXAV_DEFINE_ENTRY(Name) decltype(&::Name) Name = nullptr;
#define VEXAV_ENTRY_SLOT(Name) {#Name, reinterpret_cast<void**>(&Name)},

#define VEXAV_STR_(Text) #Text
#define VEXAV_STR(Text) VEXAV_STR_(Text)
