// Reads a session file through every section as a load does.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/Session.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Text.h"

// "" on success (the session in *keep when given), else the last error.
inline std::string ReadSessionFile(const std::string& path, std::unique_ptr<SLSession>* keep = nullptr,
                                   std::vector<std::pair<int64_t, WString>>* items = nullptr,
                                   uint64_t lastUnit = 1 << 20) {
  auto s = std::make_unique<SLSession>(FromUtf8(path));
  try {
    SessionParms parms;
    int two[2];
    s->LoadParms(&parms);
    s->ReadTwoBytes(&two[0], &two[1]);
    s->LoadPartitions();
    s->LoadExclusionRanges(lastUnit);
    s->LoadInodes();
    const int64_t n = s->LoadListItems();
    for (int64_t k = 0; k < n; k++) {
      WString itemPath;
      const int64_t i = s->ReadNextNode(&itemPath);
      if (items) items->emplace_back(i, itemPath);
    }
  } catch (const DvCodeError&) {
    return ToUtf8(LastErrorText());
  }
  if (keep) *keep = std::move(s);
  return "";
}
