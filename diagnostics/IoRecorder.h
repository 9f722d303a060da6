// The binary I/O trace recorder: "Marbrix_YYMMDD_hhmmss_00.bin" receives
// every sector range read, "..._01.bin" (then 02, ...) the log of opcodes
// (diagnostics/IoTraceFormat.h). One mutex: the reading thread's reads and
// the classifying threads' records interleave only as whole records, each
// against the sector base in force.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "diagnostics/TraceRanges.h"
#include "storage/IoTrace.h"

class IoRecorder : public IoTrace {
 public:
  static constexpr size_t kBufferBytes = 1u << 20;
  static constexpr size_t kBlockBytes = 512u * 1024;
  static constexpr int kBlocksPerFile = 128;
  static constexpr size_t kDataStage = 1u << 20;

  IoRecorder();
  ~IoRecorder() override;

  void Init() override;
  void Close() override;
  int Open() override;
  int Open(WStringView tracePath) override;
  // With the drive's sector-size shift and name for the header (9 and a
  // blank when there is no drive).
  int Open(WStringView tracePath, uint32_t shift, WStringView driveName) override;
  bool IsOpen() const override;
  int FlushAndCloseFiles() override;
  int ReopenFiles() override;

  int NextTraceRange() override { return 0; }
  uint64_t NextTraceRange(int64_t sector, uint64_t record) override;
  int LoadTraceOptions() override;
  int LoadTraceOptions(const std::string& path) override;

  int RecordRead(const uint32_t* record, const void* data) override;
  int RecordRead(int64_t sector, uint32_t bytes, uint32_t sectorSize, const void* data) override;
  int SetChannel(uint8_t channel) override;
  int LogOp5(int64_t sector, uint64_t value, uint32_t value2) override;
  int LogOp6(int64_t sector, uint16_t first, uint16_t second) override;
  int LogOp11(int code, uint32_t bytes, int64_t sector) override;
  int LogOp12(uint8_t type, int64_t sector, uint64_t size, uint32_t counter) override;
  int LogOp15(int64_t sector, uint32_t a, uint32_t b) override;
  int LogOp16(uint8_t fileType, int64_t sector, uint32_t inode, std::string_view name) override;
  int LogOp17(int64_t sector, uint32_t value) override;
  int LogOp20(uint8_t kind, uint16_t value16, uint64_t value, int64_t sector) override;
  int LogOp23(uint8_t kind, int64_t sector, uint32_t a, bool hasValue, uint32_t b, uint64_t c) override;
  int LogOp24(int64_t sector, const uint32_t* seven, uint8_t shortForm) override;
  int LogOp25(bool kind2, int64_t sector, uint32_t value, std::string_view name) override;
  int LogFoundFile(const IoTraceFoundFile& file) override;
  int LogFileRecord(const void* record, int room) override;
  int LogSector(int64_t sector, const void* data) override;
  int LogContentSample(int64_t sector, int a, int b) override;
  int LogVmfsRecord(int64_t sector, const void* entry) override;

  // The files' names (empty when closed) and how they are written.
  std::string DataPath() const;
  std::string LogPath() const;
  bool Direct() const;
  uint64_t BlockCount() const;
  uint32_t FoundFiles() const;
  uint32_t SameReferenceFiles() const;
  // Tests: start the log numbering at `number` with `blocksInFile` blocks
  // already counted in it (the files themselves stay as they are).
  void SetRotationForTest(int number, int blocksInFile);

 private:
  bool RecordsOn() const;
  bool ReadsOn() const;
  void Reset();
  // Appends bytes, writing whole 512 KiB blocks as they fill.
  void Put(const void* bytes, size_t n);
  void FlushBlock();
  void AdvanceLogFile();
  void ReopenLog(bool truncate);
  // Opcode 7 when the sector lies outside the base's 65,536 sectors; the
  // sector's 16-bit offset.
  uint16_t Rebase(int64_t sector);
  void LogRead(uint64_t sector, uint64_t count);
  void AppendData(const void* data, size_t bytes, size_t total);
  void FlushData(bool all);
  void CloseFiles(bool final);
  void ReopenLocked();
  std::string LogName(int number) const;
  int OpenFile(const std::string& name, bool create, bool* direct);
  void WriteOrThrow(int fd, bool* direct, const std::string& name, const uint8_t* data, size_t n);
  [[noreturn]] void Fail(const std::string& name, int error);

  mutable std::mutex mutex_;
  int dataFd_ = -1, logFd_ = -1;
  bool dataDirect_ = false, logDirect_ = false, closedForReopen_ = false;
  bool wantDirect_ = false;
  std::string folder_, stem_;
  int logNumber_ = 1;
  uint8_t* buffer_ = nullptr;
  size_t fill_ = 0;
  uint8_t* stage_ = nullptr;
  size_t staged_ = 0;
  uint64_t base_ = 0;
  uint32_t shift_ = 9;
  uint8_t channel_ = 0;
  int64_t channelPos_ = -1;
  uint64_t channelBlock_ = 0;
  uint64_t blockCount_ = 0;
  int blocksInFile_ = 0;
  bool prevValid_ = false;
  uint64_t prevSector_ = 0, prevCount_ = 0;
  uint32_t cache_[3] = {0, 0, 0};
  uint32_t foundFiles_ = 0, sameFiles_ = 0;
  TraceRanges ranges_;
};

// The recorder's place in the start-up list (the root puts it where the
// stand-in's kStartupIoTrace stood).
extern const StartupObject kStartupIoRecorder;
