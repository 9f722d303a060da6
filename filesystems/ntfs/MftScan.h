// The NTFS metadata pass of a Quick Scan: the volume's $MFT is read in large
// pieces, every FILE record becomes a node, folders are mapped by record
// number, and once every record is known the paths are built and the shown
// nodes handed over in record order.
#pragma once
#include <cstdint>

#include "platform/Text.h"

class CVol;
class NTFSVol;
class ScanSink;
struct NtfsStructureSample;
struct QuickScanStep;
struct snode;

// Loads the volume's $MFT (from the mirror when record 0 is unusable).
// 0 or -1; with report set a volume without one throws message 424.
int NtfsReadMft(NTFSVol* volume, int report);
// Reads every record of the volume's $MFT, builds its nodes and folder
// paths and hands the shown ones to the engine. Returns 0.
int NtfsParseMft(NTFSVol* volume, ScanSink& engine, uint64_t firstRecord, int firstStep);

namespace NTFS {
// The family's Quick Scan of one volume: 1 when its $MFT was read.
int QuickScan(CVol& volume, ScanSink& engine, const QuickScanStep& step);
// Whether the record read as record number r (recordSize bytes, left as
// it is) is the one the volume wrote there: a sound FILE header, every
// 512-byte stride ending in the update sequence number, and an in-use record
// that holds its number holding r.
bool RecordInPlace(const uint8_t* record, uint32_t recordSize, uint64_t r);
// Reads the first cluster of each stored compressed unit of the file's
// unnamed data (units of holes and units stored whole skipped, unreadable
// ones too) into the sample, until it holds maxUnits units: a unit whose
// first LZNT1 chunk header is none is misplaced.
void SampleCompressedUnits(NTFSVol* volume, const snode* file, uint32_t maxUnits, NtfsStructureSample* sample);
// Reads up to maxPages 4096-byte pages spread over the $LogFile's data into
// the sample (unreadable and all-zero pages left out): a page that is
// neither a log page ("RSTR", "RCRD", "CHKD", "BAAD") nor unused (0xFF
// throughout) is misplaced.
void SampleLogFilePages(NTFSVol* volume, const snode* logFile, uint32_t maxPages, NtfsStructureSample* sample);
// Fixed record numbers of the NTFS system files by name; -1 otherwise.
int SystemFileRecordNumber(WStringView name);
}  // namespace NTFS
