// The node of one NTFS file built from one FILE record: the record parser
// (Inode.cpp) and the reader of the file's data by cluster or byte offset
// (InodeRead.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/RangeKeyTables.h"
#include "platform/Text.h"
#include "volumes/Extents.h"
#include "volumes/Node.h"
#include "volumes/RunReader.h"
#include "volumes/Streams.h"

class Drive;
class NTFSVol;
class CNdArray;

// ---- flag word 1 bits set by the parser ----
inline constexpr uint16_t kInodeNumberKnown = 0x0040;
inline constexpr uint16_t kInodeCarved = 0x0080;
inline constexpr uint16_t kInodeNumberFromHeader = 0x4000;
inline constexpr uint16_t kInodeAtHome = 0x8000;

// ---- error bits ----
inline constexpr uint8_t kInodeErrFixup = 0x01;
inline constexpr uint8_t kInodeErrGhost = 0x02;

// The fast test that a buffer starts a FILE record.
bool CheckFILERecord(const uint8_t* buffer);

// Interns a stream name for the life of the process (stream names are few:
// "$Bad", "Zone.Identifier", extended-attribute names); null for empty text.
const char16_t* InternStreamName(WStringView name);

class inode : public snode {
 public:
  inode();  // neither record nor volume
  inode(uint8_t* record, NTFSVol* volume);
  ~inode();
  inode(const inode&) = delete;
  inode& operator=(const inode&) = delete;

  // Clears every field of the parser and the reader and binds the record
  // (borrowed; it must hold the record size) and the volume.
  void Init(uint8_t* record, NTFSVol* volume);
  void InitEmpty() { Init(nullptr, nullptr); }
  // Copies the node (runs, chain and streams duplicated) and the parser's
  // plain fields; not the record, buffers or read state. False when memory
  // runs out.
  bool CopyInode(const inode* from);

  // Applies the fix-up, checks the record, walks its attributes and fills
  // the node. With no wanted name (null or empty) the unnamed data stream is
  // kept and every named stream recorded; with a name only that stream is
  // kept. 0 or -1. The record buffer is restored before returning.
  int parseEntry(const char16_t* wanted = nullptr);

  // Turns the node into that of a carved file of `size` bytes at startSector.
  void CreateHdrNode(int64_t startSector, int64_t size, uint32_t sectorSize, uint64_t scanTime);

  // The record size the parser uses: the volume's, else the drive's sector
  // size but at least 1024.
  uint32_t RecordSize() const;
  uint32_t ClusterBytes() const;
  uint32_t SectorBytes() const;

  // ---- reading (through the volume model's run reader) ----
  // Builds the node's mapping table: the pieces of its chain in order (a
  // piece without runs as a hole), else its run list. The entry count, -1
  // when a list does not map.
  int64_t BuildMappingTablesAll() { return Reader().BuildMappingTablesAll(); }
  // The volume sector holding the byte offset; 0 when not mapped.
  int64_t Offset2LSN(int64_t offset) { return Reader().Offset2LSN(offset); }
  // Reads count clusters from vcn into the work buffer (which it returns);
  // *read = clusters delivered. Null when nothing maps or nothing is read.
  uint8_t* ReadClusters(int64_t vcn, uint32_t count, uint32_t* read) { return Reader().ReadClusters(vcn, count, read); }
  uint8_t* ReadCompressedClusters(int64_t vcn, uint32_t count, uint32_t* read, uint8_t* buffer) {
    return Reader().ReadCompressedClusters(vcn, count, read, buffer);
  }
  // One 16-cluster compression unit, expanded; null on failure.
  uint8_t* ReadCompressionGroup(int64_t unitVcn) { return Reader().ReadCompressionGroup(unitVcn); }
  // The next bytes of the stream from the sequential position; null when
  // nothing maps. Unreadable parts read as zeros.
  uint8_t* SequentialRead(uint32_t bytes) { return Reader().SequentialRead(bytes); }
  void ResetSequential() { reader_.ResetSequential(); }
  void FreeWorkBuffer() { reader_.FreeWorkBuffer(); }
  CExtents& Map() { return reader_.Map(); }

