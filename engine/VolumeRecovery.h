// Recovery of the files of the volumes other than NTFS: the walk of a
// volume's folders from its root (each family parses its own folder
// entries, volumes/FolderWalk.h) and the copy of one found file through the
// volume's reader (its family's readData and prepare, VolumeFamily.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"
#include "volumes/FolderWalk.h"

class CHashFile;
class CVol;
struct cnode;
struct RecMemory;

// Walks the volume's folders from its root node (volume->rootNode): live
// folders breadth-first, then deleted ones, each folder once. Files go to
// the engine; returns 1.
int ParseFSCm(CVol* volume);
// Reads one folder's data in pieces (at most 1 MiB) and hands them to the
// family's parser. The walk of a folder is bounded by the volume's size and
// ends at the first piece that cannot be read or at 16 pieces in a row that
// give no entry. 1, or 0 when the folder could not be read.
int ParseDirData(CVol* volume, cnode* folder);
// Copies one found file of the volume to destPath (or into memory): 0 on
// success, 1 when the file was saved but is not whole (its size passes
// what its map holds, or its map places clusters past the volume's end:
// the last error says so), -1 on failure (last error set). A short or
// failed read is a failure, never a saved file. *corruptOut gets the
// clusters the drive could not read (zero-filled) and those the map does
// not hold. The file ends where its map ends (a hole after the last data
// only while the file fits the volume); the map's holes are written as
// holes. resumeOffset > 0 continues a file from there (rounded down to the
// cluster).
int RecoverVolumeNode(CVol* volume, const cnode* node, WStringView destPath, RecMemory* memory, uint32_t* corruptOut,
                      CHashFile* hash, int64_t resumeOffset = 0);

class Checkpoint;
// "Scan and Save": copies a file the walk just found to the destination
// folder (the scan's) + the walk's folder path + name. Symbolic links are
// not copied; a file an earlier run did (the checkpoint, when given) is
// only counted; a full disk asks whether to go on (diskFullAnswer when not
// 0, else the prompt service; No stops the run). True unless the copy
// failed.
bool RecoverNodeToFolder(CVol* volume, const cnode* node, WStringView destination, WStringView name,
                         Checkpoint* checkpoint = nullptr, int diskFullAnswer = 0);
