#include "ui/core/CheckComboRules.h"

namespace {

bool IsSep(char16_t c) { return c == u',' || c == u';'; }

bool ReplaceAll(WString& s, WStringView from, WStringView to) {
  bool any = false;
  for (size_t at = s.find(from); at != WString::npos; at = s.find(from)) {
    s.replace(at, from.size(), to);
    any = true;
  }
  return any;
}

WString Trim(WStringView s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == u' ' || s[a] == u'\t')) a++;
  while (b > a && (s[b - 1] == u' ' || s[b - 1] == u'\t')) b--;
  return WString(s.substr(a, b - a));
}

// Characters a file extension may hold.
bool AllowedInExtension(char16_t c) {
  if (c < 32 || c > 255) return false;
  switch (c) {
    case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'\\': case u'|':
      return false;
    default:
      return true;
  }
}

std::vector<WString> SplitParts(WStringView text) {
  std::vector<WString> parts;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); i++) {
    if (i == text.size() || IsSep(text[i])) {
      parts.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

}  // namespace

WString TidyLookForText(WStringView text) {
  WString s = Trim(text);
  ReplaceAll(s, u", ", u",");
  ReplaceAll(s, u"; ", u";");
  ReplaceAll(s, u" ,", u",");
  ReplaceAll(s, u" ;", u";");
  ReplaceAll(s, u",,", u",");
  ReplaceAll(s, u";;", u";");
  // Each of the three until none is left, then again: "*?*" needs both.
  while (ReplaceAll(s, u"**", u"*") | ReplaceAll(s, u"*?", u"*") | ReplaceAll(s, u"?*", u"*")) {
  }
  return s;
}

int FindLookForPattern(WStringView text, WStringView pattern) {
  if (pattern.empty()) return -1;
  for (size_t at = text.find(pattern); at != WStringView::npos; at = text.find(pattern, at + 1)) {
    const bool startOk = at == 0 || IsSep(text[at - 1]);
    const size_t end = at + pattern.size();
    const bool endOk = end == text.size() || IsSep(text[end]);
    if (startOk && endOk) return int(at);
  }
  return -1;
}

int ClassifyLookForPattern(WStringView p) {
  if (p == u"*") return -1;
  if (p.size() >= 2) {
    bool all = true;
    for (size_t i = 1; i < p.size(); i++)
      if (p[i] != u'*' && p[i] != u'?') all = false;
    if (all) return -1;
  }
  if (p.size() >= 2 && p[0] == u'*' && p[1] == u'.') {
    for (size_t i = 2; i < p.size(); i++)
      if (!AllowedInExtension(p[i])) return 0;
    return 1;
  }
  return 0;
}

WString UpdateLookForText(WStringView text, WStringView ext, bool checked) {
  WString s = TidyLookForText(text);
  const WString pattern = ext == u"*" ? WString(u"*") : u"*." + WString(ext);
  const int at = FindLookForPattern(s, pattern);
  if (checked) {
    if (at < 0) {
      if (!s.empty()) s += u',';
      s += pattern;
    }
    return s;
  }
  if (at >= 0) {
    size_t end = size_t(at) + pattern.size();
    while (end < s.size() && IsSep(s[end])) end++;
    s.erase(size_t(at), end - size_t(at));
    while (!s.empty() && IsSep(s.back())) s.pop_back();
  }
  return s;
}

LookForSplit SplitLookForText(WStringView text) {
  WString t(text);
  for (char16_t& c : t)
    if (c == u'/') c = u'\\';
  LookForSplit out;
  bool first = true;
  for (const WString& part : SplitParts(t)) {
    if (!first) {
      out.names += u',';
      out.folders += u',';
    }
    first = false;
    const size_t slash = part.rfind(u'\\');
    if (!part.empty() && part.back() == u'\\') {
      out.folders += part;
      out.names += u"*";
    } else if (slash == WString::npos) {
      out.folders += u"*";
      out.names += part;
    } else {
      out.folders += part.substr(0, slash + 1);
      out.names += part.substr(slash + 1);
    }
  }
  return out;
}

WString ScanFolderPatterns(const LookForSplit& split) {
  if (split.names.find(u',') != WString::npos) return {};
  if (!split.folders.empty() && split.folders[0] == u'*') return {};
  return split.folders;
}

void CheckComboModel::SetLines(std::vector<WString> extensions) {
  ext_ = std::move(extensions);
  checked_.assign(ext_.size(), false);
  lineOf_.clear();
  for (size_t i = 0; i < ext_.size(); i++) lineOf_.emplace(ext_[i], i);
}

int CheckComboModel::LineOf(WStringView ext) const {
  auto it = lineOf_.find(WString(ext));
  return it == lineOf_.end() ? -1 : int(it->second);
}

void CheckComboModel::SetAll(bool checked) {
  for (size_t i = 0; i < checked_.size(); i++) checked_[i] = i == 0 ? checked : false;
  text_ = checked ? WString(u"*") : WString();
}

void CheckComboModel::Toggle(size_t line) {
  if (line >= ext_.size()) return;
  const bool state = !checked_[line];
  if (line == 0) return SetAll(state);
  checked_[line] = state;
  text_ = UpdateLookForText(text_, ext_[line], state);
  if (checked_[0]) {
    checked_[0] = false;
    text_ = UpdateLookForText(text_, u"*", false);
  }
}

void CheckComboModel::DropDown() {
  Tidy();
  for (size_t i = 0; i < ext_.size(); i++) {
    if (!checked_[i]) continue;
    const WString pattern = i == 0 ? WString(u"*") : u"*." + ext_[i];
    if (FindLookForPattern(text_, pattern) < 0) checked_[i] = false;
  }
  for (const WString& part : SplitParts(WString(text_))) {
    const int cls = ClassifyLookForPattern(part);
    if (cls == -1) return SetAll(true);
    if (cls == 1) {
      const int line = LineOf(WStringView(part).substr(2));
      if (line >= 0) checked_[size_t(line)] = true;
    }
  }
}
