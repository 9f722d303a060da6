// The ext family's part of a session file: the volume's group geometry
// (inodes and blocks per group, fragment and inode sizes), from which the
// block map and inode geometry are derived again, and the node's time,
// flags and block list.
#pragma once

class CVol;
class SessionTailReader;
class SessionTailWriter;
struct SessionTail;
struct cnode;

void ExtWriteVolumeTail(const CVol& volume, SessionTail& tail);
bool ExtReadVolumeTail(CVol& volume, const SessionTail& tail);
void ExtWriteNodeTail(const cnode& node, SessionTailWriter& out);
void ExtReadNodeTail(cnode& node, SessionTailReader& in);
