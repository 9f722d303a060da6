// The NTFS family's part of a session file: the node tail of NTFS nodes
// (times, record number, sizes, the run lists of its pieces and its named
// streams). An NTFS volume has no type tail.
#pragma once

class SessionTailReader;
class SessionTailWriter;
struct cnode;

void NtfsWriteNodeTail(const cnode& node, SessionTailWriter& out);
void NtfsReadNodeTail(cnode& node, SessionTailReader& in);
