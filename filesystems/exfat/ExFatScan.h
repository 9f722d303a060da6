// The walk of an exFAT volume's folders: each piece of a folder's data is
// parsed into entry sets, each finished set becomes a node handed to the
// folder walk.
#pragma once
#include <cstddef>
#include <cstdint>

class CExFATVol;
class CVol;
struct cnode;

// Parses one piece of the folder's data (32-byte entries; an entry set may
// run on into the next piece). `parent` is the folder's first cluster; the
// sets of a deleted folder are deleted too. Returns the nodes handed over.
int ParseExFATEntries(CExFATVol* volume, const uint8_t* entries, size_t bytes, uint32_t parent,
                      bool parentDeleted = false);

// The family's hook.
int ParseExFatFolderPiece(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes);
