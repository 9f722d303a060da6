// The HFS+ node's tail in session files: its three dates, then its run
// list (the volume keeps no numbers of its own there).
#pragma once

struct cnode;
class SessionTailWriter;
class SessionTailReader;

void HfsWriteNodeTail(const cnode& node, SessionTailWriter& out);
void HfsReadNodeTail(cnode& node, SessionTailReader& in);
