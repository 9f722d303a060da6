// The read interface of the carving parsers over a drive: the one the engine
// hands the driver for the scan.
#pragma once
#include <cstdint>

#include "carving/HdrNode.h"

class Drive;

class DriveHdrReader : public HdrReader {
 public:
  explicit DriveHdrReader(Drive* drive) : drive_(drive) {}
  // Refuses sectors outside the drive; a read the drive refuses, or one
  // that throws, is a failed read (false), never an exception.
  bool ReadSectors(int64_t sector, uint32_t count, uint8_t* buffer) override;
  int64_t SectorCount() const override;
  uint32_t SectorSize() const override;

 private:
  Drive* drive_;
};
