// The rules of the Session commands and of the "Saving the Current
// Session" dialog that need no window.
#pragma once
#include "platform/Text.h"
#include "ui/core/DialogRules.h"

// A set whose definition holds another RAID set (a RAID 0 over RAID 5,
// RAID 6 or RAID-Z sets among them): its session cannot be saved.
bool IsNestedRaidSource(WStringView name);

// OK is enabled while either request is checked.
inline bool SessionDialogOkEnabled(bool saveSession, bool createCsv) { return saveSession || createCsv; }

// The name's form: an absolute path (117 naming it), not in a system
// folder (144), never under /dev (117). Focus on editId when refused.
DialogVerdict CheckSessionNameForm(WStringView name, int editId);
// What the name is on disk: an existing folder, device node or anything
// else that is not a regular file is refused with 117 naming it.
DialogVerdict CheckSessionNameKind(WStringView name, int editId);
