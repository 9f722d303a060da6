// The table of every text the program shows, by message id.
#pragma once
#include <array>
#include <cstdint>

#include "platform/Text.h"

inline constexpr int kMessageCount = 675;

class MessageTable {
 public:
  // Empty for an id without a text (and for an id outside the table).
  const WString& Get(int id) const;
  void Set(int id, WString text);
  int FilledCount() const;
  void Clear();

 private:
  std::array<WString, kMessageCount> texts_;
};

extern MessageTable* g_messages;  // built at start-up (see Globals)
MessageTable& theMessages();
inline const WString& Msg(int id) { return theMessages().Get(id); }

// Fills the table with the English texts; the product placeholder is
// replaced by the product name and version once, here.
void InitMessageTable();
// The language byte of the settings object becomes 0 (English).
void SetLanguage();

// A window whose caption and controls take texts from the table.
class DialogTextTarget {
 public:
  virtual ~DialogTextTarget() = default;
  virtual void SetCaption(WStringView text) = 0;
  // False when the window has no control with that id.
  virtual bool SetControlText(int controlId, WStringView text) = 0;
};

// The first pair names the caption (its control id is not used).
void SetDialogTexts(const int* messageIds, const int* controlIds, int count, DialogTextTarget& dialog);
// Without "&" marks and without one trailing colon.
WString StripAccelerator(WStringView text);
// An id below 0x10000 names a string of the resource string table (there is
// none here, so it gives an empty text); otherwise a narrow text to convert.
WString LoadStringOrCopy(uint32_t resourceId);
WString LoadStringOrCopy(const char* text);
