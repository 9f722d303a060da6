// What a session file keeps of a ReFS volume and its nodes.
#pragma once

#include "volumes/VolumeFamily.h"

void RefsWriteVolumeTail(const CVol& volume, SessionTail& tail);
bool RefsReadVolumeTail(CVol& volume, const SessionTail& tail);
void RefsWriteNodeTail(const cnode& node, SessionTailWriter& out);
void RefsReadNodeTail(cnode& node, SessionTailReader& in);
