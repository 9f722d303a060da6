#include "storage/VmdkFormat.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

namespace {

constexpr char16_t kInvalidVmdk[] = u"Invalid VMDK header";

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

int ParseVmdkHeader(const uint8_t* h, VmdkSparseHeader* out) {
  *out = VmdkSparseHeader{};
  const uint32_t magic = Le32(h);
  if (magic == vmdk::kMagicSparse) {
    out->kind = 1;
    out->capacity = Le64(h + vmdk::kCapacity);
    out->grainSectors = Le64(h + vmdk::kGrainSize);
    out->tableEntries = Le32(h + vmdk::kTableEntries);
    out->directorySector = Le64(h + vmdk::kDirectoryOffset);
    const uint64_t spt = uint64_t(out->tableEntries) * out->grainSectors;
    out->directoryEntries = spt && out->grainSectors <= vmdk::kMaxGrainSectors ? (out->capacity + spt - 1) / spt : 0;
    out->compressed = (Le32(h + vmdk::kFlags) & vmdk::kFlagCompressed) != 0 || Le16(h + vmdk::kCompressAlgorithm) != 0 ||
                      out->directorySector == vmdk::kDirectoryAtEnd;
    out->descriptorSector = Le64(h + vmdk::kDescriptorOffset);
    out->descriptorSectors = Le64(h + vmdk::kDescriptorSize);
    out->overheadSectors = Le64(h + vmdk::kOverhead);
  } else if (magic == vmdk::kMagicCow) {
    out->kind = 2;
    out->capacity = Le32(h + vmdk::kCowSectors);
    out->grainSectors = Le32(h + vmdk::kCowGrainSize);
    out->tableEntries = vmdk::kCowTableEntries;
    out->directorySector = Le32(h + vmdk::kCowDirectoryOffset);
    out->directoryEntries = Le32(h + vmdk::kCowDirectoryEntries);
  }
  return out->kind;
}

void ParseVmdkDescriptor(const char* text, size_t bytes, VmdkDescriptor* out) {
  *out = VmdkDescriptor{};
  size_t end = 0;
  while (end < bytes && text[end]) ++end;
  const std::string_view all(text, end);
  auto trim = [](std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
    return v;
  };
  auto quoted = [](std::string_view v) -> std::string_view {
    const size_t a = v.find('"');
    const size_t b = a == std::string_view::npos ? a : v.find('"', a + 1);
    return b == std::string_view::npos ? std::string_view() : v.substr(a + 1, b - a - 1);
  };
  for (size_t at = 0; at < all.size();) {
    size_t nl = all.find('\n', at);
    if (nl == std::string_view::npos) nl = all.size();
    const std::string_view line = trim(all.substr(at, nl - at));
    at = nl + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      const std::string_view key = trim(line.substr(0, eq));
      std::string_view value = trim(line.substr(eq + 1));
      if (key == "CID" || key == "parentCID") {
        std::string id;
        for (char c : value) id += char(c >= 'A' && c <= 'F' ? c + 32 : c);
        (key == "CID" ? out->cid : out->parentCid) = id;
      } else if (key == "parentFileNameHint") {
        out->parentHint = FromUtf8(quoted(value));
      }
      continue;
    }
    // RW 4192256 SPARSE "name.vmdk" [offset]
    if (line.starts_with("RW ") || line.starts_with("RDONLY ") || line.starts_with("NOACCESS ")) {
      const std::string_view name = quoted(line);
      if (!name.empty() && out->extents.size() < 64) out->extents.push_back(FromUtf8(name));
    }
  }
}

bool CheckVmdkHeader(const VmdkSparseHeader& h, uint64_t fileSize) {
  if (!IsPowerOfTwo(h.grainSectors) || h.grainSectors > vmdk::kMaxGrainSectors) return false;
  if (h.tableEntries == 0 || h.tableEntries > vmdk::kMaxTableEntries) return false;
  if (h.capacity == 0 || h.capacity > vmdk::kMaxCapacity) return false;
  if (h.directoryEntries == 0 || h.directoryEntries > vmdk::kMaxDirectoryBytes / 4) return false;
  const uint64_t bytes = h.directoryEntries * 4;
  if (h.directorySector == 0 || h.directorySector >= fileSize / vmdk::kSector) return false;
  return bytes <= fileSize - h.directorySector * vmdk::kSector;
}

