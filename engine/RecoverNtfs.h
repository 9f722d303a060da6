// Recovery of found NTFS files: the file's data rebuilt from its runs
// (resident, sparse, compressed, in extension records, named streams) into
// a RecFile or a caller's buffer; and the engine's per-node recovery, which
// picks the volume, writes the main data and every named stream, and puts a
// temporary copy in its place.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

class CHashFile;
class NTFSObj;
class NTFSVol;
struct NTFSStream;
struct snode;

// Result codes of the NTFS volume recovery.
inline constexpr int kRecCopied = 0;
inline constexpr int kRecCopiedResident = 1;
inline constexpr int kRecIdentical = 2;
inline constexpr int kRecUnreadable = -2;
inline constexpr int kRecFailed = -1;

// A caller's memory in place of a destination file: at most `capacity`
// bytes are copied; *used gets the bytes copied.
struct RecMemory {
  uint8_t* data = nullptr;
  size_t capacity = 0;
  size_t used = 0;
};

// Copies the unnamed stream (stream null) or one named stream of the node to
// destPath (for a named stream: destPath is the stream's own file, already
// made by the destination-path function) or into memory. Result code above;
// *corruptClusters gets the clusters the drive could not read (zero-filled).
int NtfsRecoverFile(NTFSVol* volume, const snode* node, WStringView destPath, const NTFSStream* stream,
                    RecMemory* memory = nullptr, CHashFile* hash = nullptr, uint32_t* corruptClusters = nullptr);
// The same for an NTFS-compressed file's unnamed stream.
int NtfsRecoverCompressedFile(NTFSVol* volume, const snode* node, WStringView destPath, RecMemory* memory = nullptr,
                              CHashFile* hash = nullptr, uint32_t* corruptClusters = nullptr);

// An NTFS metadata file ($MFT, $Bitmap, ...): the recovery never writes
// one (message 139) and counts it skipped (traceMft lets them through).
bool IsRefusedSystemFile(const snode& node);

// The engine's recovery of one NTFS node: writes to `temporary` when given
// (then moved onto `target` with rename(2), which replaces atomically), else
// to `target`. -1 on failure (last error set; nothing written stays), else
// the number of clusters that were unreadable and filled with zeros.
int RecoverNtfsNode(NTFSObj* engine, int64_t nodeIndex, WStringView target, WStringView temporary, bool verify,
                    CHashFile* hash);

// The unnamed stream of an NTFS node into memory (the preview): from the
// node's volume, or from each NTFS volume in turn for a node without one.
// A result code above; -1 (last error set) when no volume can give it.
int RecoverNtfsNodeToMemory(NTFSObj* engine, int64_t nodeIndex, RecMemory* memory);

// Creates the folders of a destination file path (the last component is the
// file). 1 when folders were made, 0 when the folder existed, -1 on error.
// Refuses paths shorter than 3 or longer than 1022 characters and more than
// 128 levels; *existing gets the longest existing prefix when asked. A dry
// run makes nothing and answers what it would do.
int CheckPath(WStringView path, WString* existing = nullptr, bool dryRun = false);

// Moves a finished temporary file onto its name: rename(2), which replaces
// an existing file atomically (the old file is never deleted first).
// Non-zero on success, -1 on failure (last error set).
int MoveFileLong(WStringView from, WStringView to);

// The first "name(n).ext" (or "name(n)") with n from 1 that does not exist;
// false when none up to 999 is free.
bool NextFreeAttemptName(WStringView path, WString* out);