  // ---- parser fields ----
  uint8_t* record = nullptr;  // borrowed
  NTFSVol* volume = nullptr;
  uint32_t bytesInUse = 0;
  uint32_t recordBytes = 0;  // allocated size from the header (1024, 2048, 4096 or 0)
  uint32_t baseRefLow = 0, baseRefHigh = 0;
  uint32_t sequence = 0;
  uint16_t attrPos[16] = {};
  uint32_t firstVcn = 0, lastVcn = 0;
  uint32_t clusterCount = 0;
  uint8_t* residentData = nullptr;  // owned (malloc)
  uint32_t residentSize = 0;
  XEntry* pieces = nullptr;  // until they move into the run field
  uint8_t errors = 0;
  std::unique_ptr<WString> volumeName;
  uint8_t versionMajor = 0, versionMinor = 0;
  std::unique_ptr<KeyPairTable> pairTable;

  // The file name as parsed (cnode::name is interned from it when a node
  // table is given), its name space and whether one is held.
  WString fileName;
  uint8_t nameSpace = 0;
  bool hasName = false;
  CNdArray* names = nullptr;  // not owned; null keeps the name here only
  // An attribute-list entry for $FILE_NAME in another record (0: none).
  uint64_t nameRecord = 0;
  bool followNameRecord = true;
  // Without a volume: the record size when the caller's buffer holds the
  // size the header claims (a loose record of 2048 or 4096 bytes on
  // 512-byte sectors); 0 for the default. Init clears it.
  uint32_t recordSizeHint = 0;
  // Without a volume: the drive the record was read from (its sector size,
  // the other NTFS volumes of its table); null: 512-byte sectors and no
  // other volume. Init clears it.
  Drive* drive = nullptr;
  // With keepIndexRoot set (after Init, which clears both): the bytes from
  // the first $INDEX_ROOT to the end of the bytes in use, fix-up applied (a
  // folder's own index entries, read again by the Long Scan).
  bool keepIndexRoot = false;
  std::vector<uint8_t> indexRoot;
  // The last message of the error report.
  WString lastError;

 private:
  // The steps of parseEntry: the header (the fix-up's strides), the fix-up
  // (the strides fixed), the walk of the attributes, one attribute, and
  // the extension-record pieces taken into the run field.
  uint32_t ReadHeader(uint32_t recordSize);
  uint32_t ApplyFixup(uint32_t strides, uint16_t usn);
  int WalkAttributes(uint32_t firstAttr, const WString& wanted);
  int ParseAttribute(uint32_t type, uint32_t pos, uint32_t length, const WString& wanted);
  void TakePieces();
  int Fail(const char16_t* text);
  void Report(const char16_t* text);
  static void ReportThunk(void* self, const char16_t* text);
  bool ExtendedAttr() const;
  int parseStandard(uint32_t pos, uint32_t length);
  int parseName(uint32_t pos, uint32_t length);
  int parseData(uint32_t type, uint32_t pos, uint32_t length, const WString& wanted);
  int parseResData(uint32_t pos, uint32_t length, uint8_t** data, uint32_t* size);
  bool ParseStreamName(uint32_t pos, uint32_t length, WString* out) const;
  void ParseVolumeName(uint32_t pos, uint32_t length);
  int parseAttributeList(uint32_t pos, uint32_t length);
  int parseAttributeList2(const uint8_t* list, uint32_t length);
  bool ReadNR(uint32_t pos, uint32_t length, std::unique_ptr<uint8_t[]>* out, uint32_t* outLength);
  int ReadAndParse0x20(uint32_t pos, uint32_t length);
  void TakeName(const uint8_t* value, uint32_t chars, uint8_t space);
  void FollowNameRecord();
  void FreeParsed();

  // ---- read state ----
  // The reader, bound to this record's runs, volume and sizes.
  RunReader& Reader();
  RunReader reader_;
};
