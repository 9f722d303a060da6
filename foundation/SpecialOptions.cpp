#include "foundation/SpecialOptions.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "foundation/AppState.h"
#include "foundation/FileFilter.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "platform/Events.h"
#include "platform/Platform.h"

// ---- the INI reader ----

namespace {
std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}
}  // namespace

bool IniFile::Load(const std::string& path) {
  entries_.clear();
  path_ = path;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string section;
  bool inSection = false;
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    if (line.size() > kMaxIniLine) continue;  // refused whole
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';') continue;
    if (t.front() == '[') {
      size_t close = t.find(']');
      if (close == std::string_view::npos) continue;
      // The name keeps its blanks: "[ Forced 512]" names " Forced 512".
      section.assign(t.substr(1, close - 1));
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(t.substr(0, eq));
    std::string_view value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') || (value.front() == '\'' && value.back() == '\'')))
      value = value.substr(1, value.size() - 2);
    if (key.empty()) continue;
    entries_.push_back(Entry{section, std::string(key), std::string(value)});
  }
  return true;
}

const std::string* IniFile::Find(std::string_view section, std::string_view key) const {
  for (const auto& e : entries_)
    if (EqualsNoCase(e.section, section) && EqualsNoCase(e.key, key)) return &e.value;
  return nullptr;
}

std::string SpecialOptionsPath() { return plat::SupportDir() + "$DVOPTS$.txt"; }

std::string ShortenOptionValue(const std::string& value) {
  WString w = FromUtf8(value);
  if (w.size() <= 32) return value;
  return ToUtf8(w.substr(0, 32)) + "...";
}

namespace {
bool Confirm(const char* section, const char* key, const std::string& value) {
  return ShowMessage(kMbYesNo | kMbIconQuestion, u"[%s] %s=%s", section, key, ShortenOptionValue(value)) == kIdYes;
}

int64_t ParseInt64(const std::string& text) {
  errno = 0;
  long long v = strtoll(text.c_str(), nullptr, 10);
  return int64_t(v);  // strtoll saturates on overflow; text that is no number gives 0
}
}  // namespace

int ReadOptionInt(const char* section, const char* key, const IniFile& file, int64_t* out, bool confirm) {
  const std::string* v = file.Find(section, key);
  if (!v || v->empty() || v->size() > 1023) return 0;
  *out = ParseInt64(*v);
  if (confirm && !Confirm(section, key, *v)) return 0;
  return 1;
}

int ReadOptionString(const char* section, const char* key, const IniFile& file, std::string* out, bool confirm) {
  const std::string* v = file.Find(section, key);
  if (!v || v->empty() || v->size() > 2047) return 0;
  if (confirm && !Confirm(section, key, *v)) return 0;
  *out = *v;
  return 1;
}

WString ProgramNameFromPath(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = base.find_last_of('.');
  if (dot != std::string_view::npos) base = base.substr(0, dot);
  WString name = FromUtf8(base);
  if (name.empty() || name.size() > 15) return u"delvora";
  return name;
}

namespace {
WString ThousandsSeparator() {
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", locale_t(0));
  if (loc == locale_t(0)) return u",";
  std::string sep = nl_langinfo_l(THOUSEP, loc);
  freelocale(loc);
  WString w = FromUtf8(sep);
  if (w.empty()) return u",";
  return w.substr(0, 4);
}
}  // namespace

