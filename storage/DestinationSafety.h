// Whether recovered files may be written to a destination: never onto the
// sectors being recovered from.
//
// The destination is stat'ed (its nearest existing folder when it does not
// exist yet); its st_dev leads through /sys/dev/block/MAJ:MIN to a block
// device and its extents on the listed disks, and an overlap with the
// source's extents is refused. File systems without a disk of their own
// (tmpfs, network, overlay) are safe, unless a layer of the overlay lies on
// the source. A file system whose device number is anonymous (btrfs) is
// found through the mount table's source device. A loop device is followed
// to its backing file, so a loop-mounted image that lives on the source is
// refused. For an image source only the image itself (and a loop device
// backed by it) is refused.
#pragma once
#include <cstdint>
#include <string>

struct SourceIdentity {
  bool isImage = false;
  std::string imagePath;
  // The source's byte range on a listed disk; diskNumber -1 when the source
  // is not a range of one disk (a dm or md device: then every extent of
  // devicePath counts).
  int diskNumber = -1;
  uint64_t firstByte = 0;
  uint64_t byteCount = 0;
  std::string devicePath;  // the block device opened ("/dev/sda1"), may be empty
};

// A device source covering [firstByte, firstByte + byteCount) of the block
// device (byteCount 0: to the device's end), in disk coordinates when the
// device lies on one disk in one piece.
SourceIdentity SourceOfDevice(const std::string& devicePath, uint64_t firstByte = 0, uint64_t byteCount = 0);
SourceIdentity SourceOfImage(const std::string& imagePath);

bool IsDestinationSafe(const std::string& destinationPath, const SourceIdentity& source);
// Whether a whole disk is clear of the source (IsSafeDrive): false when the
// source lies on that disk, or an extent of the source's device does.
bool IsDiskSafe(int diskNumber, const SourceIdentity& source);
