// The diagnostic record scan of HdrZIP: every ZIP record on the disk traced,
// the document properties and text of Word documents inflated and scored.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "carving/Inflate.h"
#include "carving/PhraseList.h"
#include "carving/TextHelpers.h"
#include "carving/Zip.h"
#include "carving/ZipFormat.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

using namespace zipfmt;

namespace {

// Scan modes.
constexpr uint8_t kSearch = 1;
constexpr uint8_t kLocalHeader = 2;
constexpr uint8_t kLocalName = 3;
constexpr uint8_t kCentralHeader = 4;
constexpr uint8_t kEndRecord = 5;
constexpr uint8_t kDescriptorRecord = 6;
constexpr uint8_t kCentralName = 7;
constexpr uint8_t kMemberData = 8;
constexpr uint8_t kSkipExtra = 9;

constexpr size_t kWorkBytes = 4096;
constexpr size_t kNameAt = 64;  // where a header's name goes in the work buffer
constexpr uint32_t kMaxName = 512;
constexpr uint64_t kMaxMember = 20971520;
// Inflated properties and document text are bounded: the sizes on the disk
// are not to be trusted.
constexpr size_t kMaxPropertiesText = size_t(1) << 20;
constexpr size_t kMaxDocumentText = size_t(32) << 20;
// Record replays after a failed header test nest at most this deep.
constexpr int kMaxReplayDepth = 8;

struct HeaderFields {
  uint16_t method;
  uint32_t compressed, uncompressed, nameLength, extraLength, localOffset;
};

HeaderFields Fields(const uint8_t* h, bool central) {
  HeaderFields f{};
  if (central) {
    f.method = Le16(h + kCentralMethod);
    f.compressed = Le32(h + kCentralCompressed);
    f.uncompressed = Le32(h + kCentralUncompressed);
    f.nameLength = Le16(h + kCentralNameLength);
    f.extraLength = Le16(h + kCentralExtraLength);
    f.localOffset = Le32(h + kCentralLocalOffset);
  } else {
    f.method = Le16(h + kLocalMethod);
    f.compressed = Le32(h + kLocalCompressed);
    f.uncompressed = Le32(h + kLocalUncompressed);
    f.nameLength = Le16(h + kLocalNameLength);
    f.extraLength = Le16(h + kLocalExtraLength);
  }
  return f;
}

}  // namespace

bool IsPlausibleZipHeader(const uint8_t* header, bool central) {
  if (!header) return false;
  const HeaderFields f = Fields(header, central);
  // A size escaped to the Zip64 field is not known here.
  const bool escaped = f.compressed == kSize32Escape || f.uncompressed == kSize32Escape;
  if (f.method == kMethodStored) {
    if (f.compressed != f.uncompressed && !escaped) return false;
  } else if (f.method == kMethodDeflated && !escaped) {
    // Deflate makes incompressible data a little larger, never by a
    // seventh for more than a few bytes.
    const uint64_t u = f.uncompressed, c = f.compressed;
    if (u < c && u > 64 && u / (c - u) < 7) return false;
  } else if (f.method != kMethodDeflated) {
    return false;
  }
  return f.nameLength >= 1 && f.nameLength <= kMaxName;
}

bool LooksCompressed(const uint8_t* data, size_t length) {
  if (!data || length == 0) return false;
  uint64_t counts[256] = {};
  for (size_t i = 0; i < length; ++i) ++counts[data[i]];
  uint64_t sum = 0;
  for (uint64_t n : counts) sum += n * n;
  const uint64_t q = length / 256, r = length % 256;
  const uint64_t least = r * (q + 1) * (q + 1) + (256 - r) * q * q;
  return 3 * sum <= 7 * least;
}

bool IsMostlyText(const uint8_t* data, size_t length) {
  if (!data) return false;
  if (std::memchr(data, 0, length)) return false;
  size_t printable = 0;
  for (size_t i = 0; i < length; ++i) printable += kPrintableByte[data[i]];
  return 4 * printable >= 3 * length;
}

struct HdrZIP::ScanState {
  uint8_t mode = kSearch;
  uint32_t wanted = 4;
  uint8_t matched = 0;  // signature bytes matched while searching
  uint8_t signature[4] = {};
  uint64_t recordAt = 0;  // disk byte of the record
  std::vector<uint8_t> work = std::vector<uint8_t>(kWorkBytes);
  size_t have = 0;
  HeaderFields header{};
  bool central = false;
  // The member being collected (at most kMaxMember bytes).
  std::vector<uint8_t> member;
  uint64_t memberBytes = 0, memberHave = 0, memberAt = 0, memberUncompressed = 0;
  uint16_t memberMethod = 0;
  bool memberIsProperties = false;
  uint32_t skip = 0;
  uint64_t seen = 0;  // disk byte of the next buffer
  uint32_t sectorSize = 512;
};

HdrZIP::HdrZIP() = default;
HdrZIP::~HdrZIP() = default;

