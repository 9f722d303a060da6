#include "storage/Drive.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "foundation/Utilities.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "platform/Memory.h"
#include "platform/Platform.h"
#include "storage/BlockSource.h"
#include "storage/DiskList.h"
#include "storage/ImageFiles.h"
#include "storage/IoTrace.h"
#include "storage/RDrive.h"
#include "storage/SDrive.h"
#include "storage/SourceKind.h"
#include "storage/VhdDrive.h"
#include "storage/VmdkDrive.h"
#include "storage/VolumeDefinition.h"

Drive* g_currentDrive = nullptr;

namespace {

std::atomic<DriveOpenProbe> g_driveOpenProbe{nullptr};

constexpr WStringView kDevicePrefix = u"\\\\.\\";

bool EndsWithNoCase(WStringView text, WStringView tail) {
  return text.size() >= tail.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

// Splits "device<first:last>". hasExtent is false without a suffix; false
// is returned for a malformed one.
bool SplitExtent(WStringView name, WString* device, bool* hasExtent, uint64_t* first, uint64_t* last) {
  *hasExtent = false;
  *device = WString(name);
  if (name.empty() || name.back() != u'>') return true;
  size_t lt = name.rfind(u'<');
  if (lt == WStringView::npos) return false;
  WStringView inner = name.substr(lt + 1, name.size() - lt - 2);
  size_t colon = inner.find(u':');
  if (colon == WStringView::npos) return false;
  auto parse = [](WStringView digits, uint64_t* out) {
    int64_t v;
    if (!ParseSectorNumber(digits, &v)) return false;
    *out = uint64_t(v);
    return true;
  };
  if (!parse(inner.substr(0, colon), first) || !parse(inner.substr(colon + 1), last) || *first > *last) return false;
  *device = WString(name.substr(0, lt));
  *hasExtent = true;
  return true;
}

WStringView WithoutExtent(WStringView name) {
  if (!name.empty() && name.back() == u'>') {
    size_t lt = name.rfind(u'<');
    if (lt != WStringView::npos) return name.substr(0, lt);
  }
  return name;
}

// The listed whole disk a block-device path is, or null (a partition, a
// dm or md device, an unlisted device, not a block device).
const CPhysDisk* WholeDiskOfPath(WStringView path) {
  if (!IsFullPath(path)) return nullptr;
  struct stat st;
  if (stat(ToUtf8(path).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return nullptr;
  const CPhysDisk* disk = theDiskList().DiskOfDevice(ToUtf8(path));
  if (disk && disk->devMajor == major(st.st_rdev) && disk->devMinor == minor(st.st_rdev)) return disk;
  return nullptr;
}

bool IsListed(const std::vector<WString>& list, const CPhysDisk* disk, WStringView device) {
  for (const WString& entry : list) {
    if (CDrvAttr::SameDriveName(entry, device)) return true;
    if (disk && (CDrvAttr::SameDriveName(entry, FromUtf8(disk->deviceName)) ||
                 CDrvAttr::SameDriveName(entry, FromUtf8(disk->devicePath))))
      return true;
  }
  return false;
}

bool IsPowerOfTwoSectorSize(uint64_t size) { return bool(IsSectorSize(int64_t(size), 65536)); }

}  // namespace

void SetDriveOpenProbe(DriveOpenProbe probe) { g_driveOpenProbe.store(probe); }

// ---- name tests ----

bool Drive::IsRaid(WStringView name) {
  if (name.size() < 5 || name.substr(0, 4) != u"RAID") return false;
  switch (name[4]) {
    case u'(':
    case u'0':
    case u'5':
    case u'6':
      return true;
    case u'Z':
      return name.size() > 5 && (name[5] == u'1' || name[5] == u'2');
    default:
      return false;
  }
}

int Drive::SpanCount(WStringView name) {
  if (!name.starts_with(u"SPAN(")) return 0;
  int members = 0, depth = 0;
  bool inMember = false;
  for (size_t i = 5; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c == u'(') ++depth;
    else if (c == u')') {
      if (depth == 0) break;
      --depth;
    } else if (c == u',' && depth == 0) {
      if (inMember) ++members;
      inMember = false;
      continue;
    }
    inMember = true;
  }
  return members + (inMember ? 1 : 0);
}

bool Drive::IsVhdName(WStringView name) {
  if (name.size() <= 5) return false;
  if (name.starts_with(u"VHD(")) return true;
  return IsFullPath(name) && (EndsWithNoCase(name, u".VHD") || EndsWithNoCase(name, u".VHDX"));
}

bool Drive::IsVmdkName(WStringView name) {
  if (name.size() <= 4) return false;
  if (name.starts_with(u"VMDK(")) return true;
  return IsFullPath(name) && EndsWithNoCase(name, u".VMDK");
}

bool Drive::IsDriveLetter(WStringView name) {
  WStringView device = WithoutExtent(name);
  if (!IsFullPath(device)) return false;
  struct stat st;
  if (stat(ToUtf8(device).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  return WholeDiskOfPath(device) == nullptr;
}

int Drive::PhysicalDriveNumber(WStringView name) {
  WStringView device = WithoutExtent(name);
  int n = ::PhysicalDriveNumber(device);
  if (n >= 0) return n;
  const CPhysDisk* disk = WholeDiskOfPath(device);
  return disk ? disk->DiskNumber() : -1;
}

bool Drive::IsCompound() const { return IsRaid(name_) || SpanCount(name_) > 1; }

// ---- factory ----

Drive* CreateDrive(WStringView name) {
  TRACE_FN("CreateDrive");
  if (name.starts_with(u"RAID")) return new RDrive();
  if (name.starts_with(u"SPAN")) return new SDrive();
  // A virtual disk is read as what its content is; its name breaks a tie.
  switch (VirtualDiskKindOf(name)) {
    case 1: return new VHDDrive();
    case 2: return new VMDKDrive();
    default: return new Drive();
  }
}

void DeleteDrive(Drive** drive) {
  if (!drive || !*drive) return;
  delete *drive;
  *drive = nullptr;
}

// ---- life ----

Drive::Drive() = default;

Drive::~Drive() {
  if (io_) {
    // A reader blocked in the kernel is detached with its own references
    // to the buffer and the descriptor; nothing it uses is freed here.
    io_->Close();
    io_.reset();
  }
  source_.reset();
  if (protectedSource_) theTrace().RemoveProtectedSource(devicePath_);
  if (g_currentDrive == this) g_currentDrive = nullptr;
}

WString Drive::DisplayName() const {
  // A whole disk is named by its device path, which a person can find.
  if (!isImage_ && !devicePath_.empty() && PhysicalDriveNumber(name_) >= 0) return FromUtf8(devicePath_);
  if (!isImage_ && name_.starts_with(kDevicePrefix)) return name_.substr(kDevicePrefix.size());
  return name_;
}

SourceIdentity Drive::Identity() const {
  if (devicePath_.empty()) return SourceIdentity{};
  if (isImage_) return SourceOfImage(devicePath_);
  return SourceOfDevice(devicePath_, extentFirst_ << shift_, sectorCount_ << shift_);
}

void Drive::FailInit() {
  if (io_) {
    io_->Close();
    io_.reset();
  }
  source_.reset();
  if (protectedSource_) {
    theTrace().RemoveProtectedSource(devicePath_);
    protectedSource_ = false;
  }
  throw DvCodeError{0};
}

void Drive::UpdateEndOffset() {
  if (!io_) return;
  uint64_t sectors = extentFirst_ + sectorCount_ + extraSectors_;
  uint64_t end = sectors >= (~0ull >> shift_) ? ~0ull : sectors << shift_;
  io_->SetEndOffset(end);
}

void Drive::SetExtraReadableSectors(uint32_t sectors) {
  extraSectors_ = sectors;
  cacheValid_ = false;
  UpdateEndOffset();
}

void Drive::OpenSource() {
  std::unique_ptr<BlockSource> opened = OpenBlockSource(devicePath_, allowDirect_);
  if (!opened) {
    int e = errno;
    if (!isImage_ && (e == ENOENT || e == ENXIO || e == ENODEV)) {
      // The device has gone (unplugged, renamed by the kernel).
      VErrorMsg(Msg(131).c_str(), DisplayName());
    } else {
      errno = e;
      ErrorMsg(nullptr, DisplayName().c_str());
    }
    throw DvCodeError{0};
  }
  source_ = std::shared_ptr<BlockSource>(std::move(opened));
}

void Drive::InitDrive(WStringView name) {
  TRACE_FN("Drive::InitDrive");
  if (name.empty() || name.size() >= kMaxNameChars) {
    VErrorMsg(Msg(181).c_str(), name);
    throw DvCodeError{0};
  }
  ResetForInit();
  if (traceMft) TracePrintfA("Delvora version %s.%s - Revision %s - Init %s\n", "4", "3", "0", ToUtf8(name));

  WString device;
  bool hasExtent = false;
  uint64_t first = 0, last = 0;
  if (!SplitExtent(name, &device, &hasExtent, &first, &last)) {
    VErrorMsg(Msg(181).c_str(), name);
    throw DvCodeError{0};
  }
  const CPhysDisk* disk = nullptr;
  bool isBlock = false;
  IdentifySource(name, device, &disk, &isBlock);
  // A forced sector size rescales the device's own sectors.
  uint64_t factor = 1, divisor = 1;
  const uint64_t deviceSectors = OpenAndMeasure(device, disk, isBlock, &factor, &divisor);
  SetExtent(name, hasExtent, first, last, factor, divisor, deviceSectors);
  StartReader();
  if (isVolume_) ReadVolumeDeviceFacts(deviceSectors);
  retryPiece_ = kRetryPiece;
}

void Drive::ResetForInit() {
  if (io_) {  // opened before: start afresh
    io_->Close();
    io_.reset();
  }
  source_.reset();
  if (protectedSource_) theTrace().RemoveProtectedSource(devicePath_);
  protectedSource_ = false;
  zfsLabelSeen = 0;
  transferSize_ = kTransferSize;
  cacheValid_ = false;
  isImage_ = isVolume_ = sizeUnknown_ = forced512_ = forced4K_ = false;
  diskNumber_ = -1;
  extentFirst_ = 0;
  sectorCount_ = 0;
  consecutiveErrors_ = totalErrors_ = errorsAtCache_ = 0;
  firstErrorSector_ = -1;
}

void Drive::IdentifySource(WStringView name, const WString& device, const CPhysDisk** disk, bool* isBlock) {
  if (::PhysicalDriveNumber(device) >= 0) {
    *disk = theDiskList().FindDisk(WStringView(device));
    if (!*disk) {
      VErrorMsg(Msg(149).c_str(), device);
      throw DvCodeError{0};
    }
    name_ = WString(kDevicePrefix) + FromUtf8((*disk)->deviceName);
    devicePath_ = (*disk)->devicePath;
    diskNumber_ = (*disk)->DiskNumber();
    *isBlock = true;
  } else if (IsFullPath(device)) {
    std::string path = ToUtf8(device);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      ErrorMsg(nullptr, device.c_str());
      throw DvCodeError{0};
    }
    name_ = device;
    devicePath_ = path;
    if (S_ISBLK(st.st_mode)) {
      *isBlock = true;
      *disk = theDiskList().DiskOfDevice(path);
      if (*disk && (*disk)->devMajor == major(st.st_rdev) && (*disk)->devMinor == minor(st.st_rdev)) {
        diskNumber_ = (*disk)->DiskNumber();
      } else {
        isVolume_ = true;
      }
    } else if (S_ISREG(st.st_mode)) {
      isImage_ = true;
    } else if (S_ISDIR(st.st_mode)) {
      VErrorMsg(u"%s is a folder, not a disk or an image file.", name);
      throw DvCodeError{0};
    } else {
      // A FIFO, a socket or a character device (/dev/null) has no sectors.
      VErrorMsg(u"%s is not a disk or an image file.", name);
      throw DvCodeError{0};
    }
  } else {
    VErrorMsg(Msg(181).c_str(), name);
    throw DvCodeError{0};
  }
}

uint64_t Drive::OpenAndMeasure(const WString& device, const CPhysDisk* disk, bool isBlock, uint64_t* factor,
                               uint64_t* divisor) {
  // Open first: the device itself says best what its sectors are.
  allowDirect_ = isBlock;
  uint32_t native = isImage_ ? 512 : (disk && IsPowerOfTwoSectorSize(disk->sectorSize) ? disk->sectorSize : 512);
  const std::vector<WString>* forced = g_appState ? g_appState->forcedDevices : nullptr;
  if (isBlock && forced && native != 512 && IsListed(forced[0], disk, device)) allowDirect_ = false;
  OpenSource();
  DeviceFacts facts;
  const bool haveFacts = source_->GetFacts(&facts);
  if (isBlock && haveFacts && IsPowerOfTwoSectorSize(facts.logicalSectorSize)) native = facts.logicalSectorSize;

  uint32_t sectorSize = native;
  if (isBlock && forced) {
    if (native != 512 && IsListed(forced[0], disk, device)) {
      forced512_ = true;
      *factor = native / 512;
      sectorSize = 512;
    } else if (native != 4096 && native < 4096 && IsListed(forced[1], disk, device)) {
      forced4K_ = true;
      *divisor = 4096 / native;
      sectorSize = 4096;
    }
  }
  if (isBlock && !allowDirect_ && !forced512_) {
    // Listed for 512 but already 512: read directly after all.
    allowDirect_ = true;
    source_.reset();
    OpenSource();
  }
  sectorSize_ = sectorSize;
  shift_ = uint32_t(Log2Exact(sectorSize_));
  sectorsPer4G_ = uint32_t(0x100000000ull / sectorSize_);
  if (traceIo && haveFacts)
    TracePrintfA("Cyl %I64d, Trk %ld, Sec %ld, sector %ld, Total %I64d\n", int64_t(facts.cylinders),
                 int32_t(facts.heads), int32_t(facts.sectorsPerTrack), int32_t(sectorSize_),
                 int64_t(facts.sizeBytes / sectorSize_));

  // Size of the whole device, in the drive's sectors.
  uint64_t deviceSectors = 0;
  if (isImage_) {
    // An image the registry does not know yet is registered now, so it
    // opens with its real size.
    CImgFile& images = theImageFiles();
    if (images.Find(name_) < 0 && images.AddW(name_) != 0) FailInit();
    deviceSectors = (images.GetSize(name_) + 511) / 512;
  } else if (haveFacts) {
    deviceSectors = facts.sizeBytes / sectorSize_;
  } else if (disk && !isVolume_) {
    deviceSectors = disk->sectorCount * native / sectorSize_;
  } else {
    sizeUnknown_ = true;
  }
  if (disk && !isVolume_) defaultBootSector_ = disk->defaultBootSector;

  if (sizeUnknown_) {
    deviceSectors = GetVolumeSize(*source_, sectorSize_);
    if (deviceSectors == 0) {
      ErrorMsg(Msg(298));
      FailInit();
    }
    sizeUnknown_ = false;
  }
  return deviceSectors;
}

void Drive::SetExtent(WStringView name, bool hasExtent, uint64_t first, uint64_t last, uint64_t factor,
                      uint64_t divisor, uint64_t deviceSectors) {
  if (hasExtent) {
    // The suffix counts sectors of the device as it is; a forced size
    // rescales them, keeping whole device sectors.
    uint64_t f = first, l = last;
    if (factor > 1) {
      if (f > uint64_t(INT64_MAX) / factor || l >= uint64_t(INT64_MAX) / factor) {
        VErrorMsg(Msg(181).c_str(), name);
        FailInit();
      }
      f *= factor;
      l = (l + 1) * factor - 1;
    } else if (divisor > 1) {
      f /= divisor;
      l = (l + divisor) / divisor - 1;
    }
    if (f >= deviceSectors) {
      VErrorMsg(Msg(181).c_str(), name);
      FailInit();
    }
    if (l >= deviceSectors) {
      if (traceIo) TracePrintfA("Extent end %I64d cut to the device end %I64d\n", int64_t(l), int64_t(deviceSectors - 1));
      l = deviceSectors - 1;
    }
    extentFirst_ = f;
    sectorCount_ = l - f + 1;
  } else {
    extentFirst_ = 0;
    sectorCount_ = deviceSectors;
  }
}

void Drive::StartReader() {
  try {
    io_ = std::make_unique<IOThread>(source_, sectorSize_, transferSize_);
  } catch (const DvCodeError&) {
    FailInit();
  }
  UpdateEndOffset();
  io_->SetDisplayName(DisplayName());
  theTrace().AddProtectedSource(devicePath_);
  protectedSource_ = true;
}

void Drive::ReadVolumeDeviceFacts(uint64_t deviceSectors) {
  uint8_t* data = ReadSectors(0, 8 * sectorSize_, kRetryPiece, nullptr, true);
  if (!data || data == kReadStarted) FailInit();
  DriveOpenFacts facts;
  const DriveOpenProbe probe = g_driveOpenProbe.load();
  if (probe && probe(*this, data, 8 * sectorSize_, &facts)) {
    if (facts.recentlyFormatted) recentlyFormatted = 1;
    // The device size is exact here: a larger total can only be a damaged
    // boot sector, so it never reaches past the device.
    const uint64_t room = deviceSectors - extentFirst_;
    if (facts.totalSectors > sectorCount_) {
      sectorCount_ = std::min(facts.totalSectors, room);
      cacheValid_ = false;
      UpdateEndOffset();
    }
  }
}

void Drive::ReOpenDevice() {
  TRACE_FN("Drive::ReOpenDevice");
  OpenSource();
  if (io_) io_->SetSource(source_);
}

uint32_t Drive::HostSectorSize() const {
  if (!isImage_) return sectorSize_;
  const int size = plat::PathSectorSize(devicePath_);
  return size > 0 ? uint32_t(size) : 0;
}

bool Drive::ForceSectorSize(uint32_t bytes) {
  TRACE_FN("Drive::ForceSectorSize");
  if ((bytes != 512 && bytes != 4096) || !io_) return false;
  if (bytes == sectorSize_) {
    forced512_ = bytes == 512;
    forced4K_ = bytes == 4096;
    return true;
  }
  const uint64_t oldBytes = sectorSize_;
  const uint64_t byteFirst = extentFirst_ * oldBytes;
  const uint64_t byteCount = sectorCount_ * oldBytes;
  const uint64_t first = (byteFirst + bytes - 1) / bytes;
  const uint64_t end = (byteFirst + byteCount) / bytes;
  if (end <= first) return false;
  io_->Close();
  io_.reset();
  source_.reset();
  sectorSize_ = bytes;
  shift_ = uint32_t(Log2Exact(bytes));
  sectorsPer4G_ = uint32_t(0x100000000ull / sectorSize_);
  extentFirst_ = first;
  sectorCount_ = end - first;
  forced512_ = bytes == 512;
  forced4K_ = bytes == 4096;
  if (forced512_) allowDirect_ = false;
  cacheValid_ = false;
  OpenSource();
  try {
    io_ = std::make_unique<IOThread>(source_, sectorSize_, transferSize_);
  } catch (const DvCodeError&) {
    FailInit();
  }
  UpdateEndOffset();
  io_->SetDisplayName(DisplayName());
  if (exclusions_) io_->SetExclusions(exclusions_);
  if (traceIo) TracePrintfA("Sector size forced to %ld, %I64d sectors\n", int32_t(sectorSize_), int64_t(sectorCount_));
  return true;
}

void Drive::CloseDevice() {
  TRACE_FN("Drive::CloseDevice");
  if (io_ && io_->Pending() && pendingDirect_) {
    // Reading into a caller's buffer: never dropped, the thread would write
    // into memory the caller may free.
    io_->WaitForIO();
  }
  if (io_ && io_->Pending()) {
    if (g_appState && g_appState->stopRequested.load()) io_->WaitForIOFor(500);
    // Still reading: the request is dropped. Its round keeps its own
    // reference to the source, so the descriptor closes when it returns.
    if (!io_->WaitForIOFor(0)) io_->Abandon();
  }
  if (traceIo) TracePrintfA("Drive Closing =%08x %s\n", source_ ? source_->Descriptor() : -1, ToUtf8(name_));
  if (io_) io_->SetSource(nullptr);
  source_.reset();
  cacheValid_ = false;
}

void Drive::HookExclusiveRanges(const CDrvAttr& attributes) {
  auto set = std::make_shared<CSectRanges>();
  if (attributes.CopyExclusions(isImage_ ? name_ : DisplayName(), set.get())) SetExclusionSet(std::move(set));
}

void Drive::SetExclusionSet(std::shared_ptr<CSectRanges> set) {
  exclusions_ = std::move(set);
  if (io_) io_->SetExclusions(exclusions_);
  cacheValid_ = false;
}

void Drive::SourceChanged() {
  cacheValid_ = false;
  consecutiveErrors_ = totalErrors_ = errorsAtCache_ = 0;
  firstErrorSector_ = -1;
  excludedFills_ = 0;
}

void Drive::SetFilter(WStringView patterns, const WString* second) {
  filter_ = std::make_unique<PatternList>();
  filter_->Set(patterns);
  if (filter_->IsEmpty()) filter_.reset();
  secondFilter_.reset();
  secondText_.reset();
  if (second) {
    secondText_ = std::make_unique<WString>(*second);
    if (second->find_first_of(u"*?") != WString::npos) {
      secondFilter_ = std::make_unique<PatternList>();
      secondFilter_->Set(*second);
      if (secondFilter_->IsEmpty()) secondFilter_.reset();
    }
  }
}

void Drive::FixSize(uint32_t bytes) {
  if (bytes < sectorSize_) bytes = sectorSize_;
  transferSize_ = bytes;
  if (io_) io_->Resize(bytes);
  cacheValid_ = false;
}

uint32_t Drive::DefaultBootSector() const {
  return (diskNumber_ >= 0 && !isVolume_ && !isImage_) ? defaultBootSector_ : 0;
}

void Drive::ReleaseBuffers() {
  secondText_.reset();
  SetExclusionSet(nullptr);
  covered_.reset();
  filter_.reset();
  secondFilter_.reset();
}

void Drive::AddNodeRanges(const NodeRun* runs, size_t count, int64_t volumeStartSector, uint32_t unit, bool flatten,
                          uint64_t firstByte, uint64_t limitByte) {
  if (!runs || unit == 0 || volumeStartSector < 0) return;
  if (!covered_) {
    covered_ = std::make_unique<CSectRanges>();
    covered_->SetDomain(0, sectorCount_ << shift_);
  }
  uint64_t base;
  if (__builtin_mul_overflow(uint64_t(volumeStartSector), uint64_t(sectorSize_), &base)) return;
  uint64_t fileOffset = 0;
  for (size_t i = 0; i < count && fileOffset < limitByte; ++i) {
    uint64_t bytes;
    if (__builtin_mul_overflow(runs[i].length, uint64_t(unit), &bytes)) return;
    const uint64_t runStart = fileOffset;
    if (__builtin_add_overflow(fileOffset, bytes, &fileOffset)) return;
    if (runs[i].position < 0) continue;  // a hole
    const uint64_t a = std::max(runStart, firstByte);
    const uint64_t b = std::min(fileOffset, limitByte);
    if (a >= b) continue;
    uint64_t at, start;
    if (__builtin_mul_overflow(uint64_t(runs[i].position), uint64_t(unit), &at) ||
        __builtin_add_overflow(base, at, &start) || __builtin_add_overflow(start, a - runStart, &start) ||
        start + (b - a) < start)
      continue;
    covered_->AddRange(start, start + (b - a));
  }
  if (flatten) covered_->MakeArrayFromTree();
}

std::vector<const CPhysDisk*> Drive::ListMembers(std::vector<WString>* displayNames) const {
  std::vector<const CPhysDisk*> members;
  const CPhysDisk* disk = nullptr;
  if (diskNumber_ >= 0) disk = theDiskList().Disk(size_t(diskNumber_));
  else if (isVolume_) disk = theDiskList().DiskOfDevice(devicePath_);
  if (!disk) return members;
  members.push_back(disk);
  if (displayNames) displayNames->push_back(disk->GetDisplayName());
  if (traceMft) TracePrintfA("Disk %d - %s - %s\n", disk->DiskNumber(), ToUtf8(disk->model), ToUtf8(disk->serial));
  return members;
}

// ---- reading ----

uint8_t* Drive::ReadSectors(int64_t sector, uint32_t bytes, uint32_t retryPiece, void* buffer, bool wait) {
  if (sector < 0) {
    VErrorMsg(Msg(362).c_str(), sector);
    return nullptr;
  }
  if (!io_) {
    VErrorMsg(Msg(181).c_str(), DisplayName());
    return nullptr;
  }
  if (io_->Pending()) FinishRead();
  if (bytes == 0) return buffer ? static_cast<uint8_t*>(buffer) : io_->Data();
  if (bytes > io_->BufferSize()) {
    VErrorMsg(u"A read of %u bytes is larger than the transfer size of %u bytes.", bytes, io_->BufferSize());
    return nullptr;
  }
  if (!source_) ReOpenDevice();
  const uint64_t sectors = (uint64_t(bytes) + sectorSize_ - 1) >> shift_;
  if (traceIo) {
    theIoTrace().LogOp11(6, bytes, sector);
    if (traceDriveIo) TracePrintfA("Read %ld sects @ %d %I64d\n", int32_t(sectors), int32_t(0), sector);
  }

  // The cache: the last request read without a caller's buffer.
  const uint64_t end = sectorCount_ + extraSectors_;
  const uint64_t s = uint64_t(sector);
  if (s < end && sectors <= end - s && CacheHolds(s, bytes)) {
    uint8_t* data = io_->Data() + ((s - cacheFirst_) << shift_);
    if (traceIo) {
      TracePrintfA("%ld bytes already in buffer\n", int32_t(bytes));
      theIoTrace().RecordRead(sector, bytes, sectorSize_, data);
    }
    if (!buffer) return data;
    memcpy(buffer, data, bytes);
    return static_cast<uint8_t*>(buffer);
  }

  uint64_t absolute;
  if (__builtin_add_overflow(extentFirst_, s, &absolute) || absolute > (uint64_t(INT64_MAX) >> shift_)) {
    // Beyond any device: zeros, as past the end.
    absolute = uint64_t(INT64_MAX) >> shift_;
  }
  // In a bad area, after two failed requests in a row, no split retries:
  // a run of bad sectors then costs one failed read per request.
  if (consecutiveErrors_ > 1 && absolute == nextExpectedSector_) retryPiece = bytes;
  nextExpectedSector_ = absolute + sectors;
  cacheValid_ = false;
  pendingBuffer_ = buffer;
  pendingFirst_ = s;
  pendingBytes_ = bytes;
  // A caller who waits gets the bytes straight into its buffer (aligned for
  // direct reads), saving a copy; a started read goes through the thread's
  // buffer, since its caller may close the drive before taking it (unless
  // the caller said it keeps the buffer).
  pendingDirect_ = buffer && (wait || startedDirect_) && (reinterpret_cast<uintptr_t>(buffer) & (sectorSize_ - 1)) == 0;
  if (traceIo) theIoTrace().LogOp11(7, bytes, int64_t(absolute));
  if (!io_->Submit(absolute << shift_, bytes, retryPiece, pendingDirect_ ? static_cast<uint8_t*>(buffer) : nullptr)) {
    VErrorMsg(Msg(181).c_str(), DisplayName());
    return nullptr;
  }
  if (!wait) return kReadStarted;
  return Complete();
}

uint8_t* Drive::FinishRead() {
  if (!io_ || !io_->Pending()) return nullptr;
  return Complete();
}

uint8_t* Drive::Complete() {
  if (io_->WaitForIO() != 0) throw DvCodeError{0};
  if (io_->ReadError()) {
    ++consecutiveErrors_;
    if (totalErrors_++ == 0) firstErrorSector_ = int64_t(pendingFirst_);
  } else {
    consecutiveErrors_ = 0;
  }
  if (io_->BitmapDirty(kBitmapExc)) ++excludedFills_;
  if (io_->Result() == kIoPastEnd) ++pastEndFills_;
  uint8_t* data = pendingDirect_ ? static_cast<uint8_t*>(pendingBuffer_) : io_->Data();
  const uint32_t bytes = pendingBytes_;
  bytesRead_.fetch_add(bytes, std::memory_order_relaxed);
  if (traceIo) {
    const int32_t mode = sectorTraceMode.load();
    if (mode == 9999)
      WriteTraceSectors(int64_t(pendingFirst_), bytes, sectorSize_, data, "dsk", replayMember[0], replayMember[1]);
    else if (mode == 9998)
      ReadTraceSectors(int64_t(pendingFirst_), bytes, sectorSize_, data, replayMember[0], replayMember[1]);
  }
  if (g_appState && !g_appState->simulatedReadFolder.empty()) {
    // Replaying saved sectors: past the drive's end there is nothing saved.
    const uint64_t end = sectorCount_ + extraSectors_;
    if (pendingFirst_ >= end) {
      memset(data, 0, bytes);
    } else {
      uint64_t inside = std::min<uint64_t>(bytes, (end - pendingFirst_) << shift_);
      ReadTraceSectors(int64_t(pendingFirst_), size_t(inside), sectorSize_, data, replayMember[0], replayMember[1]);
      if (inside < bytes) memset(data + inside, 0, bytes - inside);
    }
  }
  // The trace keeps the source's bytes: after a replay, before the swap.
  if (traceIo) theIoTrace().RecordRead(int64_t(pendingFirst_), bytes, sectorSize_, data);
  if (g_appState && g_appState->swapByteOrder) {
    for (uint32_t i = 0; i + 4 <= bytes; i += 4) {
      std::swap(data[i], data[i + 3]);
      std::swap(data[i + 1], data[i + 2]);
    }
  }
  if (!pendingBuffer_) {
    // Data patched with zeros for a read error is not kept: the next read
    // of these sectors tries the medium again.
    if (!io_->ReadError()) {
      cacheValid_ = true;
      cacheFirst_ = pendingFirst_;
      cacheSectors_ = bytes >> shift_;
      errorsAtCache_ = totalErrors_;
    }
    return data;
  }
  if (!pendingDirect_) memcpy(pendingBuffer_, data, bytes);
  return static_cast<uint8_t*>(pendingBuffer_);
}

// ---- safety of destinations ----

bool Drive::IsSafeVolume(WStringView destinationPath) {
  return IsDestinationSafe(ToUtf8(destinationPath), Identity());
}

bool Drive::IsSafeDrive(int diskNumber) { return IsDiskSafe(diskNumber, Identity()); }

// ---- helpers ----

uint64_t GetVolumeSize(BlockSource& source, uint32_t sectorSize) {
  TRACE_FN("GetVolumeSize");
  if (!IsPowerOfTwoSectorSize(sectorSize)) return 0;
  void* raw = AlignedAlloc(sectorSize);
  if (!raw) ShowErrorAndThrow();
  std::unique_ptr<void, void (*)(void*)> buffer(raw, AlignedFree);
  auto readable = [&](uint64_t sector) {
    if (sector > (uint64_t(INT64_MAX) / sectorSize)) return false;
    if (traceIo) TracePrintfA("Read %ld byte @ eff %I64d\n", int32_t(sectorSize), int64_t(sector * sectorSize));
    return source.ReadAt(raw, sectorSize, sector * sectorSize) == int64_t(sectorSize);
  };
  // Sectors [0, lo) are taken as readable; hi, once known, is the first
  // sector taken as unreadable. The search ends when they meet.
  const uint64_t maxSector = uint64_t(INT64_MAX) / sectorSize;
  uint64_t lo = 0, hi = 0;
  bool haveHi = false;
  uint64_t pos = 0;
  for (int rounds = 0; rounds < 4096; ++rounds) {
    if (haveHi && hi <= lo) break;
    bool ok = readable(pos);
    uint64_t hit = pos;
    // A lone bad sector must not end the search: the next 64-sector steps
    // are tried before the position is taken as the end.
    for (uint64_t t = 1; !ok && t <= 3; ++t) {
      const uint64_t next = pos + 64 * t;
      if ((haveHi && next >= hi) || next > maxSector) break;
      if (readable(next)) {
        ok = true;
        hit = next;
      }
    }
    if (ok) {
      lo = std::max(lo, hit + 1);
    } else {
      haveHi = true;
      hi = pos;
    }
    if (haveHi) {
      if (hi <= lo) break;
      pos = lo + (hi - lo) / 2;
    } else {
      if (hit >= maxSector) break;
      pos = hit == 0 ? 1 : std::min(hit * 2, maxSector);
    }
  }
  return lo;
}
