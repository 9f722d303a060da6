// Reading a found NTFS file's data for its recovery: clusters with the
// unreadable ones counted, the record of a resident file read again, the
// reader of a file's or stream's runs, and one compression unit expanded.
// The engine writes what these read (engine/RecoverNtfs.h).
#pragma once
#include <cstdint>

class CExtents;
class NTFSVol;
class inode;
struct NTFSStream;
struct snode;

namespace NTFS {
// Reads `count` volume clusters at lcn into out; the clusters the drive
// could not read (zero-filled by it) are added to *corrupt. False when the
// read was refused or came back short (last error set).
bool ReadVolumeClusters(NTFSVol* volume, uint8_t* out, uint64_t lcn, uint32_t count, uint32_t clusterBytes,
                        uint32_t* corrupt);
// Reads the record of a resident file (or stream) again from its place on
// the disk into `record`, whose resident data then holds the file. 0, or -1
// (last error set: unreadable, or the file has runs by now).
int ReadResidentRecord(NTFSVol* volume, const snode* node, const NTFSStream* stream, inode* record);
// Makes `reader` a copy of the node with the runs of the stream (null: the
// unnamed one) on the volume. False when memory runs out.
bool MakeDataReader(NTFSVol* volume, const snode* node, const NTFSStream* stream, inode* reader);
// The volume's own boot file, whose cluster 0 is real data.
bool IsBootFile(const snode* node);
// Reads the compression unit at vcn `unitVcn` of the mapping and expands
// it: *unit is `in` (stored whole), `out` (expanded, zero-padded) or null (a
// unit of holes). A unit that expands short is refused unless it is the
// last. 0, or -1 (last error set).
int ReadCompressionUnit(NTFSVol* volume, CExtents& map, uint64_t unitVcn, uint8_t* in, uint8_t* out,
                        bool lastUnit, uint32_t* corrupt, const uint8_t** unit);
}  // namespace NTFS
