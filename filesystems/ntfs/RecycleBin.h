// The recycle bins of an NTFS volume: $I records of the newer bin and INFO2
// files of the older one go to the volume's recycler, and an item found in
// a bin is listed under the path it had before it was deleted (or, when no
// record names it, under its bin path).
#pragma once
#include "platform/Text.h"

class NTFSVol;
class ScanSink;
class inode;
struct cnode;

namespace NTFS {
// A parsed record that is a $I record of the newer bin (a "$I" name, 544
// bytes, resident): given to the volume's recycler. True when taken (the
// record is then not listed).
bool TakeRecycleRecord(NTFSVol* volume, const inode& record);
// A node named "INFO2" (or "INFO") in a bin folder (`folderPath`, "\"-
// separated, from the volume's root): its records go to the recycler. True
// when it was read (the node is then not listed).
bool ReadInfo2(NTFSVol* volume, cnode* node, WStringView folderPath);
// The folder to list a node of a bin folder under: the original folder
// (the node takes its original name) when the recycler knows it, else the
// bin folder itself.
WString RecycledFolder(NTFSVol* volume, cnode* node, WStringView binFolder, ScanSink& engine);
}  // namespace NTFS
