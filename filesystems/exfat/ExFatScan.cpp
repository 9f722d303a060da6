#include "filesystems/exfat/ExFatScan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatData.h"
#include "filesystems/exfat/ExFatDeleted.h"
#include "filesystems/exfat/ExFatEntry.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "foundation/AppState.h"
#include "platform/Format.h"
#include "volumes/Extents.h"
#include "volumes/FolderWalk.h"
#include "volumes/NodeTable.h"
#include "volumes/Recycler.h"
#include "volumes/ScanSink.h"
#include "volumes/VolumeFamily.h"

using namespace exfat;

namespace {

bool Stopped(const CVol* v) { return v->StopRequested(); }

// A recycle-bin record ($I name, 544 bytes): read and given to the
// recycler; true when it took it.
bool TakeRecycleRecord(CExFATVol* v, ExFatEntrySet& set, WStringView name) {
  CExtents map;
  uint8_t data[kRbiRecordBytes];
  if (!SetExFatNodeRuns(v, &set.node) || !MapExFatRuns(*v, set.node.RunBuffer(), set.node.size, map) ||
      ReadExFatBytes(*v, map, 0, data, sizeof data) != int64_t(sizeof data))
    return false;
  if (!v->recycler) v->recycler = std::make_shared<Recycler>();
  return v->recycler->AddRBI(data, sizeof data, name);
}

// The set is complete: named, mapped where needed and handed over.
int FinishSet(CExFATVol* v, std::unique_ptr<ExFatEntrySet> set, bool recycled) {
  ExFatNode& n = set->node;
  const bool named = set->nameChars > 0;
  if (n.id == 0 && (n.size || n.IsDirectory() || !named)) return 0;
  if (n.id == 1) return 0;
  WString name(set->name, set->nameChars);
  if (named && name.size() > 2 && name[0] == u'$' && name[1] == u'I' && n.size == kRbiRecordBytes &&
      TakeRecycleRecord(v, *set, name))
    return 0;
  // A deleted file's clusters are judged now, so the list shows its grade.
  if (n.flags & kNodeDeleted) GiveExFatDeletedRuns(v, &n);
  else if (n.IsDirectory()) SetExFatNodeRuns(v, &n);
  WString folder;
  bool remapped = false;
  if (named && recycled && v->recycler && v->engine) {
    folder = CurrentFolderPath(v);
    RecycledItem item{name, kNodeExFat, n.IsDirectory()};
    if (v->recycler->Remap(&folder, &item, n.size, 0)) {
      name = item.name;
      if (folder.size() >= 2 && folder[1] == u':') folder.erase(0, 2);
      remapped = true;
    }
  }
  if (!named) {
    SetExFatNodeRuns(v, &n);
    const WString ext = v->SniffNodeType(&n);
    name = FormatW(u"%s%ld", n.IsDirectory() ? u"Folder" : u"file", int32_t(n.id));
    if (!ext.empty()) name += FormatW(u".%s", ext);
  }
  if (!v->engine) return 0;
  n.name = v->engine->Nodes().InternName(name);
  cnode* node = CreateNode(kNodeExFat);
  if (!node) return 0;
  if (!node->CopyNode(&n)) {
    DeleteNode(&node);
    return 0;
  }
  if (remapped) {
    // The remapped file is stored under the folder it had before.
    FolderWalk& walk = TheFolderWalk();
    WString here = std::move(walk.path);
    walk.path = folder;
    AddDirEntryNode(v, node);
    walk.path = std::move(here);
  } else {
    AddDirEntryNode(v, node);
  }
  return 1;
}

}  // namespace

