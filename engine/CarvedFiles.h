// Carved files as found items. After the Long Scan's sector pass the hits of
// the carving parsers are tied to the files the metadata already lists (so
// nothing is shown twice); every other hit with a size becomes a node of its
// own, shown under "Extra files\<extension>\" (pictures in a folder of their
// EXIF date, Office Open XML documents in a year-month folder named by their
// properties). Such nodes are recovered straight from the drive's sectors.
#pragma once
#include <cstdint>

#include "platform/Text.h"

class NTFSObj;
class CHashFile;
struct HdrHit;

// Makes a node of a carved hit, named "<ext><number>.<ext>" (or with the
// date for docx, pptx and xlsx when `year` is set) from the type's running
// number, its data the hit's sectors of the drive; adds it to the node
// table. The node's index, -1 when it could not be stored.
int64_t AddHdrNode(NTFSObj& engine, const HdrHit& hit, WStringView name, uint64_t fileTime);

// Ties the hits to the files of the node table whose first data sector and
// type they share (sizes equal or within 2 sectors; cr2, nef and tif within
// 3 to 99 sectors): the hit is marked matched, the node graded Good when
// the hit had a size. The number of hits matched.
int MapFilesToHdr(NTFSObj& engine);

// Every hit neither matched nor internal (an index buffer, a bin index)
// and with a size is shown as a node of its own. Ends early when the view
// asks to stop. The number of items shown.
int ProcUnknown(NTFSObj& engine);

// Recovers a carved node into target (through temporary when given): -1
// failed, else the count of unreadable sectors zero-filled.
int RecoverHdr(NTFSObj* engine, int64_t nodeIndex, WStringView target, WStringView temporary, CHashFile* hash);
