// Recovery of the files of the volumes other than NTFS: the walk of a
// volume's folders from its root (each family parses its own folder
// entries) and the copy of one found file through the volume's reader.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

class CHashFile;
class CVol;
struct cnode;
struct RecMemory;

// What a file-system family gives the folder walk and the file copy.
struct VolumeFamily {
  // Parses one piece of a folder's data: every entry becomes a node handed
  // to AddDirEntryNode. Returns the number of entries made.
  int (*parseEntries)(CVol* volume, const cnode* folder, const uint8_t* data, size_t bytes) = nullptr;
  // Reads the node's bytes from offset into buffer (at most capacity).
  // The bytes delivered, -1 on failure. Null: the volume's extents reader.
  int64_t (*readData)(CVol* volume, const cnode* node, uint64_t offset, uint8_t* buffer, size_t capacity) = nullptr;
  // Makes the node's mapping ready; false on failure. Null: BuildNodeExtents.
  bool (*prepare)(CVol* volume, const cnode* node) = nullptr;
};
// Installs (or with null removes) the family of a volume type code.
void RegisterVolumeFamily(uint8_t volumeType, const VolumeFamily* family);
const VolumeFamily* FindVolumeFamily(uint8_t volumeType);

// Walks the volume's folders from its root node (volume->rootNode): live
// folders breadth-first, then deleted ones, each folder once. Files go to
// the engine; returns 1.
int ParseFSCm(CVol* volume);
// Reads one folder's data in pieces (at most 1 MiB) and hands them to the
// family's parser. The walk of a folder is bounded by the volume's size and
// ends at the first piece that cannot be read or at 16 pieces in a row that
// give no entry. 1, or 0 when the folder could not be read.
int ParseDirData(CVol* volume, cnode* folder);
// An entry of the folder being parsed (the volume's current folder path):
// a file goes to the engine, a folder joins the walk; the node is taken
// (destroyed when not kept). Returns 1.
int AddDirEntryNode(CVol* volume, cnode* node);
// The folder path ("\a\b\") the walk is at.
const WString& CurrentFolderPath(const CVol* volume);

// Copies one found file of the volume to destPath (or into memory): 0 on
// success, -1 on failure (last error set). A short or failed read is a
// failure, never a saved file. *corruptOut gets the clusters the drive could
// not read (zero-filled). resumeOffset > 0 continues a file from there
// (rounded down to the cluster).
int RecoverVolumeNode(CVol* volume, const cnode* node, WStringView destPath, RecMemory* memory, uint32_t* corruptOut,
                      CHashFile* hash, int64_t resumeOffset = 0);

class Checkpoint;
// "Scan and Save": copies a file the walk just found to the destination
// folder (GlobalTextRef(kDestinationFolder)) + the walk's folder path +
// name. Symbolic links are not copied; a file an earlier run did (the
// checkpoint, when given) is only counted; a full disk asks whether to go
// on (No stops the run). True unless the copy failed.
bool RecoverNodeToFolder(CVol* volume, const cnode* node, WStringView name, Checkpoint* checkpoint = nullptr);
