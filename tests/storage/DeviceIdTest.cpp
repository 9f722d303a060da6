#include "storage/DeviceId.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "tests/support/TestUtil.h"
#include "SysfsFixture.h"

namespace {

// An IDENTIFY DEVICE block as the ATA standard lays it out: string fields
// hold two characters per 16-bit little-endian word, the first in the high
// byte, padded with blanks.
std::vector<uint8_t> IdentifyBlock(const std::string& serial, const std::string& model, const std::string& firmware) {
  std::vector<uint8_t> b(512, 0);
  auto put = [&](int word, int words, const std::string& text) {
    std::string padded = text;
    padded.resize(size_t(words) * 2, ' ');
    for (int i = 0; i < words; ++i) {
      b[size_t(word + i) * 2] = uint8_t(padded[size_t(i) * 2 + 1]);  // low byte: second character
      b[size_t(word + i) * 2 + 1] = uint8_t(padded[size_t(i) * 2]);  // high byte: first character
    }
  };
  b[0] = 0x40;  // word 0: fixed device
  put(10, 10, serial);
  b[20 * 2] = 0x03;  // retired words 20-22 as older drives fill them
  b[21 * 2 + 1] = 0x40;
  put(23, 4, firmware);
  put(27, 20, model);
  return b;
}

// Standard INQUIRY data (SPC): peripheral type, version, additional
// length, then vendor (8), product (16) and revision (4).
std::vector<uint8_t> InquiryData(const std::string& vendor, const std::string& product, size_t size = 36) {
  std::vector<uint8_t> d(std::max<size_t>(size, 36), 0);
  d[0] = 0x00;
  d[2] = 0x06;
  d[3] = 0x02;
  d[4] = uint8_t(size - 5);
  std::string v = vendor, p = product;
  v.resize(8, ' ');
  p.resize(16, ' ');
  memcpy(&d[8], v.data(), 8);
  memcpy(&d[16], p.data(), 16);
  memcpy(&d[32], "1.0 ", 4);
  d.resize(size);
  return d;
}

std::vector<uint8_t> SerialPage(const std::string& text, uint8_t page = 0x80) {
  std::vector<uint8_t> p(4 + text.size(), 0);
  p[1] = page;
  p[3] = uint8_t(text.size());
  for (size_t i = 0; i < text.size(); ++i) p[4 + i] = uint8_t(text[i]);
  return p;
}

// Recorded answers in order; remembers the command blocks it was sent.
class FakeTransport : public ScsiTransport {
 public:
  struct Answer {
    ScsiCommandResult result;
    std::vector<uint8_t> data;
  };
  std::deque<Answer> answers;
  std::vector<std::vector<uint8_t>> cdbs;

  ScsiCommandResult DataIn(const uint8_t* cdb, size_t cdbLength, uint8_t* data, uint32_t length,
                           uint32_t timeoutMs) override {
    cdbs.emplace_back(cdb, cdb + cdbLength);
    EXPECT_GT(timeoutMs, 0u);
    if (answers.empty()) return ScsiCommandResult{EIO, 0, 0};
    Answer a = answers.front();
    answers.pop_front();
    uint32_t n = uint32_t(std::min<size_t>(a.data.size(), length));
    if (n != 0) memcpy(data, a.data.data(), n);
    a.result.bytesIn = a.result.Ok() ? n : 0;
    return a.result;
  }
  void Good(std::vector<uint8_t> data) { answers.push_back({ScsiCommandResult{}, std::move(data)}); }
  void Status(uint8_t status) { answers.push_back({ScsiCommandResult{0, status, 0}, {}}); }
};

}  // namespace

