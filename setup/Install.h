// Installing and uninstalling the program on a Linux desktop: the program
// file in a program folder, its menu entries and icons in the XDG share
// folders (the user's, or the machine's for root), a link on the command
// path, and an uninstall entry in the key store that lists, in order, every
// folder, file and link the installation created.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/KeyStore.h"

inline constexpr char kProgramFileName[] = "delvora";
inline constexpr char kDesktopEntryId[] = "marbrix-delvora-4.3";  // the entry's file name without ".desktop"
inline constexpr char kIconName[] = "marbrix-delvora";
inline constexpr char kDefaultGroup[] = "Delvora 4.3";
inline constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

// Where an installation goes by default: for everyone (root) or for the
// user who runs setup.
struct InstallPlaces {
  bool everyone = false;
  std::string programFolder;  // default program folder
  std::string programsRoot;   // the applications folder that holds the group
  std::string iconsRoot;      // hicolor theme folder
  std::string binFolder;      // the link's folder
  KeyRoot store = KeyRoot::User;
};
InstallPlaces PlacesFor(bool everyone);
// Root installs for everyone; anyone else for themselves. Tests may fake
// the user id with $DELVORA_TEST_EUID (only numbers are taken).
bool SetupRunsAsRoot();

// One argument of an Exec line, quoted by the Desktop Entry Specification
// (double quotes; `"`, `` ` ``, `$` and `\` escaped by a backslash).
std::string QuoteExecArgument(const std::string& arg);
// A value of a desktop entry with the string escapes (\\ \n \t \r, \s at the start).
std::string EscapeDesktopValue(const std::string& value);
// False for a path the desktop cannot start a program from: a control
// character or "%" (the launchers read "%" as a field code).
bool IsLaunchablePath(const std::string& path);

// The uninstall entry's key below its root.
std::string UninstallKeyPath();

struct IconImage {
  int size = 0;
  std::string png;
};

class InstallInfo {
 public:
  // ---- the Part's values ----
  std::string programFolder;    // InstallLocation
  std::string startMenuFolder;  // StartMenuGroup: the folder of the entries
  std::string rootFolder;       // InstallRootLocation
  std::string startMenuRoot;    // StartMenuRootGroup
  uint32_t totalSize = 2408448;
  uint32_t installed = 0xFF;  // 1 program, 2 entry, 0x10 uninstall entry
  uint32_t replaced = 0;
  // ---- Linux additions ----
  std::string iconsRoot, binFolder;
  std::string sourceProgram = "/proc/self/exe";
  std::vector<IconImage> icons;
  KeyRoot store = KeyRoot::User;
  // What install created, in order: "d path", "f path" or "l path".
  std::vector<std::string> manifest;
  // After Remove: what could not be removed.
  std::vector<std::string> left;

  std::string ProgramFile() const { return programFolder + "/" + kProgramFileName; }
  std::string HelpFilePath() const { return ProgramFile() + ".html"; }
  std::string EntryFile() const { return startMenuFolder + "/" + kDesktopEntryId + ".desktop"; }
  std::string UninstallEntryFile() const { return startMenuFolder + "/" + kDesktopEntryId + "-uninstall.desktop"; }
  std::string LinkFile() const { return binFolder.empty() ? std::string() : binFolder + "/" + kProgramFileName; }
  std::string IconFile(int size) const;
  std::string EntryText(bool uninstall) const;
  std::string UninstallString() const;

  // Installs; on failure or Cancel rolls back and returns false.
  bool Install();
  // false: uninstall (reads the entry first); true: rollback.
  bool Remove(bool rollback);
  bool WriteUninstallKey();
  // Reads the entry of `root` into this object; false when there is none.
  bool ReadUninstallKey(KeyRoot root);

 private:
  int MakeFolders(const std::string& file);
  int WriteItem(const std::string& target, const std::string& bytes, mode_t mode, bool buildTime, bool link);
  void Created(char kind, const std::string& path);
  bool DeleteWithRetry(const std::string& path, bool ask);
  void RemoveFolderChain(const std::string& folder, const std::string& root);
  std::vector<std::string> replacedPaths_;
  size_t ownFrom_ = 0;  // the manifest's lines this run added
};

// The desktop's id of the installed program's entry: its path below the
// applications folder with "/" as "-" ("Delvora 4.3-marbrix-delvora-4.3");
// "" when none is registered.
std::string InstalledEntryId();
// The installation this copy belongs to, machine's store first. Empty when
// none is registered; *root gets the store.
std::string InstalledLocation(KeyRoot* root = nullptr);
// The program's real path lies inside a registered installation folder
// (whole components of real paths).
bool IsInstalledCopy(const std::string& programPath);
// Whole components: `path` is `folder` or lies below it.
bool PathIsInside(const std::string& path, const std::string& folder);