void HdrZIP::SetScanMode(uint8_t mode, uint32_t wanted) {
  if (!scan_) scan_ = std::make_unique<ScanState>();
  scan_->mode = mode;
  scan_->wanted = wanted;
  scan_->matched = 0;
  scan_->have = 0;
}

void HdrZIP::SetScanPosition(uint64_t byteOffset) {
  if (!scan_) return;
  if (byteOffset != scan_->seen) {
    scan_->mode = kSearch;
    scan_->matched = 0;
    scan_->have = 0;
  }
  scan_->seen = byteOffset;
}

void HdrZIP::SetScanSectorSize(uint32_t bytes) {
  if (scan_ && bytes) scan_->sectorSize = bytes;
}

int HdrZIP::ZIPHdrScan(const uint8_t* buffer, size_t length) {
  if (!scan_ || !buffer) return 0;
  ScanBytes(buffer, length, scan_->seen, 0);
  scan_->seen += length;
  return 0;
}

void HdrZIP::ScanBytes(const uint8_t* p, size_t n, uint64_t position, int depth) {
  ScanState& s = *scan_;
  size_t i = 0;
  while (i < n) {
    switch (s.mode) {
      case kSearch: {
        if (s.matched == 0) {
          const void* at = std::memchr(p + i, 'P', n - i);
          if (!at) {
            i = n;
            break;
          }
          i = size_t(static_cast<const uint8_t*>(at) - p);
          s.recordAt = position + i;
          s.signature[0] = 'P';
          s.matched = 1;
          ++i;
          break;
        }
        const uint8_t x = p[i];
        if (s.matched == 1 && x == 'K') {
          s.signature[1] = x;
          s.matched = 2;
          ++i;
        } else if (s.matched == 2 && (x == 1 || x == 3 || x == 5 || x == 7)) {
          s.signature[2] = x;
          s.matched = 3;
          ++i;
        } else if (s.matched == 3 && x == s.signature[2] + 1) {
          s.signature[3] = x;
          s.matched = 0;
          ++i;
          std::memcpy(s.work.data(), s.signature, 4);
          s.have = 4;
          switch (x) {
            case 2:
              s.mode = kCentralHeader, s.wanted = kCentralBytes;
              break;
            case 4:
              s.mode = kLocalHeader, s.wanted = kLocalBytes;
              break;
            case 6:
              s.mode = kEndRecord, s.wanted = kEndBytes;
              break;
            default:
              s.mode = kDescriptorRecord, s.wanted = kDescriptorBytes;
              break;
          }
        } else {
          s.matched = 0;  // this byte may start a signature: looked at again
        }
        break;
      }
      case kLocalHeader:
      case kCentralHeader:
      case kEndRecord:
      case kDescriptorRecord:
      case kLocalName:
      case kCentralName: {
        const size_t base = (s.mode == kLocalName || s.mode == kCentralName) ? kNameAt : 0;
        const size_t take = std::min(size_t(s.wanted) - s.have, n - i);
        std::memcpy(s.work.data() + base + s.have, p + i, take);
        s.have += take;
        i += take;
        if (s.have == s.wanted) ScanRecordDone(depth);
        break;
      }
      case kSkipExtra: {
        const size_t take = std::min<size_t>(s.skip, n - i);
        i += take;
        s.skip -= uint32_t(take);
        if (s.skip == 0) {
          s.mode = kMemberData;
          if (s.memberBytes == 0) ScanMemberDone();
        }
        break;
      }
      case kMemberData: {
        // The buffer grows with the data that arrives, not with the size
        // the header claims.
        const size_t take = size_t(std::min<uint64_t>(s.memberBytes - s.memberHave, n - i));
        s.member.insert(s.member.end(), p + i, p + i + take);
        s.memberHave += take;
        i += take;
        if (s.memberHave == s.memberBytes) ScanMemberDone();
        break;
      }
      default:
        s.mode = kSearch;
        break;
    }
  }
}

