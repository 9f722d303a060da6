#include "ui/core/WizardRules.h"

#include <cmath>
#include <cstdlib>

#include "foundation/Messages.h"
#include "platform/Format.h"
#include "storage/VolumeDefinition.h"

const std::vector<VolumeTypeEntry>& VolumeTypes() {
  static const std::vector<VolumeTypeEntry> types = {
      {650, u"RAID 0", kRaid0, 0},
      {651, u"RAID 5", kRaid5, 1},
      {652, u"RAID 6", kRaid6, 2},
      {653, u"RAIDZ1 (single parity)", kRaidZ1, 1},
      {654, u"RAIDZ2 (double parity)", kRaidZ2, 2},
      {656, u"Custom RAID", kRaidCustom, 0},
      {124, u"Spanned volume", kSpanKind, 0},
  };
  return types;
}

const std::vector<RotationEntry>& Rotations() {
  static const std::vector<RotationEntry> rotations = {
      {658, u"Forward asymmetric", 0},
      {657, u"Forward symmetric", 3},
      {661, u"Backward asymmetric", 1},
      {659, u"Backward symmetric", 2},
      {662, u"Backward asymmetric, shift 2", 4},
      {660, u"Backward symmetric, shift 2", 5},
  };
  return rotations;
}

// ---- volume type page ----

std::vector<WString> AdvancedVolumeRules::TypeNames() const {
  std::vector<WString> out;
  for (const VolumeTypeEntry& t : VolumeTypes()) out.push_back(EntryName(t.message, t.text));
  return out;
}

const VolumeTypeEntry* AdvancedVolumeRules::FindType(WStringView name) {
  for (const VolumeTypeEntry& t : VolumeTypes())
    if (EntryName(t.message, t.text) == name) return &t;
  return nullptr;
}

std::vector<WString> AdvancedVolumeRules::BlockSizeTexts() {
  std::vector<WString> out{EntryName(664, u"0.5 (512 bytes)")};
  for (int k = 1; k <= 1024; k *= 2) out.push_back(FormatW(u"%d", k));
  return out;
}

std::vector<WString> AdvancedVolumeRules::RotationNames(int typeCode) {
  std::vector<int> messages;
  if (typeCode == kRaid5) messages = {659, 661, 657, 658};
  if (typeCode == kRaid6) messages = {659, 661, 660, 662};
  std::vector<WString> out;
  for (int m : messages)
    for (const RotationEntry& r : Rotations())
      if (r.message == m) out.push_back(EntryName(r.message, r.text));
  return out;
}

int AdvancedVolumeRules::RotationCode(WStringView name) {
  for (const RotationEntry& r : Rotations())
    if (EntryName(r.message, r.text) == name) return r.code;
  return -1;
}

WString AdvancedVolumeRules::RotationName(int code) {
  for (const RotationEntry& r : Rotations())
    if (r.code == code) return EntryName(r.message, r.text);
  return {};
}

int64_t AdvancedVolumeRules::BlockSizeFromText(WStringView text) {
  const std::optional<int64_t> whole = ParseLeadingInteger(text);
  if (!whole) return -1;
  const std::optional<int64_t> bytes = CheckedMul(*whole, 1024);
  if (!bytes || *bytes > INT32_MAX) return -1;
  if (*bytes == 0 && !text.empty()) {
    const std::string narrow = ToUtf8(text);
    const double d = std::strtod(narrow.c_str(), nullptr);
    if (std::fabs(d - 0.5) <= 0.01 + 1e-9) return 512;  // 0.49 and 0.51 count
  }
  return *bytes;
}

void AdvancedVolumeRules::SelectType(WStringView name) { type_ = FindType(name); }

bool AdvancedVolumeRules::Enabled(int control) const {
  const int t = TypeCode();
  switch (control) {
    case kRotationCombo:
    case kRotationLabel:
    case kDelayCombo:
    case kDelayLabel:
    case kDelayNote:
      return t == kRaid5 || t == kRaid6;
    case kBlockCombo:
    case kBlockLabel:
    case kBlockUnit:
      return t == kRaid0 || t == kRaid5 || t == kRaid6;
    case kDisksEdit:
    case kDisksLabel:
    case kDisksNote:
      return t != kSpanKind && t != kRaidCustom;
    default:
      return true;
  }
}

