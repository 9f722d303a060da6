// What a session file keeps of a VMFS volume and its nodes.
#pragma once

#include "volumes/VolumeFamily.h"

void VmfsWriteVolumeTail(const CVol& volume, SessionTail& tail);
bool VmfsReadVolumeTail(CVol& volume, const SessionTail& tail);
void VmfsWriteNodeTail(const cnode& node, SessionTailWriter& out);
void VmfsReadNodeTail(cnode& node, SessionTailReader& in);
