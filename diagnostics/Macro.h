// The support command (Disk Image Create with the support option): a
// command line run against the open drive. One command: DumpZDVA OFFSET
// ASIZE LSIZE PSIZE FOLDER (bytes, decimal) reads one ZFS block by its data
// virtual address and writes it, decompressed with LZJB when its physical
// size is below its logical size, to FOLDER/dumpz_<sector>_<sectors>.dsk.
#pragma once
#include <cstdint>

#include "platform/Text.h"

class Drive;

// The block's sizes are held to this, whole 512-byte units.
inline constexpr uint64_t kMacroMaxBlockBytes = 16u << 20;

class CMacro {
 public:
  enum { kFailed = 0, kRead = 1, kSparse = 2 };
  // Runs the text; each outcome is shown as a message box. 1 when the block
  // was read, 2 when it was sparse, 0 otherwise.
  int RunCommand(WStringView text, Drive* drive);
  // The last message shown.
  WString message;
  // The file written (empty when none).
  WString outputPath;

 private:
  void Say(WStringView text);
};
