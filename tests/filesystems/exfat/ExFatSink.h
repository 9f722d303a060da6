// A scan engine that keeps what a folder parser hands it.
#pragma once
#include <string>
#include <vector>

#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

class ExFatSink : public ScanSink {
 public:
  struct File {
    const cnode* node;
    std::u16string name, path;
  };
  cnode* AddNewNode(cnode* node, bool copy, int64_t* index) override {
    if (copy) {
      cnode* kept = CreateNode(node->kind);
      if (!kept || !kept->CopyNode(node)) {
        DeleteNode(&kept);
        return nullptr;
      }
      node = kept;
    }
    const int64_t i = nodes.SetAt(node);
    if (index) *index = i;
    return i < 0 ? nullptr : node;
  }
  int StoreFileItem(WStringView, WStringView path, int64_t index) override {
    const cnode* n = nodes.GetAt(index);
    files.push_back({n, n->GetNameW(), std::u16string(path)});
    return 1;
  }
  const uint8_t* GetNodeData(int64_t) const override { return nullptr; }
  CNdArray& Nodes() override { return nodes; }
  void AddFoundCount(int32_t) override {}
  void AddNodeRanges(const CVol&, const NodeRun*, size_t, uint32_t, uint64_t, uint64_t) override {}
  bool IsCovered(uint64_t, uint64_t) const override { return false; }
  int32_t FindVolume(uint8_t, int64_t, uint64_t) const override { return -1; }
  void SetPercentComplete(int, int) override {}
  uint64_t ItemsBeforeWindow() const override { return 0; }
  int PathFilterMatch(const char16_t*) const override { return 0; }
  void CountStat(ScanStat, uint32_t) override {}
  uint8_t ScanMode() const override { return 0; }
  bool StopRequested() const override { return false; }
  void WaitWhilePaused() override {}

  CNdArray nodes;
  std::vector<File> files;
};