bool VmdkDirectoryFits(const VmdkSparseHeader& h) {
  if (h.kind != 1 || h.overheadSectors <= h.directorySector) return true;
  return h.directoryEntries * 4 <= (h.overheadSectors - h.directorySector) * vmdk::kSector;
}

bool VmdkGrainMap::Init(ImageFile& file, const VmdkSparseHeader& h) {
  file_ = &file;
  fileSize_ = file.Size();
  gdEntries = h.directoryEntries;
  grainSectors = h.grainSectors;
  grainsPerTable = h.tableEntries;
  sectorsPerTable = grainSectors * grainsPerTable;
  // Read straight into the entries (up to 64 MiB of them): no zeroed copy
  // first, and on a little-endian machine nothing to convert.
  gd.reset(new (std::nothrow) uint32_t[size_t(gdEntries)]);
  if (!gd) ShowErrorAndThrow();
  uint8_t* const raw = reinterpret_cast<uint8_t*>(gd.get());
  const uint64_t at = h.directorySector * vmdk::kSector;
  for (uint64_t done = 0; done < gdEntries * 4;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(kIoBufferBytes, gdEntries * 4 - done));
    const ImageFile::ReadResult r = file.Read(at + done, n, raw + done);
    if (r == ImageFile::kReadFailed) return false;
    if (r == ImageFile::kReadDamaged) {
      ErrorMsg(u"The grain directory of the VMDK file cannot be read.");
      return false;
    }
    done += n;
  }
  if constexpr (std::endian::native != std::endian::little)
    for (uint64_t i = 0; i < gdEntries; ++i) gd[size_t(i)] = Le32(raw + i * 4);
  table_.assign((size_t(grainsPerTable) * 4 + 4095) / 4096 * 4096, 0);
  tableIndex_ = ~0ull;
  return true;
}

int VmdkGrainMap::Table(uint64_t t) {
  if (t == tableIndex_) return 0;
  tableIndex_ = ~0ull;
  const uint64_t at = uint64_t(gd[size_t(t)]) * vmdk::kSector;
  const uint32_t bytes = grainsPerTable * 4;
  // A table outside the file cannot say where its grains are.
  if (at >= fileSize_ || bytes > fileSize_ - at) return 1;
  const ImageFile::ReadResult r = file_->Read(at, bytes, table_.data());
  if (r == ImageFile::kReadFailed) return -1;
  if (r == ImageFile::kReadDamaged) return 1;
  tableIndex_ = t;
  return 0;
}

bool VmdkGrainMap::Lookup(uint64_t sector, uint32_t sectors, std::vector<ImageRun>& runs) {
  uint64_t s = sector;
  uint32_t left = sectors;
  while (left > 0) {
    const uint64_t t = s / sectorsPerTable;
    if (t >= gdEntries) {
      // Past the directory's reach: zeros, as a zeroed grain.
      AppendRun(runs, ImageRun::kZeros, 0, left * vmdk::kSector);
      break;
    }
    const uint64_t inTable = s % sectorsPerTable;
    if (gd[size_t(t)] == 0) {
      const uint32_t n = uint32_t(std::min<uint64_t>(left, sectorsPerTable - inTable));
      AppendRun(runs, ImageRun::kParent, 0, n * vmdk::kSector);
      s += n;
      left -= n;
      continue;
    }
    const uint64_t inGrain = s % grainSectors;
    const uint32_t n = uint32_t(std::min<uint64_t>(left, grainSectors - inGrain));
    const int status = Table(t);
    if (status < 0) return false;
    if (status > 0) {
      AppendRun(runs, ImageRun::kBad, 0, n * vmdk::kSector);
    } else {
      const uint32_t g = Le32(table_.data() + (inTable / grainSectors) * 4);
      if (g == 0) AppendRun(runs, ImageRun::kParent, 0, n * vmdk::kSector);
      else if (g == 1) AppendRun(runs, ImageRun::kZeros, 0, n * vmdk::kSector);
      else AppendRun(runs, ImageRun::kFile, (uint64_t(g) + inGrain) * vmdk::kSector, n * vmdk::kSector);
    }
    s += n;
    left -= n;
  }
  return true;
}

