#include "storage/DeviceId.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/Trace.h"
#include "storage/SysBlock.h"

// ---- parsers ----

WString AtaIdentifyText(const uint8_t* identify, size_t size, size_t byteOffset, size_t byteCount) {
  if (!identify || byteOffset > size || byteCount > size - byteOffset) return {};
  std::string text;
  for (size_t i = 0; i + 1 < byteCount; i += 2) {
    // The first character of each word sits in its high byte.
    uint8_t pair[2] = {identify[byteOffset + i + 1], identify[byteOffset + i]};
    bool ended = false;
    for (uint8_t c : pair) {
      if (c == 0) {
        ended = true;
        break;
      }
      text.push_back(char(c));
    }
    if (ended) break;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  size_t lead = 0;
  while (lead < text.size() && text[lead] == ' ') ++lead;
  return FromUtf8(std::string_view(text).substr(lead));
}

bool ParseAtaIdentify(const uint8_t* identify, size_t size, WString* model, WString* serial) {
  if (!identify || size < 512) return false;
  if (model) *model = AtaIdentifyText(identify, size, 27 * 2, 40);
  // Words 10 to 19: the serial field is 20 bytes; reading 40 would take in
  // the retired words and the firmware revision behind it.
  if (serial) *serial = AtaIdentifyText(identify, size, 10 * 2, 20);
  return true;
}

bool ScsiText(const uint8_t* data, size_t size, WString* out) {
  out->clear();
  if (!data) return false;
  size_t end = size;
  while (end > 0 && data[end - 1] < 33) --end;
  size_t start = 0;
  while (start < end && data[start] < 33) ++start;
  if (start == end) return false;
  for (size_t i = start; i < end; ++i)
    if (data[i] < 32) return false;
  *out = FromUtf8(std::string_view(reinterpret_cast<const char*>(data + start), end - start));
  return true;
}

bool ParseInquiryModel(const uint8_t* data, size_t size, WString* model) {
  model->clear();
  if (!data || size < 32) return false;
  return ScsiText(data + 8, 24, model);
}

bool ParseUnitSerialPage(const uint8_t* data, size_t size, WString* serial) {
  serial->clear();
  if (!data || size < 4 || data[1] != 0x80) return false;
  size_t length = std::min<size_t>(data[3], size - 4);
  WString text;
  if (!ScsiText(data + 4, length, &text)) return false;
  if (text.size() <= 5) return false;
  *serial = std::move(text);
  return true;
}

// ---- pass-through ----

std::vector<uint8_t> AtaIdentifyCdb() {
  std::vector<uint8_t> cdb(16, 0);
  cdb[0] = 0x85;         // ATA PASS-THROUGH(16)
  cdb[1] = 4 << 1;       // PIO data-in
  cdb[2] = 0x08 | 0x04 | 0x02;  // from the device, length in blocks, in the sector count field
  cdb[6] = 1;            // one block
  cdb[14] = 0xEC;        // IDENTIFY DEVICE
  return cdb;
}

std::vector<uint8_t> InquiryCdb(uint8_t allocation) { return {0x12, 0, 0, 0, allocation, 0}; }

std::vector<uint8_t> VpdCdb(uint8_t page, uint8_t allocation) { return {0x12, 0x01, page, 0, allocation, 0}; }

ScsiCommandResult SgIoTransport::DataIn(const uint8_t* cdb, size_t cdbLength, uint8_t* data, uint32_t length,
                                        uint32_t timeoutMs) {
  ScsiCommandResult r;
  if (fd_ < 0 || cdbLength == 0 || cdbLength > 16) {
    r.error = EBADF;
    return r;
  }
  uint8_t cdbCopy[16];
  memcpy(cdbCopy, cdb, cdbLength);
  uint8_t sense[32] = {};
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = SG_DXFER_FROM_DEV;
  h.cmd_len = uint8_t(cdbLength);
  h.cmdp = cdbCopy;
  h.mx_sb_len = sizeof sense;
  h.sbp = sense;
  h.dxfer_len = length;
  h.dxferp = data;
  h.timeout = timeoutMs;
  int rc;
  do {
    rc = ioctl(fd_, SG_IO, &h);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    r.error = errno;
    return r;
  }
  r.scsiStatus = h.status;
  // A transport or driver failure without a SCSI status is a failed call.
  if (h.status == 0 && (h.host_status != 0 || (h.driver_status & 0x0F) != 0)) r.error = EIO;
  int resid = h.resid < 0 ? 0 : h.resid;
  r.bytesIn = length > uint32_t(resid) ? length - uint32_t(resid) : 0;
  return r;
}

CLoIODev::~CLoIODev() {
  delete own_;
  if (fd_ >= 0) close(fd_);
}

bool CLoIODev::Open(const std::string& devicePath) {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  // Read-only: the pass-through commands used here only read, and a source
  // is never opened for writing.
  fd_ = open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;
  delete own_;
  own_ = new SgIoTransport(fd_);
  return true;
}

void CLoIODev::AllocateBuffer(uint32_t unit) {
  unit_ = unit < 512 ? 512 : unit;
  buffer_.assign(size_t(unit_) * 257, 0);
}

bool CLoIODev::Run(const std::vector<uint8_t>& cdb, uint8_t* data, uint32_t length, ScsiCommandResult* result) {
  ScsiTransport* t = transport_ ? transport_ : own_;
  ScsiCommandResult r;
  if (!t) r.error = EBADF;
  else r = t->DataIn(cdb.data(), cdb.size(), data, length, 3000);
  if (result) *result = r;
  if (r.Ok()) ++goodCommands_;
  else ++failedCommands_;
  return r.Ok();
}

void CATAIO::Init(uint32_t unit) {
  AllocateBuffer(unit);
  kind_ = kAta;
  transferLimit_ = 255;
}

bool CATAIO::Identify() {
  if (buffer_.size() < 512) Init(512);
  uint8_t* data = buffer_.data();
  memset(data, 0, 512);
  ScsiCommandResult r;
  if (!Run(AtaIdentifyCdb(), data, 512, &r) || r.bytesIn < 512) return false;
  WString model, serial;
  if (!ParseAtaIdentify(data, 512, &model, &serial)) return false;
  // A translation layer that accepts the command but returns nothing useful
  // has not answered.
  if (model.empty() && serial.empty()) return false;
  model_ = model;
  serial_ = serial;
  return true;
}

void CSCSIIO::Init(uint32_t unit) {
  AllocateBuffer(unit);
  kind_ = kScsi;
  transferLimit_ = 128;
}

void CSCSIIO::SetAdapterLimits(uint64_t maxTransferBytes, uint32_t maxSegments) {
  maxTransferBytes_ = maxTransferBytes;
  maxSegments_ = maxSegments;
}

bool CSCSIIO::Identify() {
  if (buffer_.size() < 256) Init(512);
  uint8_t* data = buffer_.data();
  memset(data, 0, 256);
  ScsiCommandResult r;
  bool ok = Run(InquiryCdb(128), data, 128, &r);
  if (traceMft) TracePrintfA("rc %d ScsiStatus %d\n", int32_t(r.error), int32_t(r.scsiStatus));
  if (!ok) return false;
  WString model;
  if (ParseInquiryModel(data, std::min<uint32_t>(r.bytesIn, 128), &model)) model_ = model;
  if (traceMft) TracePrintfA("Mod %s\n", model_);

  memset(data, 0, 256);
  if (Run(VpdCdb(0x80, 255), data, 255, &r)) {
    WString serial;
    if (ParseUnitSerialPage(data, std::min<uint32_t>(r.bytesIn, 255), &serial)) serial_ = serial;
  }

  // The adapter's limit stands in for the storage adapter query.
  if (maxTransferBytes_ != 0) {
    uint64_t limit = maxTransferBytes_;
    if (maxSegments_ > 1) limit = std::min<uint64_t>(limit, uint64_t(maxSegments_ - 1) * 4096);
    transferLimit_ = uint32_t(std::min<uint64_t>(transferLimit_, limit / unit_));
    if (transferLimit_ == 0) return false;
  }
  return true;
}

// ---- identification of a disk ----

namespace {

WString TrimmedAttr(const std::string& path) {
  std::string s = sysblock::ReadAttr(path);
  WString w;
  ScsiText(reinterpret_cast<const uint8_t*>(s.data()), s.size(), &w);
  return w;
}

}  // namespace

DeviceIdentity IdentifyFromSysfs(const std::string& diskFolder) {
  DeviceIdentity id;
  const std::string dev = diskFolder + "/device";
  id.model = TrimmedAttr(dev + "/model");
  if (id.model.empty()) id.model = TrimmedAttr(dev + "/name");  // MMC cards
  id.vendor = TrimmedAttr(dev + "/vendor");
  id.serial = TrimmedAttr(dev + "/serial");
  if (id.serial.empty()) id.serial = TrimmedAttr(diskFolder + "/serial");  // virtio keeps it on the disk
  if (id.serial.empty()) {
    std::vector<uint8_t> page = sysblock::ReadAttrBytes(dev + "/vpd_pg80", 4 + 255);
    ParseUnitSerialPage(page.data(), page.size(), &id.serial);
  }
  uint64_t kb = 0;
  if (sysblock::ReadU64(diskFolder + "/queue/max_hw_sectors_kb", &kb) && kb <= (UINT64_MAX >> 10))
    id.maxTransferBytes = kb * 1024;
  return id;
}

void IdentifyByPassThrough(const std::string& devicePath, bool tryAta, uint64_t maxTransferBytes,
                           uint32_t maxSegments, DeviceIdentity* identity) {
  bool answered = false;
  auto take = [&](CLoIODev& dev, bool ok) {
    if (identity->model.empty() && !dev.Model().empty()) identity->model = dev.Model();
    if (ok && !answered) {
      answered = true;
      if (identity->serial.empty()) identity->serial = dev.Serial();
    }
  };
  if (tryAta) {
    CATAIO ata;
    ata.Init(512);
    if (ata.Open(devicePath)) take(ata, ata.Identify());
  }
  if (!answered || identity->model.empty()) {
    CSCSIIO scsi;
    scsi.Init(512);
    scsi.SetAdapterLimits(maxTransferBytes, maxSegments);
    if (scsi.Open(devicePath)) take(scsi, scsi.Identify());
  }
}
