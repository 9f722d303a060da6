// The document properties of an Office Open XML file being recovered: its
// last author and modification time from the member docProps/core.xml, and
// whether it is a docx, xlsx or pptx. The file is read through the drive
// (a carved hit: its start sector and size) or through the volume of a
// found node.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

class CVol;
class HdrReader;
struct cnode;

// Random access to the bytes of one file.
class FileByteSource {
 public:
  virtual ~FileByteSource() = default;
  // Reads `length` bytes at `offset`; false when any of them cannot be read
  // (past the file, the drive or a failed read).
  virtual bool ReadFileBytes(uint64_t offset, size_t length, uint8_t* out) = 0;
};

struct OfficeProps {
  uint8_t refinedType = 0;   // docx, pptx or xlsx; 0 when no member tells
  WString name = u"Unknown";  // the last author, at most 254 characters
  uint64_t fileTime = 0;      // the modification time; now when none
};

// Fills the defaults (type 0, "Unknown", now), then reads the file:
// the end record within its last 64 sectors, the central directory (at most
// 64 KiB of it: the member names tell the kind, the first match deciding)
// and docProps/core.xml (at most 64 KiB, inflated into at most 1 MiB).
// 1 when the properties were read; 0 leaves what could be read (the kind
// may be known without them).
int ReadOfficeXmlProps(FileByteSource& file, uint64_t fileSize, OfficeProps* props);
// The file of `fileSize` bytes from `startSector` of the drive, read in
// pieces of at most 1 MiB; never past the drive.
int ReadOfficeXmlProps(HdrReader* drive, int64_t startSector, uint64_t fileSize, OfficeProps* props);
// A node's file through its volume; a fileSize of 0 takes the node's.
int ReadOfficeXmlProps(CVol* volume, const cnode* node, uint64_t fileSize, OfficeProps* props);

// The volumes' type sniffer: the header probe of a node's first bytes, a
// zip refined to docx, pptx or xlsx by the node's member names.
uint8_t SniffNodeCarvedType(CVol* volume, const cnode* node, const uint8_t* data, size_t count);
