// The NTFS family's part of the Long Scan: FILE records found outside any
// $MFT that was read (loose records of a reformatted volume, of a volume
// whose $MFT start is gone, of a lost partition), boot sectors met by the
// sector pass, the parse of a volume found there, and at the end the orphan
// records tied to their folders and handed over.
#pragma once
#include <cstdint>

class CVol;
class Drive;
class ScanSink;
struct SectorVisit;

namespace NTFS {
// Kind 4: a FILE record at the visit's position. Asks for the whole record
// (needBytes) when the read holds less of it. 1 (never carved).
int VisitFileRecord(SectorVisit& visit);
// Kind 6: a boot sector; the volume it places joins the drive's table
// (visit.volumeFound). 1.
int VisitBootSector(SectorVisit& visit);
// A volume the sector pass found: its $MFT read and parsed as in the Quick
// Scan (the stretches read are recorded as covered).
void ParseFoundVolume(CVol& volume, ScanSink& engine);
// After the pass: every NTFS node not handed over yet, under its rebuilt
// folder path, or under "\Extra files\Folder<parent>\" when its parent is
// unknown.
void FinishLongScan(ScanSink& engine, Drive* drive);
}  // namespace NTFS
