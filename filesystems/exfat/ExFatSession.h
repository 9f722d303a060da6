// The exFAT family's part of a session file: the volume's table and heap
// geometry (the boot sector's values the volume keeps), and the node's
// timestamps, attributes, flags and first cluster as 24 bytes.
#pragma once
#include <cstddef>
#include <cstdint>

class CVol;
class SessionTailReader;
class SessionTailWriter;
struct SessionTail;
struct cnode;

// The node tail's byte count.
inline constexpr size_t kExFatNodeTailBytes = 24;

void ExFatWriteVolumeTail(const CVol& volume, SessionTail& tail);
bool ExFatReadVolumeTail(CVol& volume, const SessionTail& tail);
void ExFatWriteNodeTail(const cnode& node, SessionTailWriter& out);
void ExFatReadNodeTail(cnode& node, SessionTailReader& in);
