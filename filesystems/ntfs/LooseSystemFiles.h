// What the Long Scan keeps of loose FILE records for the length of the
// pass: the collector of a lost volume's system records (records 0-8 met
// outside every known volume, at consistent places, give back the volume
// whose boot sectors are gone; it joins the drive's table and is read like
// a found one), and the extension records whose runs complete loose base
// records at the end.
#pragma once
#include <cstdint>

class Drive;
class ScanSink;
class inode;

namespace NTFS {
// Offers a parsed loose record (its number known, no volume of the table
// holds it) to the search's collector; records above 8 are not taken.
void CollectSystemRecord(ScanSink& engine, Drive* drive, const inode& record);
// Once the pass is past the collected $MFT's expected end (or with `atEnd`),
// the collected records make a volume: its index in the drive's table, -1
// when none was made (or the drive knew it already).
int32_t FlushSystemRecords(ScanSink& engine, Drive* drive, int64_t position, bool atEnd);
// A parsed loose extension record (its own number known): its piece of its
// base record's data is kept.
void CollectExtensionRecord(ScanSink& engine, const inode& record);
// Each node not handed over whose data lies partly in extension records
// not read with it takes their runs from the pieces kept.
void AttachExtensionRecords(ScanSink& engine, Drive* drive);
}  // namespace NTFS
