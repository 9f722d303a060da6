// XFS in session files: the volume tail (blocks per group, inode size; the
// rest follows from them and the volume's size) and the node tail (the
// whole inode number and the time; a file's runs are read again from its
// inode).
#pragma once

class CVol;
struct cnode;
struct SessionTail;
class SessionTailReader;
class SessionTailWriter;

void XfsWriteVolumeTail(const CVol& volume, SessionTail& tail);
bool XfsReadVolumeTail(CVol& volume, const SessionTail& tail);
void XfsWriteNodeTail(const cnode& node, SessionTailWriter& out);
void XfsReadNodeTail(cnode& node, SessionTailReader& in);
