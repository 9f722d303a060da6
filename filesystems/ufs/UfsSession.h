// The UFS family's part of a session file: ext's four numbers (inodes per
// group, fragment size, blocks per group, inode size), the rest read again
// from the superblock when the source holds it; nodes as ext's.
#pragma once

class CVol;
struct SessionTail;

bool UfsReadVolumeTail(CVol& volume, const SessionTail& tail);
