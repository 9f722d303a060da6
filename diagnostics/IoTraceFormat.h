// The binary I/O trace's log format, read back: every record of a log
// (the files 01, 02, ... one after another) with the data-file offset of
// each read. dviotrace and the tests use it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace iotrace {

enum Opcode : uint8_t {
  kEnd = 0,
  kHeader = 1,
  kRead = 2,
  kFoundFile = 3,
  kRunLists = 4,
  kOp5 = 5,
  kStride = 6,
  kBase = 7,
  kChannel = 8,
  kReadRange = 9,
  kReadNext = 10,
  kDriveOp = 11,
  kHit = 12,
  kInode13 = 13,
  kInode14 = 14,
  kOp15 = 15,
  kDirEntry = 16,
  kOp17 = 17,
  kCatalog = 18,
  kNamed = 19,
  kOp20 = 20,
  kOp23 = 23,
  kOp24 = 24,
  kOp25 = 25,
};

inline constexpr uint8_t kFormatVersion = 4;

struct Record {
  uint8_t op = 0;
  uint64_t at = 0;  // offset of the opcode in the log
  uint8_t flags = 0;
  int64_t sector = -1;  // absolute, for records with a sector
  uint64_t count = 0;   // reads: sectors; run lists: entries
  uint64_t dataAt = 0;  // reads: the offset of their bytes in the data file
  uint64_t value = 0;   // size, base, channel, type or first value
  uint64_t value2 = 0;
  std::string name;  // UTF-8
};

struct Summary {
  bool ok = false;        // decoded to opcode 0 without a fault
  std::string error;      // the fault, with its log offset
  uint32_t shift = 0;     // the header's sector-size shift
  std::string driveName;  // UTF-8
  uint64_t records = 0;
  uint64_t reads = 0;
  uint64_t dataBytes = 0;   // bytes the reads announce
  uint64_t endAt = 0;       // offset just past opcode 0
  bool zeroPadded = false;  // only zeros follow opcode 0, to a multiple of 4,096
};

// Decodes a whole log; `each` (may be empty) sees every record in order.
// Never reads outside [data, data + size).
Summary Decode(const uint8_t* data, size_t size, const std::function<void(const Record&)>& each);

// One line for a record, as dviotrace prints it.
std::string Describe(const Record& r);

// The files of a trace on disk: the log `logPath` ("..._01.bin") and its
// successors (02, 03, ... while they exist) decoded as one log, checked
// against the data file (`dataPath`, or the "..._00.bin" beside the log).
struct FileCheck {
  Summary summary;
  std::vector<std::string> logFiles;  // the files read, in order
  std::string dataPath;
  std::string problem;      // empty when the trace checks out
  bool readFailed = false;  // a file could not be read (problem says which)
};

// The check dviotrace --check makes: the log decodes to opcode 0 followed
// only by zeros to a multiple of 4,096 bytes, and the data file holds
// exactly the bytes the reads announce. `each` as for Decode.
FileCheck CheckFiles(const std::string& logPath, const std::string& dataPath = std::string(),
                     const std::function<void(const Record&)>& each = nullptr);

// "..._NN.bin" with NN replaced by `number`; empty for another name.
std::string SiblingFile(const std::string& log, int number);

}  // namespace iotrace
