// Fuzz target: arbitrary text as a drive-definition string, through the
// classifiers, the member splitter, the member parser, the parsed tree (its
// text form must parse back to itself) and the RAID settings text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/Globals.h"
#include "platform/Errors.h"
#include "storage/RaidSettings.h"
#include "storage/VolumeDefinition.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GlobalObjectsScope* scope = new GlobalObjectsScope(true);
  (void)scope;
  const WString text = FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  (void)GetRaidType(text);
  (void)GetSpanType(text);
  (void)IsMultiDiskDefinition(text);
  (void)HasNestedRaid(text);
  (void)IsRaid0OverRaid(text);
  (void)IsDriveOrSharePath(text);
  (void)ParseGroupedNumber(text);
  for (size_t from : {size_t(0), size_t(5), size_t(6), size_t(7)}) {
    bool closed = false;
    size_t end = 0;
    for (WStringView m : SplitDefinitionMembers(text, from, &closed, &end)) {
      if (m.empty() || m.size() >= kMaxMemberChars || m.data() < text.data() ||
          m.data() + m.size() > text.data() + text.size())
        __builtin_trap();
      MemberText t;
      if (ParseMemberText(m, &t) && t.hasRange && (t.first < 0 || t.last < 0)) __builtin_trap();
    }
    if (end > text.size()) __builtin_trap();
  }
  VolSpec v;
  try {
    v.Parse(text);
    const WString once = v.Format();
    if (!once.empty()) {
      VolSpec again;
      again.Parse(once);
      if (again.Format() != once) __builtin_trap();
    }
  } catch (const DvCodeError&) {
  }
  RaidSettings s;
  if (ParseRaidSettingsText(text, &s) &&
      (s.stripeBytes < 512 || s.parityGroup < 1 || s.rotation < 0 || s.rotation > 5 || s.order > 2))
    __builtin_trap();
  return 0;
}
