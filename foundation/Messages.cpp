#include "foundation/Messages.h"

#include "foundation/AppState.h"
#include "foundation/UiServices.h"

MessageTable* g_messages = nullptr;

MessageTable& theMessages() {
  static MessageTable fallback;
  return g_messages ? *g_messages : fallback;
}

const WString& MessageTable::Get(int id) const {
  static const WString empty;
  if (id < 0 || id >= kMessageCount) return empty;
  return texts_[size_t(id)];
}

void MessageTable::Set(int id, WString text) {
  if (id >= 0 && id < kMessageCount) texts_[size_t(id)] = std::move(text);
}

int MessageTable::FilledCount() const {
  int n = 0;
  for (const auto& t : texts_)
    if (!t.empty()) ++n;
  return n;
}

void MessageTable::Clear() {
  for (auto& t : texts_) t.clear();
}

namespace {
struct MessageText {
  int id;
  const char16_t* text;
};
#define DV_MSG(id, text) {id, text},
constexpr MessageText kEnglish[] = {
#include "foundation/MessageTexts.inc"
};
#undef DV_MSG

void ReplaceAll(WString& text, WStringView what, WStringView with) {
  for (size_t at = text.find(what); at != WString::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
}
}  // namespace

void InitMessageTable() {
  MessageTable& t = theMessages();
  for (const auto& m : kEnglish) {
    WString text = m.text;
    // Replaced once here, so every later reader sees the same final text.
    ReplaceAll(text, u"%%PRODVER%%", kProductVersion);
    t.Set(m.id, std::move(text));
  }
  t.Set(311, t.Get(269) + u" :");
  t.Set(115, t.Get(63) + u" :");
}

void SetLanguage() {
  if (g_appState) g_appState->language = 0;
}

WString StripAccelerator(WStringView text) {
  WString out;
  out.reserve(text.size());
  for (char16_t c : text)
    if (c != u'&') out.push_back(c);
  if (!out.empty() && out.back() == u':') out.pop_back();
  return out;
}

void SetDialogTexts(const int* messageIds, const int* controlIds, int count, DialogTextTarget& dialog) {
  if (!messageIds || !controlIds || count <= 0) return;
  MessageTable& t = theMessages();
  for (int i = 0; i < count; ++i) {
    const WString& text = t.Get(messageIds[i]);
    if (text.find(u"%%PRODVER%%") != WString::npos) {
      WString replaced = text;
      ReplaceAll(replaced, u"%%PRODVER%%", kProductVersion);
      t.Set(messageIds[i], std::move(replaced));
    }
  }
  if (messageIds[0] != 0 && !t.Get(messageIds[0]).empty()) dialog.SetCaption(StripAccelerator(t.Get(messageIds[0])));
  for (int i = 1; i < count; ++i) {
    const WString& text = t.Get(messageIds[i]);
    if (!text.empty()) dialog.SetControlText(controlIds[i], text);
  }
}

WString LoadStringOrCopy(uint32_t resourceId) {
  (void)resourceId;  // no resource string table in this build
  return WString();
}

WString LoadStringOrCopy(const char* text) { return text ? FromUtf8(text) : WString(); }
