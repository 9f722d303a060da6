// Every archive and document sample made by real tools, fed through the
// driver as the sector pass feeds it: at reads of 512 bytes, 4 KiB, 1 MiB
// and 1,000 bytes, and cut at its records and sectors, with zero, random and
// text tails. Each must come back with exactly its size and refined type,
// except where the formats' end rules cannot see the end (listed).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "SampleSplits.h"
#include "carving/SectorProbe.h"
#include "foundation/ByteOrder.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

struct Sample {
  const char* file;
  uint8_t probed;
  uint8_t expected;  // 255: no file is carved
};

const Sample kSamples[] = {
    {"zip_plain.zip", kTypeZip, kTypeZip},
    {"zip_comment.zip", kTypeZip, kTypeZip},
    {"zip_piped.zip", kTypeZip, kTypeZip},
    {"zip_zip64.zip", kTypeZip, kTypeZip},
    {"jar_stream.jar", kTypeZip, kTypeZip},
    {"lo_text.docx", kTypeZip, kTypeDocx},
    {"lo_table.xlsx", kTypeZip, kTypeXlsx},
    {"lo_slides.pptx", kTypeZip, kTypePptx},
    {"py_document.docx", kTypeZip, kTypeDocx},
    {"py_table.xlsx", kTypeZip, kTypeXlsx},
    // A photo of 2.4 MB, written as a stream: its descriptor lies past
    // 2 MiB of data.
    {"lo_photo.docx", kTypeZip, kTypeDocx},
    {"lo_photo.pptx", kTypeZip, kTypePptx},
    {"lo_text.doc", kTypeDoc, kTypeDoc},
    {"lo_table.xls", kTypeDoc, kTypeXls},
    // LibreOffice keeps its slides at directory entries 4 and 5.
    {"lo_slides.ppt", kTypeDoc, kTypePpt},
    {"ole_word.doc", kTypeDoc, kTypeDoc},
    {"ole_workbook.xls", kTypeDoc, kTypeXls},
    {"ole_slides.ppt", kTypeDoc, kTypePpt},
    // A DIFAT chain (130 FAT sectors), read from the disk.
    {"ole_difat.doc", kTypeDoc, kTypeDoc},
    {"lo_text.pdf", kTypePdf, kTypePdf},
    {"gs_doc.pdf", kTypePdf, kTypePdf},
    {"pdf_update.pdf", kTypePdf, kTypePdf},
    {"rtf_lf.rtf", kTypeRtf, kTypeRtf},
    {"rtf_crlf.rtf", kTypeRtf, kTypeRtf},
    {"dwg_r2000.dwg", kTypeDwg, kTypeDwg},
    {"dwg_r14.dwg", kTypeDwg, kTypeDwg},
};

// Record starts of a ZIP (and the byte after each signature), the sectors
// of the rest: where reads are cut.
std::vector<size_t> Boundaries(const std::vector<uint8_t>& d) {
  std::vector<size_t> b;
  if (d.size() > 4 && d[0] == 'P' && d[1] == 'K') {
    for (size_t i = 0; i + 4 <= d.size(); ++i)
      if (d[i] == 'P' && d[i + 1] == 'K' && d[i + 2] < 9 && d[i + 3] == d[i + 2] + 1)
        for (size_t k : {i, i + 2, i + 4, i + 30}) b.push_back(k);
  } else {
    for (size_t at = 512; at < d.size(); at += 512) b.push_back(at);
  }
  // The end, where end markers and closing braces stand.
  for (size_t k = 1; k <= 8 && k < d.size(); ++k) b.push_back(d.size() - k);
  std::vector<size_t> out;
  for (size_t x : b)
    if (x >= kProbeBytes && x < d.size()) out.push_back(x);
  // Many splits for a big file would take long: every one up to 200, then
  // every k-th.
  if (out.size() > 200) {
    std::vector<size_t> thin;
    for (size_t i = 0; i < out.size(); i += out.size() / 200 + 1) thin.push_back(out[i]);
    out.swap(thin);
  }
  return out;
}

TEST(DocumentSamples, EverySampleAtEverySplitAndTail) {
  for (const Sample& s : kSamples) {
    const std::vector<uint8_t> file = LoadSample(s.file);
    ASSERT_FALSE(file.empty()) << s.file;
    // The end rule of a PDF looks at the first 64 bytes of the sector after
    // its marker's line: reads of whole sectors only, as the pass's.
    ExpectSampleAtEverySplit(s.file, file, s.probed, s.expected, Boundaries(file), s.probed == kTypePdf);
    if (testing::Test::HasFailure()) return;
  }
}

// LibreOffice ends an RTF at its closing brace: so does the carved file,
// whatever follows it; a line end right after the brace is the file's.
TEST(DocumentSamples, AnRtfThatEndsAtItsBrace) {
  const std::vector<uint8_t> file = LoadSample("lo_text.rtf");
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(file.back(), '}');
  for (Tail tail : {Tail::Zero, Tail::Text, Tail::Random}) {
    const std::vector<uint8_t> image = WithTail(file, tail, 4096);
    for (size_t read : {size_t(512), size_t(4096), size_t(1) << 20}) {
      const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), read));
      EXPECT_EQ(r.size, int64_t(file.size())) << TailName(tail) << " " << r.Describe();
    }
  }
  for (const char* end : {"\n", "\r\n", "\r"}) {
    std::vector<uint8_t> image = file;
    image.insert(image.end(), end, end + std::strlen(end));
    const size_t size = image.size();
    image.insert(image.end(), {'x', '\r', '\n', 0});
    const FeedResult r = FeedFile(image.data(), image.size(), EvenReads(image.size(), 512));
    EXPECT_EQ(r.size, int64_t(size)) << r.Describe();
  }
}

}  // namespace
