#include "engine/SessionService.h"

#include <sys/stat.h>

#include <algorithm>

#include "engine/Engine.h"
#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/RaidSettings.h"
#include "storage/VolumeDefinition.h"
#include "volumes/NodeTable.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

namespace {

[[noreturn]] void Refuse(const WString& text) {
  ErrorMsg(text);
  throw DvCodeError{0};
}

bool StartsWith(WStringView text, WStringView prefix) { return text.substr(0, prefix.size()) == prefix; }

// A RAID source keeps its layout in the file: the block size, the parity
// rotation and the parity delay in "Parms:" (size value, kind, further
// value), a RAID 6 set's generator choices in the two-byte line.
void AddRaidValues(SessionParms* parms, int twoBytes[2], bool* raid6) {
  const int type = GetRaidType(parms->sourceName);
  RaidSettings s;
  if (type == 0 || !FindRaidSettings(parms->sourceName, &s)) return;
  parms->sizeValue = s.stripeBytes;
  parms->kind = uint8_t(s.rotation);
  parms->further = s.parityGroup;
  if (type != kRaid6) return;
  *raid6 = true;
  twoBytes[0] = s.coefficientMode;
  twoBytes[1] = s.order;
}

// The layout a session keeps for its RAID source becomes the set's
// settings before the set is opened. A file without one (size value 0, as
// earlier files have it) or with values no layout has leaves them alone.
void TakeRaidValues(const SessionParms& parms, const int twoBytes[2]) {
  const WString name = NormalizeSessionSource(parms.sourceName);
  const int type = GetRaidType(name);
  if (type == 0 || parms.sizeValue <= 0) return;
  const int32_t stripe = parms.sizeValue;
  const bool stripeOk = stripe == 512 || (stripe % 1024 == 0 && stripe <= 1024 * 1024 * 1024);
  if (!stripeOk || parms.kind > 5 || parms.further < 1 || parms.further > 65536) return;
  RaidSettings s;
  FindRaidSettings(name, &s);  // keeps a schema file already known
  s.stripeBytes = stripe;
  s.rotation = parms.kind;
  s.parityGroup = parms.further;
  if (type == kRaid6 && twoBytes[0] >= 0 && twoBytes[0] <= 1 && twoBytes[1] >= 0 && twoBytes[1] <= 2) {
    s.coefficientMode = twoBytes[0];
    s.order = twoBytes[1];
  }
  SetRaidSettings(name, s);
}

}  // namespace

SessionListItem SessionItemOf(const FoundItem& item, const std::vector<CVol*>& volumes) {
  SessionListItem out;
  out.nodeIndex = item.nodeIndex;
  out.path = item.folderPath;
  if (item.volumeIndex < volumes.size() && volumes[item.volumeIndex]) {
    const WStringView prefix(volumes[item.volumeIndex]->driveLetter);
    if (!prefix.empty() && StartsWith(out.path, prefix)) out.path.erase(0, prefix.size());
  }
  return out;
}

std::vector<WString> SessionDiskIds(const Drive& drive) {
  std::vector<WString> names;
  drive.ListMembers(&names);
  return names;
}

