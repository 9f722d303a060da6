// A ZFS pool in a session file: the volume's one tail number (where the
// label search starts again, in bytes from the volume's start) and each
// node's object, dataset and two times.
#pragma once

#include "volumes/VolumeFamily.h"

// A pool of more than one dataset is refused (the save ends with the
// message): the file keeps no dataset's object set.
void ZfsWriteVolumeTail(const CVol& volume, SessionTail& tail);
bool ZfsReadVolumeTail(CVol& volume, const SessionTail& tail);
void ZfsWriteNodeTail(const cnode& node, SessionTailWriter& out);
void ZfsReadNodeTail(cnode& node, SessionTailReader& in);
