#include "filesystems/ntfs/RecycleBin.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsFileData.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "volumes/NodeTable.h"
#include "volumes/Recycler.h"
#include "volumes/ScanSink.h"

namespace {

// An INFO2 file of a bin holds 800 bytes a deleted item; anything past
// this is no INFO2 file.
constexpr uint64_t kMaxInfo2Bytes = 16u << 20;

Recycler& RecyclerOf(NTFSVol* volume) {
  if (!volume->recycler) volume->recycler = std::make_shared<Recycler>();
  return *volume->recycler;
}

bool IsOlderBin(WStringView folder) {
  const size_t skip = (folder.size() >= 2 && folder[1] == u':') ? 2 : 0;
  const WStringView rest = folder.substr(skip);
  auto starts = [&](WStringView bin) { return rest.size() >= bin.size() && EqualsNoCase(rest.substr(0, bin.size()), bin); };
  return starts(u"\\RECYCLER\\") || starts(u"\\Recycled\\");
}

const uint8_t* Intern(WStringView name, void* context) {
  return static_cast<ScanSink*>(context)->Nodes().InternName(name);
}

}  // namespace

bool NTFS::TakeRecycleRecord(NTFSVol* volume, const inode& record) {
  if (!volume || record.size != kRbiRecordBytes || !record.residentData || record.residentSize < kRbiRecordBytes)
    return false;
  if (!IsRecycleBinName(record.fileName, u'I')) return false;
  return RecyclerOf(volume).AddRBI(record.residentData, kRbiRecordBytes, record.fileName);
}

bool NTFS::ReadInfo2(NTFSVol* volume, cnode* node, WStringView folderPath) {
  if (!volume || !node || !node->IsSnode() || node->IsDirectory()) return false;
  const WString name = node->GetNameW();
  if (!EqualsNoCase(name, u"INFO2") && !EqualsNoCase(name, u"INFO")) return false;
  if (!IsOlderBin(folderPath) || node->size < kInfo2HeaderBytes || node->size > kMaxInfo2Bytes) return false;
  std::vector<uint8_t> content(size_t(node->size));
  inode reader;
  if (!NTFS::MakeDataReader(volume, static_cast<const snode*>(node), nullptr, &reader)) return false;
  if (reader.runs) {
    if (reader.BuildMappingTablesAll() < 0) return false;
    reader.ResetSequential();
    for (size_t done = 0; done < content.size();) {
      const uint32_t n = uint32_t(std::min<size_t>(content.size() - done, 1u << 20));
      const uint8_t* p = reader.SequentialRead(n);
      if (!p) return false;
      std::memcpy(content.data() + done, p, n);
      done += n;
    }
  } else {
    // Resident: the record is read again for its data.
    inode record;
    if (NTFS::ReadResidentRecord(volume, static_cast<const snode*>(node), nullptr, &record) != 0 ||
        !record.residentData || record.residentSize < content.size())
      return false;
    std::memcpy(content.data(), record.residentData, content.size());
  }
  BufferInfo2Source source(content.data(), content.size());
  if (RecyclerOf(volume).AddInfo2Records(source, folderPath, volume->clusterSize) < 0) return false;
  return true;
}

WString NTFS::RecycledFolder(NTFSVol* volume, cnode* node, WStringView binFolder, ScanSink& engine) {
  WString folder(binFolder);
  if (!volume || !volume->recycler) return folder;
  // The older bin records sizes in whole clusters.
  uint64_t size = node->size;
  if (IsOlderBin(binFolder) && volume->clusterSize)
    size = (size + volume->clusterSize - 1) / volume->clusterSize * volume->clusterSize;
  WString path = folder;
  if (!volume->recycler->Remap(&path, node, size, 0, Intern, &engine)) return folder;
  // The bin records the drive it was on ("C:"); the volume gives its own.
  if (path.size() >= 2 && path[1] == u':') path.erase(0, 2);
  return path;
}
