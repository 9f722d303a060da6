#include "filesystems/ext/RawRecovery.h"

#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "carving/CarvedNames.h"
#include "carving/OfficeProps.h"
#include "carving/TextHelpers.h"
#include "carving/Zip.h"
#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/ExtVolume.h"
#include "filesystems/ext/IndirectBlocks.h"
#include "filesystems/ext/LongScan.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Messages.h"
#include "foundation/TimeUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeSearch.h"

using namespace ext;

namespace {

// The ZIP parser corrects the size of files up to this size.
constexpr uint64_t kZipSizingLimit = uint64_t(1) << 30;
constexpr uint32_t kPieceBytes = 0x100000;

uint32_t NowUnix() { return uint32_t(std::time(nullptr)); }

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

bool IsCamera(int type) { return type == kTypeCr2 || type == kTypeJpg || type == kTypeNef || type == kTypeTif; }
bool IsZipKind(int type) { return type == kTypeDocx || type == kTypePptx || type == kTypeXlsx || type == kTypeZip; }

// The node's file through its volume, in pieces, to the ZIP parser: the size
// it finds, 0 when it finds none.
uint64_t ZipSize(CExt3Vol& v, UnixNode& node) {
  HdrZIP zip;
  zip.Reset();
  std::vector<uint8_t> piece(kPieceBytes);
  uint64_t at = 0;
  while (at < node.size) {
    const uint64_t want = std::min<uint64_t>(node.size - at, kPieceBytes);
    uint32_t corrupt = 0;
    const int64_t got = v.ReadFileData(at, want, piece.data(), piece.size(), node.List(), node.listLength, &corrupt);
    if (got <= 0) return 0;
    const int r = zip.Parse(piece.data(), size_t(got));
    if (r == 1) return zip.size;
    if (r < 0) return 0;
    at += uint64_t(got);
  }
  return 0;
}

}  // namespace

ExtRawRecovery::ExtRawRecovery(const RawRecoveryOptions& o, Drive* drive) : drive_(drive) {
  if (!drive || o.sectorSize <= 0 || o.sectorSize > 65536 || o.blockSize <= 0 || o.blockSize > 65536 ||
      o.volumeStartSector < 0 || o.volumeSize <= 0 || o.fragmentsPerBlock < 0 || o.fragmentsPerBlock > 64)
    return;
  auto v = std::make_unique<CExt3Vol>();
  v->drive = drive;
  sectorSize_ = uint32_t(o.sectorSize);
  if (!InitRawExtVolume(v.get(), sectorSize_, o.volumeStartSector, uint64_t(o.volumeSize), uint32_t(o.blockSize),
                        uint32_t(o.fragmentsPerBlock)))
    return;
  volume_ = std::move(v);
}

ExtRawRecovery::~ExtRawRecovery() = default;

bool ExtRawRecovery::ReadVolumeBlock(uint64_t block, uint8_t* out) {
  CExt3Vol* v = Volume();
  if (!v || block >= v->totalBlocks) return false;
  return v->ReadUnits(block, 1, out);
}