int ParseExFATEntries(CExFATVol* v, const uint8_t* entries, size_t bytes, uint32_t parent, bool parentDeleted) {
  if (!v || !entries) return 0;
  const bool recycled = IsRecycledPath(CurrentFolderPath(v));
  int made = 0;
  for (size_t at = 0; at + kEntryBytes <= bytes; at += kEntryBytes) {
    if ((at & 0xFFFF) == 0 && Stopped(v)) break;
    const uint8_t* e = entries + at;
    const uint8_t type = e[0];
    ExFatEntrySet* set = v->openSet.get();
    if (set && type != kTypeStream && type != kTypeStreamDeleted && type != kTypeName && type != kTypeNameDeleted) {
      v->openSet.reset();
      set = nullptr;
    }
    if (!set) {
      switch (type) {
        case kTypeFile:
        case kTypeFileDeleted: {
          auto fresh = std::unique_ptr<ExFatEntrySet>(new (std::nothrow) ExFatEntrySet());
          if (!fresh) return made;
          const ExFatFileEntry f = ReadFileEntry(e);
          ExFatNode& n = fresh->node;
          v->SetNodeClusterCode(&n);
          if (f.deleted) n.flags |= kNodeDeleted;
          if (f.valid) {
            n.createTime = f.createTime;
            n.modifyTime = f.modifyTime;
            n.accessTime = f.accessTime;
            n.attributes = f.attributes;
            if (f.attributes & kAttrDirectory) n.flags2 |= kNode2Directory;
            fresh->secondaryCount = f.secondaryCount;
            n.tenMs[0] = f.createTenMs;
            n.tenMs[1] = f.modifyTenMs;
            n.utcOffset[0] = f.createUtc;
            n.utcOffset[1] = f.modifyUtc;
            n.utcOffset[2] = f.accessUtc;
            n.parentId = parent;
            if (parentDeleted) n.flags |= kNodeDeleted;
          } else {
            // Never finished by its secondaries: the next entry that is
            // none drops it.
            n.id = 0;
          }
          v->openSet = std::move(fresh);
          break;
        }
        case kTypeBitmap: {
          const ExFatVolumeEntry b = ReadBitmapEntry(e);
          v->bitmaps[b.index] = {b.firstCluster, b.length};
          break;
        }
        case kTypeUpcase: {
          const ExFatVolumeEntry u = ReadUpcaseEntry(e);
          v->upcase = {u.firstCluster, u.length};
          v->upcaseChecksum = u.checksum;
          break;
        }
        case kTypeLabel:
          if (!v->labelFound) {
            char16_t text[kMaxLabelLength];
            const size_t n = ReadLabelEntry(e, text);
            v->label.assign(text, n);
            v->labelFound = true;
          }
          break;
        default:
          break;
      }
    } else if (type == kTypeStream || type == kTypeStreamDeleted) {
      const ExFatStreamEntry s = ReadStreamEntry(e);
      if (uint64_t(s.firstCluster) < uint64_t(v->clusterCount) + kFirstCluster) {
        set->node.generalFlags = s.flags;
        set->node.id = s.firstCluster;
        set->node.size = s.dataLength;
        set->nameLength = s.nameLength;
        set->secondaries++;
      }
    } else {
      char16_t chars[kNameCharsPerEntry];
      size_t count = 0;
      if (ReadNameEntry(e, v->Options().fileNameCharOk, chars, &count)) {
        const size_t room = std::min<size_t>(set->nameLength, kMaxNameLength);
        if (set->nameChars + count <= room) {
          std::memcpy(set->name + set->nameChars, chars, count * sizeof(char16_t));
          set->nameChars += uint32_t(count);
        } else if (set->nameChars < room) {
          const size_t take = room - set->nameChars;
          std::memcpy(set->name + set->nameChars, chars, take * sizeof(char16_t));
          set->nameChars += uint32_t(take);
        }
        set->secondaries++;
      }
    }
    if (v->openSet && v->openSet->secondaryCount && v->openSet->secondaries >= v->openSet->secondaryCount)
      made += FinishSet(v, std::move(v->openSet), recycled);
  }
  return made;
}

int ParseExFatFolderPiece(CVol& volume, const cnode& folder, const uint8_t* data, size_t bytes) {
  if (volume.type != kVolExFat) return 0;
  auto* v = static_cast<CExFATVol*>(&volume);
  return ParseExFATEntries(v, data, bytes, folder.id, (folder.flags & kNodeDeleted) != 0);
}
