#include "carving/DriveReader.h"

#include <algorithm>

#include "storage/Drive.h"

bool DriveHdrReader::ReadSectors(int64_t sector, uint32_t count, uint8_t* buffer) {
  if (!drive_ || !buffer || sector < 0 || count == 0) return false;
  const int64_t sectors = SectorCount();
  if (sector >= sectors || int64_t(count) > sectors - sector) return false;
  const uint32_t ss = SectorSize();
  const uint32_t piece = std::max<uint32_t>(Drive::kTransferSize / ss, 1);
  try {
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min(piece, count - done);
      uint8_t* got = drive_->ReadSectors(sector + done, n * ss, drive_->RetryPiece(), buffer + uint64_t(done) * ss, true);
      if (!got || got == Drive::kReadStarted) return false;
      done += n;
    }
  } catch (...) {
    // The drive throws when it cannot be reopened: the parser rejects the
    // file and the pass goes on.
    return false;
  }
  return true;
}

int64_t DriveHdrReader::SectorCount() const {
  return drive_ ? int64_t(std::min<uint64_t>(drive_->SectorCount(), uint64_t(INT64_MAX))) : 0;
}

uint32_t DriveHdrReader::SectorSize() const { return drive_ && drive_->SectorSize() ? drive_->SectorSize() : 512; }