int ExtRawRecovery::RawProc(ScanSink& engine, const uint8_t* data, uint64_t bytesLeft, uint8_t type, int64_t sector) {
  CExt3Vol* v = Volume();
  if (!v || !drive_) return 0;
  if (traceUnixFsA)
    TracePrintfA("RawProc nSize %ld - checkHdr %d - nSect %I64d\n", int32_t(bytesLeft), int32_t(type), sector);
  const uint32_t bs = v->clusterSize;
  // The header starts a block of the volume (its start and the header in
  // drive sectors, as the volume reads them).
  if (sector < int64_t(v->startSector)) return 0;
  const uint32_t ds = drive_->SectorSize() ? drive_->SectorSize() : sectorSize_;
  const unsigned __int128 byte = (unsigned __int128)(uint64_t(sector) - v->startSector) * ds;
  if (byte % bs) return 0;
  const uint64_t first = uint64_t(byte / bs);
  if (first + kRawIndirectIndex >= v->totalBlocks) return 0;
  // The 13th block is the indirect block.
  std::vector<uint8_t> indirect(bs);
  const uint64_t indirectBlock = first + kRawIndirectIndex;
  if (bytesLeft >= uint64_t(kRawIndirectIndex + 1) * bs) {
    memcpy(indirect.data(), data + size_t(kRawIndirectIndex) * bs, bs);
  } else if (!ReadVolumeBlock(indirectBlock, indirect.data())) {
    return 0;
  }
  uint32_t used = 0;
  const bool isIndirect = IsIndirectBlock(indirect.data(), bs, v->totalBlocks, 1, &used);
  if (traceUnixFsA) TracePrintfA("CheckIndirectBlk rc %ld - nUsedPtrCnt %ld\n", int32_t(isIndirect), int32_t(used));
  if (!isIndirect) return 0;
  uint8_t list[kInodeBlockAreaBytes] = {};
  for (uint32_t i = 0; i <= kRawIndirectIndex; ++i) PutLe32(list + 4 * i, uint32_t(first + i));
  const uint32_t perBlock = bs / 4;
  uint64_t blocks = kRawIndirectIndex + used;
  if (used == perBlock) {
    // A full indirect block: the double-indirect block follows the data it
    // maps.
    const uint32_t last = Le32(indirect.data() + 4 * (perBlock - 1));
    const uint64_t doubleBlock = uint64_t(last) + 1;
    if (traceUnixFsA) TracePrintfA("Reading dbl indirect block # %ld\n", int32_t(doubleBlock));
    std::vector<uint8_t> dbl(bs);
    uint32_t entries = 0, lastUsed = 0, lastBlock = 0;
    const bool ok = doubleBlock < v->totalBlocks && ReadVolumeBlock(doubleBlock, dbl.data()) &&
                    v->CheckDoubleIndirect(dbl.data(), &entries, &lastUsed, &lastBlock);
    if (traceUnixFsA) TracePrintfA("CheckDoubleIndirectBlk rc %ld\n", int32_t(ok));
    if (ok) {
      PutLe32(list + 4 * kDoubleIndirect, uint32_t(doubleBlock));
      if (traceUnixFsA) TracePrintfA("nLastBlkNum %ld - nUsedPtrCnt %ld\n", int32_t(lastBlock), int32_t(lastUsed));
      // 12 direct, the full indirect block's, and those of the double's.
      blocks = kRawIndirectIndex + uint64_t(entries) * perBlock + lastUsed;
    }
  }
  auto* node = static_cast<UnixNode*>(CreateExtNode());
  if (!node) return 1;
  cnode* holder = node;
  node->size = blocks * bs;
  if (!node->SetList(list, kInodeBlockAreaBytes)) {
    DeleteNode(&holder);
    return 1;
  }
  // Name, folder and time by type.
  int kind = type;
  const size_t head = size_t(std::min<uint64_t>(bytesLeft, 512));
  if (kind == kTypeTif) kind = ClassifyTiffKind(data, size_t(std::min<uint64_t>(bytesLeft, bs)));
  WString dateFolder;
  uint32_t time = NowUnix();
  if (IsCamera(kind) || IsCamera(type)) {
    const char* date = FindExifDateTime(data, head);
    std::string day = date ? std::string(date, 10) : std::string("0000:00:00");
    if (date) {
      const uint64_t t = DateTextToFileTime(std::string_view(date, 19));
      if (t) time = uint32_t(FileTimeToUnixTime(t));
    }
    day[4] = day[7] = '-';
    dateFolder = FromUtf8(day);
  }
  WString name;
  // The node's volume reads the file for the ZIP kinds.
  CExt3Vol* shownOn = v;
  node->volumeIndex = kNoVolume;
  if (type == kTypeZip) {
    OfficeProps props;
    v->SetNodeClusterCode(node);
    ReadOfficeXmlProps(v, node, node->size, &props);
    if (props.refinedType) {
      kind = props.refinedType;
      const time_t seconds = time_t(FileTimeToUnixTime(props.fileTime));
      struct tm day {};
      if (gmtime_r(&seconds, &day)) {
        time = uint32_t(seconds);
        name = FormatW(u"%04d-%02d-%02d_%06d.%s", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday,
                       int32_t(++counters_[kind & 31]), WString(FileTypeExtension(kind)));
        dateFolder = props.name + FormatW(u"\\%04d-%02d", day.tm_year + 1900, day.tm_mon + 1);
      }
    }
  }
  if (name.empty()) name = FormatW(u"%06d.%s", int32_t(++counters_[kind & 31]), WString(FileTypeExtension(kind)));
  const WString ext(FileTypeExtension(kind));
  WString folder = u"\\" + Msg(15) + u"\\" + ext + u"\\";
  if (!dateFolder.empty()) folder += dateFolder + u"\\";
  if (traceUnixFsA) {
    TracePrintfW(u"RawProc. Found \"%s\"\n", folder + name);
    TracePrintfA("RawProc. Computed size = %I64d\n", int64_t(node->size));
  }
  // The first file puts the volume into the drive's table (the one there
  // already when it is the same).
  if (!shown_) {
    int32_t index = -1;
    CExt3Vol* own = volume_.get();
    if (AddVolume(*drive_, own, 0, &index)) {
      shown_ = own;
      volume_.release();
    } else if (index >= 0) {
      shown_ = dynamic_cast<CExt3Vol*>(VolumeAt(*drive_, uint32_t(index)));
      if (!shown_) {
        DeleteNode(&holder);
        return 1;
      }
      volume_.reset();
    } else {
      DeleteNode(&holder);
      return 1;
    }
    shown_->engine = &engine;
  }
  shownOn = shown_;
  node->volumeIndex = shownOn->volumeNumber;
  node->typeIndex = uint8_t(kind);
  node->modifyTime = time;
  node->flags |= kNodeDeleted;
  shownOn->SetNodeClusterCode(node);
  if (IsZipKind(kind) && node->size <= kZipSizingLimit) {
    if (const uint64_t size = ZipSize(*shownOn, *node); size && size <= node->size) node->size = size;
  }
  node->name = engine.Nodes().InternName(name);
  int64_t index = -1;
  cnode* stored = engine.AddNewNode(node, false, &index);
  if (!stored) return 1;
  ++listed_;
  if (traceUnixFsA) TracePrintfW(u"Recover %s\n", folder + name);
  stored->flags |= kNodeHandedOver;
  engine.CountStat(kStatItemsFound);
  engine.StoreFileItem(WString(shownOn->driveLetter), folder, index);
  return 1;
}

