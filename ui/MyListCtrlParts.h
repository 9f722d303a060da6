// What the list control's source files share: the row layout's constants
// and the node lookup.
#pragma once
#include <QCoreApplication>
#include <atomic>
#include <cstdint>

#include "ui/core/ListStore.h"

namespace listctrl {

inline constexpr uint32_t kNoEntry = 0xFFFFFFFFu;
inline constexpr int kCheckBoxLeft = 4, kCheckBoxSize = 13, kIconLeft = 20, kTextLeft = 40;
// Rows a search or an export does between two turns of the event loop: a
// few tens of milliseconds at most.
inline constexpr int64_t kBulkSliceRows = 16384;

// The node's details, or null when the row has none or the source does not know it.
inline const ListNodeInfo* NodeOf(const ListNodeSource* nodes, int32_t nodeIndex, ListNodeInfo& info) {
  return nodeIndex != -1 && nodes && nodes->GetNode(nodeIndex, info) ? &info : nullptr;
}

// Lets timers, paints and queued calls run between slices of a long search
// or write; input waits, so the list cannot change meanwhile.
inline void KeepWindowAlive() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

}  // namespace listctrl

// Raised at the start of each search or export: the threads' cell
// formatters start afresh.
extern std::atomic<uint64_t> g_bulkGeneration;
