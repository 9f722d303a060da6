// The one place where a found file's names become a path under the
// destination folder. Names stay raw everywhere else (the list, session
// files, "\"-separated folder paths inside the model); only here is each
// component made safe for the destination file system, and the result is
// checked to stay under the destination folder whatever a crafted source
// holds in its names.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Text.h"

// Longest component the destination takes, in UTF-8 bytes (NAME_MAX).
inline constexpr size_t kMaxComponentBytes = 255;

// UTF-8 length of a text as ToUtf8 writes it (a lone surrogate as U+FFFD).
size_t Utf8Length(WStringView text);

// One component (a file, folder or stream name) made safe:
// - NUL, C0 and C1 control characters, DEL, "/" and "\" become "_" (a "\"
//   cannot be in a name of the model's "\"-separated paths, and in a name it
//   would read as a separator there);
// - a whole "." or ".." becomes "_." or "_.."; an empty name becomes "_";
// - over maxBytes UTF-8 bytes, the name is shortened: the stem is cut at a
//   character boundary and followed by "~" and eight hex digits of a hash of
//   the raw name (two long names with the same start stay apart), then the
//   extension (from the last dot, when it is at most a quarter of maxBytes).
// Everything else (blanks, trailing dots, ":", "?", "con" ...) is kept: the
// destination is a Linux folder and these are ordinary names there.
// Returns an empty text only when maxBytes is too small for a shortened form.
WString DestinationComponent(WStringView name, size_t maxBytes = kMaxComponentBytes);

// The part of a found item's folder path below its volume: found paths
// start with the volume's letter or number code and a colon ("C:\Docs"),
// and the volume itself makes no folder at the destination. A path without
// that start is given whole.
WStringView FolderBelowVolume(WStringView folderPath);

// Builds root + "/" + the components of folderPath + "/" + name.
// - root: the destination folder ("/"-separated; trailing "/" ignored).
// - folderPath: the model's folder path, "\" between components ("\a\b\");
//   empty components are skipped. A path that begins with a drive ("C:\",
//   as the original path a recycle bin records does) loses that colon: the
//   folder is "C". A folder named "C:" inside a model path keeps its name.
// - name: the file's own name; empty is refused.
// - stream: a named stream: the result is then the stream's file beside
//   the main file, "<path>:<stream>" (ExistingStreamPath); the stream's name
//   is made safe the same way and shortened so the last component fits.
// False (last error set, *out unchanged) when the name is empty, the root is
// empty, the path would reach PATH_MAX, or the result would not lie below
// the root; true otherwise.
bool BuildDestinationPath(WStringView root, WStringView folderPath, WStringView name, WString* out,
                          WStringView stream = {});

// BuildDestinationPath for the items of one folder after another, as
// UTF-8 (ToUtf8 of its result): the folder's part is made when the folder
// path changes, and a name the rule leaves as it is (printable ASCII but
// "/" and "\", not "." or "..", at most kMaxComponentBytes) is appended to
// it. Any other name, and a path that might reach PATH_MAX, goes through
// BuildDestinationPath itself: the same results and the same refusals.
class DestinationPathCache {
 public:
  explicit DestinationPathCache(WStringView root);
  // False (last error set, *out unchanged) where BuildDestinationPath is.
  bool Build(WStringView folderPath, WStringView name, std::string* out);

 private:
  WString root_;
  bool rootOk_ = false;
  WString folderPath_;  // the folder path of the part below
  bool haveFolder_ = false;
  bool folderOk_ = false;  // the part lies below the root
  std::string folder_;     // root and folder components, UTF-8
};

// Lexical check: path lies strictly below root (no ".", ".." or empty
// component after the root, no NUL).
bool IsBelowRoot(WStringView root, WStringView path);

// Resolved check: the part of path that exists, with its symbolic links
// followed, is still below the resolved root (for writers that must not
// follow a link planted in the destination). False when root cannot be
// resolved.
bool ResolvesBelowRoot(WStringView root, WStringView path);
