#include "diagnostics/DebugDlg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace {

// The trace state as it was, back after each test.
struct TraceState {
  WString path = theTrace().TraceFilePath();
  int32_t values[11] = {traceExecutionPath,   traceRaid,    traceMft,     traceIo,  traceContent,
                        traceCompression,     traceUnixFsA, traceUnixFsB, traceHfs, traceKeepFileOpen,
                        traceSequentialSearch};
  int32_t mode = sectorTraceMode;
  ~TraceState() {
    theTrace().SetOptions(path, values[0], values[1], values[2], values[3], values[4], values[5], values[6], values[7],
                          values[8], values[9], values[10]);
    sectorTraceMode = mode;
  }
};

struct Prompts {
  ScriptedPrompt prompt;
  explicit Prompts(std::vector<int> answers = {}) : prompt(std::move(answers)) { SetPromptService(&prompt); }
  ~Prompts() { SetPromptService(nullptr); }
  WString Last() const {
    const auto a = prompt.asked();
    return a.empty() ? WString() : a.back().text;
  }
};

CDebugDlg::Asks Answers(WString name = u"wubgrain.txt", int replace = 0, WString code = u"") {
  CDebugDlg::Asks a;
  a.traceFileName = [name](WString* out) {
    *out = name;
    return true;
  };
  a.contentCode = [code](WString* out) {
    *out = code;
    return !code.empty();
  };
  a.replaceOrAppend = [replace](WStringView) { return replace; };
  return a;
}

}  // namespace

// OK's folder checks, as a table: each refusal keeps the dialog open.
TEST(DebugDlg, FolderChecks) {
  const TraceState keep;
  const TempFolder temp("debugdlg");
  struct Case {
    WString folder;
    const char16_t* message;  // null: accepted
  } cases[] = {
      {u"", u"Please read and check the WARNING above and specify the full path of the trace folder (e.g. c:\\trace)."},
      {u"/a",
       u"Please read and check the WARNING above and specify the full path of the trace folder (e.g. c:\\trace)."},
      {u"trace/here",
       u"Please read and check the WARNING above and specify the full path of the trace folder (e.g. c:\\trace)."},
      {u"/proc/trace", u"Data cannot be saved to the Windows system folder."},
      {u"/usr/share", u"Data cannot be saved to the Windows system folder."},
      {FromUtf8(temp.Path()), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.folder));
    Prompts p;
    CDebugDlg d;
    d.warningRead = true;
    d.folder = c.folder;
    const auto r = d.OnOk(Answers());
    if (c.message) {
      EXPECT_EQ(r, CDebugDlg::Result::kStay);
      EXPECT_EQ(p.Last(), c.message);
    } else {
      EXPECT_EQ(r, CDebugDlg::Result::kOk);
    }
  }
}

// After OK the switches are the boxes, in SetOptions' order (the Unix box
// twice); the fixed name turns the function trace off.
TEST(DebugDlg, OkAppliesTheBoxes) {
  const TraceState keep;
  const TempFolder temp("debugdlg");
  Prompts p;
  CDebugDlg d;
  d.folder = FromUtf8(temp.Path());
  d.executionPath = true;
  d.io = true;
  d.mft = false;
  d.raid = true;
  d.compression = true;
  d.unixFs = true;
  d.hfs = false;
  d.buffering = false;
  d.sequential = true;
  d.interval = 7;
  ASSERT_EQ(d.OnOk(Answers()), CDebugDlg::Result::kOk);
  EXPECT_EQ(theTrace().TraceFilePath(), FromUtf8(temp.Path() + "/wubgrain.txt"));
  const int32_t got[] = {traceExecutionPath,   traceRaid,    traceMft,     traceIo,  traceContent,
                         traceCompression,     traceUnixFsA, traceUnixFsB, traceHfs, traceKeepFileOpen,
                         traceSequentialSearch};
  const int32_t want[] = {0, 1, 0, 1, 0, 1, 1, 1, 0, 0, 1};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(got[i], want[i]) << i;
  EXPECT_EQ(sectorTraceMode, 7);
  struct stat st;
  EXPECT_EQ(stat((temp.Path() + "/wubgrain.txt").c_str(), &st), 0);
  // Opened again: the boxes show the switches.
  CDebugDlg again;
  again.Start();
  EXPECT_TRUE(again.warningRead);
  EXPECT_EQ(again.folder, FromUtf8(temp.Path() + "/"));
  EXPECT_FALSE(again.mft);
  EXPECT_TRUE(again.compression);
  EXPECT_EQ(again.interval, 7);
}