TEST(DeviceIdTest, AtaStringsComeOutInOrderWithoutPadding) {
  std::vector<uint8_t> b = IdentifyBlock("     WD-WCC4E1234567", "WDC WD10EZEX-08WN4A0", "01.01A01");
  WString model, serial;
  ASSERT_TRUE(ParseAtaIdentify(b.data(), b.size(), &model, &serial));
  EXPECT_EQ(model, u"WDC WD10EZEX-08WN4A0");
  EXPECT_EQ(serial, u"WD-WCC4E1234567");  // 20 bytes: nothing of the retired words behind it
  EXPECT_EQ(AtaIdentifyText(b.data(), b.size(), 23 * 2, 8), u"01.01A01");

  struct Case {
    std::string field;  // characters as stored after the swap
    const char16_t* expected;
  } cases[] = {
      {"ST1000DM003", u"ST1000DM003"},             // odd length, blank-padded
      {"   Leading", u"Leading"},
      {std::string("AB\0CDEF", 7), u"AB"},         // ends at the first zero byte
      {"", u""},
      {std::string(40, ' '), u""},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> blk = IdentifyBlock("", c.field, "");
    if (c.field.find('\0') != std::string::npos) {
      // The put helper pads with blanks; place the zero by hand.
      blk = IdentifyBlock("", "", "");
      std::string f = c.field;
      f.resize(40, ' ');
      for (int i = 0; i < 20; ++i) {
        blk[size_t(27 + i) * 2] = uint8_t(f[size_t(i) * 2 + 1]);
        blk[size_t(27 + i) * 2 + 1] = uint8_t(f[size_t(i) * 2]);
      }
    }
    EXPECT_TRUE(ParseAtaIdentify(blk.data(), blk.size(), &model, nullptr));
    EXPECT_EQ(model, c.expected) << c.field;
  }
  EXPECT_FALSE(ParseAtaIdentify(b.data(), 511, &model, &serial));
  EXPECT_EQ(AtaIdentifyText(b.data(), 100, 90, 40), u"");   // field past the block
  EXPECT_EQ(AtaIdentifyText(b.data(), 100, 200, 2), u"");
  EXPECT_EQ(AtaIdentifyText(nullptr, 0, 0, 0), u"");
}

TEST(DeviceIdTest, ScsiTextRules) {
  struct Case {
    std::string bytes;
    bool ok;
    const char16_t* text;
  } cases[] = {
      {"ATA     VBOX HARDDISK   ", true, u"ATA     VBOX HARDDISK"},
      {std::string("  SEAGATE\0\0\0", 12), true, u"SEAGATE"},
      {"\x01\x02 X1", true, u"X1"},                      // leading bytes below 33 skipped
      {"AB\x1F" "CD", false, u""},                       // a control byte inside
      {"        ", false, u""},
      {"", false, u""},
  };
  for (const Case& c : cases) {
    WString out = u"stale";
    EXPECT_EQ(ScsiText(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), &out), c.ok) << c.bytes;
    EXPECT_EQ(out, c.text) << c.bytes;
  }
}

TEST(DeviceIdTest, InquiryModelAndSerialPage) {
  WString model, serial;
  std::vector<uint8_t> inq = InquiryData("ATA", "Samsung SSD 870");
  EXPECT_TRUE(ParseInquiryModel(inq.data(), inq.size(), &model));
  EXPECT_EQ(model, u"ATA     Samsung SSD 870");  // vendor and product, as the 24 bytes hold them
  EXPECT_FALSE(ParseInquiryModel(inq.data(), 31, &model));
  EXPECT_EQ(model, u"");

  struct Case {
    std::vector<uint8_t> page;
    size_t size;  // 0: the whole page
    const char16_t* serial;
  } cases[] = {
      {SerialPage("S5SUNF0R123456A"), 0, u"S5SUNF0R123456A"},
      {SerialPage("  WD-123456   "), 0, u"WD-123456"},
      {SerialPage("ABCD"), 0, u""},           // 4 characters: not kept
      {SerialPage("  ABCDE  "), 0, u""},      // 5 after trimming: not kept
      {SerialPage("ABCDEF"), 0, u"ABCDEF"},
      {SerialPage("ABCDEFGHIJ"), 4 + 7, u"ABCDEFG"},    // length beyond the data: bounded
      {SerialPage("ABCDEFGHIJ", 0x83), 0, u""},         // another page
      {SerialPage(""), 0, u""},
      {{0x00, 0x80, 0x00}, 0, u""},
  };
  for (const Case& c : cases) {
    size_t n = c.size ? c.size : c.page.size();
    ParseUnitSerialPage(c.page.data(), n, &serial);
    EXPECT_EQ(serial, c.serial);
  }
  std::vector<uint8_t> big = SerialPage(std::string(255, 'Z'));
  EXPECT_TRUE(ParseUnitSerialPage(big.data(), big.size(), &serial));
  EXPECT_EQ(serial.size(), 255u);
}

