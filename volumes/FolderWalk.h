// The walk of a volume's folders from its root, for every family but NTFS:
// the engine's walk (ParseFSCm) takes folders from this queue and hands
// their data to the family's entry parser; each entry the parser builds
// comes back through AddDirEntryNode, which hands a file to the engine or
// queues a folder, listing the folder too. One walk at a time (the compute
// worker's).
#pragma once
#include <cstdint>
#include <deque>
#include <unordered_set>

#include "platform/Text.h"

class CVol;
class ScanSink;
struct cnode;

struct FolderWalk {
  struct Entry {
    cnode* node;   // owned, except the volume's root node
    WString path;  // "\a\b\"
  };
  CVol* volume = nullptr;
  std::deque<Entry> live;     // breadth-first
  std::deque<Entry> deleted;  // walked when the live ones are done
  std::unordered_set<uint64_t> parsed;
  WString path;  // the folder being parsed
};

// The walk in progress.
FolderWalk& TheFolderWalk();

// An entry of the folder being parsed: a file goes to the volume's engine
// (the search it belongs to), a folder joins the walk and is listed (see
// AddFolderItem); the node is taken (destroyed when not kept). Returns 1.
int AddDirEntryNode(CVol* volume, cnode* node);
// The folder path ("\a\b\") the walk is at.
const WString& CurrentFolderPath(const CVol* volume);

// A folder met in a walk as an item of the list: a copy goes into the
// engine's node table (the walk keeps the node itself), or nothing when the
// scan flags leave out its kind (live or deleted) or the name filter rejects
// its name, as for files. Its index, -1 when not added; the caller hands it
// over under parentPath, the folder holding it ("\a\"), which with the name
// must also pass the drive's path filter.
int64_t AddFolderItem(ScanSink& engine, cnode* folder, WStringView parentPath);
