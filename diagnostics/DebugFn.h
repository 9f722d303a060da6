// The one-line name prompt (trace file name, content code, disk-image file
// name). Its window comes with the user interface; this is what OK does.
#pragma once
#include "platform/Text.h"

class CDebugFn {
 public:
  int mode = 0;  // 0 file name, 1 content code
  WString fileName;
  // OK: the entry is kept with surrounding white space removed. Whether the
  // name suits a trace file is the trace options dialog's question.
  void OnOk(WStringView entry);
  const WString& GetFileName() const { return fileName; }
};
