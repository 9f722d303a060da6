#include "foundation/Messages.h"

#include <gtest/gtest.h>

#include <map>

#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "platform/Format.h"

namespace {

class FakeDialog : public DialogTextTarget {
 public:
  explicit FakeDialog(std::map<int, WString> controls) : controls(std::move(controls)) {}
  void SetCaption(WStringView text) override { caption = WString(text); }
  bool SetControlText(int id, WStringView text) override {
    auto it = controls.find(id);
    if (it == controls.end()) return false;
    it->second = WString(text);
    return true;
  }
  WString caption = u"template caption";
  std::map<int, WString> controls;
};

TEST(Messages, SharedIdsHoldTheirTexts) {
  GlobalObjectsScope scope;
  std::map<int, WString> expected = {
      {0, u"?"},           {14, u"OK"},         {84, u"&Save"},  {91, u"&Scan"},
      {155, u"Corrupt:"},  {162, u"Failed:"},   {200, u"Skipped:"}, {231, u"Saved:"},
      {209, u"Out of memory."}, {328, u"Good"}, {329, u"Poor"},  {351, u"Disk "},
      {362, u"Cannot read negative sector %I64d."}, {407, u"Invalid trace filename."},
      {449, u"KB"},        {452, u"TB"},        {259, u"hour"},  {392, u"hours"},
  };
  for (const auto& [id, text] : expected) EXPECT_EQ(Msg(id), text) << id;
  EXPECT_EQ(Msg(311), Msg(269) + u" :");
  EXPECT_EQ(Msg(115), Msg(63) + u" :");
  EXPECT_EQ(Msg(-1), u"");
  EXPECT_EQ(Msg(kMessageCount), u"");
}

TEST(Messages, EveryTextIsAUsableFormatAndTheProductIsFilledIn) {
  GlobalObjectsScope scope;
  int filled = 0;
  for (int id = 0; id < kMessageCount; ++id) {
    const WString& t = Msg(id);
    if (t.empty()) continue;
    ++filled;
    EXPECT_GE(CountFormatArgs(t), 0) << "message " << id << ": " << ToUtf8(t);
    EXPECT_EQ(t.find(u"%%PRODVER%%"), WString::npos) << id;
  }
  EXPECT_GT(filled, 300);
}

TEST(Messages, StripAccelerator) {
  struct Case {
    WString in, out;
  } cases[] = {{u"&Look in:", u"Look in"}, {u"Sa&ve", u"Save"}, {u"Plain", u"Plain"},
               {u"Two::", u"Two:"},        {u"", u""},          {u"&&:", u""}};
  for (const auto& c : cases) EXPECT_EQ(StripAccelerator(c.in), c.out) << ToUtf8(c.in);
}

TEST(Messages, SetDialogTextsKeepsTemplateTextForEmptyIds) {
  GlobalObjectsScope scope;
  theMessages().Set(600, u"&Caption:");
  theMessages().Set(601, u"&Label");
  theMessages().Set(602, u"");
  theMessages().Set(603, u"About %%PRODVER%% and %%PRODVER%%");
  FakeDialog d({{10, u"t10"}, {11, u"t11"}, {12, u"t12"}});
  const int ids[] = {600, 601, 602, 603, 601};
  const int controls[] = {0, 10, 11, 12, 99};  // 99: no such control
  SetDialogTexts(ids, controls, 5, d);
  EXPECT_EQ(d.caption, u"Caption");
  EXPECT_EQ(d.controls[10], u"&Label");
  EXPECT_EQ(d.controls[11], u"t11");
  EXPECT_EQ(d.controls[12], u"About Delvora 4.3 and Delvora 4.3");
  EXPECT_EQ(Msg(603), u"About Delvora 4.3 and Delvora 4.3");  // replaced for good

  FakeDialog e({});
  const int first[] = {0};
  SetDialogTexts(first, controls, 1, e);
  EXPECT_EQ(e.caption, u"template caption");  // id 0 leaves the caption
}

TEST(Messages, LoadStringOrCopy) {
  EXPECT_EQ(LoadStringOrCopy(uint32_t(123)), u"");
  EXPECT_EQ(LoadStringOrCopy("narrow text"), u"narrow text");
}

TEST(Messages, SetLanguageIsEnglish) {
  GlobalObjectsScope scope;
  g_appState->language = 3;
  SetLanguage();
  EXPECT_EQ(g_appState->language, 0);
}

}  // namespace