void SetAppStateDefaults(AppState& s) {
  s.language = 0;
  s.columnOrder = {0, 1, 2, 3, 4, 5, 6, 7};
  s.statusWordIds = {0, 155, 162, 328, 329, 231, 200, 0, 0};
  s.statusOrder = {};
  s.scanFlag = 1;
  for (int c = 0; c < 256; ++c) s.fileNameCharOk[size_t(c)] = 1;
  for (int c = 0; c < 32; ++c) s.fileNameCharOk[size_t(c)] = 0;
  for (unsigned char c : std::string_view("\"*/:<>?\\|")) s.fileNameCharOk[c] = 0;
  s.languageCode[0] = 'e';
  s.languageCode[1] = 'n';
  s.languageCode[2] = 0;
  s.languageCodeW = u"en";
  std::string exe = plat::ExecutablePath();
  s.programName = ProgramNameFromPath(exe);
  s.modulePath = FromUtf8(exe);
  s.perfFrequency = kSteadyTicksPerSecond;
  s.platformId = plat::kPlatformId;
  s.majorVersion = plat::kMajorVersion;
  s.minorVersion = plat::kMinorVersion;
  s.isOldPlatform = 0;
  s.isNewPlatform = s.platformId == 2 && s.majorVersion == 6 ? 1 : 0;
  s.compositionEnabled = 0;
  int dpi = ScreenDpi();
  s.screenDpi = dpi > 0 ? dpi : 96;
  s.displayScale = (s.platformId != 2 && s.screenDpi < 96) ? 1.0 : s.screenDpi / 96.0;
  s.thousandsSeparator = ThousandsSeparator();
  for (auto& f : s.lastFolders) f.clear();
  s.SetDefaultFolder();
  s.windowsFolder = u"/usr";  // the system folder that data is never written into
  s.tempFolder = FromUtf8(plat::TempDir());
  s.defaultMftRecordSize = 1024;
  s.searchFirst = 0;
  s.searchLimit = 2147483647;

  s.extIgnoreBadPointer = 1;
  s.extStartInode = 1;
  s.extLastInode = -1;
  s.extExitAfterLongScan = 0;
  s.extScanEt4Only = 0;
  s.extScanEt4ClusterSize = 512;
  s.extCodePage = 0;
  s.ufsKeepLengthAndTypeOrder = 0;
  s.extSkipSbInodeCountsCheck = 0;
  s.extLongScan = 0;
  s.xfsLongScan = s.xfsIgnoreMissingBmap = s.xfsSpecialShortformDirs = s.xfsCheckBlockBoundary = 0;
  s.hfsLongScan = s.ignoreSessionLoadErrors = 0;
  s.inodeRange.reset();
  s.longScanFirstSector = 0;
  s.longScanLastSector = 9223372036854775807LL;
  s.forcedDevices[0].clear();
  s.forcedDevices[1].clear();
  s.rawRecovery.reset();
  s.pointerBlockScanner.reset();
  s.fileFilterPath.clear();
  s.fileFilter.reset();
  s.skipMaps.clear();
  s.skipMapsBinary = s.skipMapsCreate = 0;
  s.scanAndSave = s.swapByteOrder = s.zfsRaidz = s.dumpMft = s.uberblockBackVersion = 0;
  s.checkpoint.reset();
  s.vhdBitmapFinder.reset();
  s.checkVhdBitmapOnly = s.verifyKnownExtensions = s.skipFilesOnBadExtents = 0;
  s.corruptFilesFolder.clear();
  s.repeatedPath.clear();
  s.simulatedReadFolder.clear();
  s.writeEmptyFiles = 0;
  s.md5Outputs.clear();
  s.segmentProfile.reset();
  s.restartFiles.clear();
  s.phraseListPath.clear();
  s.phraseList.reset();
}

namespace {

PhraseListLoader g_phraseListLoader = nullptr;

struct Reader {
  const IniFile& file;
  bool Int(const char* section, const char* key, int64_t* out, bool confirm = true) {
    return ReadOptionInt(section, key, file, out, confirm) == 1;
  }
  bool Int32(const char* section, const char* key, int32_t* out, bool confirm = true) {
    int64_t v = 0;
    if (!Int(section, key, &v, confirm)) return false;
    *out = int32_t(v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : v));
    return true;
  }
  bool Text(const char* section, const char* key, std::string* out, bool confirm = true) {
    return ReadOptionString(section, key, file, out, confirm) == 1;
  }
  bool WText(const char* section, const char* key, WString* out, bool confirm = true) {
    std::string v;
    if (!Text(section, key, &v, confirm)) return false;
    *out = FromUtf8(v);
    return true;
  }
  int64_t Count(const char* section, const char* key, bool confirm) {
    int64_t n = 0;
    if (!Int(section, key, &n, confirm)) return 0;
    return n < 0 ? 0 : (n > kMaxOptionListCount ? kMaxOptionListCount : n);
  }
};

void ReadForcedDevices(Reader& r, AppState& s, const char* section, int which, unsigned size) {
  int64_t n = r.Count(section, "Count", false);
  for (int64_t k = 1; k <= n; ++k) {
    std::string name;
    if (!r.Text(section, FormatA("Device %d", k).c_str(), &name, false)) continue;
    if (ShowMessage(kMbYesNo | kMbIconQuestion, u"Force %u sector size for %s?", size, name) == kIdYes)
      s.forcedDevices[which].push_back(FromUtf8(name));
  }
}

