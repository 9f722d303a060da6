#include "ui/core/RunsListCopy.h"

#include <unistd.h>

#include <algorithm>

#include "foundation/Trace.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "platform/Platform.h"
#include "storage/Drive.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"

WString RunsListCopy::ListPath() { return FromUtf8(plat::SupportDir() + "/$runs_list$.csv"); }

bool RunsListCopy::PlainName(WStringView name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return std::none_of(name.begin(), name.end(), [](char16_t c) { return c == u'/' || c == u'\\' || c == 0; });
}

int RunsListCopy::Run(Drive& drive, WStringView folder, WStringView name, WStringView listPath) {
  if (!PlainName(name)) {
    ErrorMsg(
        FormatW(u"\"%s\" is not a file name: the copy is written as one file inside the destination folder.", name));
    return -1;
  }
  int64_t first = 0, bytes = 0;
  int32_t clusterBytes = 4096;
  std::vector<RunListRun> runs;
  std::vector<int64_t> values;
  if (!ReadTextFile(listPath, &first, &clusterBytes, &runs, &bytes, &values) || runs.empty()) {
    ErrorMsg(FormatW(u"The runs list %s cannot be read or lists no runs.", listPath));
    return -1;
  }
  const uint32_t ss = drive.SectorSize();
  if (clusterBytes < int32_t(ss) || (clusterBytes & (clusterBytes - 1)) != 0 || clusterBytes > (1 << 24)) {
    ErrorMsg(FormatW(u"The runs list %s gives a cluster size of %d bytes.", listPath, int(clusterBytes)));
    return -1;
  }
  RunListEncoder encoder;
  const uint64_t driveClusters = drive.SectorCount() / (uint32_t(clusterBytes) / ss);
  for (const RunListRun& r : runs) {
    if (r.start < 0 || r.end < r.start || uint64_t(r.end) > driveClusters) {
      ErrorMsg(
          FormatW(u"The runs list %s names clusters %I64d to %I64d, past the source's end.", listPath, r.start, r.end));
      return -1;
    }
    for (int64_t at = r.start; at < r.end;) {
      const uint32_t n = uint32_t(std::min<int64_t>(r.end - at, 0x7FFFFFFF));
      if (encoder.AddRun(at, n) < 0) {
        ErrorMsg(u"The runs list is too long.");
        return -1;
      }
      at += n;
    }
  }
  RunList list = encoder.Export();
  if (!list) {
    ErrorMsg(u"The runs list lists no clusters.");
    return -1;
  }
  CVol* vol = CreateVol(kVolExt);
  vol->drive = &drive;
  vol->sectorSize = ss;
  vol->sectorShift = uint32_t(__builtin_ctz(ss));
  vol->sectorMask = ss - 1;
  vol->clusterSize = uint32_t(clusterBytes);
  vol->clusterShift = uint32_t(__builtin_ctz(uint32_t(clusterBytes)));
  vol->clusterMask = uint32_t(clusterBytes) - 1;
  vol->sectorsPerCluster = uint32_t(clusterBytes) / ss;
  vol->sectorsPerClusterShift = uint32_t(__builtin_ctz(vol->sectorsPerCluster));
  vol->sectorsPerClusterMask = vol->sectorsPerCluster - 1;
  vol->startSector = 0;
  vol->sizeSectors = drive.SectorCount();
  uint64_t clusters = encoder.TotalClusters();
  if (bytes > 0)
    clusters = std::min<uint64_t>(clusters, (uint64_t(bytes) + uint32_t(clusterBytes) - 1) / uint32_t(clusterBytes));
  WString path(folder);
  while (path.size() > 1 && path.back() == u'/') path.pop_back();
  path += u"/";
  path += name;
  int result = vol->CopyClusterRange(list, clusters, path);
  // The list's byte count ends the file inside its last cluster.
  if (result == 0 && bytes > 0 && uint64_t(bytes) < clusters * uint32_t(clusterBytes) &&
      truncate(ToUtf8(path).c_str(), bytes) != 0) {
    ErrorMsg(nullptr, path.c_str());
    result = -1;
  }
  FreeRunList(list);
  DeleteVol(&vol);
  return result;
}
