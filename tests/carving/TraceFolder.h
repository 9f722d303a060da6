// Points the trace file into a temporary folder for the life of the object
// (the ZIP record scan's sector files go there too), with the ZIP trace
// level set when one is given; both are put back and the folder removed at
// the end.
#pragma once
#include <cstdlib>
#include <string>

#include "foundation/Trace.h"
#include "tests/foundation/TestUtil.h"

namespace carve_test {

class TraceFolder {
 public:
  explicit TraceFolder(int32_t zipLevel = -1) : dir_(MakeTempDir("carve_trace")) {
    oldPath_ = theTrace().TraceFilePath();
    oldZip_ = traceZip.load();
    if (zipLevel >= 0) traceZip = zipLevel;
    Set(FromUtf8(dir_ + "/trace.txt"));
  }
  ~TraceFolder() {
    TraceFileClose();
    Set(oldPath_);
    traceZip = oldZip_;
    std::system(("rm -rf '" + dir_ + "'").c_str());
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
  std::string dir_;
  WString oldPath_;
  int32_t oldZip_ = 0;
};

}  // namespace carve_test
