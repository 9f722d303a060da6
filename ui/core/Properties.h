// What the view gives the properties dialog about a found node beside the
// list's texts: its location, its volume (checked against the table), and
// for a picture the file's bytes rebuilt into memory for the preview.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Text.h"

class CVol;
class Drive;
class NTFSObj;
struct cnode;

// The largest file the preview reads.
inline constexpr uint64_t kPreviewMaxBytes = 16u << 20;

// The location the dialog shows: the record position of an NTFS node, the
// first run's start cluster of a FAT node, the node's own number otherwise.
uint64_t NodeLocation(const cnode& node);
// Kinds whose link nodes have no data to preview (ext, UFS, XFS, VMFS).
bool IsLinkWithoutData(const cnode& node);
// The volume at a node's volume index in the engine's table; null when the
// index is none or past the table.
CVol* NodeVolume(const NTFSObj* engine, const cnode& node);
// The volume of a volume row: by the node's volume index when it has one,
// else by the path's volume number; null when neither is in the table.
CVol* VolumeOfRow(const NTFSObj* engine, int32_t nodeIndex, WStringView path);

// Rebuilds a found file (at most kPreviewMaxBytes) into an owned buffer for
// the preview: the drive's excluded ranges are hooked first; NTFS nodes go
// through their volume (each NTFS volume in turn for a node without one),
// other file systems through theirs. The device is closed again afterwards.
// False (the last error set) when the node cannot be read.
bool ReadPreviewBytes(NTFSObj* engine, Drive* drive, int64_t nodeIndex, std::vector<uint8_t>& out);
