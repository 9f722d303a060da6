// The one settings and state object: platform facts found at start-up, the
// run-control bytes the user interface sets and the scanners poll, the
// values of the special options file and a few owned helpers.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/FileFilter.h"
#include "platform/Text.h"

class ViewSink;

// Geometry of a raw Unix recovery ("Unix Raw Recovery" section); the file
// systems' raw recovery object is made from it.
struct RawRecoveryOptions {
  int64_t sectorSize = 512, blockSize = 0, volumeStartSector = 0, volumeSize = 0, fragmentsPerBlock = 0;
  WString saveTo;  // ends in "/"
};

// "Ext Pointer Blocks" section: the pointer-block scanner's settings.
struct PointerBlockOptions {
  int64_t sectorSize = 0, blockSize = 0, volumeStartSector = 0, volumeSize = 0, fragmentsPerBlock = 0,
          minimumTripleEntries = 0;
  WString indirectList;
};

struct SkipMapOption {
  WString file;
};

struct SegmentProfileOptions {
  int64_t firstSector = 0, segmentSizeInSectors = 0, blockSizeInSectors = 0, volumeModulo = 0;
};

struct VhdBitmapOptions {
  int64_t minimumChainLength = 0, padding = 0;
};

struct CheckpointOptions {
  WString file;
  int64_t frequency = 0;
};

struct Md5Output {
  int64_t segmentSize = 0;
  WString file;
};

class AppState {
 public:
  AppState();
  ~AppState();
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // A zero-filled scratch region of at least size bytes, grown in steps of
  // 65536; valid until the next call. Throws through ShowErrorAndThrow.
  uint8_t* GetReadBuffer(size_t size);
  size_t readBufferSize() const { return readBufferSize_; }
  void RememberFolder(WStringView path, int slot);
  int IsListedFileWithSize(WStringView fileName, int64_t* size) const;
  void ResetSkipMaps();
  void FreeOwnedObject();
  void SetDefaultFolder();

  // ---- language and tables ----
  uint8_t language = 0;
  std::array<uint8_t, 8> columnOrder{0, 1, 2, 3, 4, 5, 6, 7};
  std::array<int16_t, 9> statusWordIds{0, 155, 162, 328, 329, 231, 200, 0, 0};
  std::array<uint8_t, 8> statusOrder{};  // sort rank of the Status column; zero for English
  std::array<uint8_t, 256> fileNameCharOk{};
  char languageCode[3] = {'e', 'n', 0};
  WString languageCodeW = u"en";

  // ---- run control (written by the user interface, polled by workers) ----
  std::atomic<uint8_t> scanFlag{1};  // bit 0 list deleted entries, bit 1 list existing ones
  std::atomic<uint8_t> stopRequested{0};
  std::atomic<uint8_t> pauseRequested{0};
  std::atomic<uint8_t> runFlag2{0};
  std::atomic<uint8_t> runFlag3{0};
  std::atomic<uint8_t> skipDeleted{0};
  std::atomic<uint8_t> skipHeaders{0};
  std::atomic<int32_t> busyFlag{0};
  int32_t searchFirst = 0;
  uint32_t searchLimit = 2147483647;
  void* sendObj = nullptr;  // the engine's hand-over of the current run
  ViewSink* view = nullptr;

  // ---- platform facts ----
  WString programName;
  int32_t defaultMftRecordSize = 1024;
  int64_t perfFrequency = 0;
  uint32_t platformId = 0, majorVersion = 0, minorVersion = 0;
  int32_t isOldPlatform = 0, isNewPlatform = 0;
  int32_t compositionEnabled = 0;
  WString pendingText;
  WString summaryText;
  int32_t screenDpi = 96;
  double displayScale = 1.0;
  WString thousandsSeparator = u",";
  std::array<WString, 4> lastFolders;  // empty means unset
  WString defaultFolder;
  WString windowsFolder;
  WString tempFolder;
  WString modulePath;
  uint8_t supportOption = 0, verboseDiagnostics = 0, saveToCopy = 0;

  // ---- special options ----
  // Ext Options, in file order.
  int32_t extIgnoreBadPointer = 1, extStartInode = 1, extLastInode = -1, extExitAfterLongScan = 0,
          extScanEt4Only = 0, extScanEt4ClusterSize = 512, extCodePage = 0, ufsKeepLengthAndTypeOrder = 0,
          extSkipSbInodeCountsCheck = 0, extLongScan = 0;
  // XFS Options.
  int32_t xfsLongScan = 0, xfsIgnoreMissingBmap = 0, xfsSpecialShortformDirs = 0, xfsCheckBlockBoundary = 0;
  int32_t hfsLongScan = 0, ignoreSessionLoadErrors = 0;
  std::unique_ptr<std::pair<int64_t, int64_t>> inodeRange;
  int64_t longScanFirstSector = 0, longScanLastSector = 9223372036854775807LL;
  // The Long Scan reads the next chunk while it classifies one (0: one
  // after the other; the results are the same).
  uint8_t longScanOverlap = 1;
  // The threads the Long Scan tests sectors on (0: one a processor, at
  // most 8; 1: the worker alone, every sector tested in sector order). The
  // results are the same with any number.
  uint8_t workThreads = 0;
  std::vector<WString> forcedDevices[2];  // forced to 512-byte (0) and 4096-byte (1) sectors
  std::unique_ptr<RawRecoveryOptions> rawRecovery;
  std::unique_ptr<PointerBlockOptions> pointerBlockScanner;
  WString fileFilterPath;  // "Filter File"
  std::unique_ptr<FileFilter> fileFilter;  // none admits every name
  std::vector<SkipMapOption> skipMaps;
  int32_t skipMapsBinary = 0, skipMapsCreate = 0;
  int32_t scanAndSave = 0, swapByteOrder = 0, zfsRaidz = 0, dumpMft = 0, uberblockBackVersion = 0;
  std::unique_ptr<CheckpointOptions> checkpoint;
  std::unique_ptr<VhdBitmapOptions> vhdBitmapFinder;
  int32_t checkVhdBitmapOnly = 0, verifyKnownExtensions = 0, skipFilesOnBadExtents = 0;
  WString corruptFilesFolder;
  WString repeatedPath;
  WString simulatedReadFolder;
  int32_t writeEmptyFiles = 0;
  std::vector<Md5Output> md5Outputs;
  std::unique_ptr<SegmentProfileOptions> segmentProfile;
  std::vector<WString> restartFiles;
  std::string phraseListPath;  // "ZIP match list"
  // The list carving builds from it (SetPhraseListLoader); carving reads
  // it through OptionPhraseList.
  std::shared_ptr<void> phraseList;

 private:
  uint8_t* readBuffer_ = nullptr;
  size_t readBufferSize_ = 0;
};

extern AppState* g_appState;

// Dots per inch of the screen, -1 when no screen is available; the user
// interface installs the real query (null: no screen).
using ScreenDpiQuery = int (*)();
void SetScreenDpiQuery(ScreenDpiQuery query);
int ScreenDpi();