bool CheckSessionTarget(WStringView path) {
  // A full path; never a device node or anything else that is not a
  // regular file, and nothing under /dev.
  if (path.empty() || path[0] != u'/' || path.back() == u'/' || StartsWith(path, u"/dev/")) {
    ErrorMsg(FormatW(Msg(117), WString(path)));
    return false;
  }
  struct stat st;
  if (stat(ToUtf8(path).c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    ErrorMsg(FormatW(Msg(117), WString(path)));
    return false;
  }
  return true;
}

bool SaveSession(const SessionSaveRequest& r) {
  if (!CheckSessionTarget(r.path)) return false;
  try {
    SLSession s(r.path);
    SessionParms parms = r.parms;
    if (r.drive && parms.diskIds.empty()) parms.diskIds = SessionDiskIds(*r.drive);
    int twoBytes[2] = {r.raid6Bytes[0], r.raid6Bytes[1]};
    bool raid6 = r.raid6;
    if (parms.sizeValue == 0 && !raid6) AddRaidValues(&parms, twoBytes, &raid6);
    static const std::vector<CVol*> kNone;
    const VolumeList* table = r.drive ? DriveVolumes(*r.drive) : nullptr;
    const std::vector<CVol*>& volumes = table ? table->items : (r.engine ? r.engine->volumes : kNone);
    // A load checks the source against this (a file replaced at its path).
    if (r.drive) parms.source = ReadSourceIdentity(*r.drive, volumes);
    s.SaveParms(parms);
    // The two bytes are always there; only a RAID 6 source has values.
    s.WriteTwoBytes(raid6 ? twoBytes[0] : 0, raid6 ? twoBytes[1] : 0);
    s.SavePartitions(volumes);
    s.SaveExclusionRanges(r.drive ? r.drive->Exclusions() : nullptr, r.drive ? r.drive->SectorSize() : 512);
    static const CNdArray kEmpty;
    s.SaveInodes(r.engine && r.engine->nodes ? *r.engine->nodes : kEmpty);
    s.SaveList(r.list);
    s.Commit();
  } catch (const DvCodeError&) {
    return false;
  }
  return true;
}

std::unique_ptr<SLSession> BeginSessionLoad(WStringView path, SessionParms* parms, int twoBytes[2]) {
  if (path.empty() || path[0] != u'/') Refuse(FormatW(Msg(117), WString(path)));
  auto s = std::make_unique<SLSession>(WString(path));
  s->LoadParms(parms);
  s->ReadTwoBytes(&twoBytes[0], &twoBytes[1]);
  TakeRaidValues(*parms, twoBytes);
  return s;
}

Drive* OpenSessionSource(const SessionParms& parms) {
  const WString name = NormalizeSessionSource(parms.sourceName);
  const int kind = ClassifySessionSource(name);
  if (kind == 0) Refuse(FormatW(Msg(146), name));
  if (kind == 4) {
    // The file names the source: only a block device or a regular file is
    // opened, never a FIFO, a character device or anything under /dev that
    // is not a disk.
    struct stat st;
    if (stat(ToUtf8(name).c_str(), &st) != 0) Refuse(FormatW(Msg(146), name));
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))
      Refuse(FormatW(u"%s is neither a disk nor a disk image file.", name));
  } else if (kind == 5) {
    const int number = Drive::PhysicalDriveNumber(name);
    if (number < 0 || !theDiskList().Disk(size_t(number))) Refuse(FormatW(Msg(146), name));
  }
  Drive* drive = nullptr;
  try {
    drive = CreateDrive(name);
    drive->InitDrive(name);
  } catch (const DvCodeError&) {
    DeleteDrive(&drive);
    throw;
  }
  // A renumbered or replaced disk: the member the session names is missing.
  if (!parms.diskIds.empty()) {
    const std::vector<WString> present = SessionDiskIds(*drive);
    for (const WString& id : parms.diskIds) {
      if (std::find(present.begin(), present.end(), id) == present.end()) {
        DeleteDrive(&drive);
        Refuse(FormatW(Msg(146), id));
      }
    }
  }
  return drive;
}

void ReadSessionSections(SLSession& s, Drive& drive) {
  s.LoadPartitions(&drive);
  // The source at the path must still be the one the session was made on.
  if (s.source.present) {
    const WString why = SourceIdentityMismatch(s.source, ReadSourceIdentity(drive, s.volumes), drive.DisplayName());
    if (!why.empty()) Refuse(why);
  }
  const uint64_t units = drive.SectorCount();
  s.LoadExclusionRanges(units ? units - 1 : 0);
  s.LoadInodes();
  s.LoadListItems();
}