DialogVerdict AdvancedVolumeRules::Next(WStringView disksText, WStringView blockText, WStringView delayText,
                                        WStringView rotationText, int availableDisks) {
  if (!type_) return DialogVerdict::Refuse(376, kTypeCombo);
  const int t = type_->code;
  int n = 0;
  if (t != kSpanKind && t != kRaidCustom) {
    const std::optional<int64_t> v = ParseLeadingInteger(disksText);
    if (!v || *v < 1 || *v > int64_t(kMaxRaidMembers)) return DialogVerdict::Refuse(376, kDisksEdit);
    n = int(*v);
    if (t == kRaid0 && n < 2) return DialogVerdict::Refuse(224, kDisksEdit);
    if ((t == kRaid5 || t == kRaidZ1) && n < 3) return DialogVerdict::Refuse(225, kDisksEdit);
    if ((t == kRaid6 || t == kRaidZ2) && n < 4) return DialogVerdict::Refuse(665, kDisksEdit);
    const int data = n - type_->parity;
    if (data > availableDisks) return DialogVerdict::Refuse(246, kDisksEdit);
  }
  int block = 0;
  if (t == kRaid0 || t == kRaid5 || t == kRaid6) {
    const int64_t b = BlockSizeFromText(blockText);
    if (blockText.empty() || b <= 511) return DialogVerdict::Refuse(376, kBlockCombo);
    block = int(b);
  }
  disks = n;
  blockBytes = block;
  const std::optional<int64_t> d = ParseLeadingInteger(delayText);
  delay = d && *d > 0 && *d <= INT32_MAX ? int(*d) : 0;
  rotation = RotationCode(rotationText);
  return DialogVerdict::Close();
}

// ---- RAID 6 generators ----

void Raid6SettingsRules::SetRotation(int rotationCode) { forcedStatic_ = rotationCode == 1 || rotationCode == 4; }

void Raid6SettingsRules::Init() {
  if (forcedStatic_) staticOrder = true;
  if (!staticOrder) skip = false;
}

bool Raid6SettingsRules::Enabled(int control) const {
  if (control == kSkip) return staticOrder;
  if (control == kRotate) return !forcedStatic_;
  return true;
}

void Raid6SettingsRules::SetStatic(bool on) {
  staticOrder = on || forcedStatic_;
  if (!staticOrder) skip = false;
}

// ---- schema file page ----

DialogVerdict SchemaPageRules::Next(WStringView typedPath, const std::function<int(WStringView)>& countMembers,
                                    int availableDisks) {
  // The typed path counts; an empty one is no valid schema file.
  path = TrimBlanks(typedPath);
  disks = path.empty() || !countMembers ? 0 : countMembers(path);
  if (disks > 0 && disks <= availableDisks) return DialogVerdict::Close();
  const int message = disks > 0 ? 246 : 668;
  disks = 0;
  return DialogVerdict::Refuse(message, kPathEdit);
}

// ---- chained images ----

WString ChainRules::Caption() const { return StripAccelerator(EntryName(vhd_ ? 624 : 623, vhd_ ? u"Load V&HD Files" : u"Load &VMDK Files")); }
WString ChainRules::BaseLabel() const {
  return EntryName(vhd_ ? 618 : 617, vhd_ ? u"&Parent disk image:" : u"&Base disk image:");
}
WString ChainRules::ListLabel() const {
  return EntryName(vhd_ ? 619 : 620, vhd_ ? u"&Differencing disk images (from oldest to most current):"
                                          : u"&Delta link disk images (from oldest to most current):");
}
WString ChainRules::BrowseText() const { return EntryName(vhd_ ? 3 : 443, vhd_ ? u"&Browse..." : u"B&rowse..."); }
WString ChainRules::AddText() const { return EntryName(vhd_ ? 621 : 622, vhd_ ? u"&Add Child" : u"&Add Link"); }
WString ChainRules::FileFilter() const {
  return EntryName(vhd_ ? 626 : 625,
                   vhd_ ? u"Microsoft Virtual Disk Files (*.vhd;*.vhdx)|*.vhd;*.vhdx|All Files (*.*)|*.*||"
                        : u"VMware Virtual Machine Disk Files (*.vmdk)|*.vmdk|All Files (*.*)|*.*||");
}

