// What a source holds, told from its content. The one place that decides
// which drive reads an image file: a virtual disk is known by its own
// headers whatever its name (a dynamic VHD named ".vpc" or ".img" is read
// as a VHD); the name only breaks a tie, when the content names nothing.
// And what a source, or the place of a volume on it, holds that this
// version does not read (another disk-image format, a file system of no
// family that reads it yet), so that a scan can name it instead of
// advising a Long Scan that cannot help. Like the label probe
// (SysBlock.h) it reads a few magic numbers itself: storage builds no
// volume. When a family's reader arrives, its line in the table of
// foreign kinds goes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

class Drive;

enum class ImageContent : uint8_t {
  kPlain = 0,  // nothing the content names: raw sectors (or the name decides)
  kVhd,        // "conectix" footer at the end, or its copy at the start
  kVhdx,       // "vhdxfile"
  kVmdk,       // "KDMV", "COWD" or a text descriptor
  kQcow,       // QEMU qcow and qcow2
  kQed,        // QEMU enhanced disk
  kVdi,        // VirtualBox
  kParallels,  // Parallels
  kDmg,        // Apple disk image ("koly" trailer)
};

// The content kind from the first bytes of a file (at least 512 when the
// file has them) and its last 512 bytes (tail null when the file is
// shorter), `size` being the file's size.
ImageContent ProbeImageContent(const uint8_t* head, size_t headBytes, const uint8_t* tail, uint64_t size);
// The same for a file by path (read-only; kPlain for anything that is not
// a regular file or cannot be read).
ImageContent ProbeImageFile(WStringView path);
// The drive class a source name needs, as CreateDrive decides it: 1 VHD
// or VHDX, 2 VMDK, 0 anything else. A chain definition by its keyword; an
// image file (an absolute path without an extent) by its content, then by
// its extension.
int VirtualDiskKindOf(WStringView name);

// "a QEMU qcow2 disk image" and the like; empty for kPlain and for the
// kinds this version reads (VHD, VHDX, VMDK).
WString ForeignImageName(ImageContent kind);

// What lies at a place (a volume's first bytes, `bytes` of them, at least
// 72 KiB when the source has them) that this version does not read: "an
// HFS+ volume", "a Btrfs volume", "a LUKS encrypted volume", or a foreign
// disk-image format (image set). `what` is empty when none of these is
// known there (and for the file systems this version reads).
struct ForeignContent {
  WString what;
  bool image = false;  // another disk-image format: the whole source is one
};
ForeignContent DescribeForeignContent(const uint8_t* data, size_t bytes);
// The same at a drive sector (reads 72 KiB through the drive, waited);
// nothing when the read fails.
ForeignContent DescribeForeignContentAt(Drive& drive, uint64_t sector);
// Bytes DescribeForeignContent looks at.
inline constexpr uint32_t kForeignProbeBytes = 72 * 1024;
