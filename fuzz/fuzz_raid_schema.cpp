// Fuzz target: arbitrary bytes as a RAID schema file, loaded into a custom
// set of three small member files (opened once); a schema that loads is
// then read through, at its start, across its ranges and at its end, so the
// range reads meet every map the loader accepts.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "platform/Errors.h"
#include "storage/RDrive.h"

namespace {

class Silent : public PromptService {
 public:
  int MessageBox(WStringView, WStringView, unsigned) override { return kIdOk; }
};

struct Setup {
  GlobalObjectsScope scope{true};
  Silent prompt;
  std::string dir, schema;
  WString definition;
  Setup() {
    SetPromptService(&prompt);
    char tmpl[] = "/tmp/fuzz_raid_schema_XXXXXX";
    dir = mkdtemp(tmpl);
    schema = dir + "/schema.txt";
    std::string def = "RAID(";
    for (int i = 0; i < 3; ++i) {
      const std::string m = dir + "/m" + std::to_string(i);
      FILE* f = fopen(m.c_str(), "wb");
      std::vector<uint8_t> bytes(256 * 1024);
      for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = uint8_t(j * 7 + i);
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
      def += (i ? "," : "") + m + "<0:511>";
    }
    definition = FromUtf8(def + ")");
    FILE* f = fopen(schema.c_str(), "wb");
    fputs("RangeCount 1\nLogicalGroupSizeInSectors 3\nPhysicalGroupSizeInSectors 1\nLogicalExtentCount 3\n"
          "LE 0 1 XOR(0:0)\nLE 1 1 XOR(1:0)\nLE 2 1 XOR(2:0)\nRangeStart 0 1536\n",
          f);
    fclose(f);
    RaidSettings s;
    s.schemaPath = FromUtf8(schema);
    SetRaidSettings(definition, s);
    drive.InitDrive(definition);
  }
  RDrive drive;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup();
  FILE* f = fopen(setup->schema.c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  (void)RDrive::CountSchemaMembers(FromUtf8(setup->schema));
  RDrive& d = setup->drive;
  if (!d.LoadSchema(FromUtf8(setup->schema))) return 0;
  std::vector<uint8_t> buffer(d.TransferSize() + 512);
  const uint64_t total = d.SectorCount();
  std::vector<uint64_t> starts = {0, total ? total - 1 : 0, total / 2};
  for (const RaidRange& r : d.Ranges())
    if (r.startLsn > 0) starts.push_back(r.startLsn - 1);
  for (uint64_t s : starts) {
    if (s >= total) continue;
    const uint32_t bytes = uint32_t(std::min<uint64_t>(d.TransferSize(), 64 * 1024)) / 512 * 512;
    try {
      (void)d.ReadSectors(int64_t(s), bytes ? bytes : 512, 0x10000, buffer.data(), true);
    } catch (const DvCodeError&) {
    }
  }
  return 0;
}
