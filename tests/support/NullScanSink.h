// A scan engine for parsers run without one: it keeps the nodes it is
// given in its own table and otherwise shows nothing, covers nothing and
// never stops. Tests and fuzz targets derive from it for what they check.
#pragma once
#include <cstdint>

#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

class NullScanSink : public ScanSink {
 public:
  // Takes the node, or a copy of it when asked (the caller keeps its own).
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
  int StoreFileItem(WStringView, WStringView, int64_t) override { return 1; }
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
  uint8_t ScanMode() const override { return kScanQuick; }
  bool StopRequested() const override { return false; }
  void WaitWhilePaused() override {}

  CNdArray nodes;
};