void ChainRules::AddLink(WStringView path) {
  if (path.empty() || links.size() >= kMaxLinks) return;
  links.emplace_back(path);
  selection = int(links.size()) - 1;
}

void ChainRules::Remove() {
  if (selection < 0 || size_t(selection) >= links.size()) return;
  links.erase(links.begin() + selection);
  if (size_t(selection) >= links.size()) selection = int(links.size()) - 1;
}

void ChainRules::MoveUp() {
  if (selection <= 0 || size_t(selection) >= links.size()) return;
  std::swap(links[size_t(selection)], links[size_t(selection) - 1]);
  selection--;
}

void ChainRules::MoveDown() {
  if (selection < 0 || size_t(selection) + 1 >= links.size()) return;
  std::swap(links[size_t(selection)], links[size_t(selection) + 1]);
  selection++;
}

bool ChainRules::Enabled(int control) const {
  const int n = int(links.size());
  switch (control) {
    case kAddLink:
      return links.size() < kMaxLinks;
    case kRemove:
      return selection >= 0 && selection < n;
    case kMoveUp:
      return selection > 0 && selection < n && n >= 2;
    case kMoveDown:
      return selection >= 0 && selection + 1 < n;
    default:
      return true;
  }
}

DialogVerdict ChainRules::Ok(WStringView basePath, WString* caption) {
  const WString base = TrimBlanks(basePath);
  if (base.empty()) {
    // "parent disk image" / "base disk image": the label without its "&",
    // cut at ":" and with a lower-case first letter.
    WString what = BaseLabel();
    std::erase(what, u'&');
    const size_t colon = what.find(u':');
    if (colon != WString::npos) what.resize(colon);
    if (!what.empty() && what[0] >= u'A' && what[0] <= u'Z') what[0] = char16_t(what[0] - u'A' + u'a');
    if (caption) *caption = Caption();
    return DialogVerdict::Refuse(629, kBaseEdit, FormatW(EntryName(629, u"The %s cannot be empty!"), what));
  }
  definition = WString(vhd_ ? u"VHD(" : u"VMDK(") + base;
  for (size_t i = 0; i < links.size() && i < kMaxLinks; i++) definition += u"|" + links[i];
  definition += u")";
  return DialogVerdict::Close();
}

void ChainRules::RegisterImages(WStringView definition, const std::function<void(WStringView)>& add) {
  const size_t open = definition.find(u'(');
  if (open == WStringView::npos || !add) return;
  WStringView rest = definition.substr(open + 1);
  if (!rest.empty() && rest.back() == u')') rest.remove_suffix(1);
  while (!rest.empty()) {
    const size_t bar = rest.find(u'|');
    const WStringView part = rest.substr(0, bar);
    if (!part.empty()) add(part);
    if (bar == WStringView::npos) break;
    rest = rest.substr(bar + 1);
  }
}

// ---- partial scan ----

void RangeRules::SetRange(int32_t s, int32_t m) {
  skip = s;
  maximum = m;
  skipText = FormatW(u"%ld", s);
  maximumText = FormatW(u"%ld", m);
}

void RangeRules::Reset() {
  maximumText = FormatW(u"%ld", int32_t(2147483647));
  skipText = u"0";
}

DialogVerdict RangeRules::Ok(WStringView maxText, WStringView skText) {
  maximumText = TrimBlanks(maxText);
  skipText = TrimBlanks(skText);
  // Text that is no number reads as 0; a number past the 32-bit range
  // cannot be kept and is refused like a wrong one.
  const std::optional<int64_t> m = ParseLeadingInteger(maximumText);
  const std::optional<int64_t> s = ParseLeadingInteger(skipText);
  const bool maxOk = !maximumText.empty() && m && *m > 0 && *m <= INT32_MAX;
  const bool skipOk = !skipText.empty() && s && *s >= 0 && *s <= INT32_MAX;
  if (maxOk && skipOk) {
    maximum = int32_t(*m);
    skip = int32_t(*s);
    return DialogVerdict::Close();
  }
  return DialogVerdict::Refuse(376, maxOk ? kSkipEdit : kMaximumEdit);
}
