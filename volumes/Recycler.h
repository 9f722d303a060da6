// The recycle bin: files in a bin carry made-up names ($R names in the newer
// bin, D<drive><number> names in the older one) and the bin's own records
// say what each was called and where it lived. A Recycler collects those
// records ($I files of the newer bin, INFO2 files of the older one) into a
// map, and Remap gives a found file in a bin folder its original folder and
// name. A volume owns one.
//
// Paths here are the model's "\"-separated folder paths, with the volume's
// drive ("C:") in front as the bins record them. A remapped path is a model
// path like any other: it becomes a destination only through
// BuildDestinationPath (volumes/DestinationPath.h), so a crafted ".." in a
// recorded path never leaves the destination folder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Text.h"

class HTree;
struct cnode;

// ---- name tests (ASCII letters compared without case) ----

// Begins "\Recycled\" or "\$RECYCLE.BIN\".
bool IsRecycledPath(WStringView path);
// Begins "\Recycler\" or "\$RECYCLE.BIN\", is at least 48 characters, and
// its second component is "S-" followed only by digits and "-".
bool IsRecyclerSidPath(WStringView path);
// "$" then the letter (letter 0: "R" or "I"); with a dot, the dot is the
// ninth character; without one, exactly 8 characters and not "$Reparse".
bool IsRecycleBinName(WStringView name, char16_t letter);
// "D" or "d", a letter, 1 to 249 digits, then the end or a dot.
bool IsInfo2DeletedName(WStringView name);
// The name is a bin item or record name and the path a bin's SID folder.
bool IsRecycleBinEntry(WStringView name, WStringView path);
// The path's second component is a recycled item's name (D or $R).
bool IsRecycledItemPath(WStringView path);

// Sequential reads of a file's data from its start (the INFO2 reader takes
// its records through this).
class Info2Source {
 public:
  virtual ~Info2Source() = default;
  // Up to `bytes` bytes into buffer: the count read, 0 at the end, -1 on a
  // read error.
  virtual int64_t Read(uint8_t* buffer, size_t bytes) = 0;
};

// The data in memory.
class BufferInfo2Source : public Info2Source {
 public:
  BufferInfo2Source(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int64_t Read(uint8_t* buffer, size_t bytes) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The $I record layout (version 1, 544 bytes).
inline constexpr size_t kRbiSizeOffset = 8;     // 64-bit, low 32 bits used
inline constexpr size_t kRbiTimeOffset = 16;    // 64-bit
inline constexpr size_t kRbiPathOffset = 24;    // UTF-16, up to 520 bytes
inline constexpr size_t kRbiPathBytes = 520;
inline constexpr size_t kRbiRecordBytes = 544;
// INFO2: a 20-byte header (record size at 12), then 800-byte records.
inline constexpr size_t kInfo2HeaderBytes = 20;
inline constexpr uint32_t kInfo2RecordBytes = 800;
// Paths of the map and of remapped folders stay under this many characters.
inline constexpr size_t kRecyclerMaxPath = 256;

// What Remap works on: a found file's name (in/out), its family (the high
// nibble of the node's kind byte) and whether it is a folder.
struct RecycledItem {
  WString name;
  uint8_t family = 0;
  bool isDirectory = false;
};

class Recycler {
 public:
  Recycler();
  ~Recycler();
  Recycler(const Recycler&) = delete;
  Recycler& operator=(const Recycler&) = delete;

  // A $I file: content (size bytes, read from its start) and its name. The
  // recorded path must begin "A".."Z", ":" and "\" and stop within its 520
  // bytes (a path without a terminator is cut there, and the content's end
  // cuts it too) at fewer than 256 characters; the name must be a $I name.
  // True when an entry was added (false also when the name was mapped).
  bool AddRBI(const uint8_t* content, size_t size, WStringView fileName);

  // An INFO2 file read through source: its records map "<prefix>d<drive
  // letter><index><extension>" (upper case) to the original path, with the
  // size rounded up to clusterBytes. The node must have a run list of more
  // than 2 bytes and lie on an NTFS or FAT volume (kVolNtfs, kVolFat16, kVolFat32).
  // The number of records added; -1 when the node is no INFO2 file.
  int AddInfo2QS(const cnode* node, uint8_t volumeType, Info2Source& source, WStringView prefix,
                 uint32_t clusterBytes);
  // The same without the node checks.
  int AddInfo2Records(Info2Source& source, WStringView prefix, uint32_t clusterBytes);

  // folderPath: the item's folder ("C:\Recycled\" or "C:\$RECYCLE.BIN\S-..\",
  // up to 256 characters). An item directly in a bin gets the name and
  // folder its record gives; an item deeper inside a recycled folder gets
  // the recycled folder's original path followed by the rest of its path.
  // The older bin's items are looked up only with flag 0. 1 when item->name
  // and *folderPath were replaced, else 0 with both unchanged.
  int Remap(WString* folderPath, RecycledItem* item, uint64_t size, int flag);
  // The same for a node: on success the node's name becomes the counted
  // name internName gives for the new name (the engine's name table; a null
  // result leaves the node's name as it was, returning 1 all the same).
  int Remap(WString* folderPath, cnode* node, uint64_t size, int flag,
            const uint8_t* (*internName)(WStringView name, void* context), void* context);

  // The original path mapped to a key (the recycled name, any case) and a
  // size (0 matches any size); null when absent.
  const char16_t* Find(WStringView key, uint64_t size) const;
  size_t Count() const { return count_; }

 private:
  bool Add(WStringView key, WStringView path, uint64_t size);
  std::unique_ptr<HTree> map_;
  size_t count_ = 0;
};