void HdrZIP::ScanRecordDone(int depth) {
  ScanState& s = *scan_;
  const uint32_t ss = s.sectorSize;
  const int64_t sector = int64_t(s.recordAt / ss);
  const uint32_t offset = uint32_t(s.recordAt % ss);
  const uint8_t* w = s.work.data();
  switch (s.mode) {
    case kEndRecord:
      TracePrintfA("ZIPHdr End Central Hdr %I64d %03x \n", sector, offset);
      s.mode = kSearch;
      return;
    case kDescriptorRecord:
      TracePrintfA("ZIPHdr Descriptor %I64d %03x - CSize %ld - Size %ld \n", sector, offset, int64_t(Le32(w + 8)),
                   int64_t(Le32(w + 12)));
      s.mode = kSearch;
      return;
    case kLocalHeader:
    case kCentralHeader: {
      const bool central = s.mode == kCentralHeader;
      if (!IsPlausibleZipHeader(w, central)) {
        // Not a record: a record may start inside what was collected.
        s.mode = kSearch;
        if (depth < kMaxReplayDepth) {
          uint8_t again[kCentralBytes];
          const size_t n = s.have - 1;
          std::memcpy(again, w + 1, n);
          ScanBytes(again, n, s.recordAt + 1, depth + 1);
        }
        return;
      }
      s.header = Fields(w, central);
      s.central = central;
      s.mode = central ? kCentralName : kLocalName;
      s.wanted = s.header.nameLength;
      s.have = 0;
      return;
    }
    case kLocalName:
    case kCentralName: {
      const HeaderFields& f = s.header;
      const char* name = reinterpret_cast<const char*>(s.work.data() + kNameAt);
      s.work[kNameAt + f.nameLength] = 0;
      TracePrintfA("ZIPHdr %s %I64d %03x - File %s - CSize %ld - Size %ld - Name Leng %ld - X Leng %ld - Offset %ld\n",
                   s.central ? "Central" : "Local", sector, offset, name, int64_t(f.compressed),
                   int64_t(f.uncompressed), int64_t(f.nameLength), int64_t(f.extraLength),
                   int64_t(s.central ? f.localOffset : 0));
      s.mode = kSearch;
      if (s.central) return;
      // Compared with their terminators: the names exactly.
      const bool properties = std::memcmp(name, "docProps/core.xml", 18) == 0;
      const bool document = std::memcmp(name, "word/document.xml", 18) == 0;
      if ((!properties && !document) || f.compressed > kMaxMember) return;
      s.memberIsProperties = properties;
      s.memberBytes = f.compressed;
      s.memberUncompressed = f.uncompressed;
      s.memberMethod = f.method;
      s.memberHave = 0;
      s.memberAt = s.recordAt + kLocalBytes + f.nameLength + f.extraLength;
      s.member.clear();
      s.skip = f.extraLength;
      s.mode = kSkipExtra;
      if (s.skip == 0) {
        s.mode = kMemberData;
        if (s.memberBytes == 0) ScanMemberDone();
      }
      return;
    }
    default:
      s.mode = kSearch;
      return;
  }
}

void HdrZIP::ScanMemberDone() {
  ScanState& s = *scan_;
  s.mode = kSearch;
  if (!s.memberIsProperties) {
    ScanDocumentText();
    return;
  }
  std::string text;
  if (s.memberMethod == kMethodDeflated) {
    InflateRaw(s.member.data(), size_t(s.memberBytes), kMaxPropertiesText, &text);
  } else if (s.memberMethod == kMethodStored) {
    text.assign(reinterpret_cast<const char*>(s.member.data()), size_t(std::min<uint64_t>(s.memberBytes, kMaxPropertiesText)));
  }
  if (text.empty()) return;
  struct Tag {
    const char* element;
    const char* label;
  };
  for (const Tag& t : {Tag{"<dc:title", "Title"}, Tag{"<dcterms:modified", "Modified Date"},
                       Tag{"<cp:lastModifiedBy", "Author"}}) {
    if (auto value = FindXmlTagText(text.data(), text.size(), t.element))
      TracePrintfA("%s %s\n", t.label, std::string(*value));
  }
}

void HdrZIP::ScanDocumentText() {
  ScanState& s = *scan_;
  if (s.memberMethod != kMethodDeflated || s.memberBytes == 0) return;
  const uint32_t ss = s.sectorSize;
  const int64_t sector = int64_t(s.recordAt / ss);
  RawInflater inflater(kMaxDocumentText);
  // Pieces end where the disk's 512-byte units do, so that a bad stretch
  // can be told by its place on the disk.
  uint64_t at = 0;
  while (at < s.memberBytes) {
    const uint64_t disk = s.memberAt + at;
    const uint64_t piece = std::min<uint64_t>(512 - disk % 512, s.memberBytes - at);
    const uint8_t* in = s.member.data() + at;
    if (piece >= 33 && !LooksCompressed(in, size_t(piece)))
      TracePrintfA("Poor input data at offset %ld\n", int64_t(at));
    const size_t before = inflater.Output().size();
    const RawInflater::Result r = inflater.Feed(in, size_t(piece));
    const std::string& out = inflater.Output();
    if (out.size() > before &&
        !IsMostlyText(reinterpret_cast<const uint8_t*>(out.data()) + before, out.size() - before))
      TracePrintfA("Poor output data at offset %ld\n", int64_t(at));
    at += piece;
    if (r != RawInflater::kMore) break;
  }
  const std::string& text = inflater.Output();
  if (text.empty()) return;
  WriteTraceSectors(sector, text.size(), ss, text.data(), "dsk", 255, 0);
  PhraseList* phrases = g_appState ? static_cast<PhraseList*>(g_appState->phraseList.get()) : nullptr;
  if (!phrases || phrases->Count() == 0) return;
  std::string lines = "\xEF\xBB\xBF";
  const int score = phrases->ScoreText(text, &lines);
  TracePrintfA("Sect %I64d score %d\n", sector, score);
  if (lines.size() > 3) WriteTraceSectors(sector, lines.size(), ss, lines.data(), "txt", 255, 0);
}
