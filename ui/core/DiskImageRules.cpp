#include "ui/core/DiskImageRules.h"

#include <algorithm>

#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/Utilities.h"
#include "storage/DiskImage.h"
#include "storage/Drive.h"
#include "storage/VolumeDefinition.h"

const std::vector<int>& DiskImageRules::GuardedControls() {
  static const std::vector<int> ids = {1302, 1097, 1011, 1107, 1039, 1069, 1040, 1133,
                                       1305, 1282, 1106, 1303, 1309, 1044, 1310};
  return ids;
}

void DiskImageRules::Init(WStringView name, bool sessionDrive, int64_t sectorCount, uint32_t driveSectorSize) {
  driveName = WString(name);
  sectorSize = driveSectorSize ? driveSectorSize : 512;
  createEnabled = !sessionDrive;
  if (!sessionDrive) {
    firstText = u"0";
    lastText = DecimalText(sectorCount > 0 ? sectorCount - 1 : 0);
    UpdateSpace();
  }
}

namespace {

// ParseGroupedNumber, with every invalid or too large text as -1.
int64_t GroupedOrMinus(WStringView text) {
  const uint64_t v = ParseGroupedNumber(text);
  return v > uint64_t(INT64_MAX) ? -1 : int64_t(v);
}

}  // namespace

void DiskImageRules::UpdateSpace() {
  spaceText = DecimalText(DiskImageSpaceMiB(GroupedOrMinus(firstText), GroupedOrMinus(lastText), binary != 0,
                                            sectorSize));
}

DiskImageRules::Typed DiskImageRules::ReadCommand(bool sessionDrive) const {
  Typed t;
  t.first = TrimBlanks(firstText);
  if (t.first.empty()) return t;
  const char16_t c = t.first[0];
  if (c == u'N' && !binary) {
    t.command = Command::Notepad;
    t.first = TrimBlanks(WStringView(t.first).substr(1));
    return t;
  }
  if (sessionDrive) return t;
  if (c == u'L') {
    t.command = Command::ShowMembers;
    t.number = ParseLeadingInteger(WStringView(t.first).substr(1)).value_or(-1);
  } else if (c == u'P') {
    const WStringView rest = WStringView(t.first).substr(1);
    const size_t colon = rest.find(u':');
    t.command = Command::MapMemberSector;
    if (colon != WStringView::npos) {
      t.member = int(std::clamp<int64_t>(ParseLeadingInteger(rest.substr(0, colon)).value_or(-1), -1, 1 << 20));
      t.number = ParseLeadingInteger(rest.substr(colon + 1)).value_or(-1);
    }
  } else if (c == u'D' && t.first.size() > 1 && t.first[1] == u':' && binary) {
    t.command = Command::CopyRunsList;
    t.fileName = TrimBlanks(WStringView(t.first).substr(2));
  }
  return t;
}

WString DiskImageRules::MissingText(WStringView label) {
  WString name = StripAccelerator(label);
  name.erase(std::remove(name.begin(), name.end(), u':'), name.end());
  return FormatW(Msg(202), name);
}

DialogVerdict DiskImageRules::CheckPresent(WStringView first, WStringView last) {
  if (first.empty() || first.size() > 12)
    return DialogVerdict::Refuse(202, kFirstEdit, MissingText(u"&First sector:"));
  if (last.empty() || last.size() > 12) return DialogVerdict::Refuse(202, kLastEdit, MissingText(u"&Last sector:"));
  return DialogVerdict::Close();
}

DialogVerdict DiskImageRules::CheckRange(WStringView first, WStringView last, int64_t* firstOut, int64_t* lastOut) {
  if (DialogVerdict v = CheckPresent(first, last); !v.close) return v;
  const int64_t f = GroupedOrMinus(first), l = GroupedOrMinus(last);
  if (f < 0 || l < 0 || l < f) return DialogVerdict::Refuse(183, l < 0 ? kLastEdit : kFirstEdit);
  if (firstOut) *firstOut = f;
  if (lastOut) *lastOut = l;
  return DialogVerdict::Close();
}

DialogVerdict DiskImageRules::CheckDestination(WStringView folder, Drive* drive) {
  if (folder.size() <= 2) return DialogVerdict::Refuse(294, kFolderEdit);
  if (drive && !drive->IsSafeVolume(folder)) return DialogVerdict::Refuse(292, kFolderEdit);
  if (IsUnderBasePath(folder)) return DialogVerdict::Refuse(144, kFolderEdit);
  if (!IsDriveOrSharePath(folder)) return DialogVerdict::Refuse(294, kFolderEdit);
  return DialogVerdict::Close();
}

WString DiskImageRules::ProposedName(int64_t first, int64_t last, bool binary) {
  return FormatW(u"dump_%I64d_%I64d.%s", first, last, binary ? u"dsk" : u"txt");
}

DiskImageRules::Output DiskImageRules::ResolveOutput(WStringView folder, WStringView typedName) {
  Output o;
  o.name = WString(typedName);
  const size_t lt = typedName.size() > 1 ? typedName.find(u'<', 1) : WStringView::npos;
  if (lt != WStringView::npos) {
    o.startSector = std::max<int64_t>(0, ParseLeadingInteger(typedName.substr(lt + 1)).value_or(0));
    o.name = WString(typedName.substr(0, lt));
  }
  o.diskNumber = Drive::PhysicalDriveNumber(o.name);
  if (o.diskNumber >= 0) {
    o.path = o.name;
  } else {
    o.path = TrimPathEnd(folder);
    if (o.path != u"/") o.path += u'/';
    o.path += o.name;
  }
  o.regenerate = RebuildKindOfName(o.path);
  return o;
}

// ---- the progress window ----

void DumpProgress::Start(uint64_t sectors, uint32_t bytesPerSector) {
  *this = DumpProgress{};
  totalSectors = sectors;
  sectorSize = bytesPerSector ? bytesPerSector : 512;
  caption = u"0%";
  const unsigned __int128 bytes = (unsigned __int128)sectors * sectorSize;
  totalText = FormatByteCount(bytes > INT64_MAX ? INT64_MAX : int64_t(bytes));
}

void DumpProgress::OnBytes(uint64_t bytes) {
  sinceReset += bytes >= total ? bytes - total : 0;
  total = bytes;
  const uint64_t sectors = total / sectorSize;
  percent = totalSectors ? int(std::min<uint64_t>(100, sectors * 100 / totalSectors)) : 100;
  caption = FormatW(Msg(116), percent);
  sectorsText = DecimalText(int64_t(sectors));
}

void DumpProgress::OnTick(double measured) {
  ++ticks;
  ++ticksSinceReset;
  if (ticks % 30 == 0) elapsed = measured;
  else elapsed += 1;
  const double average = elapsed > 0 ? double(total) / elapsed : 0;
  averageText = FormatByteCount(int64_t(average), true);
  immediateText = FormatByteCount(int64_t(sinceReset / std::max<uint32_t>(1, ticksSinceReset)), true);
  if (ticksSinceReset >= 20) {
    ticksSinceReset = 0;
    sinceReset = 0;
  }
  const double all = double(totalSectors) * sectorSize;
  const int64_t left = average > 0 ? int64_t((all - double(total)) / average) : 0;
  leftText = FormatW(Msg(255), FormatDuration(left), FormatByteCount(int64_t(total)), totalText);
  elapsedText = FormatDuration(int64_t(ticks));
}
