#include "diagnostics/TraceRanges.h"

#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/SpecialOptions.h"
#include "foundation/UiServices.h"

namespace {

bool PowerOfTwo(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

}  // namespace

TraceRanges::TraceRanges() = default;
TraceRanges::~TraceRanges() = default;

void TraceRanges::Free() {
  ranges_.clear();
  current_ = 0;
}

int TraceRanges::Load(const IniFile& file) {
  Free();
  int64_t confirmValue = 1;
  const bool confirm = !ReadOptionInt("Trace", "Confirm", file, &confirmValue, false) || confirmValue != 0;
  int64_t count = 0;
  if (!ReadOptionInt("Trace", "Range Count", file, &count, confirm) || count < 1 || count > 65535) return 0;
  std::vector<Range> loaded;
  for (int64_t i = 0; i < count; ++i) {
    const std::string section = "Range " + std::to_string(i);
    int64_t start = 0, size = 0, sectorSize = 0, clusterSize = 0, entrySize = 0;
    std::string runs;
    const char* s = section.c_str();
    const bool all = ReadOptionInt(s, "Starting Sector", file, &start, confirm) &&
                     ReadOptionInt(s, "Size in Sectors", file, &size, confirm) &&
                     ReadOptionInt(s, "Sector Size", file, &sectorSize, confirm) &&
                     ReadOptionInt(s, "Cluster Size", file, &clusterSize, confirm) &&
                     ReadOptionInt(s, "MFT Entry Size", file, &entrySize, confirm) &&
                     ReadOptionString(s, "Runs", file, &runs, confirm);
    // The run map divides by these: NTFS's own bounds, nothing else.
    bool sound = all && start >= 0 && size > 0 && start <= INT64_MAX - size &&
                 (sectorSize == 512 || sectorSize == 4096) && PowerOfTwo(clusterSize) && clusterSize >= sectorSize &&
                 clusterSize <= (2 << 20) && PowerOfTwo(entrySize) && entrySize >= 256 && entrySize <= 4096;
    Range r;
    if (sound) {
      r.start = start;
      r.end = start + size;
      r.map = std::make_unique<MFTRunMap>();
      sound = r.map->SetSectorSize(uint32_t(sectorSize)) && r.map->SetClusterSize(uint32_t(clusterSize)) &&
              r.map->LoadHexRunList(std::string_view(runs)) >= 0;
      if (sound) r.map->SetRecordSize(uint32_t(entrySize));
    }
    if (!sound) {
      ShowError(u"Trace value error.");
      return 0;
    }
    loaded.push_back(std::move(r));
  }
  ranges_ = std::move(loaded);
  return int(ranges_.size());
}

uint64_t TraceRanges::Next(int64_t sector, uint64_t record) {
  while (current_ < ranges_.size() && sector >= ranges_[current_].end) ++current_;
  if (current_ >= ranges_.size() || sector < ranges_[current_].start) return 0;
  return ranges_[current_].map->MapRecord(record);
}
