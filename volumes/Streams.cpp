#include "volumes/Streams.h"

#include <new>

#include "foundation/Trace.h"

namespace {

// Code-unit order; null is the empty name.
int CompareNames(const char16_t* a, const char16_t* b) {
  if (!a) a = u"";
  if (!b) b = u"";
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return int(*a) - int(*b);
}

void TraceRunList(const uint8_t* list) {
  uint32_t pos = 0;
  int64_t delta;
  uint32_t length;
  int64_t lcn = 0;
  while (ReadNextRun(&delta, &length, list, &pos) == 1) {
    lcn += delta;
    TracePrintfA("  run %I64d %ld\n", lcn, length);
  }
}

}  // namespace

// ---- streams ----

NTFSStream::NTFSStream(RunList runs_, const char16_t* name_, uint64_t realSize_, uint64_t initializedSize_)
    : initializedSize(initializedSize_), realSize(realSize_), runs(runs_), name(name_) {}

NTFSStream* NTFSStream::NTFSStreamEmpty() { return new (std::nothrow) NTFSStream(); }

NTFSStream* AddStreamSorted(NTFSStream* head, RunList runs, const char16_t* name, uint64_t realSize,
                            uint64_t initializedSize) {
  auto* stream = new (std::nothrow) NTFSStream(runs, name, realSize, initializedSize);
  if (!stream) {
    FreeRunList(runs);
    return head;
  }
  NTFSStream** link = &head;
  while (*link && CompareNames((*link)->name, name) <= 0) link = &(*link)->next;
  stream->next = *link;
  *link = stream;
  return head;
}

const NTFSStream* FindStream(const NTFSStream* head, const char16_t* name) {
  if (!name || !*name) return nullptr;
  for (const NTFSStream* s = head; s; s = s->next) {
    if (CompareNames(s->name, name) == 0) return s;
  }
  return nullptr;
}

NTFSStream* FindStream(NTFSStream* head, const char16_t* name) {
  return const_cast<NTFSStream*>(FindStream(static_cast<const NTFSStream*>(head), name));
}

NTFSStream* CopyStreamChain(const NTFSStream* head) {
  NTFSStream* copy = nullptr;
  NTFSStream** tail = &copy;
  for (const NTFSStream* s = head; s; s = s->next) {
    RunList runs = CopyRunList(s->runs);
    auto* c = (runs || !s->runs) ? new (std::nothrow) NTFSStream(runs, s->name, s->realSize, s->initializedSize)
                                 : nullptr;
    if (!c) {
      FreeRunList(runs);
      FreeStreamChain(copy);
      return nullptr;
    }
    c->reservedSize = s->reservedSize;
    // Pieces are not copied, so the copy holds its data in `runs` only.
    c->flags = uint16_t(s->flags & ~NTFSStream::kDataInPieces);
    *tail = c;
    tail = &c->next;
  }
  return copy;
}

void FreeStreamChain(NTFSStream* head) {
  while (head) {
    NTFSStream* next = head->next;
    FreeRunList(head->runs);
    DeleteXEntryChain(head->pieces);
    delete head;
    head = next;
  }
}

// ---- pieces ----

XEntry::~XEntry() { FreeRunList(runs); }

void XEntry::Add(XEntry* piece) {
  if (!piece || piece == this) return;
  XEntry* tail = this;
  while (tail->next) tail = tail->next;
  tail->next = piece;
}

void XEntry::FreeChain(XEntry* first) {
  if (!first) return;
  DeleteXEntryChain(first->next);
  first->next = nullptr;
}

void DeleteXEntryChain(XEntry* first) {
  // Iterative: attribute lists of very fragmented files make long chains.
  while (first) {
    XEntry* next = first->next;
    delete first;
    first = next;
  }
}

XEntry* CopyXEntryChain(const XEntry* first) {
  XEntry* copy = nullptr;
  XEntry** tail = &copy;
  for (const XEntry* e = first; e; e = e->next) {
    auto* c = new (std::nothrow) XEntry();
    if (c && e->runs) {
      c->runs = CopyRunList(e->runs);
      if (!c->runs) {
        delete c;
        c = nullptr;
      }
    }
    if (!c) {
      DeleteXEntryChain(copy);
      return nullptr;
    }
    c->recordNumber = e->recordNumber;
    c->baseRecord = e->baseRecord;
    c->firstVcn = e->firstVcn;
    c->lastVcn = e->lastVcn;
    c->realSize = e->realSize;
    c->initializedSize = e->initializedSize;
    c->allocatedSize = e->allocatedSize;
    c->position = e->position;
    c->volumeIndex = e->volumeIndex;
    c->clusterCount = e->clusterCount;
    *tail = c;
    tail = &c->next;
  }
  return copy;
}

int ReadNextRunExt(int64_t* delta, uint32_t* length, const XEntry* piece, uint32_t* position) {
  if (!piece) return -1;
  return ReadNextRun(delta, length, piece->runs, position);
}

// ---- piece table ----

HTree* NewPieceTable() {
  return new (std::nothrow)
      HTree(kPieceTablePage, kPieceTableBuckets, 5, 4, HtTypes(kHtInt, kHtInt, kHtInt, kHtInt), HtTypes(kHtInt));
}

void FreePieceTable(HTree* table) {
  if (!table) return;
  table->DeleteAllTrees([](void* p) { delete static_cast<XEntry*>(p); }, 4);
  delete table;
}

XEntry* AddExt(XEntry* piece, HTree& table, uint64_t creationTime) {
  if (!piece) return nullptr;
  if (traceMft.load(std::memory_order_relaxed)) {
    uint8_t t[8];
    for (int i = 0; i < 8; ++i) t[i] = uint8_t(creationTime >> (8 * i));
    TracePrintfA("File $EE_%x (%ld) @ %I64d, ISize %I64d, %02x%02x%02x%02x %02x%02x%02x%02x %I64d\n",
                 uint32_t(piece->baseRecord), int64_t(piece->recordNumber & XEntry::kRecordMask),
                 int64_t(piece->position), int64_t(piece->realSize), t[7], t[6], t[5], t[4], t[3], t[2], t[1], t[0],
                 int64_t(piece->firstVcn));
    TraceRunList(piece->runs);
  }
  if (!table.AddNodeKey(piece->recordNumber & XEntry::kRecordMask, piece->firstVcn, piece->baseRecord, 0, piece)) {
    delete piece;
    return nullptr;
  }
  return piece;
}

XEntry* FindPiece(const HTree& table, const XEntry& wanted) {
  return static_cast<XEntry*>(
      table.FindExtended(wanted.recordNumber & XEntry::kRecordMask, wanted.firstVcn, wanted.baseRecord, 0));
}
