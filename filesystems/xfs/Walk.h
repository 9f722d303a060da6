// The XFS step of the folder walk: one piece of a folder's data (its data
// blocks, or the shortform entries of its fork) into nodes.
#pragma once
#include <cstddef>
#include <cstdint>

class CVol;
struct cnode;

int ParseXfsEntries(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes);
