#include "foundation/UiServices.h"

#include <cerrno>

#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Trace.h"

namespace {
HeadlessPrompt g_headlessPrompt;
std::atomic<PromptService*> g_prompt{nullptr};
}  // namespace

int HeadlessPrompt::MessageBox(WStringView text, WStringView caption, unsigned style) {
  fprintf(stderr, "[%s] %s\n", ToUtf8(caption).c_str(), ToUtf8(text).c_str());
  unsigned buttons = style & kMbButtonsMask;
  if (buttons == kMbYesNo || buttons == kMbYesNoCancel) return kIdYes;
  return kIdOk;
}

void ScriptedPrompt::Push(int answer) {
  std::lock_guard<std::mutex> lock(m_);
  answers_.push_back(answer);
}

int ScriptedPrompt::MessageBox(WStringView text, WStringView caption, unsigned style) {
  std::lock_guard<std::mutex> lock(m_);
  asked_.push_back(Asked{WString(text), WString(caption), style});
  if (!answers_.empty()) {
    int a = answers_.front();
    answers_.pop_front();
    return a;
  }
  unsigned buttons = style & kMbButtonsMask;
  return (buttons == kMbYesNo || buttons == kMbYesNoCancel) ? kIdNo : kIdOk;
}

std::vector<ScriptedPrompt::Asked> ScriptedPrompt::asked() const {
  std::lock_guard<std::mutex> lock(m_);
  return asked_;
}

size_t ScriptedPrompt::remaining() const {
  std::lock_guard<std::mutex> lock(m_);
  return answers_.size();
}

PromptService& Prompt() {
  PromptService* p = g_prompt.load();
  return p ? *p : g_headlessPrompt;
}

void SetPromptService(PromptService* service) { g_prompt = service; }

int ShowMessageArgs(unsigned style, WStringView format, FmtArgs args) {
  WString text = FormatWArgs(format, args);
  if (text.size() > 511) text.resize(511);
  return Prompt().MessageBox(text, kProductName, style);
}

int ShowLastError() {
  ErrorMsg(nullptr, nullptr);
  return ShowError(u"%s", LastErrorText());
}

// ---- headless view ----

void HeadlessView::OperationStarted() {
  std::lock_guard<std::mutex> lock(m);
  started = true;
}

void HeadlessView::FoundItems(std::vector<FoundItem>& items, int percent) {
  {
    std::lock_guard<std::mutex> lock(m);
    for (auto& i : items) found.push_back(std::move(i));
    lastPercent = percent;
  }
  items.clear();
  if (g_eventHandover) g_eventHandover->Set();
}

void HeadlessView::StatusItems(std::vector<StatusItem>& items, int) {
  {
    std::lock_guard<std::mutex> lock(m);
    statuses.insert(statuses.end(), items.begin(), items.end());
  }
  items.clear();
  if (g_eventHandover) g_eventHandover->Set();
}

void HeadlessView::ProgressText(int, WStringView text) {
  std::lock_guard<std::mutex> lock(m);
  progress.emplace_back(text);
}

void HeadlessView::SetRecoveryList(std::vector<RecoveryListEntry> list) {
  std::lock_guard<std::mutex> lock(m);
  toRecover_ = std::move(list);
  nextToRecover_ = 0;
}

void HeadlessView::FillRecoveryList(std::vector<RecoveryListEntry>& list) {
  {
    std::lock_guard<std::mutex> lock(m);
    list.clear();
    while (nextToRecover_ < toRecover_.size() && list.size() < size_t(kRecoveryListSize))
      list.push_back(toRecover_[nextToRecover_++]);
  }
  if (g_eventRecovery) g_eventRecovery->Set();
}

namespace {
HeadlessLogWriter g_headlessLogWriter = nullptr;
}  // namespace

void SetHeadlessLogWriter(HeadlessLogWriter writer) { g_headlessLogWriter = writer; }

void HeadlessView::LogLine(WStringView line) {
  std::lock_guard<std::mutex> lock(m);
  log.emplace_back(line);
  if (g_headlessLogWriter) g_headlessLogWriter(log.back());
  if (echoLog) fprintf(stderr, "%s\n", ToUtf8(log.back()).c_str());
}

void HeadlessView::OperationEnded(int64_t itemsFound) {
  std::lock_guard<std::mutex> lock(m);
  ended = true;
  itemsFoundAtEnd = itemsFound;
}