// [Options] Filter File: the names a scan looks for.
void ReadFilterFile(Reader& r, AppState& s) {
  std::string filter;
  if (r.Text("Options", "Filter File", &filter, false)) {
    ShowMessage(kMbOk | kMbIconInformation, u"%s", "Reading filenames to search for from " + filter);
    try {
      s.fileFilter = std::make_unique<FileFilter>(filter);
      s.fileFilterPath = FromUtf8(filter);
    } catch (const DvCodeError&) {
      s.fileFilter.reset();
      ShowMessage(kMbOk | kMbIconError, u"%s", LastErrorText());
    }
  }
}

// The rest of [Options].
void ReadGeneralOptions(Reader& r, AppState& s) {
  int64_t v = 0;
  if (r.Int("Options", "Starting Inode Number", &v))
    s.inodeRange = std::make_unique<std::pair<int64_t, int64_t>>(v, 9223372036854775807LL);
  if (r.Int("Options", "Ending Inode Number", &v) && s.inodeRange) s.inodeRange->second = v;
  r.Int("Options", "Long Scan Starting Sector", &s.longScanFirstSector);
  r.Int("Options", "Long Scan Ending Sector", &s.longScanLastSector);
  if (r.Int("Options", "Ignore Load DVS Errors", &v)) s.ignoreSessionLoadErrors = 1;

  int64_t skipCount = r.Count("Options", "Skipable Count", true);
  r.Int32("Options", "Skipable Binary Mode", &s.skipMapsBinary);
  for (int64_t k = 1; k <= skipCount; ++k) {
    WString f;
    if (r.WText("Options", FormatA("Skipable File %u", k).c_str(), &f)) s.skipMaps.push_back(SkipMapOption{f});
  }
  std::string mode;
  if (r.Text("Options", "Skipable Mode", &mode)) s.skipMapsCreate = EqualsNoCase(mode, "Create") ? 1 : 0;

  r.Int32("Options", "Verify Known Extensions", &s.verifyKnownExtensions);
  r.Int32("Options", "Skip Files on Bad Extents", &s.skipFilesOnBadExtents);
  if (s.verifyKnownExtensions || s.skipFilesOnBadExtents)
    r.WText("Options", "Folder Storing Corrupt Files", &s.corruptFilesFolder);
  r.WText("Options", "Repeated Path", &s.repeatedPath);
  r.Int32("Options", "Write Empty Files", &s.writeEmptyFiles);

  int64_t md5Count = r.Count("Options", "MD5 Computation Output Counts", true);
  for (int64_t k = 1; k <= md5Count; ++k) {
    Md5Output out;
    r.Int("Options", FormatA("MD5 Computation Segment Size%d", k).c_str(), &out.segmentSize);
    r.WText("Options", FormatA("MD5 Output File%d", k).c_str(), &out.file);
    s.md5Outputs.push_back(out);
  }
}

void ReadScanAndSave(Reader& r, AppState& s) {
  r.Int32("Scan and Save", "Enabled", &s.scanAndSave);
  std::string checkpointFile;
  if (r.Text("Scan and Save", "Checkpoint File", &checkpointFile)) {
    s.checkpoint = std::make_unique<CheckpointOptions>();
    s.checkpoint->file = FromUtf8(checkpointFile);
  }
  int64_t frequency = 0;
  if (r.Int("Scan and Save", "Checkpoint Frequency", &frequency) && s.checkpoint) s.checkpoint->frequency = frequency;
  r.WText("Scan and Save", "Save to", &GlobalTextRef(kDestinationFolder));
}

// Silence of [Options] takes the XFS options without asking.
void ReadXfsAndHfsOptions(Reader& r, AppState& s, int64_t silence) {
  int64_t v = 0;
  const bool xfsConfirm = silence == 0;
  r.Int32("XFS Options", "XFS Long Scan", &s.xfsLongScan, xfsConfirm);
  r.Int32("XFS Options", "Ignore Missing BMAP", &s.xfsIgnoreMissingBmap, xfsConfirm);
  r.Int32("XFS Options", "Special Shortform Directories", &s.xfsSpecialShortformDirs, xfsConfirm);
  r.Int32("XFS Options", "Check Block Boundary", &s.xfsCheckBlockBoundary, xfsConfirm);
  if (r.Int("HFS+ Options", "HFS+ Long Scan", &v)) s.hfsLongScan = 1;
}

