// Directory blocks met away from any folder walk (the Long Scan's sector
// pass, the sweep of a whole volume, the data of folders found by their
// inodes): the tests that recognise them and the naming of their entries
// into the volume's trees (NameTrees.h), so that files found later by
// their inodes get their names and folders.
#pragma once
#include <cstddef>
#include <cstdint>

class CUnixVol;
struct ClassifyContext;
struct SectorVisit;
struct UnixEntryLayout;

// 4 when the bytes (at least 24) open an ext folder's first block ("."
// with record length 12, name length 1 and type 2, then ".." of type 2), 5
// when they open a UFS one (type 4 at byte 6, the name length at 7), else
// 0; *dot and *dotDot (may be null) get their inodes.
int IsUnixDirBlock(const uint8_t* data, uint32_t* dot, uint32_t* dotDot);

// Whether the bytes are exactly a run of plausible ext entries: record
// lengths not 0, inodes at most inodeCount, a named entry of type 1, 2 or
// 7 whose record holds its name; the run ends at the block's end and names
// at least one inode.
bool IsUnixDirEntryRun(const uint8_t* data, size_t bytes, uint64_t inodeCount);

// Names the entries of one directory block (or of a run of them) into the
// volume's trees: `*parent` is the folder they belong to (a "." record
// sets it; 0 unknown: a synthetic folder number beyond the inodes), and
// records hidden in the space after live ones count too. Entries the folder
// walk listed are known already. Stops at the first implausible record.
// Returns the entries named.
int NameUnixEntries(CUnixVol& volume, const uint8_t* data, size_t bytes, uint32_t* parent);

// A folder's first block found at drive sector `sector` (`bytes` of it
// available) for this volume: named into its trees (its "." under "..").
// False when the sector is not one of the volume's blocks.
bool AddUnixDirBlockEntries(CUnixVol& volume, const uint8_t* data, size_t bytes, int64_t sector);

// The Long Scan's action for a directory block (kind 31): each of the
// drive's Unix volumes of its kind that places the block best (on its
// block grid and inside it; better when the block lies in the group of its
// "." folder) names its entries. A block longer than what the read has left
// asks for the bytes it needs (needBytes).
int ScanUnixDirSector(SectorVisit& visit);

// The classifier's test for kind 31.
bool IsUnixDirSector(const uint8_t* sector, const ClassifyContext* context);
