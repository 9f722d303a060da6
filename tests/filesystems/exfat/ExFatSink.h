// A scan engine that keeps what a folder parser hands it.
#pragma once
#include <string>
#include <vector>

#include "tests/support/NullScanSink.h"

class ExFatSink : public NullScanSink {
 public:
  struct File {
    const cnode* node;
    std::u16string name, path;
  };
  int StoreFileItem(WStringView, WStringView path, int64_t index) override {
    const cnode* n = nodes.GetAt(index);
    files.push_back({n, n->GetNameW(), std::u16string(path)});
    return 1;
  }

  std::vector<File> files;
};
