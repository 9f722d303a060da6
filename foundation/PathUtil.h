// Paths, folders, disk labels and sector sizes. Paths are wide text in the
// core and UTF-8 at the system calls; see docs/DESIGN.md, "Utilities on
// Linux", for how each test reads on this system.
#pragma once
#include <cstdint>
#include <string>

#include "platform/Text.h"

// ---- disk names and list labels ----

// The number N of "PhysicalDriveN", with or without the "\\.\" prefix (the
// name compared without case); -1 when the text is not such a name or has
// no digits after it.
int PhysicalDriveNumber(WStringView text);
// "PhysicalDrive%d".
WString PhysicalDrivePath(int diskNumber);
// A list label longer than message 351 ("Disk ") plus 7 characters that
// begins with it gives "PhysicalDrive%d" with the number after the prefix;
// any other label comes back unchanged.
WString PhysicalDrivePath(WStringView label);
// The disk number of such a label, or -1.
int DiskNumberFromLabel(WStringView label);
// A letter A-Z (either case), ":" and then the end or a blank.
bool IsDriveLetterName(WStringView text);
// "X:" (upper case) for a label that begins with a letter, ":" and a blank;
// any other label unchanged.
WString DriveFromLabel(WStringView label);

// ---- path tests ----

// An absolute path: begins with "/".
bool IsFullPath(WStringView path);
// The path names a folder (stat and S_ISDIR, symbolic links followed).
bool FolderExists(WStringView path);
// True when the path is, or lies below, a folder that recovered data is
// never written into: the settings object's system folder and /usr, /proc,
// /sys and /dev. The path is checked as written (with "." and ".." folded)
// and as resolved through symbolic links; "/" never counts as a base.
bool IsUnderBasePath(WStringView path);
// Text with surrounding white space removed and trailing blanks, "/" and
// "\" cut; a path of slashes only keeps one "/".
WString TrimPathEnd(WStringView path);

// The start folder of a folder or file dialog: the path when it is a
// folder, else its parent folder, else the fallback, else the documents
// folder, else "/". With the check flag a fallback or documents folder is
// taken only when the browse-folder check (when installed) accepts it.
WString GetInitialBrowseFolder(WStringView path, WStringView fallback, bool check);
// Installed by the user interface: false when a folder lies on the source
// chosen in the main view. Null: every folder is accepted.
using BrowseFolderCheck = bool (*)(WStringView folder);
void SetBrowseFolderCheck(BrowseFolderCheck check);

// Creates a new empty file "<folder>/TMP<n>" with O_CREAT|O_EXCL (mode
// 0600), trying n = t .. t+999 from a tick-based start t, so no other
// process can take the name between the test and the creation. On success
// the name goes to *out and true is returned; with fd the open descriptor is
// handed over, otherwise it is closed. On failure *out is unchanged and the
// last error says why.
bool TempFilePath(WStringView folder, WString* out, int* fd = nullptr);

// open(2) of the path with O_CLOEXEC added; -1 with errno on failure. Long
// paths need no special form here.
int CreateFileLongPath(WStringView name, int flags, unsigned mode = 0644);

// ---- shell folders ----

// Folder codes, with the values the callers pass.
enum ShellFolderCode : int {
  kShellFolderDesktop = 0x10,
  kShellFolderPrograms = 0x02,        // the user's menu entries
  kShellFolderDocuments = 0x05,
  kShellFolderMusic = 0x0d,
  kShellFolderVideos = 0x0e,
  kShellFolderTemplates = 0x15,
  kShellFolderCommonPrograms = 0x17,  // menu entries of every user
  kShellFolderAppData = 0x1a,
  kShellFolderLocalAppData = 0x1c,
  kShellFolderPictures = 0x27,
  kShellFolderProgramFiles = 0x26,
};
// The folder for a code, from the user's XDG folders: the user-dirs.dirs
// file of the configuration folder, then the XDG_*_DIR variables, then
// ~/<Name> when it exists, else the home folder. Empty for an unknown code.
WString GetShellFolderPath(int folderCode);

// ---- sector sizes ----

// Logical sector size of an open block device (BLKSSZGET); 0 on failure.
int GetDeviceSectorSize(int fd);
// Logical sector size of the disk that holds a path: a block device itself,
// or the device of the nearest existing folder of the path (the parent disk
// for a partition). 0 when the path is not absolute (no error recorded), and
// 0 with the last error set when no block device can be found (a tmpfs or
// overlay file system, a network share).
int GetPathSectorSize(WStringView path);

// Folders recovered data, sessions and disk images are never written into
// (the folder or below it): /proc, /sys, /dev, /boot, /etc, /usr, also
// through a link or "..".
bool IsSystemFolder(const std::string& path);
