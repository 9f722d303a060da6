// Rebuilding a volume whose boot sector is gone from the first nine MFT
// records, found at consistent positions by the sector pass.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/Text.h"

class ScanSink;
class NTFSVol;
class inode;
class Drive;

class SysFile {
 public:
  explicit SysFile(ScanSink* owner = nullptr, Drive* drive = nullptr);
  virtual ~SysFile();
  SysFile(const SysFile&) = delete;
  SysFile& operator=(const SysFile&) = delete;

  void Reset();
  // True when the record (MFT record number n, node positioned at its drive
  // sector) is taken into slot n.
  bool ProcSysFile(uint32_t n, inode* node);
  // The volume the collected records describe (start, geometry, label), or
  // null. The caller owns it.
  NTFSVol* FlushSysFile();

  ScanSink* owner = nullptr;  // the search the volume is made for
  Drive* drive = nullptr;
  bool started = false;
  inode* slots[9] = {};
  int64_t base = 0;
  uint32_t recordSpan = 2;
  int32_t first = -1;
  uint32_t hint = 1;
  static constexpr uint32_t slotCount = 9;
  std::unique_ptr<WString> label;
  uint32_t sectorSize = 512;

 private:
  NTFSVol* HandVolumeToDrive(NTFSVol* vol);
};