TEST(DeviceIdTest, ScsiIdentifyThroughTheTransport) {
  FakeTransport t;
  t.Good(InquiryData("SEAGATE", "ST4000NM0023"));
  t.Good(SerialPage("Z1Z2Z3Z4"));
  CSCSIIO dev;
  dev.Init(512);
  EXPECT_EQ(dev.InterfaceKind(), CLoIODev::kScsi);
  EXPECT_EQ(dev.TransferLimit(), 128u);
  dev.UseTransport(&t);
  dev.SetAdapterLimits(32u << 10, 0);  // 32 KiB: 64 units of 512
  ASSERT_TRUE(dev.Identify());
  EXPECT_EQ(dev.Model(), u"SEAGATE ST4000NM0023");
  EXPECT_EQ(dev.Serial(), u"Z1Z2Z3Z4");
  EXPECT_EQ(dev.TransferLimit(), 64u);
  EXPECT_EQ(dev.GoodCommands(), 2u);
  ASSERT_EQ(t.cdbs.size(), 2u);
  EXPECT_EQ(t.cdbs[0], (std::vector<uint8_t>{0x12, 0, 0, 0, 128, 0}));
  EXPECT_EQ(t.cdbs[1], (std::vector<uint8_t>{0x12, 1, 0x80, 0, 255, 0}));
}

TEST(DeviceIdTest, ScsiCheckConditionIsNotIdentified) {
  FakeTransport t;
  t.Status(0x02);  // CHECK CONDITION
  CSCSIIO dev;
  dev.Init(512);
  dev.UseTransport(&t);
  EXPECT_FALSE(dev.Identify());
  EXPECT_EQ(dev.Model(), u"");
  EXPECT_EQ(dev.Serial(), u"");
  EXPECT_EQ(dev.FailedCommands(), 1u);
  EXPECT_EQ(t.cdbs.size(), 1u);  // no serial page asked
}

TEST(DeviceIdTest, ScsiTransferLimits) {
  struct Case {
    uint64_t maxBytes;
    uint32_t segments;
    bool ok;
    uint32_t limit;
  } cases[] = {
      {0, 0, true, 128},             // unknown: the limit stays
      {512u << 10, 0, true, 128},    // 1024 units, above 128
      {512u << 10, 5, true, 32},     // (5 - 1) pages of 4096 bytes
      {4096, 0, true, 8},
      {256, 0, false, 0},            // below one unit: not identified
  };
  for (const Case& c : cases) {
    FakeTransport t;
    t.Good(InquiryData("V", "P"));
    t.Status(0x02);  // no serial page
    CSCSIIO dev;
    dev.Init(512);
    dev.UseTransport(&t);
    dev.SetAdapterLimits(c.maxBytes, c.segments);
    EXPECT_EQ(dev.Identify(), c.ok) << c.maxBytes;
    EXPECT_EQ(dev.TransferLimit(), c.limit) << c.maxBytes;
    EXPECT_EQ(dev.Model(), u"V       P");  // vendor padded to 8 bytes
    EXPECT_EQ(dev.Serial(), u"");
  }
}