void ReadExtOptions(Reader& r, AppState& s) {
  r.Int32("Ext Options", "Ignore Bad Pointer", &s.extIgnoreBadPointer);
  r.Int32("Ext Options", "Start Inode Number", &s.extStartInode);
  r.Int32("Ext Options", "Last Inode Number", &s.extLastInode);
  r.Int32("Ext Options", "Exit After Long Scan", &s.extExitAfterLongScan);
  r.Int32("Ext Options", "Scan Ext4 ET Only", &s.extScanEt4Only);
  r.Int32("Ext Options", "Scan Ext4 ET Cluster Size", &s.extScanEt4ClusterSize);
  r.Int32("Ext Options", "Code page", &s.extCodePage);
  r.Int32("Ext Options", "UFS Keep Length And Type Order", &s.ufsKeepLengthAndTypeOrder);
  r.Int32("Ext Options", "Skip ExtSB Inode Counts Check", &s.extSkipSbInodeCountsCheck);
  r.Int32("Ext Options", "Ext Long Scan", &s.extLongScan);
}

void ReadUnixRawRecovery(Reader& r, AppState& s) {
  RawRecoveryOptions raw;
  r.Int("Unix Raw Recovery", "Sector Size", &raw.sectorSize);
  r.Int("Unix Raw Recovery", "Block Size", &raw.blockSize);
  r.Int("Unix Raw Recovery", "Volume Starting Sector", &raw.volumeStartSector);
  r.Int("Unix Raw Recovery", "Volume Size", &raw.volumeSize);
  r.Int("Unix Raw Recovery", "Fragments Per Block", &raw.fragmentsPerBlock);
  if (raw.blockSize != 0) {
    std::string saveTo;
    if (r.Text("Unix Raw Recovery", "Save To", &saveTo, false)) {
      if (saveTo.back() != '/') saveTo.push_back('/');
      raw.saveTo = FromUtf8(saveTo);
      s.rawRecovery = std::make_unique<RawRecoveryOptions>(raw);
    } else {
      ErrorMsg(u"Missing or invalid'Save To' in 'Unix Raw Recovery'");
      ShowMessage(kMbOk | kMbIconError, u"%s", LastErrorText());
    }
  }
}

void ReadExtPointerBlocks(Reader& r, AppState& s) {
  PointerBlockOptions pb;
  r.Int("Ext Pointer Blocks", "Sector Size", &pb.sectorSize);
  r.Int("Ext Pointer Blocks", "Block Size", &pb.blockSize);
  r.Int("Ext Pointer Blocks", "Volume Starting Sector", &pb.volumeStartSector);
  r.Int("Ext Pointer Blocks", "Volume Size", &pb.volumeSize);
  r.Int("Ext Pointer Blocks", "Fragments Per Block", &pb.fragmentsPerBlock);
  r.Int("Ext Pointer Blocks", "Minimum Triple Entries", &pb.minimumTripleEntries);
  if (pb.blockSize != 0) {
    // The list itself is read by the raw ext recovery when it is built.
    r.WText("Ext Pointer Blocks", "Indirect List", &pb.indirectList, false);
    s.pointerBlockScanner = std::make_unique<PointerBlockOptions>(pb);
  }
}

void ReadTraceOptions(Reader& r, AppState& s) {
  int64_t chain = 0;
  if (r.Int("Trace Options", "VHD Bitmap Minimum Chain Length", &chain)) {
    s.vhdBitmapFinder = std::make_unique<VhdBitmapOptions>();
    s.vhdBitmapFinder->minimumChainLength = chain;
  }
  int64_t padding = 0;
  if (r.Int("Trace Options", "VHD Bitmap Padding", &padding) && s.vhdBitmapFinder)
    s.vhdBitmapFinder->padding = padding;
  r.Int32("Trace Options", "Check VHD Bitmap Only", &s.checkVhdBitmapOnly);

  int32_t level = 0;
  if (r.Int32("Trace Options", "BKF", &level)) traceBkf = level;
  if (r.Int32("Trace Options", "ZFS", &level)) traceZfs = level;
  if (r.Int32("Trace Options", "MXF", &level)) traceMxf = level;
  if (r.Int32("Trace Options", "ZIP", &level)) traceZip = level;
  if (r.Int32("Trace Options", "Drive I/O", &level)) traceDriveIo = level;
  r.Int32("Trace Options", "Dump MFT", &s.dumpMft);
  // Disk Image Create opens the support command instead of the image dialog.
  if (r.Int32("Trace Options", "Support Command", &level)) s.supportOption = level ? 1 : 0;
}