std::unique_ptr<IndirectBlockList> MakePointerBlockList(const PointerBlockOptions& o) {
  if (o.blockSize <= 0 || o.blockSize > 65536 || o.sectorSize < 0 || o.sectorSize > 65536) return nullptr;
  auto list = std::make_unique<IndirectBlockList>(uint32_t(o.sectorSize ? o.sectorSize : 512), o.volumeStartSector,
                                                  uint64_t(std::max<int64_t>(0, o.volumeSize)), uint32_t(o.blockSize),
                                                  uint32_t(std::max<int64_t>(0, o.fragmentsPerBlock)),
                                                  uint32_t(std::max<int64_t>(0, o.minimumTripleEntries)));
  if (!o.indirectList.empty()) {
    if (!list->LoadFromFile(o.indirectList)) {
      ShowMessage(kMbOk | kMbIconError, u"%s", LastErrorText());
      return nullptr;
    }
    ShowMessage(kMbOk | kMbIconInformation, u"%ld block numbers read.", int32_t(list->Numbers().size()));
  }
  return list;
}

int ExtTakeCarvedHit(ScanSink& engine, Drive* drive, const uint8_t* sector, uint64_t bytesLeft, uint8_t type,
                     int64_t position) {
  ExtRunState& run = ExtRun(engine);
  if (!run.rawChecked) {
    run.rawChecked = true;
    const AppState& options = engine.Options();
    if (options.rawRecovery && drive) {
      auto raw = std::make_shared<ExtRawRecovery>(*options.rawRecovery, drive);
      if (raw->Usable()) {
        if (options.pointerBlockScanner) raw->pointerBlocks = MakePointerBlockList(*options.pointerBlockScanner);
        run.raw = std::move(raw);
      }
    }
  }
  if (!run.raw || type >= kFileTypeCount) return 0;
  return run.raw->RawProc(engine, sector, bytesLeft, type, position);
}
