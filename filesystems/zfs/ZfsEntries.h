// Folder entries into nodes: the micro-ZAP block and the fat-ZAP leaves of
// a folder, each entry's dnode read for its kind, size and times.
#pragma once
#include <cstddef>
#include <cstdint>

class CVol;
class CZFSVol;
struct cnode;
struct ZfsNode;

// A folder node for object `object` of dataset `index` (a dataset's root),
// its size and times from its dnode; null when that cannot be read.
cnode* MakeZfsFolderNode(CZFSVol& volume, int32_t index, uint64_t object);
// ZFSAddEntryNode: the entry (its directory-entry value, its name's bytes)
// of folder `parent` as a node handed to the walk; 0 when its dnode cannot
// be read or is neither a file nor a folder.
int ZfsAddEntryNode(CZFSVol& volume, const ZfsNode& parent, uint64_t value, const uint8_t* name, size_t nameBytes);
// A volume dataset as one file (object 1) named `name`.
int AddZfsVolumeDatasetNode(CZFSVol& volume, int32_t index, const uint8_t* name, size_t nameBytes);

// ParseZFSEntries: the entries of a micro-ZAP folder block (from byte 64).
int ParseZFSEntries(CZFSVol& volume, const uint8_t* block, size_t bytes, const ZfsNode& folder);
// ParseZFSFatEntries: the entries of one fat-ZAP leaf.
int ParseZFSFatEntries(CZFSVol& volume, const uint8_t* leaf, size_t bytes, const ZfsNode& folder);
// The walk's parser of one piece of a folder's data: block 0 of the folder
// decides its form (a micro ZAP, or a fat one whose leaves follow; anything
// else ends the folder), the piece's blocks are parsed by it, and blocks
// that are not leaves (pointer tables) are passed over.
int ParseZfsFolderPiece(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes);
