// The ext2/3/4 family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterExtFamily();

struct cnode;

// Whether an ext node's inode uses an extent tree, until the ext family's
// node records answer it: with no test installed ext nodes count as
// extent-mapped.
using ExtentTreeTest = bool (*)(const cnode* node);
void SetExtentTreeTest(ExtentTreeTest test);
