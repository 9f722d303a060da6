// Model and serial number of a disk through pass-through commands.
//
// On Linux the pass-through is SG_IO: ATA IDENTIFY DEVICE travels in an ATA
// PASS-THROUGH(16) command (for SATA disks behind the SCSI layer), and SCSI
// disks answer INQUIRY and the unit serial number page (0x80). There is no
// IDE pass-through. Identification never affects reading: a device that does
// not answer is shown without model and serial. The parsers work on byte
// blocks so they can be tested on captured data; sysfs exposes the same page
// 0x80 (device/vpd_pg80), which goes through the same parser.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Text.h"

// ---- parsers ----

// An ATA IDENTIFY string field: the bytes of each 16-bit word swapped, cut
// at the first zero byte, trailing blanks removed, leading blanks skipped.
// byteOffset and byteCount are checked against size (empty text otherwise).
WString AtaIdentifyText(const uint8_t* identify, size_t size, size_t byteOffset, size_t byteCount);
// Model (40 bytes from word 27) and serial (20 bytes from word 10, read as
// the 40-byte field the old interface took). False when the block is
// shorter than 512 bytes.
bool ParseAtaIdentify(const uint8_t* identify, size_t size, WString* model, WString* serial);

// A SCSI text field: trailing bytes below 33 dropped, leading ones skipped;
// false (and an empty text) when nothing is left or a byte below 32 remains.
bool ScsiText(const uint8_t* data, size_t size, WString* out);
// Standard INQUIRY data: the 24 bytes of vendor and product identification
// from offset 8. False when shorter than 32 bytes or the text is rejected.
bool ParseInquiryModel(const uint8_t* data, size_t size, WString* model);
// The unit serial number page (0x80): length at offset 3, text from offset
// 4 (bounded by size); kept only when the trimmed text is longer than 5
// characters. False for another page code or a rejected text.
bool ParseUnitSerialPage(const uint8_t* data, size_t size, WString* serial);

// ---- pass-through ----

struct ScsiCommandResult {
  int error = 0;           // errno of the call, 0 when it went through
  uint8_t scsiStatus = 0;  // 0 GOOD, 2 CHECK CONDITION, ...
  uint32_t bytesIn = 0;    // data transferred
  bool Ok() const { return error == 0 && scsiStatus == 0; }
};

// Sends one data-in command. The SG_IO implementation works on a descriptor
// opened read-only; tests replace it with recorded answers.
class ScsiTransport {
 public:
  virtual ~ScsiTransport() = default;
  virtual ScsiCommandResult DataIn(const uint8_t* cdb, size_t cdbLength, uint8_t* data, uint32_t length,
                                   uint32_t timeoutMs) = 0;
};

class SgIoTransport : public ScsiTransport {
 public:
  explicit SgIoTransport(int fd) : fd_(fd) {}
  ScsiCommandResult DataIn(const uint8_t* cdb, size_t cdbLength, uint8_t* data, uint32_t length,
                           uint32_t timeoutMs) override;

 private:
  int fd_;
};

// The command blocks, for the transport and the tests.
std::vector<uint8_t> AtaIdentifyCdb();                 // ATA PASS-THROUGH(16), IDENTIFY DEVICE
std::vector<uint8_t> InquiryCdb(uint8_t allocation);   // standard INQUIRY
std::vector<uint8_t> VpdCdb(uint8_t page, uint8_t allocation);

class CLoIODev {
 public:
  enum Kind : uint32_t { kNone = 0, kAta = 1, kIde = 2, kScsi = 3 };

  CLoIODev() = default;
  virtual ~CLoIODev();
  CLoIODev(const CLoIODev&) = delete;
  CLoIODev& operator=(const CLoIODev&) = delete;

  // Opens the device read-only (O_RDONLY | O_NONBLOCK | O_CLOEXEC, never for
  // writing); false when it cannot be opened.
  bool Open(const std::string& devicePath);
  // Uses another transport (not owned) in place of SG_IO on the descriptor.
  void UseTransport(ScsiTransport* transport) { transport_ = transport; }
  // Sets the buffer unit (bytes) and allocates unit x 257 bytes.
  virtual void Init(uint32_t unit) = 0;
  virtual bool Identify() = 0;

  const WString& Model() const { return model_; }    // empty when unknown
  const WString& Serial() const { return serial_; }  // empty when unknown
  Kind InterfaceKind() const { return kind_; }
  uint32_t TransferLimit() const { return transferLimit_; }
  uint32_t Unit() const { return unit_; }
  uint32_t GoodCommands() const { return goodCommands_; }
  uint32_t FailedCommands() const { return failedCommands_; }

 protected:
  // Runs a command through the transport and counts it; false when it failed.
  bool Run(const std::vector<uint8_t>& cdb, uint8_t* data, uint32_t length, ScsiCommandResult* result = nullptr);
  void AllocateBuffer(uint32_t unit);

  int fd_ = -1;
  uint32_t goodCommands_ = 0, failedCommands_ = 0;
  WString model_, serial_;
  uint32_t unit_ = 0;
  std::vector<uint8_t> buffer_;
  Kind kind_ = kNone;
  uint32_t transferLimit_ = 0;

 private:
  ScsiTransport* transport_ = nullptr;
  SgIoTransport* own_ = nullptr;
};

class CATAIO : public CLoIODev {
 public:
  void Init(uint32_t unit) override;  // kind 1, limit 255
  bool Identify() override;
};

class CSCSIIO : public CLoIODev {
 public:
  void Init(uint32_t unit) override;  // kind 3, limit 128
  // The adapter's limits from sysfs (queue/max_hw_sectors_kb x 1024 and
  // queue/max_segments); 0 when unknown, and the limit then stays.
  void SetAdapterLimits(uint64_t maxTransferBytes, uint32_t maxSegments);
  bool Identify() override;

 private:
  uint64_t maxTransferBytes_ = 0;
  uint32_t maxSegments_ = 0;
};

// What the disk list keeps of an identification.
struct DeviceIdentity {
  WString model, serial, vendor;
  uint64_t maxTransferBytes = 0;
};

// sysfs first (device/model or device/name, device/vendor, device/serial or
// the disk's own serial, device/vpd_pg80, queue/max_hw_sectors_kb) for the
// disk folder <sysfs>/block/<name>.
DeviceIdentity IdentifyFromSysfs(const std::string& diskFolder);
// Fills what sysfs left empty by pass-through on the device: ATA first (when
// allowed), then SCSI; the serial from the first that answers, the model
// from the first that gives one.
void IdentifyByPassThrough(const std::string& devicePath, bool tryAta, uint64_t maxTransferBytes,
                           uint32_t maxSegments, DeviceIdentity* identity);
