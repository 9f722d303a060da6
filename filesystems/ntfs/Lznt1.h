// LZNT1: the compression of NTFS compressed files. Data is cut into
// 4096-byte chunks, each with a 16-bit header (bits 0-11: length - 3 of the
// chunk including its header; bit 15: compressed), then groups of eight
// tokens led by a flag byte (bit clear: a literal byte; bit set: a 16-bit
// back-reference whose split between offset and length bits depends on the
// position within the chunk).
#pragma once
#include <cstdint>

// Expands the LZNT1 data held in unitCount units of unitSize bytes (the
// clusters of one compression unit) starting at input. The input ends at
// input + unitCount * unitSize; the output holds at most 16 units
// (kLznt1MaxUnits * unitSize bytes). Chunks are read while the output has
// room and the input holds a chunk header; a chunk must lie wholly within
// the input.
// - output: where the data goes; it must hold kLznt1MaxUnits * unitSize
//   bytes. Null decompresses into a buffer of its own and copies the result
//   back over the input; the output is then also bounded by the input's
//   unitCount * unitSize bytes, and data that would pass them is an output
//   overflow.
// - unitsConsumed (may be null): the units of input read, rounded up.
// Returns the bytes produced, or -1 when the data is corrupt (message 147
// "The file is corrupt. (%d %d)" traced with an error class and a detail:
// 1 chunk not on a 4096-byte boundary of the output, 2 back-reference before
// its chunk, 3 output overflow, 4 input overrun) or memory runs out.
// A zero chunk header ends the data; when less than one unit of output is
// then left unfilled, the rest of the output is zeroed and counted.
int64_t Lznt1Decompress(uint8_t* input, int unitCount, int unitSize, int* unitsConsumed, uint8_t* output);

// Output capacity, in units: the most one call produces.
inline constexpr int kLznt1MaxUnits = 16;

// Error classes traced with message 147.
enum Lznt1Error : int {
  kLznt1ErrBoundary = 1,
  kLznt1ErrBackRef = 2,
  kLznt1ErrOverflow = 3,
  kLznt1ErrOverrun = 4,
};
