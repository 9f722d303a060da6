#include "storage/RaidSettings.h"

#include <map>
#include <mutex>
#include <vector>

namespace {

std::mutex g_mutex;
std::map<WString, RaidSettings>& Store() {
  static std::map<WString, RaidSettings> store;
  return store;
}

bool ParseSmall(WStringView t, int* out) {
  if (t.empty() || t.size() > 7) return false;
  int v = 0;
  for (char16_t c : t) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + (c - u'0');
  }
  *out = v;
  return true;
}

}  // namespace

void SetRaidSettings(WStringView definition, const RaidSettings& settings) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Store()[WString(definition)] = settings;
}

bool FindRaidSettings(WStringView definition, RaidSettings* out) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Store().find(WString(definition));
  *out = it == Store().end() ? RaidSettings{} : it->second;
  return it != Store().end();
}

void ClearRaidSettings() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Store().clear();
}

bool ParseRaidSettingsText(WStringView text, RaidSettings* out) {
  std::vector<WStringView> f;
  for (size_t at = 0;;) {
    const size_t colon = text.find(u':', at);
    f.push_back(text.substr(at, colon == WStringView::npos ? WStringView::npos : colon - at));
    if (colon == WStringView::npos) break;
    at = colon + 1;
  }
  if (f.size() != 3 && f.size() != 5) return false;
  RaidSettings s = *out;
  int kib = 0;
  if (f[0] == u"0.5") s.stripeBytes = 512;
  else if (ParseSmall(f[0], &kib) && kib >= 1 && kib <= 1024 * 1024) s.stripeBytes = kib * 1024;
  else return false;
  if (!ParseSmall(f[1], &s.parityGroup) || s.parityGroup < 1 || s.parityGroup > 65536) return false;
  if (!ParseSmall(f[2], &s.rotation) || s.rotation > 5) return false;
  if (f.size() == 5 && (!ParseSmall(f[3], &s.coefficientMode) || s.coefficientMode > 1 ||
                        !ParseSmall(f[4], &s.order) || s.order > 2))
    return false;
  *out = s;
  return true;
}