// The file name: a bad one is refused and clears the path; an existing
// file asks Replace or Append.
TEST(DebugDlg, TraceFileNameAndExistingFile) {
  const TraceState keep;
  const TempFolder temp("debugdlg");
  const std::string file = temp.Path() + "/wubgrain.txt";
  {
    Prompts p;
    CDebugDlg d;
    d.folder = FromUtf8(temp.Path());
    EXPECT_EQ(d.OnOk(Answers(u"notes.txt")), CDebugDlg::Result::kStay);
    EXPECT_EQ(p.Last(), u"Invalid trace filename.");
    EXPECT_TRUE(d.tracePath.empty());
  }
  struct Case {
    int answer;
    CDebugDlg::Result result;
    std::string content;
  } cases[] = {
      {0, CDebugDlg::Result::kOk, ""}, {1, CDebugDlg::Result::kOk, "old\n"}, {2, CDebugDlg::Result::kStay, "old\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    theTrace().SetOptions(u"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1);
    { std::ofstream(file) << "old\n"; }
    Prompts p;
    CDebugDlg d;
    d.folder = FromUtf8(temp.Path());
    int asked = 0;
    CDebugDlg::Asks a = Answers();
    a.replaceOrAppend = [&](WStringView) { return ++asked, c.answer; };
    EXPECT_EQ(d.OnOk(a), c.result);
    EXPECT_EQ(asked, 1);
    theTrace().SetOptions(u"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1);
    EXPECT_EQ(ReadFileText(file), c.content);
  }
}

// The Content box and the Unix and HFS boxes.
TEST(DebugDlg, ContentAndFileSystemBoxes) {
  struct Code {
    WString code;
    bool box;
    int32_t count;
  } codes[] = {{u"DVC 10", false, 0}, {u"DVC 11", true, 11}, {u"XYZ 50", false, 0}, {u"DVC 5x", false, 0}};
  for (const Code& c : codes) {
    SCOPED_TRACE(ToUtf8(c.code));
    CDebugDlg d;
    d.OnContentBox(true, Answers(u"", 0, c.code));
    EXPECT_EQ(d.content, c.box);
    EXPECT_EQ(d.contentCount, c.count);
  }
  CDebugDlg d;
  d.contentCount = 20;
  d.OnContentBox(false, Answers());
  EXPECT_EQ(d.contentCount, 0);
  struct Interval {
    int32_t before, after;
  } intervals[] = {{0, 1}, {5, 5}};
  for (const Interval& i : intervals) {
    CDebugDlg u;
    u.interval = i.before;
    u.OnUnixFsBox(true);
    EXPECT_EQ(u.interval, i.after);
    CDebugDlg h;
    h.interval = i.before;
    h.OnHfsBox(true);
    EXPECT_EQ(h.interval, i.after);
  }
}

// Intervals 9997 to 9999 say what they do.
TEST(DebugDlg, SectorModesShowTheirNotices) {
  const TraceState keep;
  const TempFolder temp("debugdlg");
  struct Case {
    int32_t interval;
    const char16_t* notice;
  } cases[] = {{9997, u"Save XFS files to trace folder"},
               {9998, u"Reading sectors from trace folder"},
               {9999, u"Writing sectors to trace folder"}};
  for (const Case& c : cases) {
    Prompts p({kIdOk, kIdOk});
    CDebugDlg d;
    d.folder = FromUtf8(temp.Path());
    d.interval = c.interval;
    EXPECT_EQ(d.OnOk(Answers(u"wubgrain.txt", 0)), CDebugDlg::Result::kOk);
    EXPECT_EQ(p.Last(), c.notice);
  }
}
