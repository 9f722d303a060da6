#include "ui/core/IconLocation.h"

#include <sys/stat.h>

namespace {

bool IsFile(WStringView path) {
  if (path.empty()) return false;
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int FileExistsIgnoringIndex(WStringView location) {
  if (location.empty()) return 0;
  if (IsFile(location)) return 1;
  const size_t comma = location.rfind(u',');
  if (comma == WStringView::npos) return 0;
  return IsFile(location.substr(0, comma)) ? 1 : 0;
}