TEST(DeviceIdTest, AtaIdentifyThroughPassThrough16) {
  FakeTransport t;
  t.Good(IdentifyBlock("S3Z9NB0K123456", "Samsung SSD 860 EVO 500GB", "RVT02B6Q"));
  CATAIO dev;
  dev.Init(512);
  EXPECT_EQ(dev.InterfaceKind(), CLoIODev::kAta);
  EXPECT_EQ(dev.TransferLimit(), 255u);
  dev.UseTransport(&t);
  ASSERT_TRUE(dev.Identify());
  EXPECT_EQ(dev.Model(), u"Samsung SSD 860 EVO 500GB");
  EXPECT_EQ(dev.Serial(), u"S3Z9NB0K123456");
  ASSERT_EQ(t.cdbs.size(), 1u);
  const std::vector<uint8_t>& cdb = t.cdbs[0];
  ASSERT_EQ(cdb.size(), 16u);
  EXPECT_EQ(cdb[0], 0x85);          // ATA PASS-THROUGH(16)
  EXPECT_EQ(cdb[1] >> 1 & 0xF, 4);  // PIO data-in
  EXPECT_EQ(cdb[2], 0x0E);          // from the device, blocks, count in the sector count field
  EXPECT_EQ(cdb[6], 1);
  EXPECT_EQ(cdb[14], 0xEC);         // IDENTIFY DEVICE

  // A translation layer that answers with zeros, a failed call, a short reply.
  FakeTransport zeros;
  zeros.Good(std::vector<uint8_t>(512, 0));
  FakeTransport failed;
  failed.answers.push_back({ScsiCommandResult{ENOTTY, 0, 0}, {}});
  FakeTransport shortReply;
  shortReply.Good(std::vector<uint8_t>(100, 'A'));
  for (FakeTransport* f : {&zeros, &failed, &shortReply}) {
    CATAIO d;
    d.Init(512);
    d.UseTransport(f);
    EXPECT_FALSE(d.Identify());
    EXPECT_EQ(d.Model(), u"");
  }
}

TEST(DeviceIdTest, RealPassThroughOnAFileFailsQuietly) {
  const TempFolder dirTemp("sgio");
  std::string dir = dirTemp.Path();
  WriteFileText(dir + "/f", std::string(4096, 'x'));
  for (int kind = 0; kind < 2; ++kind) {
    CSCSIIO scsi;
    CATAIO ata;
    CLoIODev& dev = kind ? static_cast<CLoIODev&>(ata) : scsi;
    dev.Init(512);
    ASSERT_TRUE(dev.Open(dir + "/f"));
    EXPECT_FALSE(dev.Identify());
    EXPECT_EQ(dev.FailedCommands(), 1u);
  }
  CSCSIIO missing;
  missing.Init(512);
  EXPECT_FALSE(missing.Open(dir + "/none"));
  EXPECT_FALSE(missing.Identify());
  // The file is untouched.
  EXPECT_EQ(ReadFileText(dir + "/f"), std::string(4096, 'x'));
}

TEST(DeviceIdTest, SysfsFirst) {
  SysfsFixture fx("ident");
  SysfsFixture::DiskSpec d;
  d.name = "sdq";
  d.size512 = 100;
  d.model = "  SanDisk Ultra  ";
  d.vendor = "SanDisk ";
  d.vpdPage80 = SerialPage("4C530001230417117452");
  d.maxHwSectorsKb = 120;
  fx.AddDisk(d);
  DeviceIdentity id = IdentifyFromSysfs(fx.Sys() + "/block/sdq");
  EXPECT_EQ(id.model, u"SanDisk Ultra");
  EXPECT_EQ(id.vendor, u"SanDisk");
  EXPECT_EQ(id.serial, u"4C530001230417117452");
  EXPECT_EQ(id.maxTransferBytes, 120u * 1024);
  // device/serial wins over the page; a short page leaves the serial empty.
  fx.Attr("sys/devices/sdq-parent/serial", "SERIAL-ATTR");
  EXPECT_EQ(IdentifyFromSysfs(fx.Sys() + "/block/sdq").serial, u"SERIAL-ATTR");
  SysfsFixture::DiskSpec e;
  e.name = "sdr";
  e.minor = 16;
  e.size512 = 100;
  e.vpdPage80 = SerialPage("ABCD");
  fx.AddDisk(e);
  DeviceIdentity none = IdentifyFromSysfs(fx.Sys() + "/block/sdr");
  EXPECT_EQ(none.serial, u"");
  EXPECT_EQ(none.model, u"");
  EXPECT_EQ(none.maxTransferBytes, 0u);
  EXPECT_EQ(IdentifyFromSysfs(fx.Sys() + "/block/missing").model, u"");
}