// [Trace Options] Segment Profile turns on the profile of [Segment Profile Trace].
void ReadSegmentProfile(Reader& r, AppState& s) {
  int64_t v = 0;
  if (r.Int("Trace Options", "Segment Profile", &v)) {
    auto profile = std::make_unique<SegmentProfileOptions>();
    struct {
      const char* key;
      int64_t* field;
    } keys[] = {{"First Sector", &profile->firstSector},
                {"Segment Size In Sectors", &profile->segmentSizeInSectors},
                {"Block Size In Sectors", &profile->blockSizeInSectors},
                {"Volume Modulo", &profile->volumeModulo}};
    bool ok = true;
    for (auto& k : keys) {
      if (!r.Int("Segment Profile Trace", k.key, k.field)) {
        ShowMessage(kMbOk | kMbIconWarning, u"Invalid %s in Segment Profile Trace", k.key);
        ok = false;
        break;
      }
    }
    // Sizes that would divide by zero or cut a block in two are refused.
    if (ok && profile->blockSizeInSectors <= 0) {
      ShowMessage(kMbOk | kMbIconWarning, u"Invalid %s in Segment Profile Trace", "Block Size In Sectors");
      ok = false;
    } else if (ok && (profile->segmentSizeInSectors <= 0 ||
                      profile->segmentSizeInSectors % profile->blockSizeInSectors != 0)) {
      ShowMessage(kMbOk | kMbIconWarning, u"Invalid %s in Segment Profile Trace", "Segment Size In Sectors");
      ok = false;
    }
    if (ok) s.segmentProfile = std::move(profile);
  }
}

void ReadIoAndZfsOptions(Reader& r, AppState& s) {
  r.Int32("I/O Options", "Swap Byte Order", &s.swapByteOrder);
  r.Int32("ZFS Options", "RAIDZ", &s.zfsRaidz);
  r.Int32("ZFS Options", "Uberblock Back Version", &s.uberblockBackVersion);
}

// [Trace Options] The simulated reads' folder and the ZIP match list.
void ReadTraceFiles(Reader& r, AppState& s) {
  r.WText("Trace Options", "I/O Simulated Read Folder", &s.simulatedReadFolder);

  std::string phrases;
  if (r.Text("Trace Options", "ZIP match list", &phrases)) {
    s.phraseListPath = phrases;
    if (const PhraseListLoader load = g_phraseListLoader) {
      int n = 0;
      std::shared_ptr<void> list = load(phrases, &n);
      ShowMessage(kMbOk | kMbIconInformation, u"%d match phrases", n);
      s.phraseList = std::move(list);
    }
  }
}

void ReadRestartList(Reader& r, AppState& s) {
  int64_t restarts = r.Count("Restart List", "Count", false);
  for (int64_t k = 1; k <= restarts; ++k) {
    std::string f;
    if (!r.Text("Restart List", FormatA("file %d", k).c_str(), &f, false)) continue;
    if (ShowMessage(kMbYesNo | kMbIconQuestion, u"Restart recovery for %s?", f) == kIdYes)
      s.restartFiles.push_back(FromUtf8(f));
  }
}

// The sections in the order their questions are asked.
void ReadOptions(AppState& s, const IniFile& file) {
  Reader r{file};
  int64_t silence = 0;
  r.Int("Options", "Silence", &silence, false);
  ReadFilterFile(r, s);
  ReadGeneralOptions(r, s);
  ReadScanAndSave(r, s);
  ReadXfsAndHfsOptions(r, s, silence);
  ReadForcedDevices(r, s, " Forced 512", 0, 512);
  ReadForcedDevices(r, s, "Forced 4K", 1, 4096);
  ReadExtOptions(r, s);
  ReadUnixRawRecovery(r, s);
  ReadExtPointerBlocks(r, s);
  ReadTraceOptions(r, s);
  ReadSegmentProfile(r, s);
  ReadIoAndZfsOptions(r, s);
  ReadTraceFiles(r, s);
  ReadRestartList(r, s);
}

}  // namespace

void LoadSpecialOptions(AppState& state, const std::string& path) {
  SetAppStateDefaults(state);
  srand(unsigned(time(nullptr)));
  std::string file = path.empty() ? SpecialOptionsPath() : path;
  struct stat st;
  if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  IniFile ini;
  if (!ini.Load(file)) return;
  ReadOptions(state, ini);
}

void SetPhraseListLoader(PhraseListLoader loader) { g_phraseListLoader = loader; }
