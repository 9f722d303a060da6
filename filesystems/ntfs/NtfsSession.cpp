#include "filesystems/ntfs/NtfsSession.h"

#include <algorithm>
#include <new>
#include <vector>

#include "foundation/Trace.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/Streams.h"
#include "volumes/VolumeFamily.h"

namespace {

void WriteRuns(const uint8_t* list, SessionTailWriter& out) {
  out.Runs(list ? list + kRunListHeaderBytes : nullptr, RunListBytes(list));
}

// Null for an empty list; out of memory ends the load.
RunList ToRunList(const std::vector<uint8_t>& pairs) {
  if (pairs.empty()) return nullptr;
  RunList list = NewRunList(pairs.data(), pairs.size());
  if (!list) ShowErrorAndThrow();
  return list;
}

// A chain's pieces map consecutive ranges of the stream: each starts where
// the runs of those before it end. A piece without runs leaves the rest
// unplaced (the reader then maps them as holes up to the stream's end).
void DerivePieceVcns(XEntry* first) {
  uint64_t vcn = 0;
  for (XEntry* p = first; p; p = p->next) {
    p->firstVcn = vcn;
    const int64_t n = p->runs ? GetClusterCount(p->runs) : -1;
    if (n <= 0) {
      p->lastVcn = vcn;
      for (XEntry* q = p->next; q; q = q->next) q->firstVcn = q->lastVcn = vcn;
      return;
    }
    p->clusterCount = uint32_t(std::min<int64_t>(n, UINT32_MAX));
    vcn += uint64_t(n);
    p->lastVcn = vcn - 1;
  }
}

}  // namespace

void NtfsWriteNodeTail(const cnode& node, SessionTailWriter& out) {
  const auto& n = static_cast<const snode&>(node);
  out.Number(int64_t(n.creationTime));
  out.Number(int64_t(n.writeTime));
  out.Number(int64_t(n.id));
  out.Number(int64_t(n.validSize));
  out.Number(int64_t(n.position));
  out.EndLine();
  out.Tagged("S=", int64_t(n.allocatedSize));
  out.EndLine();
  if (n.HasPieces()) {
    // One run list a piece; an empty chain counts as one empty list.
    int64_t count = 0;
    for (const XEntry* x = n.Pieces(); x; x = x->next) count++;
    out.Tagged("r=", count ? count : 1);
    out.EndLine();
    if (!count) WriteRuns(nullptr, out);
    for (const XEntry* x = n.Pieces(); x; x = x->next) WriteRuns(x->runs, out);
  } else {
    out.Tagged("r=", 1);
    out.EndLine();
    WriteRuns(n.runs, out);
  }
  // A stream whose data lies in pieces of extension records keeps only its
  // own run list (none): it reads from its record again.
  for (const NTFSStream* s = n.streams; s; s = s->next) {
    out.Number(int64_t(s->realSize));
    out.Number(int64_t(s->initializedSize));
    out.Number(int64_t(s->flags & ~NTFSStream::kDataInPieces));
    out.EndLine();
    out.Name(s->name ? WStringView(s->name) : WStringView());
    WriteRuns(s->runs, out);
  }
}

void NtfsReadNodeTail(cnode& node, SessionTailReader& in) {
  auto& n = static_cast<snode&>(node);
  n.creationTime = uint64_t(in.Number());
  n.writeTime = uint64_t(in.Number());
  const int64_t id = in.Number();
  if (id < 0 || id > int64_t(UINT32_MAX)) in.Fail();
  n.id = uint32_t(id);
  n.validSize = uint64_t(in.Number());
  n.position = uint64_t(in.Number());
  in.SkipLine();
  n.allocatedSize = uint64_t(in.Tagged("S="));
  in.SkipLine();
  const int64_t lists = in.Tagged("r=");
  in.SkipLine();
  if (lists < 0 || lists > 65536) in.Fail();
  if (n.flags & kNodeStreams) {
    // The chain hangs on the node before its lists are read: a failure
    // part-way frees it with the node.
    XEntry* first = nullptr;
    for (int64_t k = 0; k < lists; k++) {
      auto* piece = new (std::nothrow) XEntry;
      if (!piece) ShowErrorAndThrow();
      if (!first) {
        first = piece;
        n.runs = reinterpret_cast<uint8_t*>(first);
      } else {
        first->Add(piece);
      }
      piece->runs = ToRunList(in.Runs());
    }
    DerivePieceVcns(first);
  } else {
    if (lists != 1) in.Fail();
    n.runs = ToRunList(in.Runs());
  }
  NTFSStream** tail = &n.streams;
  for (int64_t k = 0; k < in.extraStreams; k++) {
    auto* s = new (std::nothrow) NTFSStream;
    if (!s) ShowErrorAndThrow();
    *tail = s;
    tail = &s->next;
    s->realSize = uint64_t(in.Number());
    s->initializedSize = uint64_t(in.Number());
    const int64_t flags = in.Number();
    in.SkipLine();
    if (flags < 0 || flags > 0xFFFF) in.Fail();
    s->flags = uint16_t(flags & ~NTFSStream::kDataInPieces);
    const WString name = in.Name();
    if (!name.empty()) s->name = in.Nodes().engineNames.InternName(name.c_str(), nullptr, true);
    s->runs = ToRunList(in.Runs());
  }
}
