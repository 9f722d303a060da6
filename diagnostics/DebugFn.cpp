#include "diagnostics/DebugFn.h"

void CDebugFn::OnOk(WStringView entry) {
  auto space = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  while (!entry.empty() && space(entry.front())) entry.remove_prefix(1);
  while (!entry.empty() && space(entry.back())) entry.remove_suffix(1);
  fileName.assign(entry);
}
