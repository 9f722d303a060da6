// The walk of a volume's folders from its root, for every family but NTFS:
// the engine's walk (ParseFSCm) takes folders from this queue and hands
// their data to the family's entry parser; each entry the parser builds
// comes back through AddDirEntryNode, which hands a file to the engine or
// queues a folder. One walk at a time (the compute worker's).
#pragma once
#include <cstdint>
#include <deque>
#include <unordered_set>

#include "platform/Text.h"

class CVol;
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
// (the search it belongs to), a folder joins the walk; the node is taken
// (destroyed when not kept). Returns 1.
int AddDirEntryNode(CVol* volume, cnode* node);
// The folder path ("\a\b\") the walk is at.
const WString& CurrentFolderPath(const CVol* volume);
