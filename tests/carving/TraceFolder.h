// Points the trace file into a temporary folder for the life of the object
// (the ZIP record scan's sector files go there too), with the ZIP trace
// level set when one is given; both are put back and the folder removed at
// the end.
#pragma once
#include <string>

#include "foundation/Trace.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"

namespace carve_test {

class TraceFolder {
 public:
  explicit TraceFolder(int32_t zipLevel = -1) : dir_(folder_.Path()) {
    oldPath_ = theTrace().TraceFilePath();
    oldZip_ = traceZip.load();
    if (zipLevel >= 0) traceZip = zipLevel;
    Set(FromUtf8(dir_ + "/trace.txt"));
  }
  ~TraceFolder() {
    TraceFileClose();
    Set(oldPath_);
    traceZip = oldZip_;
  }
  TraceFolder(const TraceFolder&) = delete;
  TraceFolder& operator=(const TraceFolder&) = delete;

  // What was traced so far.
  std::string Text() {
    TraceFileClose();
    return ReadFileText(dir_ + "/trace.txt");
  }
  const std::string& Dir() const { return dir_; }

 private:
  static void Set(const WString& path) {
    theTrace().SetOptions(path, traceExecutionPath, traceRaid, traceMft, traceIo, traceContent, traceCompression,
                          traceUnixFsA, traceUnixFsB, traceHfs, traceKeepFileOpen, traceSequentialSearch);
  }
  TempFolder folder_{"carve_trace"};
  std::string dir_;
  WString oldPath_;
  int32_t oldZip_ = 0;
};

}  // namespace carve_test
