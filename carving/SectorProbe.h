// The header probe: which carving type (if any) starts at a sector. The
// sector pass asks it for every sector no file system claims; the recovered
// file writer and the volumes' type sniffer ask it about a file's first
// bytes.
#pragma once
#include <cstddef>
#include <cstdint>

class HdrParse;

// Bytes the probe may look at; a sector is at least this long.
inline constexpr size_t kProbeBytes = 512;

// The type index 0..30 of the header at `sector` (kProbeBytes readable), or
// 255. With a driver, three rows also ask the parser of their type: zip
// only at or after the zip parser's start limit, mts likewise, mp3 not
// while an mp3 is open. `sectorNumber` is the sector's place on the drive.
uint8_t ProbeSectorSignature(const uint8_t* sector, const HdrParse* driver = nullptr, int64_t sectorNumber = 0);

// The carving type of a file's first `count` bytes (any length): the probe,
// with TIFF told apart from cr2 by its header; 255 when none.
uint8_t CarvedHeaderType(const uint8_t* data, size_t count);