bool OpenVmdkLayout(ImageFile& file, VmdkLayout* out) {
  const uint64_t size = file.Size();
  *out = VmdkLayout{};
  uint8_t header[vmdk::kHeaderBytes] = {};
  const uint32_t want = uint32_t(std::min<uint64_t>(size, sizeof header));
  if (want) {
    const ImageFile::ReadResult r = file.Read(0, want, header);
    if (r == ImageFile::kReadFailed) return false;
    if (r == ImageFile::kReadDamaged) {
      ErrorMsg(u"The headers of the virtual disk file cannot be read.");
      return false;
    }
  }
  static constexpr char kDescriptor[] = "# Disk DescriptorFile";
  if (memcmp(header, kDescriptor, sizeof kDescriptor - 1) == 0) {
    // Read as raw sectors this would be a disk of text.
    out->textDescriptor = true;
    std::vector<char> text(size_t(std::min<uint64_t>(size, vmdk::kMaxDescriptorBytes)));
    if (!text.empty() &&
        file.Read(0, uint32_t(text.size()), reinterpret_cast<uint8_t*>(text.data())) == ImageFile::kReadOk)
      ParseVmdkDescriptor(text.data(), text.size(), &out->descriptor);
    ErrorMsg(u"This VMDK file is a text descriptor: open the extent file it names instead.");
    return false;
  }
  VmdkSparseHeader h;
  out->extentKind = ParseVmdkHeader(header, &h);
  if (out->extentKind == 0) {
    out->sectorCount = (size + vmdk::kSector - 1) / vmdk::kSector;
    out->map = std::make_unique<RawImageMap>(vmdk::kSector, size);
    return true;
  }
  if (h.compressed) {
    // Compressed grains read as raw sectors would be wrong data.
    ErrorMsg(u"Compressed (stream-optimized) VMDK files are not supported.");
    return false;
  }
  if (!CheckVmdkHeader(h, size)) {
    ErrorMsg(kInvalidVmdk);
    return false;
  }
  if (!VmdkDirectoryFits(h)) {
    // Its sectors past what the directory holds would read as zeros.
    VErrorMsg(u"Invalid VMDK header: a capacity of %I64d sectors needs %I64d grain directory entries, more than fit "
              u"before the grains at sector %I64d.",
              int64_t(h.capacity), int64_t(h.directoryEntries), int64_t(h.overheadSectors));
    return false;
  }
  auto map = std::make_unique<VmdkGrainMap>();
  if (!map->Init(file, h)) return false;
  // A hosted sparse extent embeds its descriptor: its content id, and for
  // a child its parent's.
  if (out->extentKind == 1 && h.descriptorSector && h.descriptorSectors && h.descriptorSector < size / vmdk::kSector) {
    const uint64_t at = h.descriptorSector * vmdk::kSector;
    const uint64_t want =
        std::min<uint64_t>({h.descriptorSectors * vmdk::kSector, size - at, vmdk::kMaxDescriptorBytes});
    std::vector<char> text(static_cast<size_t>(want));
    if (!text.empty() && file.Read(at, uint32_t(want), reinterpret_cast<uint8_t*>(text.data())) == ImageFile::kReadOk) {
      ParseVmdkDescriptor(text.data(), text.size(), &out->descriptor);
      const VmdkDescriptor& d = out->descriptor;
      out->link.known = !d.cid.empty() || !d.parentCid.empty();
      out->link.ownId = d.cid;
      if (!d.parentCid.empty() && d.parentCid != "ffffffff") {
        out->link.differencing = true;
        out->link.parentIds.push_back(d.parentCid);
        if (!d.parentHint.empty()) out->link.parentNames.push_back(d.parentHint);
      }
    }
  }
  if (traceIo)
    TracePrintfA("VMDK kind %d, capacity %I64d, grain %I64d, %u per table, directory @ %I64d, %I64d entries\n",
                 out->extentKind, int64_t(h.capacity), int64_t(h.grainSectors), h.tableEntries,
                 int64_t(h.directorySector), int64_t(h.directoryEntries));
  out->sectorCount = h.capacity;
  out->map = std::move(map);
  return true;
}
