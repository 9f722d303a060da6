#include "ui/core/SessionRules.h"

#include <sys/stat.h>

#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "platform/Format.h"
#include "storage/VolumeDefinition.h"

bool IsNestedRaidSource(WStringView name) {
  const WString upper = [&] {
    WString s(name);
    for (char16_t& c : s)
      if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    return s;
  }();
  if (GetRaidType(upper) == kRaidNone) return false;
  return upper.find(u"RAID", 4) != WString::npos;
}

DialogVerdict CheckSessionNameForm(WStringView name, int editId) {
  const WString n(name);
  if (n.empty() || n[0] != u'/' || n.back() == u'/' || n.rfind(u"/dev/", 0) == 0)
    return DialogVerdict::Refuse(117, editId, FormatW(Msg(117), n));
  if (IsSystemFolder(ToUtf8(n))) return DialogVerdict::Refuse(144, editId, u"Data cannot be saved to a system folder.");
  return DialogVerdict::Close();
}

DialogVerdict CheckSessionNameKind(WStringView name, int editId) {
  const WString n(name);
  struct stat st;
  if (::stat(ToUtf8(n).c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return DialogVerdict::Refuse(117, editId, FormatW(Msg(117), n));
  return DialogVerdict::Close();
}
